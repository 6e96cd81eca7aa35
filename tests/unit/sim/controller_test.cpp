// The controller model fed directly with sector reads, as the bus would.

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/text.h"
#include "raid/records.h"
#include "sim/virtual_controller.h"
#include "sim_helpers.h"

namespace px::sim {
namespace {

using test::Bytes;
using test::IsReply;
using test::Knock;
using test::KnockReads;
using test::Play;
using test::Poll;
using test::ReadOne;

std::vector<uint8_t> Text(const std::string& s) {
  return {s.begin(), s.end()};
}

// ---------------------------------------------------------------------------
// Query replies, byte for byte.

TEST(VirtualController, EveryQueryIsAnsweredWithBothSignaturesAndStatus20) {
  VirtualController controller;
  for (uint8_t s : {kQueryPresence, kQueryIdentity, kQueryProgress, kQueryStatus}) {
    const Sector reply = Knock(controller, ControllerQuery(s));
    ASSERT_TRUE(IsReply(reply)) << int{s};
    EXPECT_EQ(reply[kReplyStatusOffset], kStatusCarriedOut) << int{s};
  }
  EXPECT_EQ(controller.Commands().size(), 4u);
}

TEST(VirtualController, StatusReplyPlacesPortsByVersionBit4WithAtaTextsAndBigEndianCapacity) {
  struct Case {
    uint32_t version;
    std::size_t p0At, p1At;
  } cases[] = {
      {0x14031815, 84, 160},  // bit 4 of reply byte 91 set: P0 is record A
      {0x14031805, 160, 84},  // clear: P0 is record B
  };
  for (const auto& c : cases) {
    ControllerScenario scenario;
    scenario.firmwareVersion = c.version;
    scenario.modeByte = 7;
    scenario.p0 = {1, "ABCDE", "S0", 1953525168};
    scenario.p1 = {9, "Model One", "XYZ123", 0x0000123456789ABCULL};
    VirtualController controller(scenario);
    const Sector r = Knock(controller, ControllerQuery(kQueryStatus));
    ASSERT_TRUE(IsReply(r));
    EXPECT_EQ(r[80], 7);
    EXPECT_EQ(r[c.p0At], 1);
    EXPECT_EQ(r[c.p1At], 9);
    // "ABCDE" padded to 40 and pair-swapped: BADC" E" then spaces.
    EXPECT_EQ(Bytes(r, c.p0At + 4, 8), Text("BADC E  ")) << std::hex << c.version;
    EXPECT_EQ(Bytes(r, c.p0At + 44, 4), Text("0S  "));
    EXPECT_EQ(Bytes(r, c.p0At + 44 + 18, 2), Text("  "));
    EXPECT_EQ(Bytes(r, c.p0At + 70, 6), (std::vector<uint8_t>{0x00, 0x00, 0x74, 0x70, 0x6D, 0xB0}));
    EXPECT_EQ(Bytes(r, c.p1At + 4, 10), Text("oMed lnO e"));
    EXPECT_EQ(Bytes(r, c.p1At + 44, 6), Text("YX1Z32"));
    EXPECT_EQ(Bytes(r, c.p1At + 70, 6), (std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}));
  }
}

TEST(VirtualController, StatusReplyDecodesThroughTheHostDecoderToTheScenario) {
  for (uint32_t version : {0x14031815u, 0x14031805u}) {
    ControllerScenario scenario;
    scenario.firmwareVersion = version;
    scenario.p0 = {0, "WDC WD10EZEX", "P0SERIAL", 1000};
    scenario.p1 = {6, "ST2000DM008", "P1SERIAL", 2000};
    VirtualController controller(scenario);
    const Sector identity = Knock(controller, ControllerQuery(kQueryIdentity));
    const Sector status = Knock(controller, ControllerQuery(kQueryStatus));
    // Discovery keeps the identity reply with bytes 88-95 copied to 46-53.
    Record config = identity;
    std::copy_n(identity.begin() + 88, 8, config.begin() + 46);
    Record record{};
    DecodeStatusReply(status, config, record);
    EXPECT_EQ(record[status::kP0State], 0);
    EXPECT_EQ(record[status::kP1State], 6);
    EXPECT_EQ(SwapPairs(std::span(record).subspan(status::kP0Model, 12)), "WDC WD10EZEX");
    EXPECT_EQ(SwapPairs(std::span(record).subspan(status::kP1Model, 12)), "ST2000DM008 ");
    EXPECT_EQ(SwapPairs(std::span(record).subspan(status::kP0Serial, 8)), "P0SERIAL");
    EXPECT_EQ(LoadLittleEndian(record.data() + status::kP0Capacity, 6), 1000u);
    EXPECT_EQ(LoadLittleEndian(record.data() + status::kP1Capacity, 6), 2000u);
    EXPECT_EQ(record[status::kMode], kModeMirror);
  }
}

TEST(VirtualController, IdentityReplyCarriesVersionProductAndRevisionBytes) {
  struct Case {
    bool supplied;
    uint8_t absentMark;
  } cases[] = {{true, 0x00}, {false, 0xFF}};
  for (const auto& c : cases) {
    ControllerScenario scenario;
    scenario.firmwareVersion = 0x13122501;
    scenario.productCode = {0x05, 0x00};
    scenario.identityBytes94 = {0xAB, 0xCD};
    scenario.revision = {0x07, 0x08, 0x09};
    scenario.revisionSupplied = c.supplied;
    VirtualController controller(scenario);
    const Sector r = Knock(controller, ControllerQuery(kQueryIdentity));
    ASSERT_TRUE(IsReply(r));
    EXPECT_EQ(Bytes(r, 88, 8),
              (std::vector<uint8_t>{0x13, 0x12, 0x25, 0x01, 0x05, 0x00, 0xAB, 0xCD}));
    EXPECT_EQ(r[124], c.absentMark);
    EXPECT_EQ(r[125], c.absentMark);
    EXPECT_EQ(Bytes(r, 127, 3), (std::vector<uint8_t>{0x07, 0x08, 0x09}));
  }
}

TEST(VirtualController, ProgressReplyCarriesPresenceTotalAndCurrent) {
  ControllerScenario scenario;
  scenario.progress = {true, 0x0000123456789ABCULL, 0x00000011223344ULL};
  VirtualController controller(scenario);
  Sector r = Knock(controller, ControllerQuery(kQueryProgress));
  ASSERT_TRUE(IsReply(r));
  EXPECT_EQ(r[84], 2);
  EXPECT_EQ(Bytes(r, 94, 6), (std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}));
  EXPECT_EQ(Bytes(r, 119, 5), (std::vector<uint8_t>{0x00, 0x11, 0x22, 0x33, 0x44}));

  controller.UpdateScenario([](ControllerScenario& s) { s.progress.present = false; });
  r = Knock(controller, ControllerQuery(kQueryProgress));
  EXPECT_EQ(r[84], 0);
}

TEST(VirtualController, DefaultScenarioIsAHealthyMirrorOfTwoTerabyteDisks) {
  const ControllerScenario s;
  EXPECT_EQ(s.modeByte, 2);
  EXPECT_EQ(s.p0.state, 0);
  EXPECT_EQ(s.p1.state, 0);
  EXPECT_EQ(s.p0.capacitySectors, 1953525168u);
  EXPECT_EQ(s.p1.capacitySectors, 1953525168u);
  EXPECT_EQ(s.productCode, (std::array<uint8_t, 2>{0x50, 0x00}));
}

TEST(VirtualController, UnknownCommandsAreAnsweredWithE0AndNotCarriedOut) {
  const uint8_t payload[128] = {};
  const KnockCommand cases[] = {
      ControllerQuery(0x33),                                          // unknown query
      {{0x00, 0x04, 0xEF, 0xFF}, {0x10, 0xCF, 0xDF, 0xEF}, payload},  // query in long form
      {{0x01, 0x05, 0xEF, 0xFF}, {0x25, 0x01, 0x00, 0x00}, nullptr},  // write without payload
      {{0x12, 0x34, 0x56, 0x78}, {0x9A, 0xBC, 0xDE, 0xF0}, nullptr},  // nonsense header
  };
  for (const auto& command : cases) {
    VirtualController controller;
    const Sector r = Knock(controller, command);
    ASSERT_TRUE(IsReply(r));
    EXPECT_EQ(r[kReplyStatusOffset], kStatusUnknownCommand);
    ASSERT_EQ(controller.Commands().size(), 1u);
    EXPECT_FALSE(controller.Commands()[0].carriedOut);
  }
}

// ---------------------------------------------------------------------------
// Recognising knocks among ordinary reads.

TEST(VirtualController, BadChecksumGivesNoReply) {
  std::vector<uint8_t> data(128, 0x5A);
  for (const KnockCommand& command :
       {ControllerQuery(kQueryStatus), test::SpiWrite(3, data.data())}) {
    VirtualController controller;
    auto reads = KnockReads(command);
    reads.back() ^= 0x01;  // last checksum byte off by one bit
    Play(controller, reads);
    EXPECT_FALSE(IsReply(Poll(controller)));
    EXPECT_EQ(controller.BadChecksumCount(), 1u);
    EXPECT_TRUE(controller.Commands().empty());
  }
  // A payload byte changed on the way is caught the same way.
  VirtualController controller;
  auto reads = KnockReads(test::SpiWrite(3, data.data()));
  reads[20] = 0x300 + 0x11;
  Play(controller, reads);
  EXPECT_FALSE(IsReply(Poll(controller)));
  EXPECT_EQ(controller.ReadFlash(3 << 7, 1)[0], 0xFF);
}

TEST(VirtualController, ForeignReadAnywhereInTheKnockGivesNoReplyUntilReplayedWhole) {
  const auto reads = KnockReads(ControllerQuery(kQueryStatus));
  for (std::size_t cut = 1; cut < reads.size(); ++cut) {
    VirtualController controller;
    std::vector<uint32_t> interrupted(reads.begin(),
                                      reads.begin() + static_cast<std::ptrdiff_t>(cut));
    interrupted.push_back(2048);  // an ordinary read from elsewhere
    interrupted.insert(interrupted.end(), reads.begin() + static_cast<std::ptrdiff_t>(cut),
                       reads.end());
    Play(controller, interrupted);
    EXPECT_FALSE(IsReply(Poll(controller))) << "cut at " << cut;
    // The same knock played whole afterwards is answered.
    EXPECT_TRUE(IsReply(Knock(controller, ControllerQuery(kQueryStatus)))) << "cut at " << cut;
  }
}

TEST(VirtualController, ANewPreambleRestartsAKnockUnderWay) {
  VirtualController controller;
  auto reads = KnockReads(ControllerQuery(kQueryIdentity));
  std::vector<uint32_t> stream(reads.begin(), reads.begin() + 9);  // preamble, header, 1 command
  const auto whole = KnockReads(ControllerQuery(kQueryStatus));
  stream.insert(stream.end(), whole.begin(), whole.end());
  Play(controller, stream);
  const Sector r = Poll(controller);
  ASSERT_TRUE(IsReply(r));
  ASSERT_EQ(controller.Commands().size(), 1u);
  EXPECT_EQ(controller.Commands()[0].command[0], kQueryStatus);
}

TEST(VirtualController, SeparatorsAreIgnoredAndRepeatsWithoutThemAreOneSymbol) {
  std::vector<uint8_t> ff(128, 0xFF);
  const KnockCommand command = test::SpiWrite(0, ff.data());  // 25 01 00 00, payload all FF
  const auto frame = test::FrameLbas(command);
  const auto host = KnockReads(command);
  ASSERT_GT(host.size(), frame.size());  // the host had to separate equal neighbours

  std::vector<uint32_t> everywhere;  // a separator before every read
  for (uint32_t lba : frame) {
    everywhere.push_back(kSeparatorLba);
    everywhere.push_back(lba);
  }
  std::vector<uint32_t> doubled;  // the host's reads, each read twice in a row
  for (uint32_t lba : host) {
    doubled.push_back(lba);
    doubled.push_back(lba);
  }
  struct Case {
    const char* name;
    std::vector<uint32_t> reads;
    bool answered;
  } cases[] = {
      {"as the host plays it", host, true},
      {"separator before every read", everywhere, true},
      {"every read repeated", doubled, true},
      {"equal neighbours not separated", frame, false},
  };
  for (const auto& c : cases) {
    VirtualController controller;
    Play(controller, c.reads);
    EXPECT_EQ(IsReply(Poll(controller)), c.answered) << c.name;
  }
}

TEST(VirtualController, ReplyStaysForPollsAndSeparatorsAndGoesAtAnyOtherRead) {
  VirtualController controller;
  Sector pattern{};
  pattern.fill(0x17);
  controller.WriteDiskSector(kReplyLba, pattern);
  EXPECT_EQ(ReadOne(controller, kReplyLba), pattern);  // no knock: the disk's own data

  Play(controller, KnockReads(ControllerQuery(kQueryPresence)));
  EXPECT_TRUE(controller.ReplyArmed());
  EXPECT_TRUE(IsReply(Poll(controller)));
  EXPECT_TRUE(IsReply(ReadOne(controller, kReplyLba)));  // again, without a separator
  EXPECT_TRUE(IsReply(Poll(controller)));
  (void)ReadOne(controller, 18);
  EXPECT_FALSE(controller.ReplyArmed());
  EXPECT_EQ(ReadOne(controller, kReplyLba), pattern);

  // A write does not disarm it.
  Play(controller, KnockReads(ControllerQuery(kQueryPresence)));
  controller.Write(100, 1, pattern.data());
  EXPECT_TRUE(IsReply(Poll(controller)));
}

TEST(VirtualController, MultiSectorReadSeesEachSectorInOrder) {
  VirtualController controller;
  Play(controller, KnockReads(ControllerQuery(kQueryPresence)));
  std::vector<uint8_t> two(2 * kSectorSize);
  controller.Read(kReplyLba, 2, two.data());  // 17 answers, then 18 disarms
  EXPECT_TRUE(IsReplySector(std::span<const uint8_t, kSectorSize>(two.data(), kSectorSize)));
  EXPECT_FALSE(controller.ReplyArmed());
}

// ---------------------------------------------------------------------------
// SPI flash.

TEST(VirtualController, FlashStartsErasedAt128KiBAndSizeIsSettable) {
  VirtualController controller;
  EXPECT_EQ(controller.FlashSize(), 128u * 1024);
  const auto all = controller.ReadFlash(0, controller.FlashSize());
  EXPECT_TRUE(std::all_of(all.begin(), all.end(), [](uint8_t b) { return b == 0xFF; }));
  controller.ResetFlash(64 * 1024);
  EXPECT_EQ(controller.FlashSize(), 64u * 1024);
  VirtualController small({}, 64 * 1024);
  EXPECT_EQ(small.FlashSize(), 64u * 1024);
}

TEST(VirtualController, SpiWriteThenReadReturnsTheData) {
  VirtualController controller;
  std::vector<uint8_t> data(128);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
  const uint16_t page = 0x1DF;  // address 0xEF80
  Sector r = Knock(controller, test::SpiWrite(page, data.data()));
  ASSERT_TRUE(IsReply(r));
  EXPECT_EQ(r[kReplyStatusOffset], kStatusCarriedOut);
  EXPECT_EQ(controller.ReadFlash(0xEF80, 128), data);

  r = Knock(controller, test::SpiRead(page));
  ASSERT_TRUE(IsReply(r));
  EXPECT_EQ(r[kReplyStatusOffset], kStatusCarriedOut);
  EXPECT_EQ(Bytes(r, kReplySpiDataOffset, 128), data);
  // The neighbouring pages are untouched.
  EXPECT_EQ(Bytes(Knock(controller, test::SpiRead(page + 1)), kReplySpiDataOffset, 128),
            std::vector<uint8_t>(128, 0xFF));
}

TEST(VirtualController, ProgramOnlyClearsBitsAndEraseRestoresExactlyOneBlock) {
  VirtualController controller;
  const std::vector<uint8_t> zeros(128, 0x00), ones(128, 0xFF), mixed(128, 0xF0);
  const uint16_t page = 0x21;  // address 0x1080, inside block 0x1000-0x1FFF

  Knock(controller, test::SpiWrite(page, zeros.data()));
  Knock(controller, test::SpiWrite(page, ones.data()));
  EXPECT_EQ(controller.ReadFlash(0x1080, 128), zeros) << "programming 0xFF must not set bits";

  controller.SetFlash(0x1000, std::vector<uint8_t>(128, 0x3C));
  Knock(controller, test::SpiWrite(0x20, mixed.data()));
  EXPECT_EQ(controller.ReadFlash(0x1000, 128), std::vector<uint8_t>(128, 0x30));  // 3C AND F0

  controller.SetFlash(0, std::vector<uint8_t>(controller.FlashSize(), 0x00));
  const Sector r = Knock(controller, test::SpiErase(page));
  ASSERT_TRUE(IsReply(r));
  EXPECT_EQ(r[kReplyStatusOffset], kStatusCarriedOut);
  const auto flash = controller.ReadFlash(0, controller.FlashSize());
  for (std::size_t a = 0; a < flash.size(); ++a) {
    const uint8_t expected = (a >= 0x1000 && a < 0x2000) ? 0xFF : 0x00;
    ASSERT_EQ(flash[a], expected) << "address " << std::hex << a;
  }
}

TEST(VirtualController, SpiAddressesWrapAtTheFlashSize) {
  VirtualController controller({}, 64 * 1024);
  std::vector<uint8_t> data(128, 0x42);
  Knock(controller, test::SpiWrite(static_cast<uint16_t>((64 * 1024 + 0x100) >> 7), data.data()));
  EXPECT_EQ(controller.ReadFlash(0x100, 128), data);
}

// ---------------------------------------------------------------------------
// Control sector.

Sector ControlSector(uint8_t request, uint8_t b3, uint8_t event, uint8_t backup, uint8_t period,
                     uint64_t first, uint64_t last) {
  Sector s{};
  s[0] = 0x33;
  s[1] = 0x58;
  s[2] = request;
  s[3] = b3;
  s[4] = event;
  s[5] = backup;
  s[6] = period;
  StoreLittleEndian(s.data() + 7, 5, first);
  StoreLittleEndian(s.data() + 13, 5, last);
  s[300] = 0x77;  // stale bytes count in the sum too
  uint32_t sum = 0;
  for (std::size_t i = 7; i < 510; ++i) sum += s[i];
  s[510] = static_cast<uint8_t>(sum);
  s[511] = static_cast<uint8_t>(sum >> 8);
  return s;
}

TEST(VirtualController, ControlSectorWritesAreDecodedWithTheirSumChecked) {
  Sector settings = ControlSector(0x20, 0, 0, 1, 0x88, 0, 0);
  Sector event = ControlSector(0x1F, 1, 0x21, 0, 0, 0x0102030405ULL, 0xFFFFFFFFFFULL);
  Sector badSum = ControlSector(0x20, 0, 0, 0, 0, 0, 0);
  badSum[511] ^= 0x01;
  Sector badSignature = ControlSector(0x1F, 1, 0x20, 0, 0, 0, 0);
  badSignature[1] = 0x59;

  VirtualController controller;
  for (const Sector* s : {&settings, &event, &badSum, &badSignature})
    controller.Write(20, 1, s->data());
  const auto writes = controller.ControlWrites();
  ASSERT_EQ(writes.size(), 4u);

  EXPECT_TRUE(writes[0].signatureOk);
  EXPECT_EQ(writes[0].requestCode, 0x20);
  EXPECT_EQ(writes[0].scheduleBackup, 1);
  EXPECT_EQ(writes[0].periodCode, 0x88);
  EXPECT_TRUE(writes[0].sumOk);
  EXPECT_EQ(writes[0].sector, settings);

  EXPECT_EQ(writes[1].requestCode, 0x1F);
  EXPECT_EQ(writes[1].byte3, 1);
  EXPECT_EQ(writes[1].hostEvent, 0x21);
  EXPECT_EQ(writes[1].firstLba, 0x0102030405ULL);
  EXPECT_EQ(writes[1].lastLba, 0xFFFFFFFFFFULL);
  EXPECT_TRUE(writes[1].sumOk);
  EXPECT_EQ(writes[1].computedSum, writes[1].storedSum);

  EXPECT_FALSE(writes[2].sumOk);
  EXPECT_TRUE(writes[2].signatureOk);
  EXPECT_FALSE(writes[3].signatureOk);
  EXPECT_TRUE(writes[3].sumOk);

  // LBA 20 is not stored; its neighbours are.
  EXPECT_EQ(controller.ReadDiskSector(20), Sector{});
  controller.Write(19, 3, std::vector<uint8_t>(3 * kSectorSize, 0xAB).data());
  EXPECT_EQ(controller.ReadDiskSector(19)[0], 0xAB);
  EXPECT_EQ(controller.ReadDiskSector(20), Sector{});
  EXPECT_EQ(controller.ReadDiskSector(21)[511], 0xAB);
  EXPECT_EQ(controller.ControlWrites().size(), 5u);
}

TEST(VirtualController, InquiryDataIsStandardAndSettable) {
  VirtualController controller;
  controller.UpdateScenario([](ControllerScenario& s) {
    s.inquiry = {"VENDOR", "PRODUCT NAME", "1.2"};
  });
  const InquiryData d = controller.Inquiry();
  EXPECT_EQ(d[0], 0x00);
  EXPECT_EQ(d[4], 31);
  EXPECT_EQ(std::string(d.begin() + 8, d.begin() + 16), "VENDOR  ");
  EXPECT_EQ(std::string(d.begin() + 16, d.begin() + 32), "PRODUCT NAME    ");
  EXPECT_EQ(std::string(d.begin() + 32, d.begin() + 36), "1.2 ");
}

// ---------------------------------------------------------------------------
// Faults.

TEST(VirtualController, ReplyAfterNPollsNoReplyAndWrongTail) {
  {
    VirtualController controller;
    controller.UpdateFaults([](ControllerFaults& f) { f.replyAfterPolls = 3; });
    Play(controller, KnockReads(ControllerQuery(kQueryStatus)));
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(IsReply(Poll(controller))) << i;
    EXPECT_TRUE(IsReply(Poll(controller)));
  }
  {
    VirtualController controller;
    controller.UpdateFaults([](ControllerFaults& f) { f.noReply = true; });
    EXPECT_FALSE(IsReply(Knock(controller, ControllerQuery(kQueryStatus))));
    ASSERT_EQ(controller.Commands().size(), 1u);
    EXPECT_FALSE(controller.Commands()[0].replied);
  }
  {
    VirtualController controller;
    controller.UpdateFaults([](ControllerFaults& f) { f.wrongTailSignature = true; });
    const Sector r = Knock(controller, ControllerQuery(kQueryStatus));
    EXPECT_EQ(Bytes(r, 0, 16), Text(kReplyHeadSignature));
    EXPECT_FALSE(IsReply(r));
    controller.ClearFaults();
    EXPECT_TRUE(IsReply(Knock(controller, ControllerQuery(kQueryStatus))));
  }
}

TEST(VirtualController, ChosenStatusIsAnsweredAndTheCommandIsNotCarriedOut) {
  for (uint8_t status : {uint8_t{0x42}, uint8_t{0x00}, uint8_t{0xC0}}) {
    VirtualController controller;
    controller.UpdateFaults([&](ControllerFaults& f) { f.status = status; });
    std::vector<uint8_t> zeros(128, 0);
    const Sector r = Knock(controller, test::SpiWrite(4, zeros.data()));
    ASSERT_TRUE(IsReply(r));
    EXPECT_EQ(r[kReplyStatusOffset], status);
    EXPECT_EQ(controller.ReadFlash(4 << 7, 128), std::vector<uint8_t>(128, 0xFF));
  }
  VirtualController controller;
  controller.UpdateFaults([](ControllerFaults& f) { f.status = kStatusCarriedOut; });
  std::vector<uint8_t> zeros(128, 0);
  Knock(controller, test::SpiWrite(4, zeros.data()));
  EXPECT_EQ(controller.ReadFlash(4 << 7, 128), zeros);
}

TEST(VirtualController, CommandFaultTakesExactlyItsCountOfMatchingCommands) {
  struct Case {
    std::optional<uint8_t> status;
  } cases[] = {{std::nullopt}, {uint8_t{0x42}}};
  for (const auto& c : cases) {
    VirtualController controller;
    std::vector<uint8_t> data(128, 0x99);
    controller.SetFlash(0x80, data);
    controller.AddCommandFault(CommandFault::SpiReadAt(0x0080, 9, c.status));
    EXPECT_EQ(controller.PendingCommandFaults(), 9u);
    for (int attempt = 1; attempt <= 9; ++attempt) {
      // Other pages and other commands pass meanwhile.
      EXPECT_TRUE(IsReply(Knock(controller, test::SpiRead(0))));
      EXPECT_TRUE(IsReply(Knock(controller, ControllerQuery(kQueryStatus))));
      const Sector r = Knock(controller, test::SpiRead(1));
      if (c.status) {
        ASSERT_TRUE(IsReply(r));
        EXPECT_EQ(r[kReplyStatusOffset], *c.status);
      } else {
        EXPECT_FALSE(IsReply(r)) << attempt;
      }
    }
    EXPECT_EQ(controller.PendingCommandFaults(), 0u);
    const Sector r = Knock(controller, test::SpiRead(1));
    ASSERT_TRUE(IsReply(r));
    EXPECT_EQ(r[kReplyStatusOffset], kStatusCarriedOut);
    EXPECT_EQ(Bytes(r, kReplySpiDataOffset, 128), data);
  }
}

TEST(VirtualController, FlippedBitShowsOnlyOnReadBackOnTheReadsItIsFor) {
  struct Case {
    const char* name;
    FlippedBit flip;
    std::vector<bool> wrong;  // read after read
  };
  const std::vector<Case> cases{
      {"every read", {0x85, 0x04}, {true, true, true, true, true, true}},
      {"the first read", {0x85, 0x04, 1}, {true, false, false, false, false, false}},
      {"every other read", {0x85, 0x04, 0, true}, {true, false, true, false, true, false}},
      {"every other of the first three",
       {0x85, 0x04, 3, true},
       {true, false, true, false, false, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VirtualController controller;
    controller.UpdateFaults([&](ControllerFaults& f) { f.flippedBit = c.flip; });
    for (const bool wrong : c.wrong) {
      std::vector<uint8_t> expected(128, 0xFF);
      if (wrong) expected[5] = 0xFB;
      EXPECT_EQ(Bytes(Knock(controller, test::SpiRead(1)), kReplySpiDataOffset, 128), expected);
      // Other pages do not count as reads of the byte.
      EXPECT_EQ(Bytes(Knock(controller, test::SpiRead(0)), kReplySpiDataOffset, 128),
                std::vector<uint8_t>(128, 0xFF));
    }
    EXPECT_EQ(controller.ReadFlash(0x85, 1)[0], 0xFF);
  }
}

}  // namespace
}  // namespace px::sim
