#include "bus/service_jobs.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <system_error>
#include <utility>

#include "bus/managed_objects.h"
#include "bus/service_names.h"

namespace px::bus {
namespace {

// The look-up of the enclosure is answered from the service's memory.
constexpr uint64_t kLookUpMicros = 2ULL * 1000 * 1000;
// A user at polkit's password prompt may take their time.
constexpr uint64_t kStartMicros = 6ULL * 60 * 1000 * 1000;
// A signal lost on the way must not leave a job followed for ever: after a
// quiet while the job's properties are asked.
constexpr auto kQuiet = std::chrono::seconds(2);
constexpr int kExitFailed = 1;

int ReadChangedJob(sd_bus_message* message, JobSignal& signal) {
  const char* interface = nullptr;
  int rc = sd_bus_message_read(message, "s", &interface);
  if (rc < 0) return rc;
  if (std::string_view(interface) != kJobInterface) return -EBADMSG;
  if ((rc = sd_bus_message_enter_container(message, 'a', "{sv}")) < 0) return rc;
  while ((rc = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
    const char* name = nullptr;
    if ((rc = sd_bus_message_read(message, "s", &name)) < 0) return rc;
    const std::string_view property = name;
    if (property == "Question" || property == "Stage") {
      const char* text = nullptr;
      if ((rc = sd_bus_message_read(message, "v", "s", &text)) < 0) return rc;
      (property == "Question" ? signal.question : signal.stage) = text;
    } else if (property == "Percent") {
      uint8_t percent = 0;
      if ((rc = sd_bus_message_read(message, "v", "y", &percent)) < 0) return rc;
      signal.percent = percent;
    } else if (property == "Running") {
      int running = 0;
      if ((rc = sd_bus_message_read(message, "v", "b", &running)) < 0) return rc;
      signal.running = running != 0;
    } else if (property == "ExitCode") {
      int32_t code = 0;
      if ((rc = sd_bus_message_read(message, "v", "i", &code)) < 0) return rc;
      signal.exitCode = code;
    } else if ((rc = sd_bus_message_skip(message, "v")) < 0) {
      return rc;
    }
    if ((rc = sd_bus_message_exit_container(message)) < 0) return rc;
  }
  return rc;
}

// The object of the enclosure on `drive` among GetManagedObjects' answer.
std::optional<std::string> EnclosureOnDrive(sd_bus_message* reply, PhysicalDrive drive) {
  std::optional<std::string> found;
  std::optional<PhysicalDrive> seen;
  const int rc = ReadManagedObjects(
      reply, kEnclosureInterface,
      [&seen](std::string_view, std::string_view name, sd_bus_message* message) {
        if (name != "Drive") return sd_bus_message_skip(message, "v");
        uint32_t value = 0;
        const int read = sd_bus_message_read(message, "v", "u", &value);
        seen = PhysicalDrive(value);
        return read;
      },
      [&](std::string_view path) {
        if (seen == drive && !found) found = std::string(path);
        seen.reset();
      });
  if (rc < 0) return std::nullopt;
  return found;
}

bool WriteAll(int fd, const std::vector<uint8_t>& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<std::size_t>(put);
  }
  return ::lseek(fd, 0, SEEK_SET) == 0;
}

FirmwareJobNews News(FirmwareJobNews::Type type, std::string text = {}) {
  FirmwareJobNews news;
  news.type = type;
  news.text = std::move(text);
  return news;
}

}  // namespace

std::optional<std::vector<uint8_t>> ReadBackup(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return std::nullopt;
  std::vector<uint8_t> bytes(static_cast<std::size_t>(info.st_size));
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t got =
        ::pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (got <= 0) return std::nullopt;
    done += static_cast<std::size_t>(got);
  }
  return bytes;
}

std::optional<JobSignal> ReadJobSignal(sd_bus_message* message) {
  JobSignal signal;
  const char* path = sd_bus_message_get_path(message);
  const char* member = sd_bus_message_get_member(message);
  if (path == nullptr || member == nullptr) return std::nullopt;
  signal.path = path;
  if (std::string_view(member) == "Said") {
    const char* stream = nullptr;
    const char* line = nullptr;
    if (sd_bus_message_read(message, "ss", &stream, &line) < 0) return std::nullopt;
    signal.said = true;
    signal.stream = stream;
    signal.line = line;
    return signal;
  }
  if (std::string_view(member) == "PropertiesChanged" && ReadChangedJob(message, signal) >= 0) {
    return signal;
  }
  return std::nullopt;
}

ServiceJobs::ServiceJobs(std::string address) : address_(std::move(address)) {}

ServiceJobs::~ServiceJobs() {
  // The job goes on in the service; only the following ends.
  if (fd_ >= 0) ::close(fd_);
}

std::optional<std::string> ServiceJobs::Connected() {
  if (bus_) return std::nullopt;
  int rc = Connect(address_, bus_);
  sd_bus_slot* said = nullptr;
  sd_bus_slot* changed = nullptr;
  // Before any call, so that nothing a job says is missed.
  if (rc >= 0) {
    rc = sd_bus_match_signal(bus_.get(), &said, kServiceName, nullptr, kJobInterface, "Said",
                             &ServiceJobs::OnSignal, this);
  }
  said_.reset(said);
  if (rc >= 0) {
    rc = sd_bus_match_signal(bus_.get(), &changed, kServiceName, nullptr,
                             "org.freedesktop.DBus.Properties", "PropertiesChanged",
                             &ServiceJobs::OnSignal, this);
  }
  changed_.reset(changed);
  if (rc < 0) {
    Drop();
    return "the service cannot be reached: " + BusError().Text(rc);
  }
  return std::nullopt;
}

void ServiceJobs::Drop() {
  call_.reset();
  said_.reset();
  changed_.reset();
  bus_.reset();
}

std::optional<std::string> ServiceJobs::Start(const FirmwareJobRequest& request) {
  if (following_) return "a firmware job is under way";
  if (std::optional<std::string> unreachable = Connected()) return unreachable;

  BusError error;
  Message listed;
  int rc = ListServiceObjects(bus_.get(), kLookUpMicros, error, listed);
  if (rc < 0) {
    const std::string why = error.Text(rc);
    Drop();
    return "the service did not answer (" + why + ")";
  }
  const std::optional<std::string> enclosure = EnclosureOnDrive(listed.get(), request.drive);
  if (!enclosure) {
    return "the service has no enclosure on drive " + std::to_string(request.drive.number());
  }

  // The bytes the window checked, not the file again: it may have changed
  // on the disk since, and an image built here has none.
  const int fd = ::memfd_create("pxgui-firmware", MFD_CLOEXEC);
  if (fd < 0 || !WriteAll(fd, request.bytes)) {
    const std::error_code reason(errno, std::generic_category());
    if (fd >= 0) ::close(fd);
    return "cannot make a file for the service: " + reason.message();
  }
  Message start;
  rc =
      NewServiceCall(bus_.get(), enclosure->c_str(), kEnclosureInterface, "UpgradeFirmware", start);
  // polkit's agent may ask the user for a password before the answer.
  if (rc >= 0) rc = sd_bus_message_set_allow_interactive_authorization(start.get(), 1);
  if (rc >= 0) rc = sd_bus_message_append(start.get(), "h", fd);
  if (rc >= 0) rc = sd_bus_message_open_container(start.get(), 'a', "{sv}");
  if (rc >= 0 && !request.name.empty()) {
    rc = sd_bus_message_append(start.get(), "{sv}", "name", "s", request.name.c_str());
  }
  if (rc >= 0) rc = sd_bus_message_close_container(start.get());
  sd_bus_slot* slot = nullptr;
  if (rc >= 0) {
    rc = sd_bus_call_async(bus_.get(), &slot, start.get(), &ServiceJobs::OnStarted, this,
                           kStartMicros);
  }
  if (rc < 0) {
    ::close(fd);
    return "the firmware job could not be asked for: " + BusError().Text(rc);
  }
  call_.reset(slot);
  fd_ = fd;
  following_ = true;
  job_.clear();
  early_.clear();
  running_.reset();
  exitCode_.reset();
  stage_.clear();
  percent_ = 0;
  return std::nullopt;
}

int ServiceJobs::OnStarted(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<ServiceJobs*>(userdata);
  self.call_.reset();
  if (const sd_bus_error* refused = sd_bus_message_get_error(reply)) {
    FirmwareJobNews news = News(FirmwareJobNews::Type::Refused);
    news.error = refused->name != nullptr ? refused->name : "";
    news.text = refused->message != nullptr && *refused->message != '\0'
                    ? refused->message
                    : std::strerror(sd_bus_message_get_errno(reply));
    self.news_.push_back(std::move(news));
    self.following_ = false;
    ::close(std::exchange(self.fd_, -1));
    return 0;
  }
  const char* path = nullptr;
  if (sd_bus_message_read(reply, "o", &path) < 0) {
    self.Said("stderr",
              "the service's answer could not be read; the firmware job may be under way");
    self.End(kExitFailed);
    return 0;
  }
  self.job_ = path;
  self.heard_ = std::chrono::steady_clock::now();
  self.news_.push_back(News(FirmwareJobNews::Type::Started, self.job_));
  std::deque<JobSignal> early = std::exchange(self.early_, {});
  for (const JobSignal& signal : early) {
    if (signal.path == self.job_ && self.following_) self.Apply(signal);
  }
  return 0;
}

int ServiceJobs::OnSignal(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<ServiceJobs*>(userdata);
  if (!self.following_) return 0;
  std::optional<JobSignal> signal = ReadJobSignal(message);
  if (!signal) return 0;
  if (self.job_.empty()) {
    // Another client's job may say things meanwhile; few are kept.
    if (self.early_.size() < 4096) self.early_.push_back(std::move(*signal));
  } else if (signal->path == self.job_) {
    self.Apply(*signal);
  }
  return 0;
}

void ServiceJobs::Said(const std::string& stream, std::string line) {
  FirmwareJobNews news = News(FirmwareJobNews::Type::Said, std::move(line));
  news.stream = stream;
  news_.push_back(std::move(news));
}

void ServiceJobs::Apply(const JobSignal& signal) {
  heard_ = std::chrono::steady_clock::now();
  if (signal.said) {
    Said(signal.stream, signal.line);
    return;
  }
  if (signal.stage || signal.percent) {
    if (signal.stage) stage_ = *signal.stage;
    if (signal.percent) percent_ = *signal.percent;
    FirmwareJobNews news = News(FirmwareJobNews::Type::Stage, stage_);
    news.percent = percent_;
    news_.push_back(std::move(news));
  }
  if (signal.question && !signal.question->empty()) {
    news_.push_back(News(FirmwareJobNews::Type::Asked, *signal.question));
  }
  if (signal.running) running_ = signal.running;
  if (signal.exitCode) exitCode_ = signal.exitCode;
  if (running_ == false && exitCode_ && *exitCode_ >= 0) End(*exitCode_);
}

void ServiceJobs::End(int code) {
  if (!following_) return;
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  following_ = false;
  FirmwareJobNews news = News(FirmwareJobNews::Type::Ended);
  news.exitCode = code;
  news_.push_back(std::move(news));
}

std::vector<FirmwareJobNews> ServiceJobs::Process() {
  if (bus_) {
    int rc = 0;
    while ((rc = sd_bus_process(bus_.get(), nullptr)) > 0) {
    }
    if (rc < 0 && following_) {
      Said("stderr", "the connection to pxraidd ended; the firmware job may still be under way" +
                         (job_.empty() ? std::string() : " (" + job_ + ")"));
      End(kExitFailed);
    }
    if (rc < 0) Drop();
  }
  if (bus_ && following_ && !job_.empty() && std::chrono::steady_clock::now() - heard_ >= kQuiet) {
    heard_ = std::chrono::steady_clock::now();
    int running = 1;
    BusError unread;
    if (sd_bus_get_property_trivial(bus_.get(), kServiceName, job_.c_str(), kJobInterface,
                                    "Running", &unread.error, 'b', &running) >= 0 &&
        running == 0) {
      int32_t code = kExitFailed;
      sd_bus_get_property_trivial(bus_.get(), kServiceName, job_.c_str(), kJobInterface, "ExitCode",
                                  &unread.error, 'i', &code);
      // Its last lines may still be on their way.
      while (sd_bus_process(bus_.get(), nullptr) > 0) {
      }
      End(code);
    }
  }
  return std::exchange(news_, {});
}

void ServiceJobs::Answer(bool yes) {
  if (!bus_ || job_.empty()) return;
  // Not waited on: the job's next news tells how it went on.
  sd_bus_call_method_async(bus_.get(), nullptr, kServiceName, job_.c_str(), kJobInterface, "Answer",
                           nullptr, nullptr, "b", yes ? 1 : 0);
}

}  // namespace px::bus
