#pragma once

#include <string>

namespace px::app {

// One running copy per user. Held for the life of the object; the operating
// system lets go of it when the process dies, however it dies, so a crash
// never locks the user out.
class SingleInstance {
 public:
  // name: "PX_GUI". On Windows a named mutex; on Linux an advisory lock on
  // <runtime directory>/PX_GUI.lock.
  explicit SingleInstance(const std::string& name);
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // False when another copy already holds the name.
  bool acquired() const { return acquired_; }

 private:
  bool acquired_ = false;
#ifdef _WIN32
  void* mutex_ = nullptr;
#else
  int fd_ = -1;
#endif
};

}  // namespace px::app
