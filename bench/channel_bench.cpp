// Host cost of the command channel against the zero-latency virtual
// enclosure and a fake clock: what the program itself spends per command,
// with no device time in it. Also the CRC-32 on frame-sized inputs.
#include <benchmark/benchmark.h>

#include <array>
#include <atomic>

#include "device/channel.h"
#include "device/checksum.h"
#include "sim/fake_clock.h"
#include "sim/virtual_bus.h"

namespace {

class NullPanels final : public px::StatusPanels {
 public:
  void SetText(int, std::string_view) override {}
};

struct Rig {
  px::sim::FakeClock clock;
  px::sim::VirtualBus bus{&clock};
  NullPanels panels;
  px::DeviceAccess access{bus, panels};
  px::StopSignals flags;
  px::CommandChannel channel{access, clock, nullptr, flags};
  Rig() { bus.AttachEnclosure(0); }
};

void BM_ShortCommand(benchmark::State& state) {
  Rig rig;
  std::array<uint8_t, px::kSectorSize> reply{};
  for (auto _ : state) {
    benchmark::DoNotOptimize(rig.channel.QueryController(px::PhysicalDrive(0), 0x17, reply));
    state.PauseTiming();
    rig.bus.ClearTrace();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_ShortCommand);

void BM_LongCommand(benchmark::State& state) {
  Rig rig;
  std::array<uint8_t, 128> payload{};
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
  std::array<uint8_t, 0> none{};
  auto guard = rig.channel.Lock(px::PhysicalDrive(0));
  px::ScopedDevice device(rig.access, px::PhysicalDrive(0));
  for (auto _ : state) {
    benchmark::DoNotOptimize(rig.channel.Transact(
        guard, device.get(), {{0x01, 0x05, 0xEF, 0xFF}, {0x25, 0x01, 0x00, 0x00}, payload.data()},
        3000, none));
    state.PauseTiming();
    rig.bus.ClearTrace();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_LongCommand);

void BM_Crc32(benchmark::State& state) {
  std::array<uint8_t, 144> frame{};
  for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i);
  const auto length = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(px::RecordChecksum(frame.data(), length));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc32)->Arg(16)->Arg(144);

}  // namespace
