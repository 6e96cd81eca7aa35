#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "bus/service_names.h"
#include "service/job_runner.h"
#include "service/polkit.h"

// pxraidd's firmware jobs on the bus, after fwupd's and udisks' jobs: a
// method on an enclosure's object checks its arguments, asks polkit, and
// answers at once with a job object whose properties follow the work; the
// work goes on when the client that asked is gone, and its outcome stays
// readable after it ended.

namespace px::service {

inline constexpr char kJobsPath[] = "/org/pxraid/PxRaid1/jobs";
using bus::kJobInterface;
inline constexpr char kErrorBusy[] = "org.pxraid.PxRaid1.Error.Busy";

struct JobSettings {
  // pxraid, with the global options the service itself runs with.
  std::vector<std::string> program;
  std::string logDirectory;
};

class JobService {
 public:
  // Jobs that run at once, across every enclosure; ended jobs kept for
  // their clients to read.
  static constexpr std::size_t kRunningJobs = 4;
  static constexpr std::size_t kEndedJobsKept = 8;

  // On the bus thread, with the bus it serves; `wake` wakes that thread
  // (from any thread) for Deliver.
  JobService(sd_bus* bus, JobSettings settings, std::function<void()> wake);
  // Stops jobs that have not begun to change the flash and waits for the
  // others to end.
  ~JobService();
  JobService(const JobService&) = delete;
  JobService& operator=(const JobService&) = delete;

  // An enclosure's UpgradeFirmware, RestoreFirmware or BackupFirmware call:
  // refused at once with `error` for bad arguments or a busy enclosure;
  // otherwise answered once polkit has decided, while `waiting` has room.
  int Start(sd_bus_message* call, JobKind kind, const std::string& enclosureId,
            WaitingCalls& waiting, sd_bus_error* error);
  // On the bus thread: what the jobs said since, onto the bus.
  void Deliver();

 private:
  struct Job;

  // A request that will not become a job: its enclosure free again, the
  // client's file let go of.
  void Abandon(JobSpec& spec);
  void Decided(std::unique_ptr<JobSpec> request, sd_bus_message* call, bool allowed,
               const std::string& why);
  void Apply(Job& job, JobNews news);
  void Forget();
  void Emit(Job& job, const char* property);

  static int GetProperty(sd_bus* bus, const char* path, const char* interface, const char* property,
                         sd_bus_message* reply, void* job, sd_bus_error* error);
  static int OnAnswer(sd_bus_message* message, void* job, sd_bus_error* error);
  static int OnStarterGone(sd_bus_track* track, void* job);

  sd_bus* bus_;
  JobSettings settings_;
  std::function<void()> wake_;
  uint32_t lastNumber_ = 0;
  // The bus thread's own: jobs by number, and the enclosures a job or a
  // request waiting for polkit holds.
  std::map<uint32_t, std::unique_ptr<Job>> jobs_;
  std::set<std::string> claimed_;

  // From the jobs' threads.
  std::mutex mutex_;
  std::vector<std::pair<uint32_t, JobNews>> news_;
};

}  // namespace px::service
