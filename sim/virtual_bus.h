#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "device/transport.h"
#include "sim/fake_clock.h"
#include "sim/virtual_controller.h"
#include "sim/virtual_drive.h"

namespace px::sim {

inline constexpr unsigned kBusDrives = 10;  // physical drives 0-9

// A drive letter and where its volume lives.
struct VolumeScenario {
  char letter = 'C';
  uint8_t driveType = kDriveFixed;
  uint32_t diskNumber = 0;
  uint64_t startingOffset = 0;  // bytes
  uint64_t extentLength = 0;    // bytes
  bool spansTwoDisks = false;   // the one-extent query fails
  bool openFails = false;       // the volume cannot be opened

  friend bool operator==(const VolumeScenario&, const VolumeScenario&) = default;
};

// One SCSI command as the bus received it on an open handle.
struct TraceEntry {
  unsigned drive = 0;  // physical drive (for a volume: the disk it lives on)
  char volume = 0;     // the letter when sent on a volume handle, else 0
  uint8_t opcode = 0;  // 0x28 READ(10), 0x2A WRITE(10), 0x12 INQUIRY, ...
  uint32_t lba = 0;    // as in the CDB
  uint32_t count = 0;  // sectors (READ/WRITE), allocation length (INQUIRY)
  DataDirection direction = DataDirection::In;
  bool ok = false;  // whether the command completed
  // When it arrived, on the bus's FakeClock (before its latency is charged);
  // 0 on a bus without one.
  uint64_t timeMs = 0;

  friend bool operator==(const TraceEntry&, const TraceEntry&) = default;
};

// The virtual enclosure bus: up to ten physical drives, each an enclosure or
// a plain disk, and a set of drive letters, behind the Transport interface.
//
// Handles belong to one attachment of a drive: after Detach (even if another
// drive is attached at the same number later) every command on an old
// handle fails. READ(10)/WRITE(10) hand their sectors to the drive in order;
// INQUIRY returns the drive's INQUIRY data; other opcodes complete with CHECK
// CONDITION and the sense data of an unsupported command, as a disk does. A command on a volume
// handle goes to the volume's disk with the LBA moved by the volume's starting offset.
//
// Latency: every READ(10) costs the bus latency plus the drive's own; with a
// FakeClock it is charged with AdvanceMicros, without one the bus really
// sleeps (outside its lock), and keeps the latency it was asked for and the
// time those sleeps really took, so a benchmark can tell the host's sleeps
// overshooting from the product's own cost.
//
// Every method is safe to call from any thread at any time. The device-change
// callback runs on the thread that made the change, after the bus has let go
// of its lock, so it may call back into the bus.
class VirtualBus final : public Transport {
 public:
  explicit VirtualBus(FakeClock* clock = nullptr);
  ~VirtualBus() override;
  VirtualBus(const VirtualBus&) = delete;
  VirtualBus& operator=(const VirtualBus&) = delete;

  // Transport. An open that SetOpenFails refuses reports Denied.
  OpenResult Open(const DevicePath& path) override;
  void Close(DeviceHandle handle) override;
  CommandOutcome Execute(DeviceHandle handle, const ScsiRequest& request) override;
  // The bus is always up to date: there is nothing to look at again.
  void Refresh() override {}
  uint32_t LogicalDriveMask() override;
  uint8_t DriveType(char letter) override;  // kDriveNoRootDir for an unknown letter
  std::optional<DiskExtent> FirstExtent(DeviceHandle volume) override;
  std::string DriveNode(PhysicalDrive /*drive*/) override { return {}; }
  // "virtual-N" for the N-th enclosure the bus met, wherever it is attached
  // now; empty for a plain disk, which sits behind no bridge.
  std::string BridgeId(PhysicalDrive drive) override;
  // Refusals of the bus are the scenario's business, not a disk's.
  std::optional<DeniedDisk> RefusedDisk() override { return std::nullopt; }
  // Claims live in the bus, as the programs of one machine share its disks:
  // a test that takes a claim itself stands for another program. Drive
  // numbers above 9 are granted, as there is nothing there to keep apart.
  ClaimToken TryClaimDrive(PhysicalDrive drive, ClaimPurpose purpose) override;
  void ReleaseDrive(ClaimToken token) override;
  bool DriveClaimedForFirmware(PhysicalDrive drive) override;

  // Hot-plug. Each fires the device-change callback. Attach replaces what was
  // at the number; numbers above 9 are refused (false, nothing fired).
  bool Attach(unsigned drive, std::shared_ptr<VirtualDrive> device);
  bool AttachEnclosure(unsigned drive, std::shared_ptr<VirtualController> controller) {
    return Attach(drive, std::move(controller));
  }
  // A new enclosure with the scenario, attached and returned.
  std::shared_ptr<VirtualController> AttachEnclosure(unsigned drive,
                                                     ControllerScenario scenario = {});
  std::shared_ptr<PlainDisk> AttachPlainDisk(unsigned drive, InquiryScenario inquiry = {
                                                                 "ATA", "Plain Disk", "1.00"});
  void Detach(unsigned drive);
  void AddVolume(VolumeScenario volume);  // replaces a volume of the same letter
  void RemoveVolume(char letter);
  void SetDeviceChangeCallback(std::function<void()> callback);

  // What is attached.
  std::shared_ptr<VirtualDrive> DriveAt(unsigned drive) const;
  std::shared_ptr<VirtualController> EnclosureAt(unsigned drive) const;  // null for plain disks
  std::vector<VolumeScenario> Volumes() const;
  std::size_t OpenHandleCount() const;

  // Bus faults.
  // Opening the drive fails (e.g. permission) while set; it stays attached.
  void SetOpenFails(unsigned drive, bool fails);
  // READ(10)s that cover the LBA fail; on one drive, or on all when empty.
  void FailReadsAt(uint32_t lba, std::optional<unsigned> drive = std::nullopt);
  void ClearReadFailures();
  // The next n commands succeed as usual, every one after them fails.
  void FailCommandsAfter(uint64_t n);
  void ClearCommandFailure();
  // The drive is detached (callback fired) right after the n-th command from
  // now on it completes (n = 0: at once): the device is gone in the middle
  // of an operation.
  void DetachAfterCommands(unsigned drive, uint64_t n);
  void SetReadLatencyMicros(uint32_t micros);
  // Real sleeps only (no FakeClock): latency asked for, and really slept.
  uint64_t LatencyAskedMicros() const { return latencyAskedMicros_.load(); }
  uint64_t LatencySleptMicros() const { return latencySleptMicros_.load(); }
  // Wall-clock time every READ(10) really takes, whatever clock the bus
  // charges, paid in whole milliseconds as it adds up. Lets a test of a
  // whole process catch an operation in its middle (a signal, a closed
  // pipe) while the program's own waits stay on the fake clock.
  void SetRealReadLatencyMicros(uint32_t micros);

  // Trace of every command on an open handle, in order.
  std::vector<TraceEntry> Trace() const;
  void ClearTrace();
  // LBAs of the READ(10)s sent to a physical drive (one entry per command).
  std::vector<uint32_t> ReadLbas(unsigned drive) const;
  uint64_t CommandCount() const;  // commands since construction

 private:
  struct OpenHandle {
    DevicePath path;
    unsigned drive = 0;       // the disk commands go to
    uint64_t attachment = 0;  // 0 for a volume handle whose disk was absent
    uint64_t lbaOffset = 0;   // volume handles
  };
  struct Slot {
    std::shared_ptr<VirtualDrive> device;
    uint64_t attachment = 0;
    bool openFails = false;
  };
  struct ReadFailure {
    uint32_t lba;
    std::optional<unsigned> drive;
  };

  void FireDeviceChange();
  bool DetachLocked(unsigned drive);

  FakeClock* clock_;
  mutable std::mutex mutex_;
  std::array<Slot, kBusDrives> slots_{};
  std::map<char, VolumeScenario> volumes_;
  std::map<DeviceHandle, OpenHandle> handles_;
  DeviceHandle nextHandle_ = 1;
  uint64_t nextAttachment_ = 1;
  // Each enclosure's number for BridgeId, in the order it was first
  // attached; kept, so that an enclosure plugged in again keeps it.
  std::map<std::shared_ptr<VirtualDrive>, unsigned> bridges_;
  std::function<void()> onDeviceChange_;
  std::vector<ReadFailure> readFailures_;
  std::optional<uint64_t> commandsLeft_;
  std::optional<std::pair<unsigned, uint64_t>> detachAfter_;
  uint32_t readLatencyMicros_ = 0;
  std::atomic<uint64_t> latencyAskedMicros_{0};
  std::atomic<uint64_t> latencySleptMicros_{0};
  uint32_t realReadLatencyMicros_ = 0;
  uint64_t realLatencyOwedMicros_ = 0;
  std::vector<TraceEntry> trace_;
  uint64_t commandCount_ = 0;
  struct Claim {
    ClaimToken token = kClaimRefused;
    ClaimPurpose purpose = ClaimPurpose::Commands;
  };
  std::array<Claim, kBusDrives> claims_{};
  ClaimToken nextClaim_ = 1;
};

}  // namespace px::sim
