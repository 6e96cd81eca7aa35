// Discovery and the status poll over disks whose every answer comes from
// the input: which drives are there, and for each controller query the
// reply (late, never, with a wrong signature, a failed read, any status, any
// bytes), and each INQUIRY. The program asks exactly the queries the rules
// call for, in order (presence, identity, then for an enclosure its status
// and, for a mirror, progress; in a poll the revision, progress and status
// rounds of each device not resting after a failure), believes only
// replies the controller really sent with status 0x20, and leaves every
// byte of every record and the device table as the rules make them from
// those replies; a device drops out of polling at its sixth failed poll in
// a row; a member event names the class its member is now in.
//
// Input: the drives that are there (2 bytes, bit n drive n), the drive
// letters (4 bytes, bit n letter 'A' + n), then steps until the input ends
// or sixteen have run: a step byte (low bit: 0 a detection, 1 a poll; bit 1
// the start is over), each followed by the answers it draws, in the order
// the program asks: an answer byte (low three bits: 0-3 a reply, 4 a late
// reply after the next byte's polls, 5 none, 6 a wrong tail signature, 7 the
// read failing; bit 3: a status byte follows, else 0x20), then the reply's
// bytes that the query's layout uses (none for presence, 50 from byte 80
// for identity, 40 from 84 for progress, 156 from 80 for status); an
// INQUIRY is a byte (bit 0 failing) and the 24 bytes of vendor and product.

#include <algorithm>
#include <array>
#include <bitset>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/sleep_inhibitor.h"
#include "common/text.h"
#include "core/core.h"
#include "device/knock.h"
#include "reference.h"
#include "sim/fake_clock.h"
#include "sim/knock_recogniser.h"
#include "support.h"
#include "support/recording_ui.h"
#include "unit/eventlog/log_test_support.h"
#include "unit/raid/raid_rig.h"

namespace px::fuzz {
namespace {

constexpr int kMaxSteps = 16;
constexpr DeviceHandle kHandleBase = 100;

// One query as the disk answered it.
struct Asked {
  uint32_t drive;
  uint8_t query;
  bool believable;  // a reply arrived, with status 0x20
  ref::Sector reply;
};

struct Inquired {
  uint32_t drive;
  bool ok;
  std::array<uint8_t, 24> text;
};

// Disks that answer from the input. Each drive's controller hears knocks
// with the simulator's recogniser; a recognised query draws its answer.
class ScriptedDisks final : public Transport {
 public:
  ScriptedDisks(Input& in, uint16_t present, uint32_t letters)
      : in_(in), present_(present), letters_(letters) {}

  OpenResult Open(const DevicePath& path) override {
    const uint32_t drive = path.drive.number();
    if (path.kind == DevicePath::Kind::PhysicalDrive && drive < 10 && present_.test(drive)) {
      ++open_;
      return {kHandleBase + static_cast<DeviceHandle>(drive), OpenStatus::Opened, 0};
    }
    return {kInvalidHandle, OpenStatus::Missing, 0};
  }
  void Close(DeviceHandle) override { --open_; }
  CommandOutcome Execute(DeviceHandle handle, const ScsiRequest& request) override {
    const auto drive = static_cast<uint32_t>(handle - kHandleBase);
    Expect(drive < 10 && present_.test(drive), "a command on a handle never opened");
    if (request.cdb[0] == 0x12) return Inquiry(drive, request);
    Expect(request.cdb[0] == 0x28, "discovery and polls only read");
    const auto lba = static_cast<uint32_t>(ref::BigEndian(std::span(request.cdb).subspan(2, 4)));
    return Read(drive, lba, request.data);
  }
  void Refresh() override {}
  uint32_t LogicalDriveMask() override { return letters_; }
  uint8_t DriveType(char) override { return kDriveFixed; }
  std::optional<DiskExtent> FirstExtent(DeviceHandle) override { return std::nullopt; }
  std::string DriveNode(PhysicalDrive) override { return {}; }
  std::string BridgeId(PhysicalDrive) override { return {}; }
  std::optional<DeniedDisk> RefusedDisk() override { return std::nullopt; }
  ClaimToken TryClaimDrive(PhysicalDrive, ClaimPurpose) override { return 1; }
  void ReleaseDrive(ClaimToken) override {}
  bool DriveClaimedForFirmware(PhysicalDrive) override { return false; }

  const std::vector<Asked>& asked() const { return asked_; }
  const std::vector<Inquired>& inquired() const { return inquired_; }
  int open() const { return open_; }

 private:
  struct Armed {
    uint8_t kind;
    uint32_t pollsLeft;
    ref::Sector sector;
  };

  CommandOutcome Read(uint32_t drive, uint32_t lba, uint8_t* out) {
    std::fill_n(out, kSectorSize, 0);
    std::optional<Armed>& armed = armed_[drive];
    if (lba == kReplyLba) {
      if (!armed) return {true};
      if (armed->kind == 7) return {false};
      if (armed->kind == 5) return {true};
      if (armed->pollsLeft > 0) {
        --armed->pollsLeft;
        return {true};
      }
      std::copy(armed->sector.begin(), armed->sector.end(), out);
      return {true};
    }
    if (lba != kSeparatorLba) armed.reset();
    const std::optional<sim::RecognisedKnock> knock = ears_[drive].Feed(lba);
    if (!knock || !knock->checksumOk) return {true};
    const auto& f = knock->frame;
    Expect(!knock->longForm && f[8] == 0x00 && f[9] == 0x04 && f[10] == 0xEF && f[11] == 0xFF &&
               f[13] == 0xCF && f[14] == 0xDF && f[15] == 0xEF,
           "discovery and polls send controller queries only");
    armed = Answer(drive, f[12]);
    return {true};
  }

  Armed Answer(uint32_t drive, uint8_t query) {
    const uint8_t how = in_.Byte();
    const uint8_t status = (how & 0x08) != 0 ? in_.Byte() : 0x20;
    Armed armed{static_cast<uint8_t>(how & 7U), 0, {}};
    if (armed.kind == 4) armed.pollsLeft = in_.Byte() % 64U;
    ref::Sector& sector = armed.sector;
    std::size_t from = 0;
    std::size_t size = 0;
    if (query == kQueryIdentity) from = 80, size = 50;
    if (query == kQueryProgress) from = 84, size = 40;
    if (query == kQueryStatus) from = 80, size = 156;
    const auto body = in_.Bytes(size);
    std::copy(body.begin(), body.end(), sector.begin() + static_cast<std::ptrdiff_t>(from));
    std::copy_n(kReplyHeadSignature, 16, sector.begin());
    std::copy_n(armed.kind == 6 ? "__SATA6GRAID00__" : kReplyTailSignature, 16,
                sector.begin() + 496);
    sector[48] = status;
    const bool arrives = armed.kind <= 4;
    asked_.push_back({drive, query, arrives && status == 0x20, sector});
    return armed;
  }

  CommandOutcome Inquiry(uint32_t drive, const ScsiRequest& request) {
    const bool ok = (in_.Byte() & 1U) == 0;
    Inquired inquiry{drive, ok, {}};
    std::fill(inquiry.text.begin(), inquiry.text.end(), ' ');
    const auto text = in_.Bytes(24);
    std::copy(text.begin(), text.end(), inquiry.text.begin());
    inquired_.push_back(inquiry);
    if (!ok) return {false};
    std::fill_n(request.data, request.transferLength, 0);
    std::copy(inquiry.text.begin(), inquiry.text.end(), request.data + 8);
    return {true};
  }

  Input& in_;
  std::bitset<10> present_;
  uint32_t letters_;
  std::array<sim::KnockRecogniser, 10> ears_{};
  std::array<std::optional<Armed>, 10> armed_{};
  std::vector<Asked> asked_;
  std::vector<Inquired> inquired_;
  int open_ = 0;
};

// What the rules make of the answers: the records, the device table and the
// per-slot flags, kept alongside the program's.
struct Rules {
  std::array<ref::Sector, 10> status{};
  std::array<ref::Sector, 10> config{};
  std::vector<uint32_t> slots;
  std::array<bool, kDeviceSlots> revisionPending{};
  std::array<bool, kDeviceSlots> progressPending{};
  std::array<uint8_t, kDeviceSlots> retries{};
  std::array<bool, kShownDevices> polled{true, true, true, true};
};

// The queries of one drive in one detection or poll, taken in order.
class Queries {
 public:
  Queries(const std::vector<Asked>& all, std::size_t from, uint32_t drive) : drive_(drive) {
    for (std::size_t i = from; i < all.size(); ++i)
      if (all[i].drive == drive) list_.push_back(&all[i]);
  }
  const Asked& Next(uint8_t query) {
    Expect(at_ < list_.size() && list_[at_]->query == query,
           "drive " + std::to_string(drive_) + ": query " + HexUpper(query, 2) +
               " expected next, the program " +
               (at_ < list_.size() ? "asked " + HexUpper(list_[at_]->query, 2) : "asked nothing"));
    return *list_[at_++];
  }
  void ExpectDone() const {
    Expect(at_ == list_.size(), "drive " + std::to_string(drive_) + " was asked query " +
                                    (at_ < list_.size() ? HexUpper(list_[at_]->query, 2) : "") +
                                    " the rules do not call for");
  }

 private:
  uint32_t drive_;
  std::vector<const Asked*> list_;
  std::size_t at_ = 0;
};

void Store(ref::Sector& record, std::size_t at, std::size_t n, uint64_t value) {
  for (std::size_t i = 0; i < n; ++i) record[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// Vendor and product with every run of spaces before a non-space made one.
std::array<uint8_t, 24> Collapsed(const std::array<uint8_t, 24>& text) {
  std::vector<uint8_t> out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != ' ') {
      out.push_back(text[i]);
      continue;
    }
    std::size_t end = i;
    while (end < text.size() && text[end] == ' ') ++end;
    if (end == text.size()) break;
    out.push_back(' ');
    i = end - 1;
  }
  std::array<uint8_t, 24> result;
  std::fill(result.begin(), result.end(), ' ');
  std::copy(out.begin(), out.end(), result.begin());
  return result;
}

bool Detected(Rules& rules, uint32_t k, const ScriptedDisks& disks, std::size_t from,
              std::size_t inquiriesFrom) {
  Queries queries(disks.asked(), from, k);
  ref::Sector& config = rules.config[k];
  ref::Sector& status = rules.status[k];
  const Asked& presence = queries.Next(kQueryPresence);
  bool enclosure = false;
  if (presence.believable) {
    config = presence.reply;
    const Asked& identity = queries.Next(kQueryIdentity);
    if (identity.believable) {
      config = identity.reply;
      std::copy_n(identity.reply.begin() + 88, 8, config.begin() + 46);
      enclosure = ref::EnclosureProduct(identity.reply);
    }
  }
  std::vector<Inquired> inquiries;
  for (std::size_t i = inquiriesFrom; i < disks.inquired().size(); ++i)
    if (disks.inquired()[i].drive == k) inquiries.push_back(disks.inquired()[i]);
  Expect(inquiries.size() == (enclosure ? 1U : 0U),
         "drive " + std::to_string(k) + ": INQUIRY is for enclosures, once");
  if (!enclosure) {
    queries.ExpectDone();
    return false;
  }
  if (inquiries[0].ok) {
    const std::array<uint8_t, 24> name = Collapsed(inquiries[0].text);
    for (std::size_t i = 0; i < 24; ++i) config[54 + i] = name[i ^ 1U];
    std::fill_n(config.begin() + 78, 16, uint8_t{' '});
  }
  const std::size_t slot = rules.slots.size();
  if (config[124] == 0 && config[125] == 0) rules.revisionPending[slot] = true;
  const Asked& state = queries.Next(kQueryStatus);
  if (state.believable) {
    const bool same = status[0] == k && status[1] == 0xA0;
    status[0] = static_cast<uint8_t>(k);
    status[1] = 0xA0;
    ref::DecodeStatus(state.reply, config[49],
                      same ? ref::Copy::DiscoverySameDrive : ref::Copy::Discovery, status);
    const bool runs = status[105] != 0;
    if (runs) rules.progressPending[slot] = true;
    if (status[57] == 1) {
      const Asked& progress = queries.Next(kQueryProgress);
      if (progress.believable) {
        const ref::Progress p = ref::ProgressOf(progress.reply);
        Store(status, 98, 6, p.total);
        // Past its total a reading has no percentage: a record of this
        // drive keeps its last one, a new record has 0.
        const std::optional<uint8_t> percent = ref::Percent(p.current, p.total);
        if (!runs || (!percent && !same)) {
          status[106] = 0;
        } else if (percent) {
          status[106] = *percent;
        }
      }
    } else {
      const uint64_t p0 = ref::LittleEndian(std::span(status).subspan(296, 6));
      const uint64_t p1 = ref::LittleEndian(std::span(status).subspan(342, 6));
      Store(status, 98, 6, 2 * std::min(p0, p1));
    }
  }
  if (rules.revisionPending[slot]) {
    status[348] = 0xA0;
    status[349] = config[129];
    status[350] = config[128];
    status[351] = config[127];
  } else {
    status[348] = 0xFF;
  }
  queries.ExpectDone();
  rules.slots.push_back(0x40 | k);
  return true;
}

// One slot's share of a poll; true when it answered.
bool Polled(Rules& rules, std::size_t slot, const ScriptedDisks& disks, std::size_t from) {
  const uint32_t k = rules.slots[slot] & 0x0F;
  Queries queries(disks.asked(), from, k);
  ref::Sector& status = rules.status[k];
  bool answered = true;
  if (rules.revisionPending[slot]) {
    const Asked& identity = queries.Next(kQueryIdentity);
    answered = identity.believable;
    if (answered) {
      status[349] = identity.reply[129];
      status[350] = identity.reply[128];
      status[351] = identity.reply[127];
    }
  }
  for (int round = 0; answered && round < 3; ++round) {
    if (rules.progressPending[slot]) {
      const Asked& progress = queries.Next(kQueryProgress);
      answered = progress.believable;
      if (!answered) break;
      const ref::Progress p = ref::ProgressOf(progress.reply);
      if (p.present) {
        // Past its total: the last percentage stays.
        if (const std::optional<uint8_t> percent = ref::Percent(p.current, p.total)) {
          status[106] = *percent;
        }
        break;
      }
      rules.progressPending[slot] = false;
    }
    const Asked& state = queries.Next(kQueryStatus);
    answered = state.believable;
    if (!answered) break;
    ref::DecodeStatus(state.reply, rules.config[k][49], ref::Copy::Poll, status);
    if (status[105] == 0) {
      status[106] = 0;  // no rebuild, no percentage of one
      break;
    }
    rules.progressPending[slot] = true;
  }
  queries.ExpectDone();
  return answered;
}

void ExpectRecord(const ref::Sector& expected, const Record& actual, const std::string& what) {
  const auto differ = std::mismatch(expected.begin(), expected.end(), actual.begin());
  if (differ.first == expected.end()) return;
  const auto at = static_cast<std::size_t>(differ.first - expected.begin());
  Fail(what + ": byte " + std::to_string(at) + " is " + HexUpper(*differ.second, 2) +
       ", the rules make it " + HexUpper(*differ.first, 2));
}

void ExpectTables(const Rules& rules, const Core& core, uint16_t present) {
  for (uint32_t k = 0; k < 10; ++k) {
    if (((present >> k) & 1U) == 0) continue;
    ExpectRecord(rules.config[k], core.records.ConfigRecord[k],
                 "identity record of drive " + std::to_string(k));
    ExpectRecord(rules.status[k], core.records.StatusRecord[k],
                 "status record of drive " + std::to_string(k));
  }
  Expect(core.devices.DeviceCount == rules.slots.size(), "the number of enclosures found");
  for (std::size_t i = 0; i < rules.slots.size(); ++i)
    Expect(core.devices.DeviceSlot[i] == rules.slots[i], "device table entry " + std::to_string(i));
  for (std::size_t i = 0; i < kDeviceSlots; ++i) {
    const Enclosure& enclosure = core.enclosures[EnclosureSlot{i}];
    Expect(enclosure.revisionPending == rules.revisionPending[i], "revisionPending");
    Expect(enclosure.progressPending == rules.progressPending[i], "progressPending");
  }
  for (std::size_t i = 0; i < kShownDevices; ++i)
    Expect(core.enclosures[EnclosureSlot{i}].retryCount == rules.retries[i],
           "retryCount of slot " + std::to_string(i));
}

void CheckEvents(const Core& core, const std::vector<EnclosureEvent>& events) {
  for (const EnclosureEvent& e : events) {
    if (!e.member) continue;
    const Record& record = core.records.Status(core.devices.Drive(EnclosureSlot{e.device}));
    const MemberClasses now = StatusRecordView(record).Member(e.member->port).Classes();
    static constexpr std::pair<EnclosureEventKind, MemberClass> kEntered[] = {
        {EnclosureEventKind::MemberFailed, MemberClass::Failed},
        {EnclosureEventKind::MemberRemoved, MemberClass::Off},
        {EnclosureEventKind::MemberInserted, MemberClass::Inserted},
        {EnclosureEventKind::MemberInitialized, MemberClass::Ready}};
    for (const auto& [kind, cls] : kEntered)
      if (e.kind == kind)
        Expect(now.First() == cls,
               std::string(EventName(kind)) + " of a member now in another class");
  }
}

}  // namespace
}  // namespace px::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace px;
  using namespace px::fuzz;
  Input in(data, size);
  const auto present = static_cast<uint16_t>(in.U16() & 0x3FF);
  // Letters A to Z, as the systems have them.
  const uint32_t letters = in.U32() & 0x03FFFFFF;
  ScriptedDisks disks(in, present, letters);
  sim::FakeClock clock;
  test::RecordingPanels panels;
  test::RecordingMessages messages;
  NoSleepInhibitor sleep;
  test::FixedFormat format;
  Core core(CoreServices{
      .transport = disks,
      .clock = clock,
      .panels = panels,
      .messages = messages,
      .sleepInhibitor = sleep,
      .dateFormat = format,
      .now = [] { return LogTime{2026, 12, 7, 10, 0, 0}; },
      // Only polls tell events, long after the core is made.
      .events = [&core](const std::vector<EnclosureEvent>& events) { CheckEvents(core, events); }});
  test::FakeMonitorClient client;
  Rules rules;

  for (int step = 0; step < kMaxSteps && !in.empty(); ++step) {
    const uint8_t what = in.Byte();
    if ((what & 2U) != 0) core.monitor.FirstDisplay = false;
    const std::size_t from = disks.asked().size();
    const std::size_t inquiriesFrom = disks.inquired().size();
    if ((what & 1U) == 0) {
      const std::size_t boxes = messages.boxes().size();
      core.discovery.DetectNow();
      // The drive letters from C on: their volumes do not open here.
      const auto count = static_cast<std::size_t>(std::bitset<32>(letters >> 2).count());
      Expect(messages.boxes().size() == boxes + (count > 20 ? 1 : 0),
             "more than 20 drive letters are told once");
      for (std::size_t i = 0; i < std::min(count, kVolumeEntries); ++i) {
        const VolumeEntry& volume = core.detection.VolumeTable[i];
        Expect(
            volume.DriveType == kVolumeOpenFailed && volume.Letter >= 'C' && volume.Letter <= 'Z',
            "a volume entry");
      }
      Expect(core.detection.PhysicalDriveCount == std::bitset<10>(present).count(),
             "the drives counted");
      rules.slots.clear();
      for (uint32_t k = 0; k < 10; ++k) {
        if (((present >> k) & 1U) == 0) continue;
        // The table is full at eight: the drives after are not probed.
        if (rules.slots.size() < kDeviceSlots) {
          Detected(rules, k, disks, from, inquiriesFrom);
        } else {
          Queries(disks.asked(), from, k).ExpectDone();
        }
      }
    } else {
      const PollReport report = core.raid.ReadStatus(client);
      Expect(report.ran, "a poll with nothing in its way did not run");
      uint8_t answered = 0;
      for (std::size_t i = 0; i < std::min<std::size_t>(rules.slots.size(), kShownDevices); ++i) {
        // Out of polling, or resting after a failed poll: not asked.
        const bool resting = rules.polled[i] && rules.retries[i] % 2 != 0;
        if (!rules.polled[i] || resting) {
          if (resting) ++rules.retries[i];
          Queries(disks.asked(), from, rules.slots[i] & 0x0F).ExpectDone();
          continue;
        }
        if (Polled(rules, i, disks, from)) {
          answered = static_cast<uint8_t>(answered | 1U << i);
          rules.retries[i] = 0;
        } else if (++rules.retries[i] > 10) {
          rules.polled[i] = false;
          rules.retries[i] = 0;
        }
      }
      for (const Asked& a : std::span(disks.asked()).subspan(from)) {
        const auto slot = std::find(rules.slots.begin(), rules.slots.end(), 0x40 | a.drive);
        Expect(slot != rules.slots.end() && slot - rules.slots.begin() < 4,
               "a poll asked drive " + std::to_string(a.drive) + ", which is no shown device");
      }
      Expect(report.answered == answered, "the devices that answered the poll");
      for (std::size_t i = 0; i < kShownDevices; ++i)
        Expect(client.checked[i] == rules.polled[i], "device " + std::to_string(i) + " in polling");
      Expect(!core.monitor.PollInProgress, "a poll left PollInProgress set");
    }
    Expect(disks.open() == 0, "a disk was left open");
    ExpectTables(rules, core, present);
  }
  return 0;
}
