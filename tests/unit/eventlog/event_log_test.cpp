#include "eventlog/event_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>

#include <csignal>
#endif

#include "common/bytes.h"
#include "common/text.h"
#include "eventlog/log_file.h"
#include "log_test_support.h"
#include "sim/fake_clock.h"
#include "support/recording_ui.h"

namespace px {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::EndsWith;
using ::testing::StartsWith;
using Lines = std::vector<std::string>;

const std::string kRule75(75, '-');
const std::string kRule83(83, '-');
constexpr const char* kCaption = "Utitity v0.50.4";
// 7 December 2026; the fixed format shows it as 2026/12/07.
constexpr LogTime At(int hour, int minute, int second, int day = 7) {
  return {2026, 12, day, hour, minute, second};
}
constexpr LogTime kStart = At(14, 3, 9);

std::string Pad(std::string_view text, std::size_t width) {
  std::string padded(text);
  padded.resize(width, ' ');
  return padded;
}

Lines Concat(std::initializer_list<Lines> parts) {
  Lines all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// Device texts are kept in ATA order: the two bytes of each pair exchanged.
void PutAta(Record& record, std::size_t offset, std::size_t size, std::string_view text) {
  const std::string padded = Pad(text, size);
  for (std::size_t i = 0; i < size; ++i)
    record[offset + (i ^ 1U)] = static_cast<uint8_t>(padded[i]);
}

struct Member {
  std::string model;
  std::string serial;
  uint64_t sectors;
};

struct Device {
  std::string name;
  std::string revision;  // printable revisions; raw bytes are set by the test
  std::string suffix;
  uint8_t mode;
  uint64_t volume;
  Member p0, p1;
  uint8_t linkSpeeds;
  uint8_t portFlags;
};

const Device kMirror = {"PX-RAID DUO",
                        "R0.50.04",
                        "B1F",
                        kModeMirror,
                        1953525168,
                        {"WDC WD10EZEX-08WN4A0", "WD-WCC6Y0JXLK3F", 1953525168},
                        {"ST1000DM010-2EP102", "Z9A4K7QD", 1000204886},
                        0x32,
                        0x22};

const Lines kMirrorInfo = {
    "Device1 information :",
    "Model# PX-RAID DUO",
    "Mirror, F/W Rev. R0.50.04.B1F",
    "Configured Capacity : 931 GB(1953525168 Sectors)",
    "  P0 is present.(SATA2)",
    "    Serial no.: \"" + Pad("WD-WCC6Y0JXLK3F", 20) + "\"",
    "    Model#: " + Pad("WDC WD10EZEX-08WN4A0", 40),
    "    Capacity : 931 GB(1953525168 Sectors)",
    "  P1 is present.(SATA3)",
    "    Serial no.: \"" + Pad("Z9A4K7QD", 20) + "\"",
    "    Model#: " + Pad("ST1000DM010-2EP102", 40),
    "    Capacity : 476 GB(1000204886 Sectors)",
};

// The detail lines of a change are indented by two.
const Lines kMirrorP0Details = {
    "  Serial no.: \"" + Pad("WD-WCC6Y0JXLK3F", 20) + "\"",
    "  Model#: " + Pad("WDC WD10EZEX-08WN4A0", 40),
    "  Capacity : 931 GB(1953525168 Sectors)",
};
const Lines kMirrorP1Details = {
    "  Serial no.: \"" + Pad("Z9A4K7QD", 20) + "\"",
    "  Model#: " + Pad("ST1000DM010-2EP102", 40),
    "  Capacity : 476 GB(1000204886 Sectors)",
};

Lines StartBlock(const std::string& timestamp, const Lines& information) {
  return Concat({{kRule75, std::string(kCaption) + " has started from " + timestamp},
                 information,
                 {kRule83}});
}

class EventLogTest : public ::testing::Test {
 protected:
  Record& Status(std::size_t index) {
    return records_.Status(devices_.Drive(EnclosureSlot{index}));
  }
  Record& Config(std::size_t index) {
    return records_.Config(devices_.Drive(EnclosureSlot{index}));
  }

  void AddDevice(std::size_t index, uint8_t drive, const Device& device) {
    devices_.DeviceSlot[index] = kEntryEnclosure | drive;
    devices_.DeviceCount =
        std::max<uint32_t>(devices_.DeviceCount, static_cast<uint32_t>(index + 1));
    Record& s = Status(index);
    Record& c = Config(index);
    s[status::kDrive] = drive;
    s[status::kType] = kRecordValid;
    PutAta(c, config::kDeviceName, config::kDeviceNameSize, device.name);
    PutAta(c, config::kFirmwareVersion, 8, device.revision);
    for (std::size_t i = 0; i < device.suffix.size(); ++i)
      s[status::kRevisionSuffix + i] = static_cast<uint8_t>(device.suffix[i]);
    s[status::kMode] = device.mode;
    StoreLittleEndian(&s[status::kVolumeCapacity], status::kCapacitySize, device.volume);
    PutAta(s, status::kP0Model, status::kModelSize, device.p0.model);
    PutAta(s, status::kP0Serial, status::kSerialSize, device.p0.serial);
    StoreLittleEndian(&s[status::kP0Capacity], status::kCapacitySize, device.p0.sectors);
    PutAta(s, status::kP1Model, status::kModelSize, device.p1.model);
    PutAta(s, status::kP1Serial, status::kSerialSize, device.p1.serial);
    StoreLittleEndian(&s[status::kP1Capacity], status::kCapacitySize, device.p1.sectors);
    s[status::kLinkSpeeds] = device.linkSpeeds;
    s[status::kPortFlags] = device.portFlags;
  }

  void SetState(std::size_t index, uint8_t portFlags, uint8_t progressFlags = 0,
                uint8_t percent = 0) {
    Status(index)[status::kPortFlags] = portFlags;
    Status(index)[status::kProgressFlags] = progressFlags;
    Status(index)[status::kProgress] = percent;
  }

  void Run(uint8_t mask, LogTime now, bool firstDisplay = false, bool redetected = false) {
    writer_.WriteEventLog(mask,
                          {.Now = now, .FirstDisplay = firstDisplay, .Redetected = redetected});
  }

  // A case of a table starts from nothing: no log, no day's file, and device 1
  // (kMirror with the given PortFlags, then whatever prepare changes) started.
  void StartOver(
      uint8_t portFlags, const std::function<void()>& prepare = [] {}) {
    state_ = EventLogState{};
    std::filesystem::remove(dir_.path() / "261207.log");
    AddDevice(0, 1, kMirror);
    SetState(0, portFlags);
    prepare();
    Run(0x01, kStart, true);
  }

  // The file compared line by line for a readable failure, then byte by byte
  // for the line ends.
  void ExpectFile(const std::string& name, const Lines& expected) {
    const std::string bytes = test::ReadBytes(dir_.path() / name);
    EXPECT_THAT(SplitLines(bytes), ElementsAreArray(expected));
    EXPECT_EQ(bytes, test::CrLfJoined(expected));
  }

  test::TempDir dir_;
  test::FixedFormat format_;
  test::RecordingPanels panels_;
  DeviceTable devices_;
  EnclosureSet enclosures_{devices_};
  RecordTables records_;
  EventLogState state_;
  sim::FakeClock clock_;
  AppFlags flags_;
  EventLogWriter writer_{state_,  enclosures_, records_, kCaption, dir_.path(),
                         format_, panels_,     clock_,   flags_};
};

TEST_F(EventLogTest, FirstStartWithTwoDevices) {
  AddDevice(0, 1, kMirror);
  AddDevice(1, 3,
            {"BACKUP PAIR",
             "",
             "",
             kModeStriping,
             7814037168,
             {"HGST HUS724020ALA640", "PN2134P5GX", 3907029168},
             {"", "", 0},
             0x03,
             0x42});
  // A revision that is not text shows as numbers, and then without a suffix.
  const uint8_t raw[] = {0x0A, 0x0B, 0x0C, 0x1D, 0x00, 0x00, 0x00, 0x00};
  std::copy(std::begin(raw), std::end(raw), Config(1).begin() + config::kFirmwareVersion);
  Status(1)[status::kRevisionSuffix] = 'B';
  // Only 40 bits of a capacity count.
  Status(1)[status::kVolumeCapacity + 5] = 0x01;

  Run(0x03, kStart, true);

  ExpectFile("261207.log",
             StartBlock("2026/12/07 14:03:09",
                        Concat({kMirrorInfo,
                                {
                                    "Device2 information :",
                                    "Model# BACKUP PAIR",
                                    "Striping, F/W Rev. 0A0B0C.D",
                                    "Configured Capacity : 3726 GB(7814037168 Sectors)",
                                    "  P0 is present.(SATA3)",
                                    "    Serial no.: \"" + Pad("PN2134P5GX", 20) + "\"",
                                    "    Model#: " + Pad("HGST HUS724020ALA640", 40),
                                    "    Capacity : 1863 GB(3907029168 Sectors)",
                                    "  P1 is absent. ",
                                }})));
  EXPECT_EQ(state_.LogLines, SplitLines(test::ReadBytes(dir_.path() / "261207.log")));
  // The day's file was replaced through a temporary one that is gone again;
  // the folder's lock file stays for the next writer.
  EXPECT_THAT(dir_.Entries(), ElementsAre("261207.log", kLogLockName));
  EXPECT_TRUE(panels_.entries().empty());
}

TEST_F(EventLogTest, TodaysFileAtStartIsKeptAndTheStartBlockFollowsIt) {
  AddDevice(0, 1, kMirror);
  // Written elsewhere: the line ends are read whatever they are and written
  // back as CR LF.
  test::WriteBytes(dir_.path() / "261207.log",
                   "morning line 1\nmorning line 2\rmorning line 3\r\n");

  Run(0x01, kStart, true);

  ExpectFile("261207.log", Concat({{"morning line 1", "morning line 2", "morning line 3"},
                                   StartBlock("2026/12/07 14:03:09", kMirrorInfo)}));
}

TEST_F(EventLogTest, EmptyMaskWhileStartingWritesTheStartLinesAtEveryPoll) {
  AddDevice(0, 1, kMirror);

  Run(0x00, kStart, true);
  Run(0x00, At(14, 3, 13), true);

  ExpectFile("261207.log", Concat({StartBlock("2026/12/07 14:03:09", {}),
                                   StartBlock("2026/12/07 14:03:13", {})}));
}

TEST_F(EventLogTest, PortZeroRemovedInsertedInitialized) {
  AddDevice(0, 1, kMirror);
  Run(0x01, kStart, true);

  SetState(0, 0x24);
  Run(0x01, At(14, 10, 1));
  SetState(0, 0x21);
  Run(0x01, At(14, 10, 2));
  SetState(0, 0x22);
  Run(0x01, At(14, 10, 3));

  ExpectFile("261207.log", Concat({StartBlock("2026/12/07 14:03:09", kMirrorInfo),
                                   {"D1 P0 was removed, 2026/12/07 14:10:01",
                                    "D1 P0 was inserted, 2026/12/07 14:10:02",
                                    "D1 P0 was initialized (SATA2), 2026/12/07 14:10:03"},
                                   kMirrorP0Details}));
}

TEST_F(EventLogTest, MemberChangeLines) {
  struct Case {
    uint8_t before, after;
    Lines lines;
  };
  const std::string t = "2026/12/07 14:10:01";
  const Case cases[] = {
      {0x22, 0x82, Concat({{"D1 P1 was failed, Capacity too small." + t}, kMirrorP1Details})},
      {0x82, 0x22, Concat({{"D1 P1 was initialized, (SATA3), " + t}, kMirrorP1Details})},
      {0x22, 0x28, Concat({{"D1 P0 was failed, Capacity too small." + t}, kMirrorP0Details})},
      {0x22, 0x42, {"D1 P1 was removed, " + t}},
      {0x42, 0x12, {"D1 P1 was inserted, " + t}},
      // Both members change in one poll: P0's line comes first.
      {0x22, 0x44, {"D1 P0 was removed, " + t, "D1 P1 was removed, " + t}},
      // A member already absent writes nothing more.
      {0x24, 0x44, {"D1 P1 was removed, " + t}},
      {0x22, 0x22, {}},
  };
  for (const auto& c : cases) {
    StartOver(c.before);
    const std::size_t startLines = state_.LogLines.size();
    SetState(0, c.after);
    Run(0x01, At(14, 10, 1));
    EXPECT_EQ(Lines(state_.LogLines.begin() + static_cast<std::ptrdiff_t>(startLines),
                    state_.LogLines.end()),
              c.lines)
        << std::hex << int{c.before} << " -> " << int{c.after};
  }
}

TEST_F(EventLogTest, ProgressAndItsEnd) {
  struct Step {
    uint8_t portFlags, progressFlags, percent;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    Lines lines;
  };
  // Step k runs at 14:10:0k.
  const std::string t = "2026/12/07 14:10:0";
  const Case cases[] = {
      {"37, 37, 38, then both ready",
       {{0x22, 0x01, 37}, {0x22, 0x01, 37}, {0x22, 0x01, 38}, {0x22, 0x00, 0}},
       {"D1 P1 --> P0 37%, " + t + "1", "D1 P1 --> P0 38%, " + t + "3",
        "D1 P0 OK, P1 OK, " + t + "4"}},
      {"99 last, towards P0",
       {{0x22, 0x01, 98}, {0x22, 0x01, 99}, {0x22, 0x00, 0}},
       {"D1 P1 --> P0 98%, " + t + "1", "D1 P1 --> P0 99%, " + t + "2",
        "D1 P1 --> P0 Done, " + t + "3"}},
      {"99 last, towards P1",
       {{0x22, 0x02, 99}, {0x22, 0x00, 0}},
       {"D1 P0 --> P1 99%, " + t + "1", "D1 P0 --> P1 Done, " + t + "2"}},
      {"100 last",
       {{0x22, 0x02, 99}, {0x22, 0x02, 100}, {0x22, 0x00, 0}},
       {"D1 P0 --> P1 99%, " + t + "1", "D1 P0 --> P1 100%, " + t + "2",
        "D1 P0 OK, P1 OK, " + t + "3"}},
      {"both running: P0's direction",
       {{0x22, 0x03, 50}, {0x22, 0x00, 0}},
       {"D1 P1 --> P0 50%, " + t + "1", "D1 P0 OK, P1 OK, " + t + "2"}},
      {"ends with a member missing: no end line, the percentage forgotten",
       {{0x22, 0x01, 37}, {0x24, 0x00, 0}, {0x22, 0x00, 0}},
       Concat({{"D1 P1 --> P0 37%, " + t + "1", "D1 P0 was removed, " + t + "2",
                "D1 P0 was initialized (SATA2), " + t + "3"},
               kMirrorP0Details})},
      {"a record without port classes is passed over",
       {{0x22, 0x01, 37}, {0x00, 0x00, 0}, {0x22, 0x00, 0}},
       {"D1 P1 --> P0 37%, " + t + "1", "D1 P0 OK, P1 OK, " + t + "3"}},
  };
  for (const auto& c : cases) {
    StartOver(0x22);
    int second = 0;
    for (const Step& step : c.steps) {
      SetState(0, step.portFlags, step.progressFlags, step.percent);
      Run(0x01, At(14, 10, ++second));
    }
    const std::string bytes = test::ReadBytes(dir_.path() / "261207.log");
    EXPECT_EQ(bytes,
              test::CrLfJoined(Concat({StartBlock("2026/12/07 14:03:09", kMirrorInfo), c.lines})))
        << c.name;
    EXPECT_EQ(enclosures_[EnclosureSlot{0}].logTrack.LastPercent, kNoProgress) << c.name;
  }
}

TEST_F(EventLogTest, RestartBlockRetakesPortFlagsOfEveryDetectedDevice) {
  AddDevice(0, 1, kMirror);
  Run(0x01, kStart, true);

  // A second enclosure appears, and the first has lost P0 meanwhile. The
  // second is detected but not read in the restart poll.
  Device second = kMirror;
  second.name = "SECOND BOX";
  AddDevice(1, 2, second);
  SetState(0, 0x24);
  SetState(1, 0x24);
  Run(0x01, At(14, 20, 0), false, true);
  // Nothing changed since the restart: no change lines for either device.
  Run(0x03, At(14, 20, 4));
  SetState(1, 0x22);
  Run(0x03, At(14, 20, 8));

  Lines firstInfo = kMirrorInfo;
  firstInfo[4] = "  P0 is absent. ";
  firstInfo.erase(firstInfo.begin() + 5, firstInfo.begin() + 8);
  ExpectFile("261207.log",
             Concat({StartBlock("2026/12/07 14:03:09", kMirrorInfo),
                     {kRule75, std::string(kCaption) + " has re-started from 2026/12/07 14:20:00"},
                     firstInfo,
                     {kRule83, "D2 P0 was initialized (SATA2), 2026/12/07 14:20:08"},
                     kMirrorP0Details}));
}

TEST_F(EventLogTest, NewDayStartsANewFileWithInformationBlocks) {
  AddDevice(0, 1, kMirror);
  Run(0x01, kStart, true);
  const std::string yesterday = test::ReadBytes(dir_.path() / "261207.log");

  // The first poll after midnight; the changed port is not reported in a run
  // that writes information blocks, the progress is.
  SetState(0, 0x24, 0x02, 40);
  Run(0x01, At(0, 0, 0, 8));

  Lines information = kMirrorInfo;
  information[4] = "  P0 is absent. ";
  information.erase(information.begin() + 5, information.begin() + 8);
  ExpectFile("261208.log",
             Concat({{kRule75}, information, {kRule83, "D1 P0 --> P1 40%, 2026/12/08"}}));
  EXPECT_EQ(test::ReadBytes(dir_.path() / "261207.log"), yesterday);
  EXPECT_EQ(state_.LogLines.front(), kRule75);
}

TEST_F(EventLogTest, DeletedFileStartsAfresh) {
  AddDevice(0, 1, kMirror);
  Run(0x01, kStart, true);
  std::filesystem::remove(dir_.path() / "261207.log");

  SetState(0, 0x22, 0x01, 10);
  Run(0x01, At(15, 0, 0));

  ExpectFile("261207.log",
             Concat({{kRule75}, kMirrorInfo, {kRule83, "D1 P1 --> P0 10%, 2026/12/07 15:00:00"}}));
}

TEST_F(EventLogTest, QueuedLineIsMovedIntoTheLogOnce) {
  AddDevice(0, 1, kMirror);
  Run(0x01, kStart, true);

  QueueLogLine(state_, DeviceRemovedLine(FormatTimestamp(At(14, 30, 0), format_)));
  EXPECT_TRUE(state_.PendingLinesFlag);
  Run(0x00, At(14, 30, 2));
  Run(0x00, At(14, 30, 6));

  ExpectFile("261207.log", Concat({StartBlock("2026/12/07 14:03:09", kMirrorInfo),
                                   {"D1 Device was removed at 2026/12/07 14:30:00"}}));
  EXPECT_TRUE(state_.PendingLines.empty());
  EXPECT_FALSE(state_.PendingLinesFlag);
}

TEST_F(EventLogTest, OnlyReadDevicesBelowTheCountWithAStatusAreListed) {
  // Five devices detected; the fifth is beyond what the window shows, the
  // third has never had its status read, the fourth was not read this time.
  for (std::size_t i = 0; i < 5; ++i) {
    Device device = kMirror;
    device.name = "BOX " + std::to_string(i + 1);
    AddDevice(i, static_cast<uint8_t>(i + 1), device);
  }
  Status(2)[status::kType] = 0;

  Run(0x17, kStart, true);

  const auto& lines = state_.LogLines;
  std::vector<std::string> headers;
  std::copy_if(lines.begin(), lines.end(), std::back_inserter(headers),
               [](const std::string& l) { return l.find(" information :") != std::string::npos; });
  EXPECT_THAT(headers, ElementsAre("Device1 information :", "Device2 information :"));
  EXPECT_EQ(lines[lines.size() - 1], kRule83);
}

TEST_F(EventLogTest, InformationBlockTexts) {
  struct Case {
    const char* name;
    void (*prepare)(Record& config, Record& status);
    std::size_t line;  // within the block
    std::string text;
  };
  const Case cases[] = {
      {"name of only spaces keeps six",
       [](Record& c, Record&) { PutAta(c, config::kDeviceName, 40, ""); }, 1,
       "Model# " + std::string(6, ' ')},
      {"name cut at a NUL",
       [](Record& c, Record&) { PutAta(c, config::kDeviceName, 40, std::string("PX\0BOX  ", 8)); },
       1, "Model# PX"},
      {"name keeps inner spaces",
       [](Record& c, Record&) { PutAta(c, config::kDeviceName, 40, "A B"); }, 1,
       "Model# " + Pad("A B", 6)},
      {"model cut at a NUL",
       [](Record&, Record& s) {
         PutAta(s, status::kP0Model, 40, std::string("ST2000DM\0XYZ", 12));
       },
       6, "    Model#: ST2000DM"},
      {"serial cut at a NUL",
       [](Record&, Record& s) { PutAta(s, status::kP0Serial, 20, std::string("Z1\0Z2", 5)); }, 5,
       "    Serial no.: \"Z1\""},
      {"link speed 0", [](Record&, Record& s) { s[status::kLinkSpeeds] = 0; }, 4,
       "  P0 is present.(SATA0)"},
      {"mode NRAID", [](Record&, Record& s) { s[status::kMode] = kModeNraid; }, 2,
       "NRAID, F/W Rev. R0.50.04.B1F"},
      {"mode JBOD", [](Record&, Record& s) { s[status::kMode] = kModeJbod; }, 2,
       "JBOD, F/W Rev. R0.50.04.B1F"},
      {"mode Striping", [](Record&, Record& s) { s[status::kMode] = kModeStriping; }, 2,
       "Striping, F/W Rev. R0.50.04.B1F"},
      {"mode Bypass", [](Record&, Record& s) { s[status::kMode] = kModeBypass; }, 2,
       "Bypass, F/W Rev. R0.50.04.B1F"},
      {"mode 4", [](Record&, Record& s) { s[status::kMode] = 4; }, 2,
       "Undefine, F/W Rev. R0.50.04.B1F"},
      {"mode 62", [](Record&, Record& s) { s[status::kMode] = 62; }, 2,
       "Undefine, F/W Rev. R0.50.04.B1F"},
      {"suffix never filled", [](Record&, Record& s) { s[status::kRevisionSuffix] = 0; }, 2,
       "Mirror, F/W Rev. R0.50.04.C00"},
      {"suffix letter lower case", [](Record&, Record& s) { s[status::kRevisionSuffix] = 'b'; }, 2,
       "Mirror, F/W Rev. R0.50.04.C00"},
      {"suffix digit not hex", [](Record&, Record& s) { s[status::kRevisionSuffix + 2] = 'G'; }, 2,
       "Mirror, F/W Rev. R0.50.04.C00"},
      {"suffix hex lower case", [](Record&, Record& s) { s[status::kRevisionSuffix + 1] = 'a'; }, 2,
       "Mirror, F/W Rev. R0.50.04.C00"},
      {"suffix Z09",
       [](Record&, Record& s) {
         s[status::kRevisionSuffix] = 'Z';
         s[status::kRevisionSuffix + 1] = '0';
         s[status::kRevisionSuffix + 2] = '9';
       },
       2, "Mirror, F/W Rev. R0.50.04.Z09"},
      {"revision with spaces is text",
       [](Record& c, Record&) { PutAta(c, config::kFirmwareVersion, 8, "1.0 A"); }, 2,
       "Mirror, F/W Rev. 1.0 A   .B1F"},
      {"revision with one control byte",
       [](Record& c, Record&) { c[config::kFirmwareVersion + 7] = 0x1F; }, 2,
       "Mirror, F/W Rev. 305235.E"},
  };
  for (const auto& c : cases) {
    StartOver(0x22, [&] { c.prepare(Config(0), Status(0)); });
    ASSERT_GT(state_.LogLines.size(), 2 + c.line) << c.name;
    EXPECT_EQ(state_.LogLines[2 + c.line], c.text) << c.name;
  }
}

TEST_F(EventLogTest, MemberLinesOfTheInformationBlock) {
  struct Case {
    uint8_t portFlags;
    Lines lines;
  };
  const Case cases[] = {
      {0x22, {kMirrorInfo.begin() + 4, kMirrorInfo.end()}},
      {0x88, {kMirrorInfo.begin() + 4, kMirrorInfo.end()}},
      {0x14, {"  P0 is absent. ", "P1 was inserted."}},
      {0x41, {"P0 was inserted.", "  P1 is absent. "}},
      {0x00, {}},
  };
  for (const auto& c : cases) {
    StartOver(c.portFlags);
    // Rule, start line, header, name, mode and capacity come first, the
    // closing rule last.
    EXPECT_EQ(Lines(state_.LogLines.begin() + 6, state_.LogLines.end() - 1), c.lines)
        << std::hex << int{c.portFlags};
  }
}

TEST_F(EventLogTest, UnwritableLogKeepsEveryLineUntilASaveSucceeds) {
  const auto directory = dir_.path() / "not-yet";
  EventLogWriter writer(state_, enclosures_, records_, kCaption, directory, format_, panels_,
                        clock_, flags_);
  AddDevice(0, 1, kMirror);

  writer.WriteEventLog(0x01, {.Now = kStart, .FirstDisplay = true});
  SetState(0, 0x24);
  writer.WriteEventLog(0x01, {.Now = At(14, 10, 1)});
  const std::string failure =
      "Cannot write log file " + PathText(directory / "261207.log") + " (lines kept)";
  EXPECT_EQ(panels_.TextsOf(StatusPanels::kMessagePanel), Lines(2, failure));

  std::filesystem::create_directory(directory);
  SetState(0, 0x21);
  writer.WriteEventLog(0x01, {.Now = At(14, 10, 2)});

  const Lines expected = Concat(
      {StartBlock("2026/12/07 14:03:09", kMirrorInfo),
       {"D1 P0 was removed, 2026/12/07 14:10:01", "D1 P0 was inserted, 2026/12/07 14:10:02"}});
  EXPECT_EQ(test::ReadBytes(directory / "261207.log"), test::CrLfJoined(expected));
  EXPECT_EQ(panels_.TextsOf(StatusPanels::kMessagePanel).size(), 2U);

  // Saved at last, the file is the log again: deleting it starts afresh.
  std::filesystem::remove(directory / "261207.log");
  SetState(0, 0x22);
  writer.WriteEventLog(0x01, {.Now = At(14, 10, 3)});
  EXPECT_EQ(state_.LogLines.front(), kRule75);
  EXPECT_EQ(state_.LogLines.size(), 1 + kMirrorInfo.size() + 1);
}

// Something under the day's name that we cannot read is someone's log all
// the same (another user's, kept private): it is never replaced. Our lines go
// to our own file of the day beside it, and the message panel says so once.
TEST_F(EventLogTest, ADayFileThatCannotBeReadIsLeftAloneAndOurLinesGoBesideIt) {
  namespace fs = std::filesystem;
  const fs::path day = dir_.path() / "261207.log";
  const fs::path own = OwnLogFile(day, LogUserName());
  struct Case {
    const char* name;
    std::function<void()> make;
    std::function<bool()> untouched;
  };
  std::vector<Case> cases = {
      {"a folder", [&] { fs::create_directory(day); }, [&] { return fs::is_directory(day); }},
#ifndef _WIN32
      {"a link to itself", [&] { fs::create_symlink(day, day); },
       [&] { return fs::is_symlink(day) && fs::read_symlink(day) == day; }},
#endif
  };
  Lines p0Absent = kMirrorInfo;
  p0Absent[4] = "  P0 is absent. ";
  p0Absent.erase(p0Absent.begin() + 5, p0Absent.begin() + 8);
  const std::string inserted = "D1 P0 was inserted, 2026/12/07 14:10:02";

  for (const Case& c : cases) {
    // From the start, or once the day's file had been ours for a while.
    for (const bool savedBefore : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (savedBefore ? " after a save" : " from the start"));
      state_ = EventLogState{};
      panels_.Clear();
      AddDevice(0, 1, kMirror);
      SetState(0, 0x22);
      if (savedBefore) {
        Run(0x01, kStart, true);
        fs::remove(day);
      }
      c.make();

      SetState(0, 0x24);
      Run(0x01, At(14, 10, 1), !savedBefore);
      SetState(0, 0x21);
      Run(0x01, At(14, 10, 2));

      EXPECT_TRUE(c.untouched());
      // Our own file is a log of its own: it starts with what the devices are.
      const Lines expected =
          savedBefore ? Concat({{kRule75}, p0Absent, {kRule83, inserted}})
                      : Concat({StartBlock("2026/12/07 14:10:01", p0Absent), {inserted}});
      ExpectFile(PathText(own.filename()), expected);
      EXPECT_EQ(state_.LogLines, expected);
      EXPECT_EQ(UnsavedLineCount(state_), 0U);
      EXPECT_THAT(panels_.TextsOf(StatusPanels::kMessagePanel),
                  ElementsAre(AllOf(StartsWith("Cannot read log file " + PathText(day) + " ("),
                                    EndsWith("); lines go to " + PathText(own)))));
      fs::remove_all(day);
      fs::remove(own);
    }
  }
}

// The folder's lock is held for a read and a write at a time. One that is
// kept from us (held for longer by another program, or something else under
// its name) is waited for no longer than a drive another program holds, and
// not at all once the program is closing: our lines go to our own file of
// the day, as for a day's file we cannot read, and the message panel says so
// once. Once the lock can be had again, the day's file takes our lines again.
TEST_F(EventLogTest, ALockThatIsKeptFromUsIsNotWaitedForAndOurLinesGoBesideIt) {
  namespace fs = std::filesystem;
  const fs::path day = dir_.path() / "261207.log";
  const fs::path own = OwnLogFile(day, LogUserName());
  const fs::path lock = dir_.path() / kLogLockName;
  struct Case {
    const char* name;
    // Keeps the lock from us until the returned object goes.
    std::function<std::shared_ptr<void>()> keep;
    bool closing;
    std::string reason;
    uint64_t waitedAtLeast;
  };
  const auto heldElsewhere = [&] {
    return std::make_shared<FileLock>(lock, clock_, 0, [] { return true; });
  };
  const auto planted = [&](std::function<void()> plant) {
    return [&, plant] {
      fs::remove(lock);
      plant();
      return std::shared_ptr<void>(nullptr, [&](void*) { fs::remove(lock); });
    };
  };
  std::vector<Case> cases = {
      {"held by another program", heldElsewhere, false, "held by another program", kLogLockWaitMs},
      {"held while we close", heldElsewhere, true, "held by another program", 0},
      {"a folder in its place", planted([&] { fs::create_directory(lock); }), false, "", 0},
#ifndef _WIN32
      {"a link in its place", planted([&] { fs::create_symlink(dir_.path() / "elsewhere", lock); }),
       false, "a symbolic link, which is not followed", 0},
#endif
  };
  Lines p0Absent = kMirrorInfo;
  p0Absent[4] = "  P0 is absent. ";
  p0Absent.erase(p0Absent.begin() + 5, p0Absent.begin() + 8);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    state_ = EventLogState{};
    panels_.Clear();
    fs::remove(day);
    fs::remove(own);
    AddDevice(0, 1, kMirror);
    SetState(0, 0x22);
    Run(0x01, kStart, true);
    const std::string dayBefore = test::ReadBytes(day);
    {
      const std::shared_ptr<void> kept = c.keep();
      flags_.closing = c.closing;
      const uint64_t slept = clock_.SleptMs();
      SetState(0, 0x24);
      Run(0x01, At(14, 10, 1));
      Run(0x01, At(14, 10, 2));
      flags_.closing = false;
      EXPECT_GE(clock_.SleptMs() - slept, 2 * c.waitedAtLeast);
      if (c.waitedAtLeast == 0) {
        EXPECT_EQ(clock_.SleptMs(), slept);
      }
    }
    EXPECT_EQ(test::ReadBytes(day), dayBefore);
    // Our own file is a log of its own: it starts with what the devices are.
    ExpectFile(PathText(own.filename()),
               Concat({{kRule75}, p0Absent, {kRule83, "D1 P0 was removed, 2026/12/07 14:10:02"}}));
    const auto texts = panels_.TextsOf(StatusPanels::kMessagePanel);
    ASSERT_EQ(texts.size(), 1U);
    EXPECT_THAT(texts[0],
                StartsWith("Cannot lock log folder " + PathText(dir_.path()) + " (" + c.reason));
    EXPECT_THAT(texts[0], EndsWith("); lines go to " + PathText(own)));

    SetState(0, 0x21);
    Run(0x01, At(14, 10, 3));
    EXPECT_EQ(test::ReadBytes(day),
              dayBefore + test::CrLfJoined({"D1 P0 was inserted, 2026/12/07 14:10:03"}));
    EXPECT_EQ(UnsavedLineCount(state_), 0U);
  }
}

TEST_F(EventLogTest, WhenNeitherTheDaysNorOurOwnFileCanBeReadTheLinesWait) {
  const auto day = dir_.path() / "261207.log";
  const auto own = OwnLogFile(day, LogUserName());
  std::filesystem::create_directory(day);
  std::filesystem::create_directory(own);
  AddDevice(0, 1, kMirror);

  Run(0x01, kStart, true);
  SetState(0, 0x24);
  Run(0x01, At(14, 10, 1));

  const Lines expected = Concat(
      {StartBlock("2026/12/07 14:03:09", kMirrorInfo), {"D1 P0 was removed, 2026/12/07 14:10:01"}});
  EXPECT_EQ(state_.LogLines, expected);
  EXPECT_EQ(UnsavedLineCount(state_), expected.size());
  const auto texts = panels_.TextsOf(StatusPanels::kMessagePanel);
  ASSERT_EQ(texts.size(), 3U);
  EXPECT_THAT(texts[0], EndsWith("; lines go to " + PathText(own)));
  EXPECT_THAT(texts[1], StartsWith("Cannot read log file " + PathText(own) + " ("));
  EXPECT_THAT(texts[1], EndsWith("); lines kept"));
  EXPECT_EQ(texts[2], texts[1]);

  // Once our own file can be written, the next run saves every line.
  std::filesystem::remove(own);
  Run(0x01, At(14, 10, 5));
  ExpectFile(PathText(own.filename()), expected);
  EXPECT_EQ(UnsavedLineCount(state_), 0U);
  EXPECT_TRUE(std::filesystem::is_directory(day));
}

// Two programs logging into one folder: a save puts the writer's new lines
// after whatever the file holds by then, and every run reads the other's
// lines in, so the file and both logs hold every line once.
TEST_F(EventLogTest, TwoWritersInOneFolderKeepEachOthersLines) {
  EventLogState otherState;
  const DeviceTable noDevices;
  EnclosureSet noEnclosures{noDevices};
  EventLogWriter other(otherState, noEnclosures, records_, kCaption, dir_.path(), format_, panels_,
                       clock_, flags_);
  AddDevice(0, 1, kMirror);

  Run(0x01, kStart, true);
  other.WriteEventLog(0x00, {.Now = At(14, 5, 0), .FirstDisplay = true});
  const uint64_t rewrites = state_.Rewrites;
  SetState(0, 0x24);
  EXPECT_EQ(writer_.WriteEventLog(0x01, {.Now = At(14, 10, 1)}), 1U);
  other.WriteEventLog(0x00, {.Now = At(14, 10, 5)});

  const Lines expected = Concat({StartBlock("2026/12/07 14:03:09", kMirrorInfo),
                                 StartBlock("2026/12/07 14:05:00", {}),
                                 {"D1 P0 was removed, 2026/12/07 14:10:01"}});
  ExpectFile("261207.log", expected);
  EXPECT_EQ(state_.LogLines, expected);
  EXPECT_EQ(otherState.LogLines, expected);
  // Others' lines only ever came after ours: the live view just appends.
  EXPECT_EQ(state_.Rewrites, rewrites);
  EXPECT_TRUE(panels_.entries().empty());
}

#ifndef _WIN32
// Files of no more than `bytes` for as long as it lives: a write beyond that
// fails (EFBIG) as on a full disk, whoever runs the test.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) : handler_(std::signal(SIGXFSZ, SIG_IGN)) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit limited = saved_;
    limited.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limited);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  void (*handler_)(int);
};

TEST_F(EventLogTest, LinesThatCouldNotBeSavedGoAfterThoseOthersSavedMeanwhile) {
  EventLogState otherState;
  const DeviceTable noDevices;
  EnclosureSet noEnclosures{noDevices};
  EventLogWriter other(otherState, noEnclosures, records_, kCaption, dir_.path(), format_, panels_,
                       clock_, flags_);
  AddDevice(0, 1, kMirror);
  Run(0x01, kStart, true);

  // The disk is full: the save fails and the line waits in memory.
  SetState(0, 0x24);
  {
    const FileSizeLimit full(1);
    Run(0x01, At(14, 10, 1));
  }
  EXPECT_EQ(UnsavedLineCount(state_), 1U);
  other.WriteEventLog(0x00, {.Now = At(14, 10, 3), .FirstDisplay = true});
  const uint64_t rewrites = state_.Rewrites;
  // Nothing new to log; the waiting line is saved all the same.
  EXPECT_EQ(writer_.WriteEventLog(0x01, {.Now = At(14, 10, 5)}), 0U);

  const Lines expected = Concat({StartBlock("2026/12/07 14:03:09", kMirrorInfo),
                                 StartBlock("2026/12/07 14:10:03", {}),
                                 {"D1 P0 was removed, 2026/12/07 14:10:01"}});
  ExpectFile("261207.log", expected);
  EXPECT_EQ(state_.LogLines, expected);
  EXPECT_EQ(UnsavedLineCount(state_), 0U);
  // The other program's lines came in before ours: the live view reloads.
  EXPECT_GT(state_.Rewrites, rewrites);
  EXPECT_THAT(panels_.TextsOf(StatusPanels::kMessagePanel),
              ElementsAre("Cannot write log file " + PathText(dir_.path() / "261207.log") +
                          " (lines kept)"));
}
#endif

}  // namespace
}  // namespace px
