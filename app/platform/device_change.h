#pragma once

#include <QObject>
#include <functional>
#include <memory>

class QWidget;

namespace px::app {

// Tells the main window that devices came or went: udev on Linux (USB and
// block devices), device-interface notifications for USB devices on
// Windows. The callback runs on the window's thread.
class DeviceChangeWatcher final : public QObject {
 public:
  DeviceChangeWatcher(QWidget& window, std::function<void()> onChange);
  ~DeviceChangeWatcher() override;
  DeviceChangeWatcher(const DeviceChangeWatcher&) = delete;
  DeviceChangeWatcher& operator=(const DeviceChangeWatcher&) = delete;

  // False when the system would not let us listen (no udev in a container,
  // say); the window then notices new drives only while it has none.
  bool listening() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace px::app
