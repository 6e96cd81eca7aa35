#include <windows.h>

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QWidget>

#include "app/platform/session_end.h"

namespace px::app {

namespace {

class QueryEndSessionFilter final : public QAbstractNativeEventFilter {
 public:
  QueryEndSessionFilter(HWND window, std::function<bool()> onSessionEnd)
      : window_(window), onSessionEnd_(std::move(onSessionEnd)) {}

  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override {
    if (eventType != "windows_generic_MSG") return false;
    const MSG* msg = static_cast<const MSG*>(message);
    if (msg->hwnd != window_ || msg->message != WM_QUERYENDSESSION) return false;
    *result = onSessionEnd_() ? 1 : 0;
    return true;
  }

 private:
  HWND window_;
  std::function<bool()> onSessionEnd_;
};

}  // namespace

struct SessionEndWatcher::Impl {
  std::unique_ptr<QueryEndSessionFilter> filter;
  ~Impl() {
    if (filter) QCoreApplication::instance()->removeNativeEventFilter(filter.get());
  }
};

SessionEndWatcher::SessionEndWatcher(QWidget& window, std::function<bool()> onSessionEnd)
    : impl_(std::make_unique<Impl>()) {
  impl_->filter = std::make_unique<QueryEndSessionFilter>(reinterpret_cast<HWND>(window.winId()),
                                                          std::move(onSessionEnd));
  QCoreApplication::instance()->installNativeEventFilter(impl_->filter.get());
}

SessionEndWatcher::~SessionEndWatcher() = default;

}  // namespace px::app
