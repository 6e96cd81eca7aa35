#pragma once

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bus/sd_bus_handles.h"
#include "core/firmware_jobs.h"

namespace px::bus {

// One signal of pxraidd's about a job, read: a line it said, or the job's
// properties that changed. What both its clients, pxraid and the window,
// follow a job by.
struct JobSignal {
  std::string path;
  bool said = false;
  std::string stream;
  std::string line;
  std::optional<std::string> question;
  std::optional<std::string> stage;
  std::optional<uint32_t> percent;
  std::optional<bool> running;
  std::optional<int32_t> exitCode;
};
// A job's Said or PropertiesChanged (of the Job interface); nothing for any
// other signal, or one that cannot be read.
std::optional<JobSignal> ReadJobSignal(sd_bus_message* message);

// The bytes a backup job wrote into the file it was given (a memfd of the
// client's), read from its start; nothing when they cannot be read whole.
std::optional<std::vector<uint8_t>> ReadBackup(int fd);

struct UnrefSlot {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using Slot = std::unique_ptr<sd_bus_slot, UnrefSlot>;

// The window's firmware upgrade while pxraidd owns the disks: each job asked of
// the service's enclosure object, the call allowed to make polkit's agent
// ask for a password, then followed through its signals. Nothing here
// waits on the service but the look-up of the enclosure; the call, whose
// answer may take as long as the user at the password prompt, is answered
// into Process.
class ServiceJobs final : public FirmwareJobs {
 public:
  // `address`: the bus the service is on; empty for the system bus.
  explicit ServiceJobs(std::string address = {});
  ~ServiceJobs() override;
  ServiceJobs(const ServiceJobs&) = delete;
  ServiceJobs& operator=(const ServiceJobs&) = delete;

  std::optional<std::string> Start(const FirmwareJobRequest& request) override;
  bool Following() const override { return following_; }
  std::vector<FirmwareJobNews> Process() override;
  void Answer(bool yes) override;

 private:
  static int OnSignal(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int OnStarted(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  std::optional<std::string> Connected();
  void Apply(const JobSignal& signal);
  // The job has ended with `code`; following is over.
  void End(int code);
  void Said(const std::string& stream, std::string line);
  void Drop();

  std::string address_;
  Bus bus_;
  Slot said_;
  Slot changed_;
  Slot call_;
  bool following_ = false;
  int fd_ = -1;
  // The job's object once the service answered; signals before that wait.
  std::string job_;
  std::deque<JobSignal> early_;
  std::optional<bool> running_;
  std::optional<int32_t> exitCode_;
  std::string stage_;
  uint32_t percent_ = 0;
  std::chrono::steady_clock::time_point heard_;
  std::vector<FirmwareJobNews> news_;
};

}  // namespace px::bus
