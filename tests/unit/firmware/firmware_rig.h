#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/sleep_inhibitor.h"
#include "device/channel.h"
#include "firmware/firmware_state.h"
#include "firmware/upgrade.h"
#include "firmware/upgrade_progress.h"
#include "raid/device_table.h"
#include "raid/records.h"
#include "sim/fake_clock.h"
#include "sim/virtual_bus.h"
#include "support/recording_ui.h"

namespace px::test {

// What an upgrade told its front end, in order.
class FakeUpgradeProgress final : public UpgradeProgress {
 public:
  void Started(uint32_t maximum) override {
    events.push_back("started " + std::to_string(maximum));
  }
  void StageBegins(int stage) override { events.push_back("stage " + std::to_string(stage)); }
  void StepsDone(uint32_t steps) override {
    position = steps;
    events.push_back("steps " + std::to_string(steps));
  }
  void Finished(const UpgradeOutcome&) override { events.push_back("finished"); }

  std::vector<std::string> events;
  uint32_t position = 0;
};

// Every acquire and release, each with what `moment` says about when it came.
class RecordingSleepInhibitor final : public SleepInhibitor {
 public:
  void Acquire(std::string_view why) override {
    events.push_back("acquire " + std::string(why) + (moment ? moment() : ""));
  }
  void Release() override { events.push_back("release" + (moment ? moment() : "")); }

  std::function<std::string()> moment;
  std::vector<std::string> events;
};

// A folder of its own under the system's temporary folder, removed again.
class TempDir {
 public:
  TempDir() {
    static std::atomic<unsigned> serial{0};
    path_ = std::filesystem::temp_directory_path() /
            ("px-firmware-test-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)) + "-" +
             std::to_string(serial++));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::filesystem::path Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
    const std::filesystem::path file = path_ / name;
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return file;
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string PathString(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

inline std::string Hex8(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

inline std::string HexPlain(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%X", value);
  return text;
}

inline std::vector<uint8_t> ReadBack(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Bytes that differ from page to page and from their neighbours, so a page
// written at the wrong address or a byte out of place shows.
inline std::vector<uint8_t> Pattern(std::size_t size, uint32_t salt = 0) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = 0x9E3779B9u ^ salt;
  for (auto& b : bytes) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);
  }
  return bytes;
}

// The main window's firmware work over a virtual bus with one enclosure on
// physical drive 2, shown as device slot 0.
struct FirmwareRig {
  static constexpr unsigned kDrive = 2;

  sim::FakeClock clock;
  sim::VirtualBus bus{&clock};
  RecordingPanels panels;
  RecordingMessages messages;
  FakeUpgradeProgress progress;
  RecordingSleepInhibitor sleepInhibitor;
  DeviceAccess access{bus, panels};
  AppFlags flags;
  std::function<void()> onPump;
  CommandChannel channel{access, clock,
                         [this] {
                           if (onPump) onPump();
                         },
                         flags};
  DeviceTable devices;
  RecordTables records;
  FirmwareState state;
  std::shared_ptr<sim::VirtualController> enclosure = bus.AttachEnclosure(kDrive);
  FirmwareWork work{
      FirmwareDeps{channel, flags, devices, records, state, panels, messages, sleepInhibitor}};

  FirmwareRig() {
    devices.DeviceSlot[0] = kEntryEnclosure | kDrive;
    devices.DeviceCount = 1;
    devices.UpgradeSlot = 0;
  }

  // "Start Upgrade" with the chooser at `slot`, on the loaded image.
  UpgradeOutcome Upgrade(EnclosureSlot slot = EnclosureSlot{0}) {
    return work.Upgrade(slot, state.FirmwareImage, progress);
  }
  // The target of range operations: the device at UpgradeSlot.
  FlashTarget Target() const { return FlashTargetOf(devices, EnclosureSlot{devices.UpgradeSlot}); }

  std::vector<uint8_t> Flash(uint32_t address, std::size_t length) const {
    return enclosure->ReadFlash(address, length);
  }
  // The c0 byte and page number of every SPI command the controller carried.
  std::vector<std::pair<uint8_t, uint16_t>> SpiCommands() const {
    std::vector<std::pair<uint8_t, uint16_t>> out;
    for (const auto& c : enclosure->Commands()) {
      out.emplace_back(c.command[0], static_cast<uint16_t>(c.command[2] << 8 | c.command[3]));
    }
    return out;
  }
};

}  // namespace px::test
