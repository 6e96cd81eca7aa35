#include <windows.h>
// windows.h first: dbt.h needs its types.
#include <dbt.h>

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QWidget>

#include "app/platform/device_change.h"

namespace px::app {

namespace {

// USB devices (GUID_DEVINTERFACE_USB_DEVICE).
constexpr GUID kUsbDeviceInterface = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

class DeviceChangeFilter final : public QAbstractNativeEventFilter {
 public:
  DeviceChangeFilter(HWND window, std::function<void()> onChange)
      : window_(window), onChange_(std::move(onChange)) {}

  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override {
    if (eventType != "windows_generic_MSG") return false;
    const MSG* msg = static_cast<const MSG*>(message);
    if (msg->hwnd != window_ || msg->message != WM_DEVICECHANGE) return false;
    onChange_();
    *result = 0;
    return true;
  }

 private:
  HWND window_;
  std::function<void()> onChange_;
};

}  // namespace

struct DeviceChangeWatcher::Impl {
  HDEVNOTIFY notification = nullptr;
  std::unique_ptr<DeviceChangeFilter> filter;

  ~Impl() {
    if (filter) QCoreApplication::instance()->removeNativeEventFilter(filter.get());
    if (notification != nullptr) ::UnregisterDeviceNotification(notification);
  }
};

DeviceChangeWatcher::DeviceChangeWatcher(QWidget& window, std::function<void()> onChange)
    : impl_(std::make_unique<Impl>()) {
  HWND hwnd = reinterpret_cast<HWND>(window.winId());
  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = kUsbDeviceInterface;
  impl_->notification = ::RegisterDeviceNotificationA(hwnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  impl_->filter = std::make_unique<DeviceChangeFilter>(hwnd, std::move(onChange));
  QCoreApplication::instance()->installNativeEventFilter(impl_->filter.get());
}

DeviceChangeWatcher::~DeviceChangeWatcher() = default;

bool DeviceChangeWatcher::listening() const {
  return impl_->notification != nullptr;
}

}  // namespace px::app
