#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <filesystem>
#include <iostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bus/managed_objects.h"
#include "bus/sd_bus_handles.h"
#include "bus/service_jobs.h"
#include "bus/service_names.h"
#include "cli/firmware_client.h"
#include "cli/stop_signal.h"
#include "common/files.h"
#include "common/text.h"
#include "firmware/flash_backup.h"
#include "monitor/status_report.h"

namespace px::cli {

using monitor::ChooseEnclosure;
using monitor::EnclosureChoice;
using monitor::EnclosureReport;
using monitor::MemberReport;

using bus::Bus;
using bus::BusError;
using bus::kEnclosureInterface;
using bus::kJobInterface;
using bus::kServiceName;
using bus::kServiceRoot;
using bus::Message;
namespace {

namespace fs = std::filesystem;

// A user at polkit's password prompt may take their time.
constexpr uint64_t kStartTimeoutMicros = 6ULL * 60 * 1000 * 1000;
constexpr uint64_t kCallTimeoutMicros = 10ULL * 1000 * 1000;

void CannotAsk(const std::string& reason) {
  Complain("the service did not answer (" + reason + "); working on the enclosures directly");
}

const char* MethodOf(FirmwareWork work) {
  switch (work) {
    case FirmwareWork::Upgrade:
      return "UpgradeFirmware";
    case FirmwareWork::Restore:
      return "RestoreFirmware";
    case FirmwareWork::Backup:
      return "BackupFirmware";
  }
  return "";
}

// An enclosure the service serves: its object, and what it may be chosen by
// (number, stable id, node, members' serials).
struct Served {
  std::string path;
  EnclosureReport report;
};

int ReadMembers(sd_bus_message* reply, EnclosureReport& report) {
  int rc = sd_bus_message_enter_container(reply, 'v', "a(sssst)");
  if (rc >= 0) rc = sd_bus_message_enter_container(reply, 'a', "(sssst)");
  for (MemberReport& member : report.members) {
    const char* port = nullptr;
    const char* state = nullptr;
    const char* model = nullptr;
    const char* serial = nullptr;
    uint64_t capacity = 0;
    if (rc >= 0)
      rc = sd_bus_message_read(reply, "(sssst)", &port, &state, &model, &serial, &capacity);
    if (rc <= 0) break;
    member.state = monitor::MemberStateNamed(state);
    member.serial = serial;
  }
  // Whatever is left (the service gives two) is passed over.
  while (rc > 0) rc = sd_bus_message_skip(reply, "(sssst)");
  if (rc >= 0) rc = sd_bus_message_exit_container(reply);
  if (rc >= 0) rc = sd_bus_message_exit_container(reply);
  return rc;
}

// Every enclosure object of GetManagedObjects' answer.
int ReadEnclosures(sd_bus_message* reply, std::vector<Served>& served) {
  Served enclosure;
  return bus::ReadManagedObjects(
      reply, kEnclosureInterface,
      [&enclosure](std::string_view, std::string_view name, sd_bus_message* message) {
        if (name == "Device") {
          uint32_t device = 0;
          const int rc = sd_bus_message_read(message, "v", "u", &device);
          enclosure.report.device = static_cast<int>(device);
          return rc;
        }
        if (name == "Id" || name == "Node") {
          const char* text = nullptr;
          const int rc = sd_bus_message_read(message, "v", "s", &text);
          if (rc >= 0) (name == "Id" ? enclosure.report.id : enclosure.report.node) = text;
          return rc;
        }
        if (name == "Members") return ReadMembers(message, enclosure.report);
        return sd_bus_message_skip(message, "v");
      },
      [&enclosure, &served](std::string_view path) {
        enclosure.path = path;
        served.push_back(std::exchange(enclosure, Served{}));
      });
}

// What the job tells, as it comes.
using JobNews = bus::JobSignal;

int OnJobSignal(sd_bus_message* message, void* userdata, sd_bus_error*) {
  if (std::optional<JobNews> item = bus::ReadJobSignal(message)) {
    static_cast<std::deque<JobNews>*>(userdata)->push_back(std::move(*item));
  }
  return 0;
}

}  // namespace

std::optional<int> FirmwareThroughService(const FirmwareRequest& request) {
  sd_bus* raw = nullptr;
  if (sd_bus_open_system(&raw) < 0) return std::nullopt;
  const Bus bus(raw);

  // Which enclosure, as the service numbers and names them.
  BusError error;
  Message listed;
  int rc = bus::ListServiceObjects(bus.get(), kCallTimeoutMicros, error, listed);
  if (rc < 0) {
    if (!error.NoOwner()) CannotAsk(error.Text(rc));
    return std::nullopt;
  }
  std::vector<Served> served;
  if (rc = ReadEnclosures(listed.get(), served); rc < 0) {
    CannotAsk("its answer could not be read: " + BusError().Text(rc));
    return std::nullopt;
  }
  const Served* target = nullptr;
  if (!request.enclosure.empty()) {
    // Chosen as a run of its own chooses (ChooseEnclosure), among the
    // service's enclosures.
    std::vector<EnclosureReport> reports;
    for (const Served& enclosure : served) reports.push_back(enclosure.report);
    const EnclosureChoice chosen = ChooseEnclosure(reports, request.enclosure);
    if (!chosen.index) {
      Complain(chosen.why);
      return kExitNoDevice;
    }
    target = &served[*chosen.index];
  }
  for (const Served& enclosure : served) {
    if (request.enclosure.empty() && enclosure.report.device == request.device) target = &enclosure;
  }
  if (target == nullptr) {
    Complain("there is no device " + std::to_string(request.device) + ": " +
             std::to_string(served.size()) + (served.size() == 1 ? " enclosure" : " enclosures") +
             " found");
    return kExitNoDevice;
  }

  // The file: the image to write, or a file of our own for the backup,
  // which is then saved where it was asked for as a backup made here is.
  const bool backup = request.work == FirmwareWork::Backup;
  const int fd = backup ? ::memfd_create("pxraid-backup", MFD_CLOEXEC)
                        : ::open(request.file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const std::error_code reason(errno, std::generic_category());
    Complain(backup
                 ? "cannot make a file for the backup: " + ReasonText(reason)
                 : "cannot read " + PathText(fs::path(request.file)) + ": " + ReasonText(reason));
    return kExitFailed;
  }
  struct Closing {
    int fd;
    ~Closing() { ::close(fd); }
  } closing{fd};

  std::deque<JobNews> news;
  rc = sd_bus_match_signal(bus.get(), nullptr, kServiceName, nullptr, kJobInterface, "Said",
                           &OnJobSignal, &news);
  if (rc >= 0) {
    rc = sd_bus_match_signal(bus.get(), nullptr, kServiceName, nullptr,
                             "org.freedesktop.DBus.Properties", "PropertiesChanged", &OnJobSignal,
                             &news);
  }
  Message start;
  if (rc >= 0) {
    rc = NewServiceCall(bus.get(), target->path.c_str(), kEnclosureInterface,
                        MethodOf(request.work), start);
  }
  if (rc >= 0) rc = sd_bus_message_set_allow_interactive_authorization(start.get(), 1);
  if (rc >= 0) rc = sd_bus_message_append(start.get(), "h", fd);
  if (rc >= 0 && !backup) {
    std::string checksum;
    if (request.work == FirmwareWork::Restore) {
      const FileContent sidecar =
          ReadWholeFile(ChecksumFileOf(fs::path(request.file)), ReadFor::Showing);
      if (sidecar.outcome == FileContent::Outcome::Read) checksum = sidecar.bytes;
    }
    rc = sd_bus_message_open_container(start.get(), 'a', "{sv}");
    if (rc >= 0) rc = sd_bus_message_append(start.get(), "{sv}", "yes", "b", request.yes ? 1 : 0);
    if (rc >= 0) {
      rc = sd_bus_message_append(start.get(), "{sv}", "name", "s", request.file.c_str());
    }
    if (rc >= 0 && request.work == FirmwareWork::Upgrade) {
      rc = sd_bus_message_append(start.get(), "{sv}", "no-backup", "b", request.noBackup ? 1 : 0);
    }
    if (rc >= 0 && !checksum.empty()) {
      rc = sd_bus_message_append(start.get(), "{sv}", "checksum", "s", checksum.c_str());
    }
    if (rc >= 0) rc = sd_bus_message_close_container(start.get());
  }
  BusError refused;
  sd_bus_message* rawReply = nullptr;
  if (rc >= 0) {
    rc = sd_bus_call(bus.get(), start.get(), kStartTimeoutMicros, &refused.error, &rawReply);
  }
  const Message started(rawReply);
  if (rc < 0) {
    if (refused.NoOwner()) return std::nullopt;
    // The service's words, which name what is wrong; nothing was changed.
    if (sd_bus_error_has_name(&refused.error, SD_BUS_ERROR_INVALID_ARGS)) {
      Complain(refused.Text(rc) + " Nothing was changed.");
      return kExitFailed;
    }
    Complain(refused.Text(rc));
    return kExitNoDevice;
  }
  const char* jobPath = nullptr;
  if (sd_bus_message_read(started.get(), "o", &jobPath) < 0) {
    Complain("the service's answer could not be read; the firmware job may be under way");
    return kExitFailed;
  }
  const std::string job = jobPath;

  // Its words as it says them; a backup's last line names the file this
  // program then writes, not the service's.
  constexpr std::string_view kSavedTo = " saved to ";
  std::string savedLine;
  std::optional<int32_t> exitCode;
  bool running = true;
  while (running || !exitCode) {
    while (!news.empty()) {
      JobNews item = std::move(news.front());
      news.pop_front();
      if (item.path != job) continue;
      if (item.said) {
        const std::size_t saved = item.line.find(kSavedTo);
        if (backup && item.stream == "stdout" && item.line.starts_with("Flash of ") &&
            saved != std::string::npos) {
          savedLine = item.line.substr(0, saved + kSavedTo.size()) + request.file;
          continue;
        }
        (item.stream == "stderr" ? std::cerr : std::cout) << item.line << std::endl;
      }
      if (item.exitCode) exitCode = item.exitCode;
      if (item.running) running = *item.running;
      if (item.question && !item.question->empty()) {
        const bool yes = !StopRequested() && Confirm(*item.question);
        BusError unanswered;
        sd_bus_call_method(bus.get(), kServiceName, job.c_str(), kJobInterface, "Answer",
                           &unanswered.error, nullptr, "b", yes ? 1 : 0);
      }
    }
    if (!running && exitCode) break;
    if (StopRequested()) {
      Complain("stopped following; the firmware job goes on in pxraidd (" + job + ")");
      return kExitFailed;
    }
    rc = sd_bus_process(bus.get(), nullptr);
    if (rc < 0) {
      Complain("the connection to pxraidd ended; the firmware job may still be under way (" + job +
               ")");
      return kExitFailed;
    }
    // A signal lost on the way must not leave this waiting for ever: a
    // quiet while asks how the job stands.
    if (rc == 0 && sd_bus_wait(bus.get(), 2000000) == 0) {
      int stillRunning = 1;
      BusError unread;
      if (sd_bus_get_property_trivial(bus.get(), kServiceName, job.c_str(), kJobInterface,
                                      "Running", &unread.error, 'b', &stillRunning) >= 0 &&
          stillRunning == 0) {
        int32_t code = kExitFailed;
        sd_bus_get_property_trivial(bus.get(), kServiceName, job.c_str(), kJobInterface, "ExitCode",
                                    &unread.error, 'i', &code);
        // Its last lines may still be on their way.
        while (sd_bus_process(bus.get(), nullptr) > 0) {
        }
        if (!news.empty()) continue;
        running = false;
        exitCode = code;
      }
    }
  }

  if (backup && *exitCode == kExitOk) {
    const std::optional<std::vector<uint8_t>> bytes = bus::ReadBackup(fd);
    const std::error_code unsaved = bytes ? SaveFlashBackup(fs::path(request.file), *bytes)
                                          : std::make_error_code(std::errc::io_error);
    if (unsaved) {
      Complain("cannot write " + request.file + ": " + ReasonText(unsaved) +
               "; no backup was written");
      return kExitFailed;
    }
    std::cout << savedLine << std::endl;
  }
  return *exitCode;
}

}  // namespace px::cli
