// The host's own command channel talking to the virtual enclosure through
// the virtual bus: what the program will see.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/bytes.h"
#include "device/channel.h"
#include "raid/records.h"
#include "sim/virtual_bus.h"
#include "sim_helpers.h"
#include "support/channel_outcome.h"
#include "support/recording_ui.h"

namespace px::sim {
namespace {

struct Host {
  explicit Host(VirtualBus& bus, Clock& clock)
      : access(bus, panels), channel(access, clock, nullptr, flags) {}
  px::test::RecordingPanels panels;
  DeviceAccess access;
  AppFlags flags;
  CommandChannel channel;

  std::string Query(unsigned drive, uint8_t s, Sector& reply) {
    return Outcome(channel.QueryController(PhysicalDrive(drive), s, reply));
  }
  // A single SPI step as the firmware code runs it: open, transact, close.
  std::string Spi(unsigned drive, const KnockCommand& command, std::span<uint8_t> reply = {},
                  std::size_t offset = 0) {
    const auto guard = channel.Lock(PhysicalDrive(drive));
    ScopedDevice device(access, PhysicalDrive(drive));
    if (!device.valid()) return "NotOpened";
    return Outcome(channel.Transact(guard, device.get(), command, 3000, reply, offset));
  }
};

struct Rig {
  FakeClock clock;
  VirtualBus bus{&clock};
  Host host{bus, clock};
  std::shared_ptr<VirtualController> box = bus.AttachEnclosure(0);
};

TEST(RoundTrip, PresenceQueryReadsExactlyTheKnockThenOnePoll) {
  Rig rig;
  Sector reply{};
  ASSERT_EQ(rig.host.Query(0, kQueryPresence, reply), "answered");
  const std::vector<uint32_t> expected = {0x43,  0x71,  0xA7,  0xDF,  0x100,  0x104,
                                          0x1EF, 0x1FF, 0x210, 0x2CF, 0x2DF,  0x2EF,
                                          0x41B, 0x4DF, 0x438, 0x42E, 0x5FFF, 17};
  EXPECT_EQ(rig.bus.ReadLbas(0), expected);
  EXPECT_EQ(rig.bus.OpenHandleCount(), 0u);
}

TEST(RoundTrip, StatusQueryGivesTheScenarioThroughTheHostDecoder) {
  Rig rig;
  rig.box->UpdateScenario([](ControllerScenario& s) {
    s.modeByte = 1;
    s.p1 = {9, "HGST HUS724040AL", "PK1334PEJ", 7814037168};
  });
  Sector identity{}, status{};
  ASSERT_EQ(rig.host.Query(0, kQueryIdentity, identity), "answered");
  ASSERT_EQ(rig.host.Query(0, kQueryStatus, status), "answered");
  Record config = identity;
  std::copy_n(identity.begin() + 88, 8, config.begin() + 46);
  Record record{};
  DecodeStatusReply(status, config, record);
  EXPECT_EQ(record[status::kMode], kModeStriping);
  EXPECT_EQ(record[status::kPortFlags], kPortReady | (kPortFailed << 4));
  EXPECT_EQ(LoadLittleEndian(record.data() + status::kP1Capacity, 6), 7814037168u);
}

TEST(RoundTrip, SpiWriteReadEraseOverTheChannel) {
  Rig rig;
  std::vector<uint8_t> data(128);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0xFF - i);
  data[0] = data[1] = 0xFF;  // equal neighbours in the payload need separators
  ASSERT_EQ(rig.host.Spi(0, test::SpiWrite(0, data.data())), "answered");
  std::vector<uint8_t> back(128);
  ASSERT_EQ(rig.host.Spi(0, test::SpiRead(0), back, kReplySpiDataOffset), "answered");
  EXPECT_EQ(back, data);
  ASSERT_EQ(rig.host.Spi(0, test::SpiErase(0)), "answered");
  ASSERT_EQ(rig.host.Spi(0, test::SpiRead(0), back, kReplySpiDataOffset), "answered");
  EXPECT_EQ(back, std::vector<uint8_t>(128, 0xFF));
  EXPECT_EQ(rig.box->BadChecksumCount(), 0u);
}

TEST(RoundTrip, FaultsGiveTheHostsResultCodes) {
  struct Case {
    const char* name;
    std::function<void(Rig&)> fault;
    std::string result;
  } cases[] = {
      {"no reply",
       [](Rig& r) { r.box->UpdateFaults([](ControllerFaults& f) { f.noReply = true; }); },
       "NoReply"},
      {"wrong tail",
       [](Rig& r) {
         r.box->UpdateFaults([](ControllerFaults& f) { f.wrongTailSignature = true; });
       },
       "NoReply"},
      {"status 0x42",
       [](Rig& r) { r.box->UpdateFaults([](ControllerFaults& f) { f.status = 0x42; }); },
       "status F4"},
      {"status 0x00",
       [](Rig& r) { r.box->UpdateFaults([](ControllerFaults& f) { f.status = 0x00; }); },
       "status 00"},
      {"late reply",
       [](Rig& r) { r.box->UpdateFaults([](ControllerFaults& f) { f.replyAfterPolls = 50; }); },
       "answered"},
      {"LBA 17 unreadable", [](Rig& r) { r.bus.FailReadsAt(17); }, "ReplyFailed"},
      {"knock read fails", [](Rig& r) { r.bus.FailReadsAt(0x2DF); }, "KnockFailed"},
      {"drive gone", [](Rig& r) { r.bus.Detach(0); }, "NotOpened"},
      {"gone mid-knock", [](Rig& r) { r.bus.DetachAfterCommands(0, 5); }, "KnockFailed"},
  };
  for (const auto& c : cases) {
    Rig rig;
    c.fault(rig);
    Sector reply{};
    reply.fill(0xEE);
    EXPECT_EQ(rig.host.Query(0, kQueryStatus, reply), c.result) << c.name;
    // Only a carried-out command (status 0x20) copies the reply; 0x00
    // leaves the buffer as it was.
    const bool copied = c.result == "answered";
    EXPECT_EQ(reply[0] != 0xEE, copied) << c.name;
    EXPECT_EQ(rig.bus.OpenHandleCount(), 0u) << c.name;
  }
}

TEST(RoundTrip, LateReplyCostsExactlyItsPolls) {
  Rig rig;
  rig.box->UpdateFaults([](ControllerFaults& f) { f.replyAfterPolls = 3; });
  Sector reply{};
  ASSERT_EQ(rig.host.Query(0, kQueryIdentity, reply), "answered");
  const auto reads = rig.bus.ReadLbas(0);
  EXPECT_EQ(std::count(reads.begin(), reads.end(), 17u), 4);
  EXPECT_EQ(rig.clock.SleptMs(), 40u);
}

TEST(RoundTrip, NineFailedReadsOfOnePageThenSuccess) {
  Rig rig;
  rig.box->AddCommandFault(CommandFault::SpiReadAt(0x0080, 9, 0x42));
  std::vector<uint8_t> back(128);
  for (int attempt = 1; attempt <= 9; ++attempt) {
    EXPECT_EQ(rig.host.Spi(0, test::SpiRead(0), back, kReplySpiDataOffset), "answered");
    EXPECT_EQ(rig.host.Spi(0, test::SpiRead(1), back, kReplySpiDataOffset), "status F4");
  }
  EXPECT_EQ(rig.host.Spi(0, test::SpiRead(1), back, kReplySpiDataOffset), "answered");
}

TEST(RoundTrip, LatencyIsChargedPerRead) {
  Rig rig;
  rig.box->UpdateFaults([](ControllerFaults& f) { f.readLatencyMicros = 1000; });
  Sector reply{};
  ASSERT_EQ(rig.host.Query(0, kQueryPresence, reply), "answered");
  // 18 reads at 1 ms each, and the channel's 10 ms sleep after the poll.
  EXPECT_EQ(rig.clock.TickMs(), 18u + 10u);
}

// Two hosts on two enclosures at once while a third thread rewrites the
// scenarios, plugs a disk in and out and reads the trace: every query must
// still be answered (ThreadSanitizer watches the rest).
TEST(RoundTrip, ConcurrentUseFromSeveralThreads) {
  FakeClock clock;
  VirtualBus bus(&clock);
  auto box0 = bus.AttachEnclosure(0);
  auto box1 = bus.AttachEnclosure(1);
  std::atomic<int> changes{0};
  bus.SetDeviceChangeCallback([&] { ++changes; });
  Host a(bus, clock), b(bus, clock);
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};

  auto worker = [&](Host& host, unsigned drive) {
    for (int i = 0; i < 60; ++i) {
      Sector reply{};
      const uint8_t s = i % 2 == 0 ? kQueryStatus : kQueryIdentity;
      if (host.Query(drive, s, reply) != "answered" || !test::IsReply(reply)) ++failures;
    }
  };
  std::thread meddler([&] {
    uint8_t mode = 0;
    // At least one round, however quickly the workers finish.
    do {
      box0->UpdateScenario([&](ControllerScenario& s) { s.modeByte = mode; });
      box1->SetScenario(ControllerScenario{});
      box1->UpdateFaults([](ControllerFaults& f) { f.readLatencyMicros = 10; });
      bus.AttachPlainDisk(7);
      bus.AddVolume({'E', kDriveFixed, 7, 0, 0});
      (void)bus.Trace();
      (void)bus.LogicalDriveMask();
      bus.RemoveVolume('E');
      bus.Detach(7);
      if (bus.Trace().size() > 10000) bus.ClearTrace();
      mode = static_cast<uint8_t>((mode + 1) % 4);
      std::this_thread::yield();
    } while (!stop);
  });
  std::thread ta(worker, std::ref(a), 0u);
  std::thread tb(worker, std::ref(b), 1u);
  ta.join();
  tb.join();
  stop = true;
  meddler.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(changes.load(), 0);
  EXPECT_EQ(bus.OpenHandleCount(), 0u);
}

}  // namespace
}  // namespace px::sim
