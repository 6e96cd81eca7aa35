// The controller's status, identity and progress replies, decoded into the
// records and read back through the views: every byte of the record after a
// decode, under each copy rule (a poll, discovery of a new drive, discovery
// of the drive the record already belongs to), is what the reply layout
// says; the views read back what was stored; a member that entered a class
// raises the event of that class.
//
// Input: the copy rule, byte 49 of the identity record (bit 4: port order),
// the record before the decode (512 bytes), then the reply (512 bytes).

#include <algorithm>
#include <array>
#include <string>

#include "common/text.h"
#include "raid/enclosure_events.h"
#include "raid/record_views.h"
#include "raid/records.h"
#include "reference.h"
#include "support.h"

namespace px::fuzz {
namespace {

// What the program shows of a text field: the bytes of each pair exchanged
// (an odd last byte stays), cut at the first NUL, and made printable by the
// one rule for texts a device chose, which its own tests hold.
std::string ReadableText(std::span<const uint8_t> field) {
  std::string text;
  for (std::size_t i = 0; i < field.size(); ++i) {
    const std::size_t from = (i ^ 1U) < field.size() ? (i ^ 1U) : i;
    if (field[from] == 0) break;
    text += static_cast<char>(field[from]);
  }
  return PrintableUtf8(text);
}

void ExpectSame(const ref::Sector& expected, std::span<const uint8_t, kSectorSize> actual,
                const std::string& what) {
  const auto differ = std::mismatch(expected.begin(), expected.end(), actual.begin());
  if (differ.first == expected.end()) return;
  const auto at = static_cast<std::size_t>(differ.first - expected.begin());
  Fail(what + ": byte " + std::to_string(at) + " is " + Hex({&*differ.second, 1}) + ", expected " +
       Hex({&*differ.first, 1}));
}

std::optional<EnclosureEventKind> KindEntering(uint8_t classBit) {
  switch (classBit) {
    case 0x01:
      return EnclosureEventKind::MemberInserted;
    case 0x02:
      return EnclosureEventKind::MemberInitialized;
    case 0x04:
      return EnclosureEventKind::MemberRemoved;
    case 0x08:
      return EnclosureEventKind::MemberFailed;
    default:
      return std::nullopt;
  }
}

void CheckStatusDecode(Input& in) {
  const uint8_t ruleByte = in.Byte();
  const uint8_t byte49 = in.Byte();
  ref::Sector before{};
  ref::Sector reply{};
  const auto beforeBytes = in.Bytes(kSectorSize);
  std::copy(beforeBytes.begin(), beforeBytes.end(), before.begin());
  const auto replyBytes = in.Bytes(kSectorSize);
  std::copy(replyBytes.begin(), replyBytes.end(), reply.begin());

  const MemberCopy copies[] = {MemberCopy::Poll, MemberCopy::Discovery,
                               MemberCopy::DiscoverySameDrive};
  const ref::Copy refCopies[] = {ref::Copy::Poll, ref::Copy::Discovery,
                                 ref::Copy::DiscoverySameDrive};
  const std::size_t rule = ruleByte % 3;
  Record config{};
  config[49] = byte49;

  Record actual = before;
  DecodeStatusReply(reply, config, actual, copies[rule]);
  ref::Sector expected = before;
  ref::DecodeStatus(reply, byte49, refCopies[rule], expected);
  ExpectSame(expected, actual, "status decode, copy rule " + std::to_string(rule));

  // The views read back what the layout says.
  const StatusRecordView view(actual);
  Expect(view.Mode() == ref::ModeCode(reply[80]), "mode code");
  Expect(view.PortFlags() == expected[104], "PortFlags");
  const uint8_t states[] = {actual[30], actual[31]};
  Expect(view.RebuildRuns() == (states[0] == 1 || states[1] == 1), "a rebuild runs");
  if (view.RebuildRuns()) {
    Expect((view.Direction() == RebuildDirection::TowardsP0) == (states[0] == 1),
           "the rebuild runs towards the member that reports state 1");
  }
  const std::size_t models[] = {256, 302};
  const std::size_t serials[] = {58, 78};
  const std::size_t capacities[] = {296, 342};
  for (Port port : kBothPorts) {
    const std::size_t p = IndexOf(port);
    const MemberView member = view.Member(port);
    const MemberClass cls = member.Classes().First();
    Expect(static_cast<uint8_t>(cls) == ref::ClassBit(states[p]),
           "a member's class follows its state");
    Expect(member.Model() == ReadableText(std::span(actual).subspan(models[p], 40)), "model text");
    Expect(member.Serial() == ReadableText(std::span(actual).subspan(serials[p], 20)),
           "serial text");
    Expect(
        member.CapacitySectors() == ref::LittleEndian(std::span(actual).subspan(capacities[p], 6)),
        "member capacity");
  }

  // Each member that entered a class it was not in raises that class's event.
  const auto events = DeriveEvents(0, SnapshotOf(StatusRecordView(before), true),
                                   SnapshotOf(StatusRecordView(actual), true));
  std::vector<EnclosureEventKind> memberEvents;
  for (const EnclosureEvent& e : events) {
    if (!e.member) continue;
    memberEvents.push_back(e.kind);
    Expect(e.member->model == view.Member(e.member->port).Model(),
           "a member event carries the member as it is now");
    Expect(e.member->classes == view.Member(e.member->port).Classes(), "event member classes");
  }
  std::vector<EnclosureEventKind> expectedEvents;
  for (std::size_t p = 0; p < 2; ++p) {
    const uint8_t entered = ref::ClassBit(states[p]);
    const uint8_t was = static_cast<uint8_t>((before[104] >> (4 * p)) & 0x0F);
    if ((was & entered) == 0) expectedEvents.push_back(*KindEntering(entered));
  }
  Expect(memberEvents == expectedEvents, "member events");

  // The same sector as a progress reply.
  const ProgressReplyView progress(reply);
  const ref::Progress p = ref::ProgressOf(reply);
  Expect(progress.Present() == p.present, "progress report present");
  Expect(progress.TotalSectors() == p.total && progress.CurrentSector() == p.current,
         "progress total and current sector");
  Expect(progress.Percent() == ref::Percent(p.current, p.total), "progress percentage");

  // ... and as an identity reply, kept as discovery keeps it.
  Record identity = reply;
  const ConfigRecordEditor kept(identity);
  Expect(kept.SuppliesRevision() == (reply[124] == 0 && reply[125] == 0), "revision supplied");
  kept.KeepSentVersion();
  ref::Sector keptExpected = reply;
  std::copy_n(reply.begin() + 88, 8, keptExpected.begin() + 46);
  ExpectSame(keptExpected, identity, "identity record after keeping the sent version");
  Expect(kept.FirmwareVersion() == ref::BigEndian(std::span(reply).subspan(88, 4)),
         "firmware version");
  Expect(kept.ProductCode()[0] == reply[92] && kept.ProductCode()[1] == reply[93], "product code");
  Expect(kept.P0IsRecordA() == ((reply[91] & 0x10) != 0), "port order");
  Record revised = actual;
  StatusRecordEditor(revised).SetRevision(IdentityReplyView(reply));
  ref::Sector revisedExpected = expected;
  revisedExpected[349] = reply[129];
  revisedExpected[350] = reply[128];
  revisedExpected[351] = reply[127];
  ExpectSame(revisedExpected, revised, "revision bytes stored reversed");
}

}  // namespace
}  // namespace px::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  px::fuzz::Input in(data, size);
  px::fuzz::CheckStatusDecode(in);
  return 0;
}
