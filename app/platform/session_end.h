#pragma once

#include <QObject>
#include <functional>
#include <memory>

class QWidget;

namespace px::app {

// The end of the user's session, or on Linux a polite request to stop
// (SIGTERM, as systemd and the session manager send before they kill). The
// callback runs on the window's thread; it answers whether the session may
// end now, and on yes has closed the window itself.
class SessionEndWatcher final : public QObject {
 public:
  SessionEndWatcher(QWidget& window, std::function<bool()> onSessionEnd);
  ~SessionEndWatcher() override;
  SessionEndWatcher(const SessionEndWatcher&) = delete;
  SessionEndWatcher& operator=(const SessionEndWatcher&) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace px::app
