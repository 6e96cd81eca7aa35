#include "device/scsi_commands.h"

#include <string>

#include "common/text.h"

namespace px {
namespace {

ScsiRequest MakeReadWrite(uint8_t opcode, DataDirection direction, uint32_t lba, uint32_t count,
                          uint8_t* buffer) {
  ScsiRequest r;
  r.cdb[0] = opcode;
  r.cdb[2] = static_cast<uint8_t>(lba >> 24);
  r.cdb[3] = static_cast<uint8_t>(lba >> 16);
  r.cdb[4] = static_cast<uint8_t>(lba >> 8);
  r.cdb[5] = static_cast<uint8_t>(lba);
  r.cdb[8] = static_cast<uint8_t>(count);
  r.cdbLength = 10;
  r.direction = direction;
  r.data = buffer;
  r.transferLength = count * kSectorSize;
  r.timeoutSeconds = kReadWriteTimeoutSeconds;
  return r;
}

}  // namespace

DevicePath SelectDevicePath(int8_t selector) {
  if (selector <= 0x42) {
    // A negative selector names the drive its byte reads as unsigned.
    return {DevicePath::Kind::PhysicalDrive,
            PhysicalDrive(static_cast<uint32_t>(static_cast<int>(selector))), 0};
  }
  return {DevicePath::Kind::Volume, PhysicalDrive(0), static_cast<char>(selector)};
}

std::string WindowsPathText(const DevicePath& path) {
  if (path.kind == DevicePath::Kind::PhysicalDrive) {
    return "\\\\.\\PhysicalDrive" + std::to_string(path.drive.number());
  }
  return std::string("\\\\.\\") + path.letter + ":";
}

ScsiRequest MakeRead10(uint32_t lba, uint32_t count, uint8_t* buffer) {
  return MakeReadWrite(kOpRead10, DataDirection::In, lba, count, buffer);
}

ScsiRequest MakeWrite10(uint32_t lba, uint32_t count, uint8_t* buffer) {
  return MakeReadWrite(kOpWrite10, DataDirection::Out, lba, count, buffer);
}

ScsiRequest MakeInquiry(uint8_t* buffer) {
  ScsiRequest r;
  r.cdb[0] = kOpInquiry;
  r.cdb[4] = kInquiryLength;
  r.cdbLength = 10;
  r.direction = DataDirection::In;
  r.data = buffer;
  r.transferLength = kInquiryLength;
  r.timeoutSeconds = kInquiryTimeoutSeconds;
  return r;
}

OpenResult DeviceAccess::OpenDevicePath(int8_t selector) {
  return transport_.Open(SelectDevicePath(selector));
}

OpenResult DeviceAccess::OpenDrive(PhysicalDrive drive) {
  // The drive's number is its selector: every drive the program names is
  // below 'B'.
  return OpenDevicePath(static_cast<int8_t>(drive.number()));
}

void DeviceAccess::CloseHandle(DeviceHandle handle) {
  transport_.Close(handle);
}

bool DeviceAccess::ReadSectors(DeviceHandle handle, uint32_t lba, uint8_t* buffer, uint32_t count) {
  if (transport_.Execute(handle, MakeRead10(lba, count, buffer)).completed) return true;
  panels_.SetText(StatusPanels::kMessagePanel, "ReadLBA error at LBA = " + HexUpper(lba, 4) +
                                                   ", SecCnt = " + std::to_string(count));
  return false;
}

bool DeviceAccess::WriteSectors(DeviceHandle handle, uint32_t lba, uint8_t* buffer,
                                uint32_t count) {
  return transport_.Execute(handle, MakeWrite10(lba, count, buffer)).completed;
}

bool DeviceAccess::InquiryDevice(DeviceHandle handle, uint8_t* buffer) {
  return transport_.Execute(handle, MakeInquiry(buffer)).completed;
}

}  // namespace px
