#include "sim/virtual_bus.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "device/scsi_commands.h"

namespace px::sim {
namespace {

// Fixed-format sense: ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE.
constexpr std::array<uint8_t, 18> kInvalidOpcodeSense = {0x70, 0, 0x05, 0, 0, 0,   0,
                                                         0x0A, 0, 0,    0, 0, 0x20};

CommandOutcome CheckCondition() {
  CommandOutcome outcome;
  outcome.completed = true;
  outcome.scsiStatus = kScsiStatusCheckCondition;
  outcome.senseLength = static_cast<uint8_t>(kInvalidOpcodeSense.size());
  std::copy(kInvalidOpcodeSense.begin(), kInvalidOpcodeSense.end(), outcome.sense.begin());
  return outcome;
}

uint32_t CdbLba(const ScsiRequest& r) {
  return uint32_t{r.cdb[2]} << 24 | uint32_t{r.cdb[3]} << 16 | uint32_t{r.cdb[4]} << 8 |
         uint32_t{r.cdb[5]};
}

uint32_t CdbCount(const ScsiRequest& r) {
  return uint32_t{r.cdb[7]} << 8 | uint32_t{r.cdb[8]};
}

}  // namespace

VirtualBus::VirtualBus(FakeClock* clock) : clock_(clock) {}

VirtualBus::~VirtualBus() = default;

// ---------------------------------------------------------------------------
// Transport.

OpenResult VirtualBus::Open(const DevicePath& path) {
  std::lock_guard lock(mutex_);
  OpenHandle h;
  h.path = path;
  if (path.kind == DevicePath::Kind::PhysicalDrive) {
    const unsigned drive = path.drive.number();
    if (drive >= kBusDrives) return {};
    const Slot& slot = slots_[drive];
    if (!slot.device) return {};
    if (slot.openFails) return {kInvalidHandle, OpenStatus::Denied, 0};
    h.drive = drive;
    h.attachment = slot.attachment;
  } else {
    const auto it = volumes_.find(path.letter);
    if (it == volumes_.end()) return {};
    if (it->second.openFails) return {kInvalidHandle, OpenStatus::Denied, 0};
    const VolumeScenario& v = it->second;
    h.drive = v.diskNumber;
    h.lbaOffset = v.startingOffset / kSectorSize;
    // A volume may live on a disk the bus does not model (the system disk);
    // commands on it then fail, but it opens and answers its extent query.
    if (v.diskNumber < kBusDrives) h.attachment = slots_[v.diskNumber].attachment;
  }
  const DeviceHandle handle = nextHandle_++;
  handles_.emplace(handle, h);
  return {handle, OpenStatus::Opened, 0};
}

void VirtualBus::Close(DeviceHandle handle) {
  std::lock_guard lock(mutex_);
  handles_.erase(handle);
}

CommandOutcome VirtualBus::Execute(DeviceHandle handle, const ScsiRequest& request) {
  const uint8_t opcode = request.cdb[0];
  const bool isRead = opcode == kOpRead10;
  const uint64_t arrivedMs = clock_ != nullptr ? clock_->TickMs() : 0;

  // Latency first and outside the lock: a really sleeping bus must not hold
  // up the other thread.
  if (isRead) {
    uint32_t micros = 0;
    uint64_t realMs = 0;
    std::shared_ptr<VirtualDrive> device;
    {
      std::lock_guard lock(mutex_);
      micros = readLatencyMicros_;
      realLatencyOwedMicros_ += realReadLatencyMicros_;
      realMs = realLatencyOwedMicros_ / 1000;
      realLatencyOwedMicros_ %= 1000;
      const auto it = handles_.find(handle);
      if (it != handles_.end() && it->second.drive < kBusDrives) {
        device = slots_[it->second.drive].device;
      }
    }
    if (device) micros += device->ReadLatencyMicros();
    if (micros > 0) {
      if (clock_ != nullptr) {
        clock_->AdvanceMicros(micros);
      } else {
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::microseconds(micros));
        latencyAskedMicros_ += micros;
        latencySleptMicros_ +=
            static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                      std::chrono::steady_clock::now() - start)
                                      .count());
      }
    }
    if (realMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(realMs));
  }

  CommandOutcome outcome;
  bool ok = false;
  bool detachNow = false;
  {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(handle);
    if (it == handles_.end()) return outcome;  // not a handle of ours: nothing reached a device
    const OpenHandle& h = it->second;

    TraceEntry entry;
    entry.drive = h.drive;
    entry.volume = h.path.kind == DevicePath::Kind::Volume ? h.path.letter : 0;
    entry.opcode = opcode;
    entry.direction = request.direction;
    entry.timeMs = arrivedMs;
    const uint32_t lba = CdbLba(request);
    uint32_t count = 0;
    if (opcode == kOpRead10 || opcode == kOpWrite10) {
      entry.lba = lba;
      entry.count = count = CdbCount(request);
    } else if (opcode == kOpInquiry) {
      entry.count = request.cdb[4];
    }
    ++commandCount_;

    std::shared_ptr<VirtualDrive> device;
    if (h.drive < kBusDrives && h.attachment != 0 && slots_[h.drive].attachment == h.attachment) {
      device = slots_[h.drive].device;
    }

    ok = device != nullptr;
    if (ok && commandsLeft_) {
      if (*commandsLeft_ == 0) {
        ok = false;
      } else {
        --*commandsLeft_;
      }
    }
    const uint64_t diskLba = h.lbaOffset + lba;
    if (ok && (opcode == kOpRead10 || opcode == kOpWrite10)) {
      const DataDirection wanted = isRead ? DataDirection::In : DataDirection::Out;
      const uint64_t bytes = uint64_t{count} * kSectorSize;
      ok = request.direction == wanted && request.transferLength >= bytes &&
           (count == 0 || request.data != nullptr) && diskLba + count <= 0x100000000ULL;
    }
    if (ok && isRead) {
      for (const ReadFailure& f : readFailures_) {
        if ((!f.drive || *f.drive == h.drive) && f.lba >= lba && f.lba - lba < count) ok = false;
      }
    }
    if (ok) {
      const auto at = static_cast<uint32_t>(diskLba);
      switch (opcode) {
        case kOpRead10:
          device->Read(at, count, request.data);
          break;
        case kOpWrite10:
          device->Write(at, count, request.data);
          break;
        case kOpInquiry: {
          const InquiryData data = device->Inquiry();
          const uint32_t n = std::min<uint32_t>(
              {request.transferLength, request.cdb[4], static_cast<uint32_t>(data.size())});
          if (n > 0 && request.data == nullptr) {
            ok = false;
          } else {
            std::copy_n(data.begin(), n, request.data);
          }
          break;
        }
        default:
          outcome = CheckCondition();
          break;
      }
    }
    entry.ok = ok;
    trace_.push_back(entry);

    if (device && detachAfter_ && detachAfter_->first == h.drive) {
      if (detachAfter_->second <= 1) {
        detachAfter_.reset();
        detachNow = DetachLocked(h.drive);
      } else {
        --detachAfter_->second;
      }
    }
  }
  if (detachNow) FireDeviceChange();
  outcome.completed = ok;
  return outcome;
}

uint32_t VirtualBus::LogicalDriveMask() {
  std::lock_guard lock(mutex_);
  uint32_t mask = 0;
  for (const auto& [letter, volume] : volumes_) {
    if (letter >= 'A' && letter <= 'Z') mask |= 1u << (letter - 'A');
  }
  return mask;
}

uint8_t VirtualBus::DriveType(char letter) {
  std::lock_guard lock(mutex_);
  const auto it = volumes_.find(letter);
  return it == volumes_.end() ? kDriveNoRootDir : it->second.driveType;
}

std::optional<DiskExtent> VirtualBus::FirstExtent(DeviceHandle volume) {
  std::lock_guard lock(mutex_);
  const auto it = handles_.find(volume);
  if (it == handles_.end() || it->second.path.kind != DevicePath::Kind::Volume) {
    return std::nullopt;
  }
  const auto v = volumes_.find(it->second.path.letter);
  if (v == volumes_.end() || v->second.spansTwoDisks) return std::nullopt;
  return DiskExtent{v->second.diskNumber, v->second.startingOffset, v->second.extentLength};
}

// ---------------------------------------------------------------------------
// Hot-plug.

bool VirtualBus::Attach(unsigned drive, std::shared_ptr<VirtualDrive> device) {
  if (drive >= kBusDrives || !device) return false;
  {
    std::lock_guard lock(mutex_);
    Slot& slot = slots_[drive];
    if (std::dynamic_pointer_cast<VirtualController>(device)) {
      bridges_.try_emplace(device, static_cast<unsigned>(bridges_.size() + 1));
    }
    slot.device = std::move(device);
    slot.attachment = nextAttachment_++;
  }
  FireDeviceChange();
  return true;
}

std::shared_ptr<VirtualController> VirtualBus::AttachEnclosure(unsigned drive,
                                                               ControllerScenario scenario) {
  auto controller = std::make_shared<VirtualController>(std::move(scenario));
  return Attach(drive, controller) ? controller : nullptr;
}

std::shared_ptr<PlainDisk> VirtualBus::AttachPlainDisk(unsigned drive, InquiryScenario inquiry) {
  auto disk = std::make_shared<PlainDisk>(std::move(inquiry));
  return Attach(drive, disk) ? disk : nullptr;
}

bool VirtualBus::DetachLocked(unsigned drive) {
  if (drive >= kBusDrives || !slots_[drive].device) return false;
  slots_[drive].device.reset();
  slots_[drive].attachment = 0;
  return true;
}

void VirtualBus::Detach(unsigned drive) {
  bool changed = false;
  {
    std::lock_guard lock(mutex_);
    changed = DetachLocked(drive);
  }
  if (changed) FireDeviceChange();
}

void VirtualBus::AddVolume(VolumeScenario volume) {
  {
    std::lock_guard lock(mutex_);
    volumes_[volume.letter] = volume;
  }
  FireDeviceChange();
}

void VirtualBus::RemoveVolume(char letter) {
  bool changed = false;
  {
    std::lock_guard lock(mutex_);
    changed = volumes_.erase(letter) > 0;
  }
  if (changed) FireDeviceChange();
}

void VirtualBus::SetDeviceChangeCallback(std::function<void()> callback) {
  std::lock_guard lock(mutex_);
  onDeviceChange_ = std::move(callback);
}

void VirtualBus::FireDeviceChange() {
  std::function<void()> callback;
  {
    std::lock_guard lock(mutex_);
    callback = onDeviceChange_;
  }
  if (callback) callback();
}

// ---------------------------------------------------------------------------
// What is attached.

std::shared_ptr<VirtualDrive> VirtualBus::DriveAt(unsigned drive) const {
  std::lock_guard lock(mutex_);
  return drive < kBusDrives ? slots_[drive].device : nullptr;
}

std::string VirtualBus::BridgeId(PhysicalDrive drive) {
  std::lock_guard lock(mutex_);
  if (drive.number() >= kBusDrives) return {};
  const auto bridge = bridges_.find(slots_[drive.number()].device);
  return bridge == bridges_.end() ? std::string() : "virtual-" + std::to_string(bridge->second);
}

std::shared_ptr<VirtualController> VirtualBus::EnclosureAt(unsigned drive) const {
  return std::dynamic_pointer_cast<VirtualController>(DriveAt(drive));
}

std::vector<VolumeScenario> VirtualBus::Volumes() const {
  std::lock_guard lock(mutex_);
  std::vector<VolumeScenario> out;
  for (const auto& [letter, volume] : volumes_) out.push_back(volume);
  return out;
}

std::size_t VirtualBus::OpenHandleCount() const {
  std::lock_guard lock(mutex_);
  return handles_.size();
}

// ---------------------------------------------------------------------------
// Faults.

void VirtualBus::SetOpenFails(unsigned drive, bool fails) {
  std::lock_guard lock(mutex_);
  if (drive < kBusDrives) slots_[drive].openFails = fails;
}

void VirtualBus::FailReadsAt(uint32_t lba, std::optional<unsigned> drive) {
  std::lock_guard lock(mutex_);
  readFailures_.push_back({lba, drive});
}

void VirtualBus::ClearReadFailures() {
  std::lock_guard lock(mutex_);
  readFailures_.clear();
}

void VirtualBus::FailCommandsAfter(uint64_t n) {
  std::lock_guard lock(mutex_);
  commandsLeft_ = n;
}

void VirtualBus::ClearCommandFailure() {
  std::lock_guard lock(mutex_);
  commandsLeft_.reset();
}

void VirtualBus::DetachAfterCommands(unsigned drive, uint64_t n) {
  bool now = false;
  {
    std::lock_guard lock(mutex_);
    if (n == 0) {
      detachAfter_.reset();
      now = DetachLocked(drive);
    } else {
      detachAfter_ = std::make_pair(drive, n);
    }
  }
  if (now) FireDeviceChange();
}

void VirtualBus::SetReadLatencyMicros(uint32_t micros) {
  std::lock_guard lock(mutex_);
  readLatencyMicros_ = micros;
}

void VirtualBus::SetRealReadLatencyMicros(uint32_t micros) {
  std::lock_guard lock(mutex_);
  realReadLatencyMicros_ = micros;
}

// ---------------------------------------------------------------------------
// Trace.

ClaimToken VirtualBus::TryClaimDrive(PhysicalDrive claimed, ClaimPurpose purpose) {
  const unsigned drive = claimed.number();
  std::lock_guard lock(mutex_);
  if (drive >= kBusDrives) return 0;
  Claim& claim = claims_[drive];
  if (claim.token != kClaimRefused) return kClaimRefused;
  claim = {nextClaim_++ * static_cast<ClaimToken>(kBusDrives) + drive, purpose};
  return claim.token;
}

void VirtualBus::ReleaseDrive(ClaimToken token) {
  std::lock_guard lock(mutex_);
  if (token <= 0) return;
  Claim& claim = claims_[static_cast<std::size_t>(token) % kBusDrives];
  if (claim.token == token) claim = {};
}

bool VirtualBus::DriveClaimedForFirmware(PhysicalDrive claimed) {
  const unsigned drive = claimed.number();
  std::lock_guard lock(mutex_);
  return drive < kBusDrives && claims_[drive].token != kClaimRefused &&
         claims_[drive].purpose == ClaimPurpose::Firmware;
}

std::vector<TraceEntry> VirtualBus::Trace() const {
  std::lock_guard lock(mutex_);
  return trace_;
}

void VirtualBus::ClearTrace() {
  std::lock_guard lock(mutex_);
  trace_.clear();
}

std::vector<uint32_t> VirtualBus::ReadLbas(unsigned drive) const {
  std::lock_guard lock(mutex_);
  std::vector<uint32_t> out;
  for (const TraceEntry& e : trace_) {
    if (e.drive == drive && e.volume == 0 && e.opcode == kOpRead10) out.push_back(e.lba);
  }
  return out;
}

uint64_t VirtualBus::CommandCount() const {
  std::lock_guard lock(mutex_);
  return commandCount_;
}

}  // namespace px::sim
