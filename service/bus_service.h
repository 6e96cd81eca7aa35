#pragma once

#include <systemd/sd-bus.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bus/service_names.h"
#include "cli/commands.h"
#include "eventlog/log_time.h"
#include "monitor/status_report.h"
#include "raid/alerts.h"
#include "service/jobs.h"

// pxraidd's side of the message bus: the enclosures' state as objects after
// udisks' model, read-only, served from a thread of its own that owns the
// connection. The monitor hands it each poll; it publishes it and tells
// what changed.

namespace px::service {

inline constexpr auto& kBusName = bus::kServiceName;
inline constexpr auto& kRootPath = bus::kServiceRoot;
inline constexpr char kEnclosuresPath[] = "/org/pxraid/PxRaid1/enclosures";
using bus::kEnclosureInterface;
using bus::kManagerInterface;

// The object of the enclosure whose stable id is `id`: the id escaped as
// systemd escapes unit names on the bus (letters and digits kept, a digit
// only after the first byte; every other byte as _XX in lower-case hex).
std::string EnclosurePath(const std::string& id);

// An alert as the Manager's Event signal carries it.
struct BusEvent {
  std::string enclosureId;
  std::string name;
  std::string severity;
  std::string message;
};

class BusService {
 public:
  // Connects to "system", "session" or a bus address
  // ("unix:path=/run/..."); std::runtime_error when it cannot.
  // `historyFile` is the member history the monitor keeps (empty for none),
  // which GetHistory reads. `failed` is
  // called from the bus thread, once, when the connection is lost or the
  // name cannot be had: the service has no reason to go on then.
  // `jobs` is how firmware jobs are run; `logDirectory` holds the day's
  // logs GetLog reads.
  BusService(const std::string& bus, std::string version, std::filesystem::path historyFile,
             JobSettings jobs, std::filesystem::path logDirectory, std::function<void()> failed);
  ~BusService();
  BusService(const BusService&) = delete;
  BusService& operator=(const BusService&) = delete;

  // From the monitor's thread: one finished poll, copied, and when it ran
  // (the host's seconds since the epoch, as its metrics carry, and its
  // local time, whose day's log GetLog reads by default). Waits while
  // the bus thread is a few polls behind, so that a monitor faster than its
  // clients (a simulated one) cannot pile them up.
  void Publish(const monitor::StatusReports& reports, const std::vector<Alert>& alerts,
               int64_t polledAt, const LogTime& localTime);
  // Publishes what is still queued, ends the bus thread and lets go of the
  // bus. Called by the destructor too.
  void Stop();
  // Why the bus thread ended before it was stopped; empty when it did not.
  std::string Failure() const;

 private:
  struct Poll {
    monitor::StatusReports reports;
    std::vector<BusEvent> events;
    int64_t polledAt = 0;
    LogTime localTime;
  };
  struct Enclosure;

  void Serve();
  bool Wait();
  void Apply(const Poll& poll);
  void Fail(const std::string& why);

  static int GetManagerProperty(sd_bus* bus, const char* path, const char* interface,
                                const char* property, sd_bus_message* reply, void* self,
                                sd_bus_error* error);
  static int GetEnclosureProperty(sd_bus* bus, const char* path, const char* interface,
                                  const char* property, sd_bus_message* reply, void* enclosure,
                                  sd_bus_error* error);
  static int OnFirmwareJob(sd_bus_message* message, void* enclosure, sd_bus_error* error);
  static int OnGetLog(sd_bus_message* message, void* self, sd_bus_error* error);
  static int OnGetHistory(sd_bus_message* message, void* self, sd_bus_error* error);
  static int OnGetStatusJson(sd_bus_message* message, void* self, sd_bus_error* error);
  static int OnGetStatus(sd_bus_message* message, void* self, sd_bus_error* error);
  static int OnGetEnclosureStatus(sd_bus_message* message, void* self, sd_bus_error* error);
  // status's answer as the reply to `message`: output, exit status, complaints.
  static int ReplyWithStatus(sd_bus_message* message, const cli::StatusAnswer& answer);

  sd_bus* bus_ = nullptr;
  const sd_bus_vtable* enclosureVtable_ = nullptr;
  std::string version_;
  std::filesystem::path historyFile_;
  std::filesystem::path logDirectory_;
  std::function<void()> failed_;
  int wake_ = -1;  // an eventfd: a poll is queued, a job has news, or a stop asked for
  void Wake() const;

  // Shared with the monitor's thread.
  mutable std::mutex mutex_;
  std::condition_variable taken_;
  std::deque<Poll> queued_;
  bool stopping_ = false;
  bool ended_ = false;
  std::string failure_;

  // The bus thread's own.
  std::map<std::string, std::unique_ptr<Enclosure>> enclosures_;  // by object path
  std::string health_ = "unknown";
  // The last poll as status reads it, for GetStatus; none before the first.
  monitor::StatusReports lastReports_;
  std::optional<int64_t> lastPolledAt_;
  LogTime lastLocalTime_;
  bool named_ = false;
  std::unique_ptr<JobService> jobs_;
  // Every call that waits for polkit, the jobs' and the log's alike.
  WaitingCalls waiting_;

  std::thread thread_;
};

}  // namespace px::service
