// The warnings a memory of the disks gives, told as stories: what a user does
// to an enclosure, poll by poll, and what the history says of it. Each step
// is polled three times: a warning comes at its first poll and not again
// while its condition lasts.

#include "history/warnings.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "unit/history/history_test_support.h"

namespace px::history {
namespace {

using namespace test;

using State = std::map<std::string, Observation>;
using Change = std::function<void(State&)>;

Change Put(std::string id, Port port, MemberObservation disk) {
  return [=](State& state) { state.at(id).members[IndexOf(port)] = disk; };
}

Change Rebuild(std::string id, RebuildDirection direction, uint8_t percent) {
  return [=](State& state) { state.at(id).rebuild = RebuildObservation{direction, percent}; };
}

Change RebuildDone(std::string id) {
  return [=](State& state) { state.at(id).rebuild.reset(); };
}

Change Mode(std::string id, uint8_t mode) {
  return [=](State& state) { state.at(id).mode = mode; };
}

Change Silent(std::string id, bool silent) {
  return [=](State& state) { state.at(id).answered = !silent; };
}

struct Expected {
  std::string_view name;
  Severity severity;
  std::optional<Port> port;
  std::string_view says = {};  // a part of the message
};

struct Step {
  std::string caption;
  std::vector<Change> changes;
  std::vector<Expected> expected;
  bool restart = false;  // the program ends before this step and starts again
};

struct Story {
  std::string name;
  State start;
  std::vector<Step> steps;
};

const MemberObservation kA = Disk("WD-WCC3F0000001");
const MemberObservation kB = Disk("WD-WCC3F0000002");
const MemberObservation kNew = Disk("WD-WCC3F0000003");
const MemberObservation kSmall = {MemberState::Inserted, "ST500DM002-1BD142", "Z3T0AB12",
                                  976773168};
const MemberObservation kX = Disk("WD-WCC3F0000011");
const MemberObservation kY = Disk("WD-WCC3F0000012");

constexpr auto kToP1 = RebuildDirection::TowardsP1;
constexpr auto kToP0 = RebuildDirection::TowardsP0;

State Healthy() {
  return {{"E1", Mirror("E1", kA, kB)}};
}

std::vector<Story> Stories() {
  return {
      {"a pulled member, the other bay's disk, a foreign disk, a rebuild",
       Healthy(),
       {
           {"P1's disk pulled", {Put("E1", Port::P1, Gone())}, {}},
           {"P0's disk moved to P1",
            {Put("E1", Port::P0, Gone()), Put("E1", Port::P1, Inserted(kA))},
            {}},
           {"P1's old disk put into P0",
            {Put("E1", Port::P0, Inserted(kB))},
            {{kMembersSwapped, Severity::Critical, std::nullopt, "before a rebuild starts"}}},
           {"each disk back in its own bay",
            {Put("E1", Port::P0, kA), Put("E1", Port::P1, kB)},
            {}},
           {"P1's disk pulled again", {Put("E1", Port::P1, Gone())}, {}},
           {"a disk never seen put into P1",
            {Put("E1", Port::P1, Inserted(kNew))},
            {{kForeignMember, Severity::Warning, Port::P1, "has not been seen before"}}},
           {"the rebuild onto it", {Put("E1", Port::P1, kNew), Rebuild("E1", kToP1, 10)}, {}},
           {"the rebuild goes on", {Rebuild("E1", kToP1, 60)}, {}},
           {"the rebuild done", {RebuildDone("E1")}, {}},
       }},
      {"disks swapped while the rebuild runs",
       Healthy(),
       {
           {"both disks pulled", {Put("E1", Port::P0, Gone()), Put("E1", Port::P1, Gone())}, {}},
           {"put back swapped, and the rebuild starts",
            {Put("E1", Port::P0, kB), Put("E1", Port::P1, kA), Rebuild("E1", kToP1, 0)},
            {{kMembersSwapped, Severity::Critical, std::nullopt,
              "serial WD-WCC3F0000001 is being overwritten with serial WD-WCC3F0000002's data"}}},
       }},
      {"disks swapped in a striped volume",
       {{"E1",
         [] {
           Observation stripe = Mirror("E1", kA, kB);
           stripe.mode = kModeStriping;
           stripe.volumeSectors = 2 * kTerabyte;
           return stripe;
         }()}},
       {
           {"both disks pulled", {Put("E1", Port::P0, Gone()), Put("E1", Port::P1, Gone())}, {}},
           {"put back swapped",
            {Put("E1", Port::P0, kB), Put("E1", Port::P1, kA)},
            {{kMembersSwapped, Severity::Warning, std::nullopt, "before you use the volume"}}},
       }},
      {"a disk from another enclosure",
       {{"E1", Mirror("E1", kA, kB)}, {"E2", Mirror("E2", kX, kY)}},
       {
           {"a disk pulled from each",
            {Put("E1", Port::P1, Gone()), Put("E2", Port::P1, Gone())},
            {}},
           {"the other enclosure's disk put into this one",
            {Put("E1", Port::P1, Inserted(kY))},
            {{kForeignMember, Severity::Warning, Port::P1,
              "was last seen in P1 of another enclosure (PX RAID1 Dual Bay) on 2026-12-07"}}},
       }},
      {"a foreign disk the rebuild copies from",
       Healthy(),
       {
           {"P1's disk pulled", {Put("E1", Port::P1, Gone())}, {}},
           {"a disk never seen put in, and the rebuild copies from it",
            {Put("E1", Port::P1, kNew), Rebuild("E1", kToP0, 0)},
            {{kForeignMember, Severity::Critical, Port::P1,
              "copies it over serial WD-WCC3F0000001 in P0"}}},
       }},
      {"a smaller disk",
       Healthy(),
       {
           {"P1's disk pulled", {Put("E1", Port::P1, Gone())}, {}},
           {"a disk of half the size put in",
            {Put("E1", Port::P1, kSmall)},
            {{kSmallerMember, Severity::Warning, Port::P1, "has 976773168 sectors"}}},
       }},
      {"a disk that failed before",
       Healthy(),
       {
           {"P1's disk fails", {Put("E1", Port::P1, Failed(kB))}, {}},
           {"it is pulled", {Put("E1", Port::P1, Gone())}, {}},
           {"and put back",
            {Put("E1", Port::P1, Inserted(kB))},
            {{kRepeatFailure, Severity::Warning, Port::P1, "it failed before, on 2026-12-07"}}},
           {"rebuilt onto", {Put("E1", Port::P1, kB), Rebuild("E1", kToP1, 0)}, {}},
           {"the rebuild done", {RebuildDone("E1")}, {}},
           {"it fails again",
            {Put("E1", Port::P1, Failed(kB))},
            {{kRepeatFailure, Severity::Warning, Port::P1, "failed again"}}},
       }},
      {"the pulled disk put back, and the history outlives the program",
       Healthy(),
       {
           {"P1's disk pulled", {Put("E1", Port::P1, Gone())}, {}},
           {"put back", {Put("E1", Port::P1, Inserted(kB))}, {}, true},
           {"rebuilt", {Put("E1", Port::P1, kB), Rebuild("E1", kToP1, 0)}, {}},
           {"done", {RebuildDone("E1")}, {}},
           {"both pulled", {Put("E1", Port::P0, Gone()), Put("E1", Port::P1, Gone())}, {}, true},
           {"put back swapped",
            {Put("E1", Port::P0, kB), Put("E1", Port::P1, kA)},
            {{kMembersSwapped, Severity::Critical, std::nullopt}},
            true},
       }},
      {"what the first reading finds was there already",
       {{"E1", Mirror("E1", kA, Inserted(kNew))}},
       {
           {"the rebuild onto it", {Put("E1", Port::P1, kNew), Rebuild("E1", kToP1, 0)}, {}},
       }},
      {"an enclosure that is silent while a disk is changed",
       Healthy(),
       {
           {"silent", {Silent("E1", true)}, {}},
           {"a disk never seen put in while silent", {Put("E1", Port::P1, Inserted(kNew))}, {}},
           {"it answers again",
            {Silent("E1", false)},
            {{kForeignMember, Severity::Warning, Port::P1}}},
       }},
      {"not a mirror: a new disk is no stranger to anything",
       {{"E1",
         [] {
           Observation jbod = Mirror("E1", kA, kB);
           jbod.mode = kModeJbod;
           return jbod;
         }()}},
       {
           {"P1's disk pulled", {Put("E1", Port::P1, Gone())}, {}},
           {"a disk never seen put in", {Put("E1", Port::P1, Inserted(kSmall))}, {}},
           {"made a mirror", {Mode("E1", kModeMirror)}, {}},
       }},
  };
}

std::vector<Observation> Poll(State& state, int64_t time) {
  std::vector<Observation> observations;
  for (auto& [id, observation] : state) {
    observation.time = time;
    observations.push_back(observation);
  }
  return observations;
}

TEST(HistoryWarnings, EachStoryRaisesEachWarningOnceAtItsPoll) {
  for (const Story& story : Stories()) {
    SCOPED_TRACE(story.name);
    TempDir dir;
    NoticeLog log;
    auto writer = std::make_unique<HistoryWriter>(HistoryIn(dir), log.Options());
    State state = story.start;
    int64_t time = kStart;
    std::vector<Step> steps = story.steps;
    steps.insert(steps.begin(), Step{"the first reading", {}, {}});
    for (const Step& step : steps) {
      SCOPED_TRACE(step.caption);
      if (step.restart) {
        writer.reset();
        writer = std::make_unique<HistoryWriter>(HistoryIn(dir), log.Options());
      }
      for (const Change& change : step.changes) change(state);
      for (int poll = 0; poll < 3; ++poll) {
        time += kPollSeconds;
        const std::vector<Observation> observations = Poll(state, time);
        std::vector<Event> warnings;
        for (const EnclosureResult& result : writer->RecordPoll(observations, {}))
          warnings.insert(warnings.end(), result.warnings.begin(), result.warnings.end());
        const std::size_t expected = poll == 0 ? step.expected.size() : 0;
        ASSERT_EQ(warnings.size(), expected)
            << "poll " << poll << ": " << (warnings.empty() ? "" : warnings[0].message);
        for (std::size_t i = 0; i < expected; ++i) {
          const Expected& want = step.expected[i];
          const Event& got = warnings[i];
          EXPECT_EQ(got.name, want.name);
          EXPECT_EQ(got.severity, want.severity) << got.message;
          EXPECT_EQ(got.port, want.port) << got.message;
          EXPECT_EQ(got.time, time);
          EXPECT_NE(got.message.find(want.says), std::string::npos) << got.message;
        }
      }
    }
    EXPECT_TRUE(log.notices.empty()) << log.notices[0].text;
  }
}

// What each warning says, in full: what will happen and what to do.
TEST(HistoryWarnings, SayWhatWillHappenAndWhatToDo) {
  const EnclosureMemory whole = [] {
    EnclosureMemory memory;
    memory.row = 1;
    memory.answered = true;
    memory.bays = {{{MemberState::Ready, "WD-WCC3F0000001", "WD-WCC3F0000001"},
                    {MemberState::Absent, "", "WD-WCC3F0000002"}}};
    return memory;
  }();
  DiskPast elsewhere;
  elsewhere.seen = true;
  elsewhere.lastEnclosureId = "E2";
  elsewhere.lastEnclosureName = "PX RAID1 Dual Bay";
  elsewhere.lastPort = Port::P0;
  elsewhere.lastSeen = kStart - 86400;
  DiskPast here;
  here.seen = true;
  here.lastEnclosureId = "E1";
  DiskPast failedTwice;
  failedTwice.seen = true;
  failedTwice.lastEnclosureId = "E1";
  failedTwice.failures = 2;
  failedTwice.lastFailed = kStart - 30 * 86400;

  struct Case {
    Observation now;
    std::array<DiskPast, 2> pasts;
    std::string message;
  };
  const auto at = [](Observation observation) {
    observation.time = kStart;
    return observation;
  };
  const std::vector<Case> cases = {
      {at(Mirror("E1", Inserted(kB), kA)),
       {here, here},
       "P0 and P1 hold each other's disks (serial WD-WCC3F0000002 belongs in P1, serial "
       "WD-WCC3F0000001 in P0). A rebuild would copy one over the other, and its direction "
       "decides whose data survives: power the enclosure off and put each disk back in its own "
       "bay before a rebuild starts."},
      {at(Mirror("E1", kA, Inserted(kX))),
       {DiskPast{}, elsewhere},
       "P1: WDC WD10EZEX-00BN5A0, serial WD-WCC3F0000011 was last seen in P0 of another "
       "enclosure (PX RAID1 Dual Bay) on 2026-12-06. The degraded mirror will be rebuilt onto it, "
       "and everything on it overwritten: if it holds data you need, take it out before the "
       "rebuild starts."},
      {at(Mirror("E1", kA, kSmall)),
       {},
       "P1: ST500DM002-1BD142, serial Z3T0AB12 has 976773168 sectors, fewer than the volume's "
       "1953525168: the mirror cannot be rebuilt onto it and stays without a second copy. "
       "Replace it with a disk of at least 1953525168 sectors."},
      {at(Mirror("E1", kA, Inserted(kB))),
       {DiskPast{}, failedTwice},
       "P1: WDC WD10EZEX-00BN5A0, serial WD-WCC3F0000002 is in, and it has failed 2 times "
       "before, last on 2026-11-07. A disk that has failed may fail again: use another one if "
       "you can."},
  };
  for (const Case& c : cases) {
    const std::vector<Event> warnings = DeriveWarnings(whole, c.now, c.pasts);
    ASSERT_EQ(warnings.size(), 1U) << c.message;
    EXPECT_EQ(warnings[0].message, c.message);
  }
}

// A device's texts are bytes: the message is text a mail or the journal takes.
TEST(HistoryWarnings, MessagesCarryDeviceBytesAsPrintableText) {
  EnclosureMemory memory;
  memory.row = 1;
  memory.answered = true;
  memory.bays = {{{MemberState::Ready, "WD-WCC3F0000001", ""}, {}}};
  Observation now = Mirror("E1", kA, Inserted(Disk("\x1b[2J\xff")));
  now.members[1].model = "Disk\tX\xc3";
  const std::vector<Event> warnings = DeriveWarnings(memory, Normalized(now), {});
  ASSERT_EQ(warnings.size(), 1U);
  EXPECT_TRUE(
      warnings[0].message.starts_with("P1: Disk X\xEF\xBF\xBD, serial  [2J\xEF\xBF\xBD has not"))
      << warnings[0].message;
}

}  // namespace
}  // namespace px::history
