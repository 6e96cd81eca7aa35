#include "firmware/spi_flash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "firmware_rig.h"
#include "support/channel_outcome.h"

namespace px {
namespace {

using test::FirmwareRig;
using test::Pattern;

std::vector<std::string> AttemptTexts(const std::string& first, const std::string& final,
                                      const std::string& address) {
  std::vector<std::string> texts;
  for (int i = 1; i <= 9; ++i)
    texts.push_back(first + std::to_string(i) + " times, Address = " + address);
  texts.push_back(final + address);
  return texts;
}

TEST(SpiStep, FramesCarryHeaderOperationAndPageMostSignificantByteFirst) {
  struct Case {
    const char* name;
    uint32_t address;
    std::array<uint8_t, 4> header;
    std::array<uint8_t, 4> command;
    bool longForm;
  } cases[] = {
      {"read 0x1234 drops the low 7 bits",
       0x1234,
       {0x00, 0x04, 0xEF, 0xFF},
       {0x20, 0x01, 0x00, 0x24},
       false},
      {"write 0x10000", 0x10000, {0x01, 0x05, 0xEF, 0xFF}, {0x25, 0x01, 0x02, 0x00}, true},
      {"erase 0xF000", 0xF000, {0x00, 0x05, 0xEF, 0xFF}, {0x23, 0x01, 0x01, 0xE0}, false},
      {"read past 8 MiB wraps the page number",
       0x800080,
       {0x00, 0x04, 0xEF, 0xFF},
       {0x20, 0x01, 0x00, 0x01},
       false},
  };
  for (const auto& c : cases) {
    FirmwareRig rig;
    const auto payload = Pattern(kSpiPageSize);
    std::array<uint8_t, kSpiPageSize> page{};
    const ScopedDevice device(rig.access, PhysicalDrive(FirmwareRig::kDrive));
    const auto guard = rig.channel.Lock(PhysicalDrive(FirmwareRig::kDrive));
    CommandResult result = CommandResult::Failed(ChannelFailure::NotOpened);
    switch (c.command[0]) {
      case 0x20:
        result = SpiReadPage(rig.channel, guard, device.get(), c.address, page);
        break;
      case 0x25:
        result = SpiWritePage(rig.channel, guard, device.get(), c.address,
                              std::span<const uint8_t, kSpiPageSize>(payload.data(), kSpiPageSize));
        break;
      default:
        result = SpiEraseBlock(rig.channel, guard, device.get(), c.address);
        break;
    }
    EXPECT_TRUE(result.Answered()) << c.name;
    const auto commands = rig.enclosure->Commands();
    ASSERT_EQ(commands.size(), 1u) << c.name;
    EXPECT_EQ(commands[0].header, c.header) << c.name;
    EXPECT_EQ(commands[0].command, c.command) << c.name;
    EXPECT_EQ(commands[0].longForm, c.longForm) << c.name;
    EXPECT_TRUE(commands[0].carriedOut) << c.name;
  }
}

TEST(SpiStep, PageReadCopiesThePageAndWriteProgramsIt) {
  FirmwareRig rig;
  const auto data = Pattern(kSpiPageSize, 7);
  rig.enclosure->SetFlash(0x1200, data);
  const ScopedDevice device(rig.access, PhysicalDrive(FirmwareRig::kDrive));
  const auto guard = rig.channel.Lock(PhysicalDrive(FirmwareRig::kDrive));
  std::array<uint8_t, kSpiPageSize> page{};
  ASSERT_TRUE(SpiReadPage(rig.channel, guard, device.get(), 0x1234, page).Answered());
  EXPECT_TRUE(std::equal(page.begin(), page.end(), data.begin()));

  ASSERT_TRUE(SpiWritePage(rig.channel, guard, device.get(), 0x300,
                           std::span<const uint8_t, kSpiPageSize>(data.data(), kSpiPageSize))
                  .Answered());
  EXPECT_EQ(rig.Flash(0x300, kSpiPageSize), data);
  ASSERT_TRUE(SpiEraseBlock(rig.channel, guard, device.get(), 0x3FF).Answered());
  EXPECT_EQ(rig.Flash(0, 4096), std::vector<uint8_t>(4096, 0xFF));
}

TEST(SpiStep, ControllerStatusDecidesResultAndWhetherTheDestinationChanges) {
  struct Case {
    std::optional<uint8_t> status;  // empty: the controller never answers
    std::string result;
  } cases[] = {
      {0x00, "status 00"},  // once read as success, but no page was copied
      {0x42, "status F4"},
      {0xE0, "status E0"},
      {std::nullopt, "NoReply"},
  };
  for (const auto& c : cases) {
    FirmwareRig rig;
    rig.enclosure->SetFlash(0, Pattern(kSpiPageSize));
    rig.enclosure->AddCommandFault({0x20, std::nullopt, 1, c.status});
    const ScopedDevice device(rig.access, PhysicalDrive(FirmwareRig::kDrive));
    const auto guard = rig.channel.Lock(PhysicalDrive(FirmwareRig::kDrive));
    std::array<uint8_t, kSpiPageSize> page;
    page.fill(0xA5);
    const CommandResult result = SpiReadPage(rig.channel, guard, device.get(), 0, page);
    EXPECT_EQ(Outcome(result), c.result);
    EXPECT_FALSE(result.Answered());
    EXPECT_TRUE(std::all_of(page.begin(), page.end(), [](uint8_t b) { return b == 0xA5; }));
  }
}

TEST(SpiRange, EraseWalksFifteenBlocksAndReadWalks480Pages) {
  FirmwareRig rig;
  const auto image = Pattern(0x10000);
  rig.enclosure->SetFlash(0, std::vector<uint8_t>(0x10000, 0x00));
  rig.state.UpgradeProgress = 5;
  ASSERT_TRUE(rig.work.spi().EraseSPI(rig.Target(), 0, 61440));
  std::vector<std::pair<uint8_t, uint16_t>> erases;
  for (uint16_t page = 0; page <= 0x01C0; page += 0x20) erases.emplace_back(0x23, page);
  EXPECT_EQ(rig.SpiCommands(), erases);
  EXPECT_EQ(rig.state.UpgradeProgress, 5u + 15u);
  EXPECT_EQ(rig.Flash(0, 61440), std::vector<uint8_t>(61440, 0xFF));
  EXPECT_EQ(rig.Flash(61440, 4096), std::vector<uint8_t>(4096, 0x00)) << "erased past the range";

  rig.enclosure->SetFlash(0, image);
  rig.enclosure->ClearCommands();
  std::vector<uint8_t> read(61440);
  ASSERT_TRUE(rig.work.spi().ReadSPI(rig.Target(), 0, 61440, read));
  const auto commands = rig.SpiCommands();
  ASSERT_EQ(commands.size(), 480u);
  for (uint16_t i = 0; i < 480; ++i) EXPECT_EQ(commands[i], std::make_pair(uint8_t{0x20}, i));
  EXPECT_TRUE(std::equal(read.begin(), read.end(), image.begin()));
  EXPECT_EQ(rig.state.UpgradeProgress, 5u + 15u + 480u);
  EXPECT_EQ(rig.bus.OpenHandleCount(), 0u);
}

TEST(SpiRange, NineFailedAttemptsGiveNineTextsAndTheFinalOne) {
  struct Case {
    uint8_t c0;
    uint32_t failAt;
    std::string first;
    std::string final;
    uint32_t progress;  // steps done before the failing one
    const char* address;
  } cases[] = {
      {0x20, 0x0080, "ReadSPI fail ", "ReadSPI fail, Address = ", 1, "0080"},
      {0x25, 0x0100, "WriteSPI fail", "WriteSPI fail, Address = ", 2, "0100"},
      {0x23, 0x2000, "EraseSPI fail ", "EraseSPI fail, Address = ", 2, "2000"},
  };
  for (const auto& c : cases) {
    FirmwareRig rig;
    rig.enclosure->AddCommandFault({c.c0, static_cast<uint16_t>(c.failAt >> 7), 9, 0x42});
    std::vector<uint8_t> buffer(0x4000);
    bool ok = true;
    if (c.c0 == 0x20) ok = rig.work.spi().ReadSPI(rig.Target(), 0, 0x4000, buffer);
    if (c.c0 == 0x25) ok = rig.work.spi().WriteSPI(rig.Target(), 0, 0x4000, buffer);
    if (c.c0 == 0x23) ok = rig.work.spi().EraseSPI(rig.Target(), 0, 0x4000);
    EXPECT_FALSE(ok) << c.first;
    EXPECT_EQ(rig.panels.TextsOf(StatusPanels::kMessagePanel),
              AttemptTexts(c.first, c.final, c.address));
    EXPECT_EQ(rig.state.UpgradeProgress, c.progress) << c.first;
    EXPECT_TRUE(rig.messages.boxes().empty());
    EXPECT_EQ(rig.bus.OpenHandleCount(), 0u);
    // The step after the failing one is never tried.
    EXPECT_EQ(rig.SpiCommands().back(), std::make_pair(c.c0, static_cast<uint16_t>(c.failAt >> 7)));
  }
}

TEST(SpiRange, AFailedAttemptIsRetriedAtTheSameAddressAndShowsAddressesInFull) {
  struct Case {
    uint32_t address;
    uint32_t failures;
    bool ok;
    std::string lastText;
  } cases[] = {
      {0xEF80, 2, true, "ReadSPI fail 2 times, Address = EF80"},
      {0x10000, 9, false, "ReadSPI fail, Address = 10000"},
      {0x0000, 8, true, "ReadSPI fail 8 times, Address = 0000"},
  };
  for (const auto& c : cases) {
    FirmwareRig rig;
    const auto data = Pattern(kSpiPageSize, c.address);
    rig.enclosure->SetFlash(c.address, data);
    rig.enclosure->AddCommandFault(sim::CommandFault::SpiReadAt(c.address, c.failures, 0x42));
    std::vector<uint8_t> page(kSpiPageSize);
    EXPECT_EQ(rig.work.spi().ReadSPI(rig.Target(), c.address, kSpiPageSize, page), c.ok);
    EXPECT_EQ(rig.panels.Last(StatusPanels::kMessagePanel), c.lastText);
    EXPECT_EQ(rig.panels.TextsOf(StatusPanels::kMessagePanel).size(), c.failures + (c.ok ? 0 : 1));
    if (c.ok) {
      EXPECT_EQ(page, data);
    }
  }
}

TEST(SpiRange, DeviceAndSlotChecksComeBeforeAnyDeviceAccess) {
  struct Case {
    const char* name;
    uint32_t count;
    uint32_t slot;
    bool openFails;
    std::string text;
    std::optional<std::string> box;
  } cases[] = {
      {"no device", 0, 0, false, "Device not found!!!", "No Device found !"},
      {"no upgrade slot", 2, kNoSlot, false, "No Upgrade Mode!!!", "No Upgrade Mode !"},
      {"slot past the devices", 2, 2, false, "No Upgrade Mode!!!", "No Upgrade Mode !"},
      {"open fails", 1, 0, true, "CreateFile blocked!", std::nullopt},
  };
  for (const auto& c : cases) {
    FirmwareRig rig;
    rig.devices.DeviceSlot[1] = kEntryEnclosure | 3;
    rig.devices.DeviceCount = c.count;
    rig.devices.UpgradeSlot = c.slot;
    rig.bus.SetOpenFails(FirmwareRig::kDrive, c.openFails);
    std::vector<uint8_t> buffer(256);
    EXPECT_FALSE(rig.work.spi().ReadSPI(rig.Target(), 0, 256, buffer)) << c.name;
    EXPECT_FALSE(rig.work.spi().WriteSPI(rig.Target(), 0, 256, buffer)) << c.name;
    EXPECT_FALSE(rig.work.spi().EraseSPI(rig.Target(), 0, 4096)) << c.name;
    EXPECT_EQ(rig.panels.TextsOf(StatusPanels::kMessagePanel), std::vector<std::string>(3, c.text))
        << c.name;
    const auto boxes = rig.messages.boxes();
    if (c.box) {
      ASSERT_EQ(boxes.size(), 3u) << c.name;
      for (const auto& b : boxes)
        EXPECT_EQ(b, (test::RecordingMessages::Box{"Message", *c.box, MessageIcon::None}));
    } else {
      EXPECT_TRUE(boxes.empty()) << c.name;
    }
    EXPECT_TRUE(rig.bus.Trace().empty()) << c.name;
    EXPECT_EQ(rig.bus.OpenHandleCount(), 0u) << c.name;
  }
}

TEST(SpiRange, LengthsThatAreNotWholeStepsAreRefusedUntouched) {
  struct Case {
    const char* name;
    uint32_t length;
    std::size_t buffer;
  } cases[] = {
      {"read of 100 bytes", 100, 100},
      {"read of 129 bytes", 129, 129},
      {"write of a page into a smaller buffer", 256, 128},
      {"erase of 4097 bytes", 4097, 0},
  };
  for (const auto& c : cases) {
    FirmwareRig rig;
    std::vector<uint8_t> buffer(c.buffer, 0x5C);
    bool ok = true;
    if (c.buffer == 0) {
      ok = rig.work.spi().EraseSPI(rig.Target(), 0, c.length);
    } else if (c.length == 256) {
      ok = rig.work.spi().WriteSPI(rig.Target(), 0, c.length, buffer);
    } else {
      ok = rig.work.spi().ReadSPI(rig.Target(), 0, c.length, buffer);
    }
    EXPECT_FALSE(ok) << c.name;
    EXPECT_EQ(buffer, std::vector<uint8_t>(c.buffer, 0x5C)) << c.name;
    EXPECT_TRUE(rig.bus.Trace().empty()) << c.name;
    EXPECT_EQ(rig.state.UpgradeProgress, 0u) << c.name;
    EXPECT_FALSE(rig.panels.Last(StatusPanels::kMessagePanel).empty()) << c.name;
  }
}

// A handler run from the message pump in the middle of a range (a status
// poll, say) finds the channel taken and fails at once; the range goes on.
TEST(SpiRange, ACommandFromInsideTheMessagePumpIsRefusedAndTheRangeCompletes) {
  FirmwareRig rig;
  const auto image = Pattern(1024);
  rig.enclosure->SetFlash(0, image);
  std::vector<std::string> answers;
  rig.onPump = [&] {
    if (answers.size() < 3) {
      Reply reply{};
      answers.push_back(
          Outcome(rig.channel.QueryController(PhysicalDrive(FirmwareRig::kDrive), 0x17, reply)));
    }
  };
  std::vector<uint8_t> read(1024);
  ASSERT_TRUE(rig.work.spi().ReadSPI(rig.Target(), 0, 1024, read));
  EXPECT_EQ(read, image);
  EXPECT_EQ(answers, std::vector<std::string>(3, "NotOpened"));
  EXPECT_EQ(rig.SpiCommands().size(), 8u) << "no query may reach the controller";
}

// The range keeps the channel from its first step to its last: a detection
// on another thread waits and knocks only after the last page.
TEST(SpiRange, AnotherThreadsCommandWaitsForTheWholeRange) {
  FirmwareRig rig;
  std::atomic<bool> started{false};
  std::thread detection;
  std::string answer;  // read after the join
  rig.onPump = [&] {
    if (!started.exchange(true)) {
      detection = std::thread([&] {
        Reply reply{};
        answer =
            Outcome(rig.channel.QueryController(PhysicalDrive(FirmwareRig::kDrive), 0x10, reply));
      });
    }
  };
  std::vector<uint8_t> read(4096);
  ASSERT_TRUE(rig.work.spi().ReadSPI(rig.Target(), 0, 4096, read));
  detection.join();
  EXPECT_EQ(answer, "answered");
  const auto commands = rig.SpiCommands();
  ASSERT_EQ(commands.size(), 33u);
  EXPECT_EQ(commands.back().first, 0x10) << "the query came before the range ended";
}

TEST(SpiRange, ALockThatCannotBeHadFailsEveryAttemptInsteadOfWaiting) {
  struct Case {
    const char* name;
    bool holdLock;
    bool closing;
  } cases[] = {{"this thread holds the channel", true, false}, {"closing", false, true}};
  for (const auto& c : cases) {
    FirmwareRig rig;
    rig.flags.closing = c.closing;
    std::optional<CommandChannel::Guard> held;
    if (c.holdLock) held.emplace(rig.channel.Lock(PhysicalDrive(FirmwareRig::kDrive)));
    std::vector<uint8_t> read(256);
    EXPECT_FALSE(rig.work.spi().ReadSPI(rig.Target(), 0, 256, read)) << c.name;
    EXPECT_EQ(rig.panels.TextsOf(StatusPanels::kMessagePanel),
              AttemptTexts("ReadSPI fail ", "ReadSPI fail, Address = ", "0000"))
        << c.name;
    EXPECT_TRUE(rig.enclosure->Commands().empty()) << c.name;
    EXPECT_EQ(rig.bus.OpenHandleCount(), 0u) << c.name;
  }
}

}  // namespace
}  // namespace px
