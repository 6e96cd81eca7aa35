// Runs inside the test's virtual machine as the only program besides the
// shell: the real Linux back end (SG_IO on /dev/sdX) under the program's own
// discovery, status poll, control-sector write and firmware upgrade, with the
// kernel's USB mass-storage and sd drivers between it and the enclosures.
//
//   guest_driver FIRMWARE_FILE
//
// Every result is one line starting with "E2E " on standard output; the host
// side of the test checks them against the virtual enclosures and their
// trace; the driver itself judges nothing and exits 0 after the last step.

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.h"
#include "common/clock.h"
#include "common/text.h"
#include "core/core.h"
#include "device/transport.h"
#include "firmware/firmware_file.h"
#include "nbd/nbd_export.h"
#include "raid/device_text.h"
#include "raid/record_views.h"
#include "raid/settings_model.h"

namespace px::e2e {
namespace {

constexpr uint8_t kOpcodeRead10 = 0x28;
constexpr uint8_t kOpcodeWrite10 = 0x2A;

void Print(const std::string& line) {
  std::printf("E2E %s\n", line.c_str());
  std::fflush(stdout);
}

std::string Quoted(std::string_view text) {
  // Appended rather than concatenated: GCC 12 at -O3 mistakes "\"" + s for
  // an overlapping copy (-Wrestrict).
  std::string out;
  out.reserve(text.size() + 2);
  out.append(1, '"').append(text).append(1, '"');
  return out;
}

std::string Hex(uint64_t value, int digits) {
  return "0x" + HexUpper(value, digits);
}

// Passes everything to the real back end and keeps, per physical drive, the
// fingerprint of the one-sector READ(10)/WRITE(10)s it sent, so the host can
// prove they reached the enclosure as sent: one request each, in order.
class RecordingTransport final : public ForwardingTransport {
 public:
  explicit RecordingTransport(std::unique_ptr<Transport> inner)
      : ForwardingTransport(*inner), inner_(std::move(inner)) {}

  OpenResult Open(const DevicePath& path) override {
    const OpenResult opened = inner_->Open(path);
    if (opened.opened()) {
      std::lock_guard lock(mutex_);
      drives_[opened.handle] =
          path.kind == DevicePath::Kind::PhysicalDrive ? static_cast<int>(path.drive.number()) : -1;
    }
    return opened;
  }
  void Close(DeviceHandle handle) override {
    {
      std::lock_guard lock(mutex_);
      drives_.erase(handle);
    }
    inner_->Close(handle);
  }
  CommandOutcome Execute(DeviceHandle handle, const ScsiRequest& request) override {
    const CommandOutcome outcome = inner_->Execute(handle, request);
    const uint8_t opcode = request.cdb[0];
    if (opcode != kOpcodeRead10 && opcode != kOpcodeWrite10) return outcome;
    std::lock_guard lock(mutex_);
    const auto drive = drives_.find(handle);
    if (drive == drives_.end() || drive->second < 0) return outcome;
    Counts& counts = counts_[drive->second];
    const uint32_t lba = static_cast<uint32_t>(LoadBigEndian(request.cdb.data() + 2, 4));
    if (!outcome.completed) {
      ++counts.failed;
    } else if (request.transferLength != kSectorSize) {
      ++counts.multiSector;
    } else {
      counts.digest.Add(opcode, lba);
    }
    return outcome;
  }
  void PrintTransfers() {
    std::lock_guard lock(mutex_);
    for (const auto& [drive, counts] : counts_) {
      Print("transfers drive=" + std::to_string(drive) + " sectors=" +
            std::to_string(counts.digest.count()) + " digest=" + Hex(counts.digest.value(), 16) +
            " multi=" + std::to_string(counts.multiSector) +
            " failed=" + std::to_string(counts.failed));
    }
  }

 private:
  struct Counts {
    sim::TransferDigest digest;
    uint64_t multiSector = 0;
    uint64_t failed = 0;
  };
  std::unique_ptr<Transport> inner_;
  std::mutex mutex_;
  std::map<DeviceHandle, int> drives_;
  std::map<int, Counts> counts_;
};

// The window's parts, as far as the core talks to them: the message panel
// and the last message box are what the user would read.
class Console final : public StatusPanels, public Messages {
 public:
  void SetText(int panel, std::string_view text) override {
    if (panel == kMessagePanel) messagePanel_ = text;
  }
  void Show(std::string_view title, std::string_view text, MessageIcon) override {
    boxTitle_ = title;
    boxText_ = text;
  }

  void ClearBox() {
    boxTitle_.clear();
    boxText_.clear();
  }
  const std::string& messagePanel() const { return messagePanel_; }
  const std::string& boxTitle() const { return boxTitle_; }
  const std::string& boxText() const { return boxText_; }

 private:
  std::string messagePanel_;
  std::string boxTitle_;
  std::string boxText_;
};

// Every device in polling, and a schedule backup of 2 hours chosen.
class MonitorWindow final : public MonitorClient {
 public:
  bool DrivesChanging() override { return false; }
  bool Polled(EnclosureSlot) override { return true; }
  void Dropped(EnclosureSlot) override {}
  std::optional<SettingsFill> ChosenSettings() override {
    return FillSettings({true, PeriodUnit::Hours, "2"});
  }
};

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return text;
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  return text;
}

// An ATA-order field of a record, readable and without its padding.
std::string AtaField(std::span<const uint8_t> field) {
  return Trimmed(SwapPairs(field));
}

std::string Member(const char* name, const MemberView& member) {
  const std::string p = std::string(" ") + name + ".";
  return p + "model=" + Quoted(AtaField(member.ModelField())) + p +
         "serial=" + Quoted(AtaField(member.SerialField())) + p +
         "sectors=" + std::to_string(member.CapacitySectors());
}

// The guest keeps no log; its dates would read like this.
class IsoDateFormat final : public DateTimeFormat {
 public:
  std::string ShortDate(const LogTime& t) const override {
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", t.year, t.month, t.day);
    return text;
  }
  std::string LongTime(const LogTime& t) const override {
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", t.hour, t.minute, t.second);
    return text;
  }
};

class GuestDriver {
 public:
  explicit GuestDriver(std::filesystem::path firmware)
      : firmware_(std::move(firmware)),
        transport_(CreatePlatformTransport()),
        core_(CoreServices{transport_,
                           clock_,
                           console_,
                           console_,
                           sleepInhibitor_,
                           dateFormat_,
                           MessagePump{},
                           {},
                           LocalNow,
                           {},
                           {}}) {}

  void Run() {
    Discover();
    Poll();
    WriteSettings();
    for (std::size_t i = 0; i < core_.devices.DeviceCount; ++i) Upgrade(EnclosureSlot{i});
    transport_.PrintTransfers();
  }

 private:
  // (a) The drives the back end numbers, what each says to INQUIRY, and the
  // enclosures discovery makes of them.
  void Discover() {
    const auto start = std::chrono::steady_clock::now();
    DetectionState& detection = core_.detection;
    const DeviceTable& devices = core_.devices;
    detection.LetterCount = core_.discovery.ListLogicalDrives();
    detection.PhysicalDriveCount = core_.discovery.CountPhysicalDrives();
    Print("drives count=" + std::to_string(detection.PhysicalDriveCount.load()) +
          " letters=" + std::to_string(detection.LetterCount.load()));
    for (uint32_t n = 0; n < detection.PhysicalDriveCount; ++n) {
      std::array<uint8_t, kInquiryLength> inquiry{};
      const ScopedDevice drive(core_.access, PhysicalDrive(n));
      const bool ok = drive.valid() && core_.access.InquiryDevice(drive.get(), inquiry.data());
      const auto text = [&](std::size_t at, std::size_t size) {
        return Quoted(
            Trimmed(std::string(inquiry.begin() + static_cast<std::ptrdiff_t>(at),
                                inquiry.begin() + static_cast<std::ptrdiff_t>(at + size))));
      };
      Print("drive n=" + std::to_string(n) + " inquiry=" + (ok ? "ok" : "failed") +
            " vendor=" + text(8, 8) + " product=" + text(16, 16));
    }

    const uint32_t found = core_.discovery.DetectNow().enclosures;
    std::string entries;
    for (uint32_t slot = 0; slot < found; ++slot) {
      entries += (slot ? "," : "") + Hex(devices.DeviceSlot[slot], 2);
    }
    Print("discovery found=" + std::to_string(found) + " entries=" +
          (entries.empty() ? "-" : entries) + " seconds=" + Seconds(SecondsSince(start)));
    for (uint32_t slot = 0; slot < found; ++slot) {
      const Record& config = core_.records.Config(devices.Drive(EnclosureSlot{slot}));
      Print("device slot=" + std::to_string(slot) + " entry=" + Hex(devices.DeviceSlot[slot], 2) +
            " name=" + Quoted(DeviceName(config)) + " firmware=" + Quoted(FirmwareText(config)) +
            " product=" + Hex(LoadBigEndian(ConfigRecordView(config).ProductCode().data(), 2), 4));
    }
  }

  // (b) One status poll of every enclosure, then what its record says.
  void Poll() {
    const PollReport report = core_.raid.ReadStatus(window_);
    Print("poll answered=" + Hex(report.answered, 2) +
          " displays=" + std::to_string(report.display ? 1 : 0));
    for (uint32_t slot = 0; slot < core_.devices.DeviceCount; ++slot) {
      const StatusRecordView status(core_.records.Status(core_.devices.Drive(EnclosureSlot{slot})));
      Print("status slot=" + std::to_string(slot) + " mode=" + std::to_string(status.Mode()) +
            " flags=" + Hex(status.PortFlags(), 2) + Member("p0", status.Member(Port::P0)) +
            Member("p1", status.Member(Port::P1)) +
            " volume=" + std::to_string(status.VolumeCapacity()));
    }
  }

  // (c) The settings control sector to the first enclosure.
  void WriteSettings() {
    if (core_.devices.DeviceCount == 0) return;
    const SettingsFill fill = *window_.ChosenSettings();
    const bool written =
        core_.raid.WriteSettingsSector(window_, EnclosureSlot{0}) == ControlWrite::Written;
    Print("settings slot=0 written=" + std::to_string(written) +
          " backup=" + std::to_string(fill.scheduleBackup) + " period=" + Hex(fill.periodCode, 2));
  }

  // (d) Load the firmware file against the enclosure's identity and run the
  // whole upgrade, as "Load Firmware " and "Start Upgrade" do.
  void Upgrade(EnclosureSlot slot) {
    const Record& config = core_.records.Config(core_.devices.Drive(slot));
    FirmwareState& firmware = core_.firmware;
    console_.ClearBox();
    LoadFirmwareFile(firmware_, config, firmware, console_, console_);
    Print("load slot=" + std::to_string(slot.index()) + " length=" +
          std::to_string(firmware.FirmwareLength()) + " box=" + Quoted(console_.boxText()));
    if (firmware.FirmwareLength() == 0) return;

    console_.ClearBox();
    const auto start = std::chrono::steady_clock::now();
    NoUpgradeProgress progress;
    core_.firmwareWork.Upgrade(slot, firmware.FirmwareImage, progress);
    Print("upgrade slot=" + std::to_string(slot.index()) +
          " panel=" + Quoted(console_.messagePanel()) + " box=" + Quoted(console_.boxTitle()) +
          " progress=" + std::to_string(firmware.UpgradeProgress.load()) +
          " seconds=" + Seconds(SecondsSince(start)));
  }

  std::filesystem::path firmware_;
  Console console_;
  MonitorWindow window_;
  SteadyClock clock_;
  IsoDateFormat dateFormat_;
  // The guest has no logind to ask.
  NoSleepInhibitor sleepInhibitor_;
  RecordingTransport transport_;
  Core core_;
};

}  // namespace
}  // namespace px::e2e

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: guest_driver FIRMWARE_FILE\n");
    return 2;
  }
  px::e2e::GuestDriver driver(argv[1]);
  driver.Run();
  px::e2e::Print("end");
  return 0;
}
