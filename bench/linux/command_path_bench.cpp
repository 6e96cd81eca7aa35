// What the Linux back end costs the program around the kernel: one sector
// read through DeviceAccess::ReadSectors -> SgTransport::Execute -> SG_IO,
// with the ioctl replaced by a stand-in that answers at once, so that only
// the program's own work is measured; the same path with the real ioctl on
// a node that refuses SG_IO, for the cost of the system call; and an open
// with its close. Allocations are counted by the operator new below, which
// serves the whole benchmark program.
#include <benchmark/benchmark.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <new>

#include "device/linux/sg_transport.h"
#include "device/scsi_commands.h"
#include "unit/linux/fake_host.h"

namespace {

std::atomic<uint64_t> gAllocations{0};

}  // namespace

// Not inlined: GCC would otherwise see free() meet what it takes for the
// library's own operator new, and warn of a mismatch.
[[gnu::noinline]] void* operator new(std::size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* memory) noexcept {
  std::free(memory);
}
[[gnu::noinline]] void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}

namespace {

class NullPanels final : public px::StatusPanels {
 public:
  void SetText(int, std::string_view) override {}
};

px::test::FakeHost& WithOneDisk(px::test::FakeHost& host) {
  // A plain file for a node: its device number 0 is what the fake sysfs
  // lists, so the open's check passes as it does on a real disk.
  host.AddDisk("sda");
  return host;
}

// The device's side of a good read, as the sg driver fills it in.
int AnswerAtOnce(int /*fd*/, sg_io_hdr_t& header) {
  header.status = 0;
  header.host_status = 0;
  header.driver_status = 0;
  header.resid = 0;
  return 0;
}

void Report(benchmark::State& state, uint64_t allocationsBefore) {
  state.counters["allocs/op"] =
      benchmark::Counter(static_cast<double>(gAllocations.load() - allocationsBefore) /
                         static_cast<double>(state.iterations()));
}

void BM_ReadSectorsStandInIoctl(benchmark::State& state) {
  px::test::FakeHost host;
  WithOneDisk(host);
  px::SgTransport transport(host.roots(), nullptr, AnswerAtOnce);
  NullPanels panels;
  px::DeviceAccess access(transport, panels);
  const px::OpenResult opened = access.OpenDrive(px::PhysicalDrive(0));
  std::array<uint8_t, px::kSectorSize> sector{};
  const uint64_t before = gAllocations.load();
  for (auto _ : state) {
    benchmark::DoNotOptimize(access.ReadSectors(opened.handle, 17, sector.data(), 1));
  }
  Report(state, before);
  access.CloseHandle(opened.handle);
}
BENCHMARK(BM_ReadSectorsStandInIoctl);

// The kernel refuses SG_IO on a plain file at once: the system call and
// its way back, the floor under every command.
void BM_ExecuteRefusedByTheKernel(benchmark::State& state) {
  px::test::FakeHost host;
  WithOneDisk(host);
  px::SgTransport transport(host.roots());
  const px::OpenResult opened =
      transport.Open({px::DevicePath::Kind::PhysicalDrive, px::PhysicalDrive(0), 0});
  std::array<uint8_t, px::kSectorSize> sector{};
  const px::ScsiRequest read = px::MakeRead10(17, 1, sector.data());
  const uint64_t before = gAllocations.load();
  for (auto _ : state) benchmark::DoNotOptimize(transport.Execute(opened.handle, read));
  Report(state, before);
  transport.Close(opened.handle);
}
BENCHMARK(BM_ExecuteRefusedByTheKernel);

void BM_OpenAndClose(benchmark::State& state) {
  px::test::FakeHost host;
  WithOneDisk(host);
  px::SgTransport transport(host.roots());
  const uint64_t before = gAllocations.load();
  for (auto _ : state) {
    const px::OpenResult opened =
        transport.Open({px::DevicePath::Kind::PhysicalDrive, px::PhysicalDrive(0), 0});
    transport.Close(opened.handle);
  }
  Report(state, before);
}
BENCHMARK(BM_OpenAndClose);

// A new look at the host, as discovery takes before each count: what every
// open used to cost.
void BM_Refresh(benchmark::State& state) {
  px::test::FakeHost host;
  WithOneDisk(host);
  px::SgTransport transport(host.roots());
  const uint64_t before = gAllocations.load();
  for (auto _ : state) transport.Refresh();
  Report(state, before);
}
BENCHMARK(BM_Refresh);

}  // namespace
