#include "device/channel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/fake_clock.h"
#include "sim/virtual_bus.h"
#include "support/channel_outcome.h"
#include "support/recording_ui.h"

namespace px {
namespace {

constexpr unsigned kDrive = 1;

using Reply = std::array<uint8_t, kSectorSize>;

// One channel over a virtual bus with an enclosure on drive 1.
struct ChannelRig {
  sim::FakeClock clock;
  sim::VirtualBus bus{&clock};
  test::RecordingPanels panels;
  DeviceAccess access{bus, panels};
  StopSignals flags;
  std::function<void()> onPump;
  CommandChannel channel{access, clock,
                         [this] {
                           if (onPump) onPump();
                         },
                         flags};
  std::shared_ptr<sim::VirtualController> enclosure = bus.AttachEnclosure(kDrive);

  std::vector<uint32_t> Reads() const { return bus.ReadLbas(kDrive); }
  std::size_t CountReads(uint32_t lba) const {
    const auto reads = Reads();
    return static_cast<std::size_t>(std::count(reads.begin(), reads.end(), lba));
  }
};

Reply Filled(uint8_t value) {
  Reply r;
  r.fill(value);
  return r;
}

TEST(CommandChannel, QueryRoundTripReadsKnockThenPollsAndCopiesTheReply) {
  ChannelRig rig;
  Reply reply = Filled(0xEE);
  ASSERT_EQ(Outcome(rig.channel.QueryController(PhysicalDrive(kDrive), 0x10, reply)), "answered");
  EXPECT_EQ(rig.channel.LastStatus(), kStatusCarriedOut);
  EXPECT_TRUE(IsReplySector(reply));
  const std::vector<uint32_t> expected = {0x43,  0x71,  0xA7,  0xDF,  0x100,  0x104,
                                          0x1EF, 0x1FF, 0x210, 0x2CF, 0x2DF,  0x2EF,
                                          0x41B, 0x4DF, 0x438, 0x42E, 0x5FFF, 17};
  EXPECT_EQ(rig.Reads(), expected);
  EXPECT_EQ(rig.bus.OpenHandleCount(), 0u) << "the drive must be closed after the query";
}

TEST(CommandChannel, IdentityReplyArrivesWhole) {
  ChannelRig rig;
  Reply reply{};
  ASSERT_EQ(Outcome(rig.channel.QueryController(PhysicalDrive(kDrive), 0x11, reply)), "answered");
  EXPECT_EQ(reply[88], 0x14);
  EXPECT_EQ(reply[91], 0x15);
  EXPECT_EQ(reply[92], 0x50);
  EXPECT_EQ(reply[93], 0x00);
}

TEST(CommandChannel, WrongTailSignatureIsPolledUntilTheWholeSecondLimit) {
  struct Case {
    uint8_t sub;
    uint64_t gaveUpAtMs;  // first poll at which whole seconds exceed the limit
  } cases[] = {{0x10, 2000}, {0x17, 4000}, {0x11, 4000}};
  for (const auto& c : cases) {
    ChannelRig rig;
    rig.enclosure->UpdateFaults([](sim::ControllerFaults& f) { f.wrongTailSignature = true; });
    Reply reply = Filled(0xEE);
    EXPECT_EQ(Outcome(rig.channel.QueryController(PhysicalDrive(kDrive), c.sub, reply)), "NoReply");
    EXPECT_EQ(rig.channel.LastStatus(), kResultNoReply);
    // Polls every 10 ms from 0 up to and including the one that gives up,
    // which still sleeps its 10 ms.
    EXPECT_EQ(rig.CountReads(17), c.gaveUpAtMs / 10 + 1) << int{c.sub};
    EXPECT_EQ(rig.clock.TickMs(), c.gaveUpAtMs + 10) << int{c.sub};
    EXPECT_EQ(reply, Filled(0xEE)) << "nothing may be copied";
  }
}

// A controller that replied is never taken for a channel failure, whatever
// its status byte: 00h ("not answered") is no success, F0h and FFh are no
// failure to open or to knock.
TEST(CommandChannel, ControllerStatusDecidesResultAndCopy) {
  struct Case {
    uint8_t raw;
    std::string result;
    bool copied;
    bool taken;  // what a command that wants no reply goes on with
  } cases[] = {
      {0x20, "answered", true, true},    {0x42, "status F4", false, false},
      {0x00, "status 00", false, true},  {0x10, "status 10", false, false},
      {0xC0, "status C0", false, false}, {0xF0, "status F0", false, false},
      {0xFF, "status FF", false, false},
  };
  for (const auto& c : cases) {
    ChannelRig rig;
    rig.enclosure->UpdateFaults([&](sim::ControllerFaults& f) {
      if (c.raw != 0x20) f.status = c.raw;
    });
    Reply reply = Filled(0xEE);
    const CommandResult result = rig.channel.QueryController(PhysicalDrive(kDrive), 0x17, reply);
    EXPECT_EQ(Outcome(result), c.result) << int{c.raw};
    EXPECT_EQ(result.Taken(), c.taken) << int{c.raw};
    EXPECT_FALSE(result.failure()) << int{c.raw};
    EXPECT_EQ(reply != Filled(0xEE), c.copied) << int{c.raw};
  }
}

TEST(CommandChannel, ReplyAfterSeveralPollsIsAccepted) {
  ChannelRig rig;
  rig.enclosure->UpdateFaults([](sim::ControllerFaults& f) { f.replyAfterPolls = 5; });
  Reply reply{};
  EXPECT_EQ(Outcome(rig.channel.QueryController(PhysicalDrive(kDrive), 0x17, reply)), "answered");
  EXPECT_EQ(rig.CountReads(17), 6u);
}

TEST(CommandChannel, FailedKnockReadEndsTheCommandAndSaysWhere) {
  ChannelRig rig;
  rig.bus.FailReadsAt(0x1EF);
  Reply reply{};
  EXPECT_EQ(Outcome(rig.channel.QueryController(PhysicalDrive(kDrive), 0x10, reply)),
            "KnockFailed");
  EXPECT_EQ(rig.panels.Last(StatusPanels::kMessagePanel),
            "ReadLBA error at LBA = 01EF, SecCnt = 1");
  EXPECT_EQ(rig.Reads().back(), 0x1EFu) << "no read may follow the failed one";
  EXPECT_EQ(rig.bus.OpenHandleCount(), 0u);
}

TEST(CommandChannel, FailedReplyReadGivesF1) {
  ChannelRig rig;
  rig.bus.FailReadsAt(17);
  Reply reply{};
  EXPECT_EQ(Outcome(rig.channel.QueryController(PhysicalDrive(kDrive), 0x10, reply)),
            "ReplyFailed");
  EXPECT_EQ(rig.panels.Last(StatusPanels::kMessagePanel),
            "ReadLBA error at LBA = 0011, SecCnt = 1");
}

TEST(CommandChannel, ClosingDuringTheWaitEndsAtTheNextPoll) {
  ChannelRig rig;
  rig.enclosure->UpdateFaults([](sim::ControllerFaults& f) { f.noReply = true; });
  int pumps = 0;
  // 16 knock reads pump first; the 17th pump opens the first poll, the 18th
  // the second.
  rig.onPump = [&] {
    if (++pumps == 18) rig.flags.closing = true;
  };
  Reply reply{};
  EXPECT_EQ(Outcome(rig.channel.QueryController(PhysicalDrive(kDrive), 0x17, reply)),
            "ReplyFailed");
  EXPECT_EQ(rig.CountReads(17), 1u);
}

TEST(CommandChannel, ClosingBeforeOrDuringTheKnock) {
  ChannelRig rig;
  rig.flags.closing = true;
  Reply reply{};
  EXPECT_EQ(Outcome(rig.channel.QueryController(PhysicalDrive(kDrive), 0x10, reply)), "NotOpened");
  EXPECT_TRUE(rig.Reads().empty());

  ChannelRig rig2;
  int pumps = 0;
  rig2.onPump = [&] {
    if (++pumps == 5) rig2.flags.closing = true;
  };
  EXPECT_EQ(Outcome(rig2.channel.QueryController(PhysicalDrive(kDrive), 0x10, reply)),
            "KnockFailed");
  EXPECT_EQ(rig2.Reads().size(), 4u);
}

TEST(CommandChannel, DeviceThatDoesNotOpenGivesF0) {
  ChannelRig rig;
  Reply reply{};
  EXPECT_EQ(Outcome(rig.channel.QueryController(PhysicalDrive(5), 0x10, reply)), "NotOpened")
      << "nothing on drive 5";
  rig.bus.SetOpenFails(kDrive, true);
  EXPECT_EQ(Outcome(rig.channel.QueryController(PhysicalDrive(kDrive), 0x10, reply)), "NotOpened");
  EXPECT_TRUE(rig.Reads().empty());
}

TEST(CommandChannel, LongFormOfEqualBytesIsSeparatedBy5FFF) {
  ChannelRig rig;
  std::array<uint8_t, 128> payload;
  payload.fill(0xFF);
  auto guard = rig.channel.Lock(PhysicalDrive(kDrive));
  ASSERT_TRUE(guard);
  ScopedDevice device(rig.access, PhysicalDrive(kDrive));
  std::array<uint8_t, 0> none{};
  rig.channel.Transact(guard, device.get(),
                       {{0x01, 0x05, 0xEF, 0xFF}, {0x25, 0x01, 0x00, 0x00}, payload.data()}, 3000,
                       none);
  const auto reads = rig.Reads();
  // The payload reads start at the first 0x3FF.
  const auto first = std::find(reads.begin(), reads.end(), 0x3FFu);
  ASSERT_NE(first, reads.end());
  std::vector<uint32_t> payloadReads(first, first + 255);
  for (std::size_t i = 0; i < payloadReads.size(); ++i) {
    EXPECT_EQ(payloadReads[i], i % 2 == 0 ? 0x3FFu : 0x5FFFu) << i;
  }
  EXPECT_EQ(first[255] & 0xF00u, 0x400u) << "the checksum follows the last payload read";
}

TEST(CommandChannel, NestedUseFromTheSameThreadIsRefusedNotDeadlocked) {
  ChannelRig rig;
  auto guard = rig.channel.Lock(PhysicalDrive(kDrive));
  ASSERT_TRUE(guard);
  Reply reply{};
  EXPECT_EQ(Outcome(rig.channel.QueryController(PhysicalDrive(kDrive), 0x10, reply)), "NotOpened");
  EXPECT_FALSE(rig.channel.Lock(PhysicalDrive(kDrive)));
}

// Two threads issuing commands at once: every command's reads must arrive as
// one unbroken knock followed by its polls, never mixed with the other's.
TEST(CommandChannel, CommandsFromTwoThreadsNeverInterleave) {
  ChannelRig rig;
  constexpr int kPerThread = 40;
  std::atomic<int> failures{0};
  auto worker = [&](uint8_t sub) {
    Reply reply{};
    for (int i = 0; i < kPerThread; ++i) {
      if (Outcome(rig.channel.QueryController(PhysicalDrive(kDrive), sub, reply)) != "answered")
        ++failures;
    }
  };
  std::thread a(worker, 0x10);
  std::thread b(worker, 0x17);
  a.join();
  b.join();
  EXPECT_EQ(failures.load(), 0);
  // Each command is exactly 16 knock reads, a 0x5FFF and a 17.
  const auto reads = rig.Reads();
  ASSERT_EQ(reads.size(), 2u * kPerThread * 18);
  for (std::size_t at = 0; at < reads.size(); at += 18) {
    EXPECT_EQ(reads[at], 0x43u) << at;
    EXPECT_EQ(reads[at + 16], 0x5FFFu) << at;
    EXPECT_EQ(reads[at + 17], 17u) << at;
  }
  EXPECT_EQ(rig.enclosure->BadChecksumCount(), 0u);
}

// Another program's claim on the enclosure: the query waits for it a few
// seconds (on the clock), then reports the drive busy without a single read.
// This thread's own firmware hold does not stand in its commands' way;
// another thread's does, as another program's would: its knocks would land
// between the upgrade's.
TEST(CommandChannel, AnEnclosureClaimedElsewhereIsWaitedForThenReportedBusy) {
  enum class Hold { None, ThisThread, OtherThread };  // a firmware hold of this program's
  struct Case {
    const char* name;
    std::optional<ClaimPurpose> elsewhere;  // another program's claim
    int releasedAfterPumps;                 // when it lets go; 0: never
    Hold hold;
    std::string code;
    std::string busyText;  // empty: not looked at
  } cases[] = {
      {"held for commands", ClaimPurpose::Commands, 0, Hold::None, "DriveBusy",
       "Drive 1 is busy: another program is using it."},
      {"held for firmware", ClaimPurpose::Firmware, 0, Hold::None, "DriveBusy",
       "Drive 1 is busy: another program is upgrading its firmware."},
      {"let go while waiting", ClaimPurpose::Commands, 3, Hold::None, "answered", ""},
      {"our own firmware hold", std::nullopt, 0, Hold::ThisThread, "answered", ""},
      {"another thread's firmware hold", std::nullopt, 0, Hold::OtherThread, "DriveBusy", ""},
  };
  for (const auto& c : cases) {
    ChannelRig rig;
    ClaimToken other = kClaimRefused;
    if (c.elsewhere) other = rig.bus.TryClaimDrive(PhysicalDrive(kDrive), *c.elsewhere);
    int pumps = 0;
    rig.onPump = [&] {
      if (++pumps == c.releasedAfterPumps) rig.bus.ReleaseDrive(other);
    };
    std::optional<CommandChannel::DriveHold> hold;
    const auto takeHold = [&] {
      hold.emplace(rig.channel.HoldDrive(PhysicalDrive(kDrive), ClaimPurpose::Firmware));
    };
    if (c.hold == Hold::ThisThread) takeHold();
    if (c.hold == Hold::OtherThread) std::thread(takeHold).join();
    if (c.hold != Hold::None) {
      ASSERT_TRUE(*hold) << c.name;
    }
    Reply reply{};
    EXPECT_EQ(Outcome(rig.channel.QueryController(PhysicalDrive(kDrive), 0x17, reply)), c.code)
        << c.name;
    if (c.code == "DriveBusy") {
      EXPECT_TRUE(rig.Reads().empty()) << c.name;
      EXPECT_GE(rig.clock.TickMs(), kDriveWaitMs) << c.name;
      if (!c.busyText.empty()) {
        EXPECT_EQ(rig.channel.DriveBusyText(PhysicalDrive(kDrive)), c.busyText) << c.name;
      }
    }
    hold.reset();
    if (c.releasedAfterPumps == 0 && c.elsewhere) rig.bus.ReleaseDrive(other);
    EXPECT_NE(rig.bus.TryClaimDrive(PhysicalDrive(kDrive), ClaimPurpose::Commands), kClaimRefused)
        << c.name << ": every claim of ours must be let go";
  }
}

// A program asked to stop waits for nobody: not for a drive another program
// holds, not for an answer that does not come. A knock it has begun is played
// to its end all the same, so the controller never sees half a command;
// closing the window, by contrast, ends the knock too.
TEST(CommandChannel, AStopEndsTheWaitsButNeverAKnock) {
  constexpr std::size_t kKnockReads = 16;
  struct Case {
    const char* name;
    bool heldElsewhere;
    int stopAtPump;  // 0: stopping before the command
    std::string code;
    std::size_t reads;  // the whole knock and one look for the answer, or none
  } cases[] = {
      {"a drive another program holds", true, 0, "NotOpened", 0},
      {"a silent enclosure", false, 0, "ReplyFailed", kKnockReads + 2},
      {"a stop in the middle of the knock", false, 5, "ReplyFailed", kKnockReads + 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ChannelRig rig;
    rig.enclosure->UpdateFaults([](sim::ControllerFaults& f) { f.noReply = true; });
    if (c.heldElsewhere) {
      ASSERT_NE(rig.bus.TryClaimDrive(PhysicalDrive(kDrive), ClaimPurpose::Commands),
                kClaimRefused);
    }
    int pumps = 0;
    rig.onPump = [&] {
      if (++pumps == c.stopAtPump) rig.flags.stopping = true;
    };
    if (c.stopAtPump == 0) rig.flags.stopping = true;
    Reply reply{};
    EXPECT_EQ(Outcome(rig.channel.QueryController(PhysicalDrive(kDrive), 0x17, reply)), c.code);
    EXPECT_EQ(rig.Reads().size(), c.reads);
    EXPECT_LT(rig.clock.TickMs(), 1000U) << "a stop is answered within a second";
  }
}
}  // namespace
}  // namespace px
