#include "history/report.h"

#include "common/text.h"

namespace px::history {
namespace {

using Json = nlohmann::ordered_json;

std::string Printable(const std::string& text) {
  return PrintableUtf8(text);
}

std::string Padded(std::string text, std::size_t width) {
  text.resize(std::max(text.size(), width), ' ');
  return text;
}

std::string Percent(int percent) {
  return std::to_string(percent) + "%";
}

std::string EventLine(const EventEntry& event, const TimeText& timeText, bool withEnclosure) {
  std::string line = "    " + timeText(event.time) + "  ";
  if (withEnclosure) line += Printable(event.enclosureId) + "  ";
  return line + Padded(std::string(SeverityName(event.severity)), 8) + "  " +
         Padded(Printable(event.name), 17) + "  " + Printable(event.message) + "\n";
}

std::string RebuildOutcome(const RebuildEntry& rebuild) {
  if (rebuild.outcome == "running") return "running, at " + Percent(rebuild.percent);
  const std::string duration =
      DurationText(rebuild.ended.value_or(rebuild.started) - rebuild.started);
  if (rebuild.outcome == "completed") return "completed in " + duration;
  return Printable(rebuild.outcome) + " at " + Percent(rebuild.percent) + " after " + duration;
}

std::string RebuildLine(const RebuildEntry& rebuild, const TimeText& timeText, bool withEnclosure) {
  std::string line = "    " + timeText(rebuild.started) + "  ";
  if (withEnclosure) line += Printable(rebuild.enclosureId) + "  ";
  return line + std::string(DirectionText(rebuild.direction)) + "  " + RebuildOutcome(rebuild) +
         "  (serial " + Printable(rebuild.sourceSerial) + " --> serial " +
         Printable(rebuild.targetSerial) + ", " + std::to_string(rebuild.sectors) + " sectors)\n";
}

template <typename Entry, typename Line>
std::string Section(const char* title, const std::vector<Entry>& entries, const Line& line) {
  if (entries.empty()) return "  " + Padded(std::string(title) + ":", 11) + "none\n";
  std::string text = "  " + std::string(title) + ":\n";
  for (const Entry& entry : entries) text += line(entry);
  return text;
}

std::string Seen(int64_t first, int64_t last, const TimeText& timeText) {
  return "  Seen:      " + timeText(first) + " to " + timeText(last) + "\n";
}

std::string EnclosureText(const EnclosureEntry& enclosure, const TimeText& timeText) {
  std::string text = "Enclosure " + Printable(enclosure.id);
  if (!enclosure.name.empty()) text += ": " + Printable(enclosure.name);
  if (!enclosure.firmware.empty()) text += ", firmware " + Printable(enclosure.firmware);
  text += "\n" + Seen(enclosure.firstSeen, enclosure.lastSeen, timeText);
  text += Section("Events", enclosure.events,
                  [&](const EventEntry& e) { return EventLine(e, timeText, false); });
  text += Section("Rebuilds", enclosure.rebuilds,
                  [&](const RebuildEntry& r) { return RebuildLine(r, timeText, false); });
  return text;
}

std::string MemberText(const MemberEntry& member, const TimeText& timeText) {
  std::string text = "Disk " + Printable(member.serial) + ": ";
  if (!member.model.empty()) text += Printable(member.model) + ", ";
  text += std::to_string(member.capacitySectors) + " sectors\n";
  text += Seen(member.firstSeen, member.lastSeen, timeText);
  text += "  Failed:    ";
  if (member.failures == 0 || !member.lastFailed) {
    text += "never\n";
  } else if (member.failures == 1) {
    text += "once, " + timeText(*member.lastFailed) + "\n";
  } else {
    text += std::to_string(member.failures) + " times, last " + timeText(*member.lastFailed) + "\n";
  }
  text += Section("Bays", member.placements, [&](const PlacementEntry& p) {
    std::string where = Printable(p.enclosureId);
    if (!p.enclosureName.empty()) where += " (" + Printable(p.enclosureName) + ")";
    return "    " + std::string(PortName(p.port)) + " of " + where + ", " + timeText(p.firstSeen) +
           " to " + timeText(p.lastSeen) + "\n";
  });
  text += Section("Events", member.events,
                  [&](const EventEntry& e) { return EventLine(e, timeText, true); });
  text += Section("Rebuilds", member.rebuilds,
                  [&](const RebuildEntry& r) { return RebuildLine(r, timeText, true); });
  return text;
}

Json OrNull(const std::string& text) {
  return text.empty() ? Json() : Json(Printable(text));
}

Json OrNull(const std::optional<int64_t>& time) {
  return time ? Json(UtcTimestamp(*time)) : Json();
}

Json EventJson(const EventEntry& event) {
  Json json = {{"time", UtcTimestamp(event.time)}, {"enclosure", Printable(event.enclosureId)}};
  json["name"] = Printable(event.name);
  json["severity"] = SeverityName(event.severity);
  json["port"] = event.port ? Json(PortName(*event.port)) : Json();
  json["serial"] = OrNull(event.serial);
  json["message"] = Printable(event.message);
  return json;
}

Json RebuildJson(const RebuildEntry& rebuild) {
  Json json = {{"enclosure", Printable(rebuild.enclosureId)},
               {"started", UtcTimestamp(rebuild.started)}};
  json["ended"] = OrNull(rebuild.ended);
  json["duration_seconds"] = rebuild.ended ? Json(*rebuild.ended - rebuild.started) : Json();
  json["direction"] = DirectionText(rebuild.direction);
  json["source_serial"] = OrNull(rebuild.sourceSerial);
  json["target_serial"] = OrNull(rebuild.targetSerial);
  json["sectors"] = rebuild.sectors;
  json["start_percent"] = rebuild.startPercent;
  json["percent"] = rebuild.percent;
  json["outcome"] = Printable(rebuild.outcome);
  return json;
}

template <typename Entry, typename ToJson>
Json Array(const std::vector<Entry>& entries, const ToJson& toJson) {
  Json array = Json::array();
  for (const Entry& entry : entries) array.push_back(toJson(entry));
  return array;
}

Json EnclosureJson(const EnclosureEntry& enclosure) {
  Json json = {{"id", Printable(enclosure.id)}, {"name", Printable(enclosure.name)}};
  json["firmware"] = Printable(enclosure.firmware);
  json["mode_code"] = enclosure.mode;
  json["volume_capacity_sectors"] = enclosure.volumeSectors;
  json["first_seen"] = UtcTimestamp(enclosure.firstSeen);
  json["last_seen"] = UtcTimestamp(enclosure.lastSeen);
  json["events"] = Array(enclosure.events, EventJson);
  json["rebuilds"] = Array(enclosure.rebuilds, RebuildJson);
  return json;
}

Json MemberJson(const MemberEntry& member) {
  Json json = {{"serial", Printable(member.serial)}, {"model", Printable(member.model)}};
  json["capacity_sectors"] = member.capacitySectors;
  json["first_seen"] = UtcTimestamp(member.firstSeen);
  json["last_seen"] = UtcTimestamp(member.lastSeen);
  json["failures"] = member.failures;
  json["last_failed"] = OrNull(member.lastFailed);
  json["bays"] = Array(member.placements, [](const PlacementEntry& p) {
    Json bay = {{"enclosure", Printable(p.enclosureId)},
                {"enclosure_name", Printable(p.enclosureName)}};
    bay["port"] = PortName(p.port);
    bay["first_seen"] = UtcTimestamp(p.firstSeen);
    bay["last_seen"] = UtcTimestamp(p.lastSeen);
    return bay;
  });
  json["events"] = Array(member.events, EventJson);
  json["rebuilds"] = Array(member.rebuilds, RebuildJson);
  return json;
}

}  // namespace

std::string ReportText(const HistoryReport& report, const TimeText& timeText) {
  if (report.query.serial) {
    if (!report.member)
      return "No disk with serial " + Printable(*report.query.serial) + " in the history.\n";
    return MemberText(*report.member, timeText);
  }
  if (report.enclosures.empty()) return "The history holds no enclosure yet.\n";
  std::string text;
  for (const EnclosureEntry& enclosure : report.enclosures) {
    if (!text.empty()) text += "\n";
    text += EnclosureText(enclosure, timeText);
  }
  return text;
}

nlohmann::ordered_json ReportJson(const HistoryReport& report) {
  Json json = {{"since", report.query.since > 0 ? Json(UtcTimestamp(report.query.since)) : Json()}};
  if (report.query.serial) {
    json["serial"] = Printable(*report.query.serial);
    json["member"] = report.member ? MemberJson(*report.member) : Json();
  } else {
    json["enclosures"] = Array(report.enclosures, EnclosureJson);
  }
  return json;
}

}  // namespace px::history
