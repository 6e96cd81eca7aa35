#include "monitor/status_report.h"

#include <string_view>

#include "common/text.h"

namespace px::monitor {

const char* MemberStateName(MemberState state) {
  switch (state) {
    case MemberState::Ready:
      return "ready";
    case MemberState::Inserted:
      return "inserted";
    case MemberState::Failed:
      return "failed";
    case MemberState::Absent:
      break;
  }
  return "absent";
}

MemberState MemberStateNamed(std::string_view name) {
  for (const MemberState state : kMemberStates) {
    if (name == MemberStateName(state)) return state;
  }
  return MemberState::Absent;
}

MemberState MemberStateOf(MemberClasses classes) {
  if (classes.Has(MemberClass::Failed)) return MemberState::Failed;
  if (classes.Has(MemberClass::Ready)) return MemberState::Ready;
  if (classes.Has(MemberClass::Inserted)) return MemberState::Inserted;
  return MemberState::Absent;
}

Health OverallHealth(const StatusReports& reports) {
  Health overall = reports.enclosures.empty() ? Health::Unknown : Health::Ok;
  for (const EnclosureReport& enclosure : reports.enclosures) {
    overall = Worse(overall, enclosure.health);
  }
  // What could not be checked is not OK.
  if (!reports.busy.empty()) overall = Worse(overall, Health::Unknown);
  return overall;
}

StatusReports OnDrive(const StatusReports& reports, std::optional<PhysicalDrive> drive) {
  if (!drive) return reports;
  StatusReports one;
  for (const EnclosureReport& enclosure : reports.enclosures) {
    if (enclosure.drive != *drive) continue;
    one.enclosures.push_back(enclosure);
    // Numbered as a detection of this drive alone numbers it.
    one.enclosures.back().device = static_cast<int>(one.enclosures.size());
  }
  for (const BusyDriveReport& busy : reports.busy) {
    if (busy.drive == *drive) one.busy.push_back(busy);
  }
  one.overall = OverallHealth(one);
  return one;
}

namespace {

std::string Enclosures(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " enclosure" : " enclosures");
}

std::string DeviceList(const std::vector<std::size_t>& indices,
                       const std::vector<EnclosureReport>& enclosures) {
  std::string list;
  for (std::size_t i = 0; i < indices.size(); ++i) {
    list += (i == 0                    ? ""
             : i + 1 == indices.size() ? " and "
                                       : ", ") +
            std::to_string(enclosures[indices[i]].device);
  }
  return list;
}

}  // namespace

EnclosureChoice ChooseEnclosure(const std::vector<EnclosureReport>& enclosures,
                                const std::string& choice) {
  // An id or a node names one enclosure by construction; a serial number is
  // the disk's, and two disks may claim the same one.
  std::vector<std::size_t> named;
  std::vector<std::size_t> bySerial;
  for (std::size_t i = 0; i < enclosures.size(); ++i) {
    const EnclosureReport& enclosure = enclosures[i];
    if (enclosure.id == choice || (!enclosure.node.empty() && enclosure.node == choice)) {
      named.push_back(i);
      continue;
    }
    for (const MemberReport& member : enclosure.members) {
      if (member.state != MemberState::Absent && !member.serial.empty() &&
          member.serial == choice) {
        bySerial.push_back(i);
        break;
      }
    }
  }
  const std::vector<std::size_t>& found = named.empty() ? bySerial : named;
  if (found.size() == 1) return {found.front(), {}};
  const std::string what = PrintableUtf8(choice);
  if (found.empty()) {
    return {std::nullopt,
            "there is no enclosure " + what + ": " + Enclosures(enclosures.size()) + " found"};
  }
  return {std::nullopt, what + " names more than one enclosure (devices " +
                            DeviceList(found, enclosures) + "): choose one by its stable id"};
}

std::string KeepChosen(StatusReports& reports, const std::string& choice) {
  const EnclosureChoice chosen = ChooseEnclosure(reports.enclosures, choice);
  if (chosen.index) {
    reports.enclosures = {reports.enclosures[*chosen.index]};
    reports.busy.clear();
  } else {
    reports.enclosures.clear();
  }
  reports.overall = OverallHealth(reports);
  return chosen.why;
}

}  // namespace px::monitor
