#pragma once

#include <cstdint>

#include "common/ui.h"
#include "device/transport.h"

namespace px {

inline constexpr uint32_t kInquiryLength = 36;
inline constexpr uint32_t kReadWriteTimeoutSeconds = 2;
inline constexpr uint32_t kInquiryTimeoutSeconds = 200;

// The operation codes of the three.
inline constexpr uint8_t kOpRead10 = 0x28;
inline constexpr uint8_t kOpWrite10 = 0x2A;
inline constexpr uint8_t kOpInquiry = 0x12;

// The three commands the program sends, as portable CDBs. Only the low byte
// of the sector count travels (byte 8); callers keep counts at 255 or below.
ScsiRequest MakeRead10(uint32_t lba, uint32_t count, uint8_t* buffer);
ScsiRequest MakeWrite10(uint32_t lba, uint32_t count, uint8_t* buffer);
ScsiRequest MakeInquiry(uint8_t* buffer);

// Opening, closing and the three commands over a transport. A command
// succeeds when it completed, whatever its SCSI status: a CHECK CONDITION
// counts as success, as it always has with the platform's pass-through. A
// failed read says so in the message panel; retries belong to the callers.
class DeviceAccess {
 public:
  DeviceAccess(Transport& transport, StatusPanels& panels)
      : transport_(transport), panels_(panels) {}

  // A drive letter, or a physical drive by the selector rule
  // (SelectDevicePath).
  OpenResult OpenDevicePath(int8_t selector);
  OpenResult OpenDrive(PhysicalDrive drive);
  void CloseHandle(DeviceHandle handle);
  bool ReadSectors(DeviceHandle handle, uint32_t lba, uint8_t* buffer, uint32_t count);
  bool WriteSectors(DeviceHandle handle, uint32_t lba, uint8_t* buffer, uint32_t count);
  bool InquiryDevice(DeviceHandle handle, uint8_t* buffer);

  Transport& transport() { return transport_; }
  StatusPanels& panels() { return panels_; }

 private:
  Transport& transport_;
  StatusPanels& panels_;
};

// Closes on every path out of a scope.
class ScopedDevice {
 public:
  ScopedDevice(DeviceAccess& access, int8_t selector)
      : access_(access), opened_(access.OpenDevicePath(selector)) {}
  ScopedDevice(DeviceAccess& access, PhysicalDrive drive)
      : access_(access), opened_(access.OpenDrive(drive)) {}
  ~ScopedDevice() {
    if (opened_.opened()) access_.CloseHandle(opened_.handle);
  }
  ScopedDevice(const ScopedDevice&) = delete;
  ScopedDevice& operator=(const ScopedDevice&) = delete;

  bool valid() const { return opened_.opened(); }
  DeviceHandle get() const { return opened_.handle; }

 private:
  DeviceAccess& access_;
  OpenResult opened_;
};

}  // namespace px
