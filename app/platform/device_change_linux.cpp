#include <libudev.h>

#include <QSocketNotifier>

#include "app/platform/device_change.h"

namespace px::app {

struct DeviceChangeWatcher::Impl {
  udev* context = nullptr;
  udev_monitor* monitor = nullptr;
  std::unique_ptr<QSocketNotifier> notifier;

  ~Impl() {
    notifier.reset();
    if (monitor != nullptr) udev_monitor_unref(monitor);
    if (context != nullptr) udev_unref(context);
  }
};

DeviceChangeWatcher::DeviceChangeWatcher(QWidget& /*window*/, std::function<void()> onChange)
    : impl_(std::make_unique<Impl>()) {
  impl_->context = udev_new();
  if (impl_->context == nullptr) return;
  // "udev" rather than "kernel" events: by the time they arrive the device
  // nodes exist and carry their permissions, so a detection can open them.
  impl_->monitor = udev_monitor_new_from_netlink(impl_->context, "udev");
  if (impl_->monitor == nullptr) return;
  // A USB enclosure shows up as a USB device first and as a disk a moment
  // later; either is worth a look, and the countdown folds them into one.
  udev_monitor_filter_add_match_subsystem_devtype(impl_->monitor, "usb", nullptr);
  udev_monitor_filter_add_match_subsystem_devtype(impl_->monitor, "block", nullptr);
  if (udev_monitor_enable_receiving(impl_->monitor) < 0) return;
  const int fd = udev_monitor_get_fd(impl_->monitor);
  if (fd < 0) return;
  impl_->notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
  udev_monitor* monitor = impl_->monitor;
  QObject::connect(impl_->notifier.get(), &QSocketNotifier::activated, this,
                   [monitor, onChange = std::move(onChange)] {
                     // Drain the event, or the notifier fires again at once.
                     if (udev_device* device = udev_monitor_receive_device(monitor))
                       udev_device_unref(device);
                     onChange();
                   });
}

DeviceChangeWatcher::~DeviceChangeWatcher() = default;

bool DeviceChangeWatcher::listening() const {
  return impl_->notifier != nullptr;
}

}  // namespace px::app
