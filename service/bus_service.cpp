#include "service/bus_service.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "cli/commands.h"
#include "cli/enclosure_status.h"
#include "cli/log_date.h"
#include "cli/member_history.h"
#include "common/text.h"
#include "device/transport.h"
#include "eventlog/log_file.h"
#include "raid/enclosure_events.h"
#include "raid/enclosure_health.h"
#include "service/polkit.h"

namespace px::service {
namespace {

// GetHistory's error when there is no history to read, GetLog's when there
// is no log of the day.
constexpr char kErrorNoHistory[] = "org.pxraid.PxRaid1.Error.NoHistory";
constexpr char kErrorNoLog[] = "org.pxraid.PxRaid1.Error.NoLog";

// The longest name GetEnclosureStatus takes: ids, nodes and serials are far
// shorter.
constexpr std::size_t kMaxEnclosureName = 256;

// How many polls the monitor may be ahead of the bus before it waits.
constexpr std::size_t kBacklog = 4;

std::string Reason(int negativeErrno) {
  return std::strerror(-negativeErrno);
}

bool SameMembers(const monitor::EnclosureReport& a, const monitor::EnclosureReport& b) {
  for (std::size_t i = 0; i < a.members.size(); ++i) {
    const monitor::MemberReport& x = a.members[i];
    const monitor::MemberReport& y = b.members[i];
    if (std::string_view(x.port) != y.port || x.state != y.state || x.model != y.model ||
        x.serial != y.serial || x.capacitySectors != y.capacitySectors) {
      return false;
    }
  }
  return true;
}

// The properties whose values differ between two reports of one enclosure.
std::vector<const char*> ChangedProperties(const monitor::EnclosureReport& was,
                                           const monitor::EnclosureReport& is) {
  std::vector<const char*> changed;
  const auto note = [&changed](bool differs, const char* name) {
    if (differs) changed.push_back(name);
  };
  note(was.device != is.device, "Device");
  note(was.drive != is.drive, "Drive");
  note(was.node != is.node, "Node");
  note(was.name != is.name, "Name");
  note(was.firmware != is.firmware, "Firmware");
  note(was.mode != is.mode, "Mode");
  note(was.health != is.health, "Health");
  note(was.reason != is.reason, "Reason");
  note(was.statusRead != is.statusRead, "StatusRead");
  note(!SameMembers(was, is), "Members");
  note(was.rebuildRunning != is.rebuildRunning, "RebuildRunning");
  note(was.direction != is.direction, "RebuildDirection");
  note(was.percent != is.percent, "RebuildPercent");
  note(was.remainingSeconds != is.remainingSeconds, "RebuildRemainingSeconds");
  note(was.statusRecord != is.statusRecord, "StatusRecord");
  note(was.configRecord != is.configRecord, "ConfigRecord");
  return changed;
}

uint64_t MonotonicMicros() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000U + static_cast<uint64_t>(now.tv_nsec) / 1000U;
}

// GetLog's answer, once polkit has decided: the day's file and its lines as
// pxraid log shows them, a file's own control bytes written out.
void ReplyWithLog(sd_bus_message* call, const Verdict& verdict, const std::filesystem::path& file) {
  sd_bus_error error{};  // SD_BUS_ERROR_NULL, which is a C compound literal
  if (!verdict.allowed) {
    sd_bus_error_setf(&error, kErrorNotAuthorized, "not authorized to read the log: %s",
                      verdict.why.c_str());
    sd_bus_reply_method_error(call, &error);
    sd_bus_error_free(&error);
    return;
  }
  // Kept, not shown: root reads it for a client, through no link.
  const LogFileRead read = ReadLogFile(file, ReadFor::Keeping);
  if (read.outcome != LogFileRead::Outcome::Read) {
    sd_bus_error_setf(
        &error, kErrorNoLog, "%s %s",
        read.outcome == LogFileRead::Outcome::Missing ? "no log file" : "cannot read the log file",
        PathText(file).c_str());
    sd_bus_reply_method_error(call, &error);
    sd_bus_error_free(&error);
    return;
  }
  sd_bus_message* reply = nullptr;
  int rc = sd_bus_message_new_method_return(call, &reply);
  if (rc >= 0) rc = sd_bus_message_append(reply, "s", PathText(file).c_str());
  if (rc >= 0) rc = sd_bus_message_open_container(reply, 'a', "s");
  for (const std::string& line : read.lines) {
    if (rc >= 0) rc = sd_bus_message_append(reply, "s", EscapeUnprintable(line).c_str());
  }
  if (rc >= 0) rc = sd_bus_message_close_container(reply);
  if (rc >= 0) rc = sd_bus_send(nullptr, reply, nullptr);
  if (rc < 0) sd_bus_reply_method_errno(call, -rc, nullptr);
  sd_bus_message_unref(reply);
}

}  // namespace

// One enclosure's object. Its report is the one the last poll gave, its
// texts made printable.
struct BusService::Enclosure {
  BusService* service = nullptr;
  monitor::EnclosureReport report;
  sd_bus_slot* slot = nullptr;
  ~Enclosure() { sd_bus_slot_unref(slot); }
};

std::string EnclosurePath(const std::string& id) {
  char* path = nullptr;
  if (sd_bus_path_encode(kEnclosuresPath, id.c_str(), &path) < 0 || path == nullptr) {
    throw std::bad_alloc();
  }
  std::string result(path);
  std::free(path);
  return result;
}

BusService::BusService(const std::string& bus, std::string version,
                       std::filesystem::path historyFile, JobSettings jobs,
                       std::filesystem::path logDirectory, std::function<void()> failed)
    : version_(std::move(version)),
      historyFile_(std::move(historyFile)),
      logDirectory_(std::move(logDirectory)),
      failed_(std::move(failed)) {
  static const sd_bus_vtable manager[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_PROPERTY("Version", "s", &BusService::GetManagerProperty, 0,
                      SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("Health", "s", &BusService::GetManagerProperty, 0,
                      SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_METHOD_WITH_NAMES("GetStatusJson", "", "", "s", SD_BUS_PARAM(json),
                               &BusService::OnGetStatusJson, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD_WITH_NAMES("GetStatus", "si", SD_BUS_PARAM(format) SD_BUS_PARAM(drive), "sias",
                               SD_BUS_PARAM(output) SD_BUS_PARAM(exit_code)
                                   SD_BUS_PARAM(complaints),
                               &BusService::OnGetStatus, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD_WITH_NAMES(
          "GetEnclosureStatus", "ss", SD_BUS_PARAM(format) SD_BUS_PARAM(enclosure), "sias",
          SD_BUS_PARAM(output) SD_BUS_PARAM(exit_code) SD_BUS_PARAM(complaints),
          &BusService::OnGetEnclosureStatus, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD_WITH_NAMES("GetHistory", "ss", SD_BUS_PARAM(serial) SD_BUS_PARAM(since), "s",
                               SD_BUS_PARAM(json), &BusService::OnGetHistory,
                               SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD_WITH_NAMES("GetLog", "s", SD_BUS_PARAM(date), "sas",
                               SD_BUS_PARAM(file) SD_BUS_PARAM(lines), &BusService::OnGetLog,
                               SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_SIGNAL_WITH_NAMES("Event", "ssss",
                               SD_BUS_PARAM(enclosure_id) SD_BUS_PARAM(name) SD_BUS_PARAM(severity)
                                   SD_BUS_PARAM(message),
                               0),
      SD_BUS_VTABLE_END};
  static const sd_bus_vtable enclosure[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_PROPERTY("Id", "s", &BusService::GetEnclosureProperty, 0,
                      SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("Device", "u", &BusService::GetEnclosureProperty, 0,
                      SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_PROPERTY("Drive", "u", &BusService::GetEnclosureProperty, 0,
                      SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_PROPERTY("Node", "s", &BusService::GetEnclosureProperty, 0,
                      SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_PROPERTY("Name", "s", &BusService::GetEnclosureProperty, 0,
                      SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_PROPERTY("Firmware", "s", &BusService::GetEnclosureProperty, 0,
                      SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_PROPERTY("Mode", "s", &BusService::GetEnclosureProperty, 0,
                      SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_PROPERTY("Health", "s", &BusService::GetEnclosureProperty, 0,
                      SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_PROPERTY("Reason", "s", &BusService::GetEnclosureProperty, 0,
                      SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_PROPERTY("StatusRead", "b", &BusService::GetEnclosureProperty, 0,
                      SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_PROPERTY("Members", "a(sssst)", &BusService::GetEnclosureProperty, 0,
                      SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_PROPERTY("RebuildRunning", "b", &BusService::GetEnclosureProperty, 0,
                      SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_PROPERTY("RebuildDirection", "s", &BusService::GetEnclosureProperty, 0,
                      SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_PROPERTY("RebuildPercent", "y", &BusService::GetEnclosureProperty, 0,
                      SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_PROPERTY("RebuildRemainingSeconds", "x", &BusService::GetEnclosureProperty, 0,
                      SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_PROPERTY("StatusRecord", "ay", &BusService::GetEnclosureProperty, 0,
                      SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_PROPERTY("ConfigRecord", "ay", &BusService::GetEnclosureProperty, 0,
                      SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_METHOD_WITH_NAMES("UpgradeFirmware", "ha{sv}",
                               SD_BUS_PARAM(firmware) SD_BUS_PARAM(options), "o", SD_BUS_PARAM(job),
                               &BusService::OnFirmwareJob, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD_WITH_NAMES("RestoreFirmware", "ha{sv}",
                               SD_BUS_PARAM(backup) SD_BUS_PARAM(options), "o", SD_BUS_PARAM(job),
                               &BusService::OnFirmwareJob, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD_WITH_NAMES("BackupFirmware", "h", SD_BUS_PARAM(file), "o", SD_BUS_PARAM(job),
                               &BusService::OnFirmwareJob, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END};
  enclosureVtable_ = enclosure;

  int rc = 0;
  if (bus == "system") {
    rc = sd_bus_open_system(&bus_);
  } else if (bus == "session") {
    rc = sd_bus_open_user(&bus_);
  } else {
    rc = sd_bus_new(&bus_);
    if (rc >= 0) rc = sd_bus_set_address(bus_, bus.c_str());
    if (rc >= 0) rc = sd_bus_set_bus_client(bus_, 1);
    if (rc >= 0) rc = sd_bus_start(bus_);
  }
  if (rc >= 0) rc = sd_bus_add_object_manager(bus_, nullptr, kRootPath);
  if (rc >= 0)
    rc = sd_bus_add_object_vtable(bus_, nullptr, kRootPath, kManagerInterface, manager, this);
  if (rc < 0) {
    sd_bus_flush_close_unref(bus_);
    bus_ = nullptr;
    throw std::runtime_error("cannot connect to the " +
                             (bus == "system" || bus == "session" ? bus + " bus" : bus) + ": " +
                             Reason(rc));
  }
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_ < 0) {
    const int error = errno;
    sd_bus_flush_close_unref(bus_);
    bus_ = nullptr;
    throw std::runtime_error(std::string("eventfd: ") + std::strerror(error));
  }
  jobs_ = std::make_unique<JobService>(bus_, std::move(jobs), [this] { Wake(); });
  thread_ = std::thread([this] { Serve(); });
}

void BusService::Wake() const {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wake_, &one, sizeof one);
}

BusService::~BusService() {
  Stop();
  // A flash under way is waited for, its news no longer told.
  jobs_.reset();
  enclosures_.clear();
  sd_bus_flush_close_unref(bus_);
  if (wake_ >= 0) ::close(wake_);
}

void BusService::Publish(const monitor::StatusReports& reports, const std::vector<Alert>& alerts,
                         int64_t polledAt, const LogTime& localTime) {
  Poll poll{reports, {}, polledAt, localTime};
  for (const Alert& alert : alerts) {
    std::string id;
    for (const monitor::EnclosureReport& enclosure : reports.enclosures) {
      if (static_cast<std::size_t>(enclosure.device - 1) == alert.device) id = enclosure.id;
    }
    poll.events.push_back(
        {id, alert.name, std::string(SeverityName(alert.severity)), alert.message});
  }
  std::unique_lock lock(mutex_);
  taken_.wait(lock, [this] { return ended_ || queued_.size() < kBacklog; });
  if (ended_) return;
  queued_.push_back(std::move(poll));
  lock.unlock();
  Wake();
}

void BusService::Stop() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  Wake();
  if (thread_.joinable()) thread_.join();
}

std::string BusService::Failure() const {
  const std::lock_guard lock(mutex_);
  return failure_;
}

void BusService::Fail(const std::string& why) {
  {
    const std::lock_guard lock(mutex_);
    failure_ = why;
    ended_ = true;
  }
  taken_.notify_all();
  if (failed_) failed_();
}

void BusService::Serve() {
  for (;;) {
    std::deque<Poll> polls;
    bool stopping = false;
    {
      const std::lock_guard lock(mutex_);
      polls.swap(queued_);
      stopping = stopping_;
    }
    taken_.notify_all();
    for (const Poll& poll : polls) {
      Apply(poll);
      if (!Failure().empty()) return;
    }
    jobs_->Deliver();
    int rc = 0;
    do {
      rc = sd_bus_process(bus_, nullptr);
    } while (rc > 0);
    if (rc < 0) return Fail("the connection to the bus ended: " + Reason(rc));
    if (stopping) break;
    if (!Wait()) return Fail("the connection to the bus ended");
  }
  {
    const std::lock_guard lock(mutex_);
    ended_ = true;
  }
  taken_.notify_all();
  // What was said last (the final poll's signals) still reaches the bus.
  sd_bus_flush(bus_);
}

bool BusService::Wait() {
  const int events = sd_bus_get_events(bus_);
  const int fd = sd_bus_get_fd(bus_);
  if (events < 0 || fd < 0) return false;
  pollfd fds[2] = {{fd, static_cast<short>(events), 0}, {wake_, POLLIN, 0}};
  int timeout = -1;
  uint64_t until = 0;
  if (sd_bus_get_timeout(bus_, &until) > 0 && until != UINT64_MAX) {
    const uint64_t now = MonotonicMicros();
    timeout = until <= now
                  ? 0
                  : static_cast<int>(std::min<uint64_t>((until - now + 999) / 1000, INT_MAX));
  }
  if (::poll(fds, 2, timeout) < 0 && errno != EINTR) return false;
  if ((fds[1].revents & POLLIN) != 0) {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(wake_, &count, sizeof count);
  }
  return true;
}

void BusService::Apply(const Poll& poll) {
  lastReports_ = poll.reports;
  lastPolledAt_ = poll.polledAt;
  lastLocalTime_ = poll.localTime;
  std::map<std::string, monitor::EnclosureReport> now;
  for (const monitor::EnclosureReport& report : poll.reports.enclosures) {
    std::string path = EnclosurePath(report.id);
    // Two bridges that give the same serial number are still two objects.
    if (now.contains(path)) path = EnclosurePath(report.id + "-D" + std::to_string(report.device));
    now.emplace(std::move(path), report);
  }

  for (auto it = enclosures_.begin(); it != enclosures_.end();) {
    if (now.contains(it->first)) {
      ++it;
      continue;
    }
    if (const int rc =
            sd_bus_emit_interfaces_removed(bus_, it->first.c_str(), kEnclosureInterface, nullptr);
        rc < 0) {
      cli::Complain("cannot tell that " + it->first + " is gone: " + Reason(rc));
    }
    it = enclosures_.erase(it);
  }
  for (auto& [path, report] : now) {
    const auto known = enclosures_.find(path);
    if (known == enclosures_.end()) {
      auto enclosure = std::make_unique<Enclosure>();
      enclosure->service = this;
      enclosure->report = std::move(report);
      int rc = sd_bus_add_object_vtable(bus_, &enclosure->slot, path.c_str(), kEnclosureInterface,
                                        enclosureVtable_, enclosure.get());
      if (rc < 0) {
        cli::Complain("cannot publish " + path + ": " + Reason(rc));
        continue;
      }
      enclosures_.emplace(path, std::move(enclosure));
      rc = sd_bus_emit_interfaces_added(bus_, path.c_str(), kEnclosureInterface, nullptr);
      if (rc < 0) cli::Complain("cannot tell of " + path + ": " + Reason(rc));
      continue;
    }
    std::vector<const char*> changed = ChangedProperties(known->second->report, report);
    known->second->report = std::move(report);
    if (changed.empty()) continue;
    changed.push_back(nullptr);
    if (const int rc = sd_bus_emit_properties_changed_strv(bus_, path.c_str(), kEnclosureInterface,
                                                           const_cast<char**>(changed.data()));
        rc < 0) {
      cli::Complain("cannot tell what changed on " + path + ": " + Reason(rc));
    }
  }

  const std::string health = HealthName(poll.reports.overall);
  if (health != health_) {
    health_ = health;
    if (const int rc =
            sd_bus_emit_properties_changed(bus_, kRootPath, kManagerInterface, "Health", nullptr);
        rc < 0) {
      cli::Complain("cannot tell the overall health: " + Reason(rc));
    }
  }
  // Only now that there is something to see: a client that finds the name
  // finds the enclosures with it. And before the poll's events, so that a
  // client that follows the name's signals hears the first poll's too.
  if (!named_) {
    if (const int rc = sd_bus_request_name(bus_, kBusName, 0); rc < 0) {
      return Fail(std::string("cannot own the name ") + kBusName + " on the bus: " + Reason(rc));
    }
    named_ = true;
  }
  for (const BusEvent& event : poll.events) {
    if (const int rc = sd_bus_emit_signal(bus_, kRootPath, kManagerInterface, "Event", "ssss",
                                          event.enclosureId.c_str(), event.name.c_str(),
                                          event.severity.c_str(), event.message.c_str());
        rc < 0) {
      cli::Complain("cannot signal " + event.name + ": " + Reason(rc));
    }
  }
}

int BusService::GetManagerProperty(sd_bus*, const char*, const char*, const char* property,
                                   sd_bus_message* reply, void* self, sd_bus_error*) {
  const auto& service = *static_cast<BusService*>(self);
  const std::string_view name = property;
  if (name == "Version") return sd_bus_message_append(reply, "s", service.version_.c_str());
  return sd_bus_message_append(reply, "s", service.health_.c_str());
}

int BusService::GetEnclosureProperty(sd_bus*, const char*, const char*, const char* property,
                                     sd_bus_message* reply, void* enclosure, sd_bus_error* error) {
  const monitor::EnclosureReport& r = static_cast<Enclosure*>(enclosure)->report;
  const std::string_view name = property;
  if (name == "Id") return sd_bus_message_append(reply, "s", r.id.c_str());
  if (name == "Device") return sd_bus_message_append(reply, "u", static_cast<uint32_t>(r.device));
  if (name == "Drive") return sd_bus_message_append(reply, "u", r.drive.number());
  if (name == "Node") return sd_bus_message_append(reply, "s", r.node.c_str());
  if (name == "Name") return sd_bus_message_append(reply, "s", r.name.c_str());
  if (name == "Firmware") return sd_bus_message_append(reply, "s", r.firmware.c_str());
  if (name == "Mode") return sd_bus_message_append(reply, "s", r.mode.c_str());
  if (name == "Health") return sd_bus_message_append(reply, "s", HealthName(r.health));
  if (name == "Reason") return sd_bus_message_append(reply, "s", r.reason.c_str());
  if (name == "StatusRead")
    return sd_bus_message_append(reply, "b", static_cast<int>(r.statusRead));
  if (name == "RebuildRunning") {
    return sd_bus_message_append(reply, "b", static_cast<int>(r.rebuildRunning));
  }
  if (name == "RebuildDirection") {
    return sd_bus_message_append(reply, "s", r.rebuildRunning ? r.direction.c_str() : "");
  }
  if (name == "RebuildPercent") return sd_bus_message_append(reply, "y", r.percent);
  if (name == "RebuildRemainingSeconds") {
    return sd_bus_message_append(reply, "x", static_cast<int64_t>(r.remainingSeconds.value_or(-1)));
  }
  if (name == "StatusRecord" || name == "ConfigRecord") {
    const Record& record = name == "StatusRecord" ? r.statusRecord : r.configRecord;
    return sd_bus_message_append_array(reply, 'y', record.data(), record.size());
  }
  if (name == "Members") {
    int rc = sd_bus_message_open_container(reply, 'a', "(sssst)");
    for (const monitor::MemberReport& member : r.members) {
      if (rc >= 0) {
        rc = sd_bus_message_append(reply, "(sssst)", member.port,
                                   monitor::MemberStateName(member.state), member.model.c_str(),
                                   member.serial.c_str(),
                                   static_cast<uint64_t>(member.capacitySectors));
      }
    }
    return rc < 0 ? rc : sd_bus_message_close_container(reply);
  }
  return sd_bus_error_setf(error, SD_BUS_ERROR_UNKNOWN_PROPERTY, "no property %s", property);
}

int BusService::OnFirmwareJob(sd_bus_message* message, void* userdata, sd_bus_error* error) {
  const auto& enclosure = *static_cast<Enclosure*>(userdata);
  const std::string_view method = sd_bus_message_get_member(message);
  const JobKind kind = method == "UpgradeFirmware"   ? JobKind::Upgrade
                       : method == "RestoreFirmware" ? JobKind::Restore
                                                     : JobKind::Backup;
  BusService& service = *enclosure.service;
  return service.jobs_->Start(message, kind, enclosure.report.id, service.waiting_, error);
}

int BusService::OnGetLog(sd_bus_message* message, void* self, sd_bus_error* error) {
  const char* date = nullptr;
  if (const int rc = sd_bus_message_read(message, "s", &date); rc < 0) return rc;
  const std::optional<LogTime> day =
      *date == '\0' ? std::nullopt : cli::ParseLogDate(std::string_view(date));
  if (*date != '\0' && !day) {
    return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS,
                             "the date is YYMMDD (261207), or empty for today");
  }
  auto& service = *static_cast<BusService*>(self);
  const std::filesystem::path file =
      service.logDirectory_ / LogFileName(day ? *day : service.lastLocalTime_);
  const int rc = AskPolkit(
      service.bus_, message, kActionReadLog, service.waiting_,
      [file](sd_bus_message* call, const Verdict& verdict) { ReplyWithLog(call, verdict, file); },
      error);
  return rc < 0 ? rc : 1;
}

int BusService::OnGetHistory(sd_bus_message* message, void* self, sd_bus_error* error) {
  const char* serial = nullptr;
  const char* since = nullptr;
  if (const int rc = sd_bus_message_read(message, "ss", &serial, &since); rc < 0) return rc;
  const auto& service = *static_cast<BusService*>(self);
  if (service.historyFile_.empty()) {
    return sd_bus_error_setf(error, kErrorNoHistory, "the service keeps no member history");
  }
  const cli::HistoryAnswer answer =
      cli::AnswerHistory({{}, serial, since, true}, service.historyFile_);
  if (!answer.output) {
    return sd_bus_error_setf(error,
                             answer.badArgument ? SD_BUS_ERROR_INVALID_ARGS : kErrorNoHistory, "%s",
                             answer.why.c_str());
  }
  // The history's texts are made printable UTF-8 in the report already.
  return sd_bus_reply_method_return(message, "s", answer.output->c_str());
}

int BusService::OnGetStatusJson(sd_bus_message* message, void* self, sd_bus_error*) {
  const std::string json =
      cli::ToJson(static_cast<BusService*>(self)->lastReports_)
          .dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  return sd_bus_reply_method_return(message, "s", json.c_str());
}

namespace {

std::optional<cli::StatusFormat> StatusFormatOf(const char* format, sd_bus_error* error) {
  const std::optional<cli::StatusFormat> parsed = cli::ParseStatusFormat(format);
  if (!parsed) {
    std::string names;
    const std::vector<std::string> all = cli::StatusFormatNames();
    for (std::size_t i = 0; i < all.size(); ++i) {
      names += (i == 0 ? "" : i + 1 == all.size() ? " or " : ", ") + all[i];
    }
    sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "the format is %s, not %s", names.c_str(),
                      format);
  }
  return parsed;
}

}  // namespace

int BusService::OnGetStatus(sd_bus_message* message, void* self, sd_bus_error* error) {
  const char* format = nullptr;
  int32_t drive = 0;
  if (const int rc = sd_bus_message_read(message, "si", &format, &drive); rc < 0) return rc;
  const std::optional<cli::StatusFormat> parsed = StatusFormatOf(format, error);
  if (!parsed) return -EINVAL;
  const std::optional<PhysicalDrive> only = PhysicalDrive::FromNumber(drive);
  if (drive != cli::kEveryDrive && !only) {
    return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS,
                             "the drive is -1 (every drive) or 0 to %u, not %d",
                             static_cast<unsigned>(PhysicalDrive::kLast), drive);
  }
  const auto& service = *static_cast<BusService*>(self);
  return ReplyWithStatus(
      message, cli::AnswerFromPoll(*parsed, only, service.lastReports_, service.lastPolledAt_));
}

int BusService::OnGetEnclosureStatus(sd_bus_message* message, void* self, sd_bus_error* error) {
  const char* format = nullptr;
  const char* enclosure = nullptr;
  if (const int rc = sd_bus_message_read(message, "ss", &format, &enclosure); rc < 0) return rc;
  const std::optional<cli::StatusFormat> parsed = StatusFormatOf(format, error);
  if (!parsed) return -EINVAL;
  // It comes back in the complaint when nothing fits: a name, not a file.
  if (*enclosure == '\0' || std::strlen(enclosure) > kMaxEnclosureName) {
    return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS,
                             "the enclosure is a stable id, a /dev node or a member's serial, of "
                             "1 to %zu bytes",
                             kMaxEnclosureName);
  }
  const auto& service = *static_cast<BusService*>(self);
  return ReplyWithStatus(message, cli::AnswerFromPoll(*parsed, std::nullopt, service.lastReports_,
                                                      service.lastPolledAt_, enclosure));
}

int BusService::ReplyWithStatus(sd_bus_message* message, const cli::StatusAnswer& answer) {
  sd_bus_message* reply = nullptr;
  int rc = sd_bus_message_new_method_return(message, &reply);
  if (rc >= 0) {
    rc = sd_bus_message_append(reply, "si", answer.output.c_str(),
                               static_cast<int32_t>(answer.exitCode));
  }
  if (rc >= 0) rc = sd_bus_message_open_container(reply, 'a', "s");
  for (const std::string& complaint : answer.complaints) {
    if (rc >= 0) rc = sd_bus_message_append(reply, "s", complaint.c_str());
  }
  if (rc >= 0) rc = sd_bus_message_close_container(reply);
  if (rc >= 0) rc = sd_bus_send(nullptr, reply, nullptr);
  sd_bus_message_unref(reply);
  return rc;
}

}  // namespace px::service
