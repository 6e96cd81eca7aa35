// A whole firmware upgrade (erase, program, read back 61440 bytes) against
// the virtual enclosure, with each sector read charged 0.375 ms on the fake
// clock. The simulated time is what a user would wait on such a device; it
// must equal the device's reads times their latency plus the channel's own
// 10 ms pauses, i.e. the software adds no reads or sleeps of its own. The
// benchmark's CPU time is what the host spends on the whole upgrade.
#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <string_view>

#include "firmware/upgrade.h"
#include "sim/fake_clock.h"
#include "sim/virtual_bus.h"

namespace {

constexpr uint32_t kReadLatencyMicros = 375;
constexpr unsigned kDrive = 0;

class NullPanels final : public px::StatusPanels {
 public:
  void SetText(int, std::string_view) override {}
};

class NullMessages final : public px::Messages {
 public:
  void Show(std::string_view, std::string_view, px::MessageIcon icon) override {
    completed = icon == px::MessageIcon::Exclamation;
  }
  bool completed = false;
};

struct Rig {
  px::sim::FakeClock clock;
  px::sim::VirtualBus bus{&clock};
  NullPanels panels;
  NullMessages messages;
  px::NoUpgradeProgress progress;
  px::NoSleepInhibitor sleepInhibitor;
  px::DeviceAccess access{bus, panels};
  px::AppFlags flags;
  px::CommandChannel channel{access, clock, nullptr, flags};
  px::DeviceTable devices;
  px::RecordTables records;
  px::FirmwareState state;
  px::FirmwareWork work{
      px::FirmwareDeps{channel, flags, devices, records, state, panels, messages, sleepInhibitor}};

  Rig() {
    bus.AttachEnclosure(kDrive);
    bus.SetReadLatencyMicros(kReadLatencyMicros);
    devices.DeviceSlot[0] = px::kEntryEnclosure | kDrive;
    devices.DeviceCount = 1;
    std::vector<uint8_t> image(px::kFlashSize);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 131 + 7);
    state.ReplaceImage(std::move(image));
  }
  void Upgrade(px::EnclosureSlot slot) { work.Upgrade(slot, state.FirmwareImage, progress); }
};

void BM_FullUpgrade(benchmark::State& state) {
  double simulatedMs = 0;
  double boundMs = 0;
  double reads = 0;
  double sleptMs = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto rig = std::make_unique<Rig>();
    state.ResumeTiming();
    rig->Upgrade(px::EnclosureSlot{0});
    state.PauseTiming();
    if (!rig->messages.completed) state.SkipWithError("the upgrade failed");
    reads = static_cast<double>(rig->bus.ReadLbas(kDrive).size());
    sleptMs = static_cast<double>(rig->clock.SleptMs());
    simulatedMs = static_cast<double>(rig->clock.TickMs());
    boundMs = reads * kReadLatencyMicros / 1000.0 + sleptMs;
    rig.reset();
    state.ResumeTiming();
  }
  state.counters["reads"] = reads;
  state.counters["sleep_ms"] = sleptMs;
  state.counters["simulated_s"] = simulatedMs / 1000.0;
  state.counters["bound_s"] = boundMs / 1000.0;
  state.counters["over_bound_ms"] = simulatedMs - boundMs;
}
BENCHMARK(BM_FullUpgrade)->Unit(benchmark::kMillisecond);

void BM_FlashBackup(benchmark::State& state) {
  double simulatedMs = 0;
  double reads = 0;
  double sleptMs = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto rig = std::make_unique<Rig>();
    state.ResumeTiming();
    const bool read = rig->work.ReadFlashBackup(px::EnclosureSlot{0}).bytes.has_value();
    state.PauseTiming();
    if (!read) state.SkipWithError("the backup failed");
    reads = static_cast<double>(rig->bus.ReadLbas(kDrive).size());
    sleptMs = static_cast<double>(rig->clock.SleptMs());
    simulatedMs = static_cast<double>(rig->clock.TickMs());
    rig.reset();
    state.ResumeTiming();
  }
  state.counters["reads"] = reads;
  state.counters["sleep_ms"] = sleptMs;
  state.counters["simulated_s"] = simulatedMs / 1000.0;
}
BENCHMARK(BM_FlashBackup)->Unit(benchmark::kMillisecond);

}  // namespace
