#include <windows.h>

#include "app/platform/single_instance.h"

namespace px::app {

SingleInstance::SingleInstance(const std::string& name) {
  HANDLE mutex = ::CreateMutexA(nullptr, TRUE, name.c_str());
  if (mutex != nullptr && ::GetLastError() == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(mutex);
    return;
  }
  mutex_ = mutex;
  acquired_ = true;
}

SingleInstance::~SingleInstance() {
  if (mutex_ != nullptr) {
    ::ReleaseMutex(static_cast<HANDLE>(mutex_));
    ::CloseHandle(static_cast<HANDLE>(mutex_));
  }
}

}  // namespace px::app
