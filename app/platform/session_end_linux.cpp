#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QGuiApplication>
#include <QSessionManager>
#include <QSocketNotifier>

#include "app/platform/session_end.h"

namespace px::app {

namespace {

// A signal handler may do next to nothing; it writes one byte into a socket
// whose other end the event loop watches. One window at a time owns it.
int signalWriteFd = -1;

void OnTerminate(int /*signal*/) {
  const char byte = 1;
  if (signalWriteFd >= 0) {
    [[maybe_unused]] const ssize_t written = ::write(signalWriteFd, &byte, 1);
  }
}

}  // namespace

struct SessionEndWatcher::Impl {
  int fds[2] = {-1, -1};
  struct sigaction previous {};
  bool installed = false;
  std::unique_ptr<QSocketNotifier> notifier;

  ~Impl() {
    notifier.reset();
    if (installed) {
      ::sigaction(SIGTERM, &previous, nullptr);
      signalWriteFd = -1;
    }
    for (int fd : fds)
      if (fd >= 0) ::close(fd);
  }
};

SessionEndWatcher::SessionEndWatcher(QWidget& /*window*/, std::function<bool()> onSessionEnd)
    : impl_(std::make_unique<Impl>()) {
  auto callback = std::make_shared<std::function<bool()>>(std::move(onSessionEnd));

  if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
    QObject::connect(app, &QGuiApplication::commitDataRequest, this,
                     [callback](QSessionManager& manager) {
                       if (!(*callback)() && manager.allowsInteraction()) manager.cancel();
                     });
  }

  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, impl_->fds) != 0) return;
  signalWriteFd = impl_->fds[0];
  struct sigaction action {};
  action.sa_handler = OnTerminate;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  impl_->installed = ::sigaction(SIGTERM, &action, &impl_->previous) == 0;
  impl_->notifier = std::make_unique<QSocketNotifier>(impl_->fds[1], QSocketNotifier::Read);
  const int readFd = impl_->fds[1];
  QObject::connect(impl_->notifier.get(), &QSocketNotifier::activated, this, [readFd, callback] {
    char buffer[16];
    while (::read(readFd, buffer, sizeof buffer) > 0) {
    }
    (*callback)();
  });
}

SessionEndWatcher::~SessionEndWatcher() = default;

}  // namespace px::app
