#include "service/jobs.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string_view>

#include "common/text.h"
#include "service/polkit.h"

namespace px::service {
namespace {

// Lines of a job's output kept for its Output property: far more than any
// firmware command prints, and a bound on a child that would print forever.
constexpr std::size_t kOutputLinesKept = 2000;

const char* ActionOf(JobKind kind) {
  switch (kind) {
    case JobKind::Upgrade:
      return kActionUpgrade;
    case JobKind::Restore:
      return kActionRestore;
    case JobKind::Backup:
      return kActionBackup;
  }
  return kActionUpgrade;
}

int Invalid(sd_bus_error* error, const std::string& why) {
  return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, why.c_str());
}

}  // namespace

struct JobService::Job {
  JobService* service = nullptr;
  uint32_t number = 0;
  std::string path;
  JobKind kind = JobKind::Upgrade;
  std::string enclosureId;
  std::string starter;  // the unique bus name that asked for it
  bool starterGone = false;
  bool running = true;
  int exitCode = -1;
  std::string stage;
  uint8_t percent = 0;
  std::string question;
  std::vector<std::pair<std::string, std::string>> output;
  sd_bus_slot* slot = nullptr;
  sd_bus_track* track = nullptr;
  std::unique_ptr<JobRunner> runner;

  ~Job() {
    runner.reset();
    sd_bus_track_unref(track);
    sd_bus_slot_unref(slot);
  }
};

JobService::JobService(sd_bus* bus, JobSettings settings, std::function<void()> wake)
    : bus_(bus), settings_(std::move(settings)), wake_(std::move(wake)) {}

JobService::~JobService() {
  for (auto& [number, job] : jobs_) {
    if (job->runner) job->runner->Stop();
  }
  jobs_.clear();
}

int JobService::Start(sd_bus_message* call, JobKind kind, const std::string& enclosureId,
                      WaitingCalls& waiting, sd_bus_error* error) {
  int fd = -1;
  if (const int rc = sd_bus_message_read(call, "h", &fd); rc < 0) return rc;
  // A busy enclosure costs no read of the file.
  if (claimed_.contains(enclosureId)) {
    return sd_bus_error_set(error, kErrorBusy,
                            "a firmware job for this enclosure is under way; nothing was changed");
  }
  if (claimed_.size() >= kRunningJobs) {
    return sd_bus_error_set(error, kErrorBusy,
                            "as many firmware jobs as the service runs at once are under way; "
                            "nothing was changed");
  }
  auto request = std::make_unique<JobSpec>();
  JobSpec& spec = *request;
  spec.kind = kind;
  spec.enclosureId = enclosureId;
  spec.program = settings_.program;
  spec.logDirectory = settings_.logDirectory;

  std::vector<JobOption> options;
  if (kind != JobKind::Backup) {
    if (int rc = sd_bus_message_enter_container(call, 'a', "{sv}"); rc < 0) return rc;
    for (;;) {
      int rc = sd_bus_message_enter_container(call, 'e', "sv");
      if (rc < 0) return rc;
      if (rc == 0) break;
      const char* key = nullptr;
      const char* contents = nullptr;
      char type = 0;
      if (rc = sd_bus_message_read(call, "s", &key); rc < 0) return rc;
      if (rc = sd_bus_message_peek_type(call, &type, &contents); rc < 0) return rc;
      JobOption option{key, contents != nullptr ? contents : "", false};
      if (option.signature == "b") {
        int value = 0;
        rc = sd_bus_message_read(call, "v", "b", &value);
        option.value = value != 0;
      } else if (option.signature == "s") {
        const char* value = nullptr;
        rc = sd_bus_message_read(call, "v", "s", &value);
        if (rc >= 0) option.value = std::string(value);
      } else {
        rc = sd_bus_message_skip(call, "v");
      }
      if (rc < 0) return rc;
      options.push_back(std::move(option));
      if (rc = sd_bus_message_exit_container(call); rc < 0) return rc;
    }
    if (const int rc = sd_bus_message_exit_container(call); rc < 0) return rc;
  }
  // The program's own refusals among them, before anyone is asked for a
  // password.
  if (const std::optional<std::string> refusal = DecodeJobRequest(kind, options, fd, spec)) {
    return Invalid(error, *refusal);
  }
  if (kind == JobKind::Backup) {
    spec.output = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (spec.output < 0) return -errno;
  }
  claimed_.insert(enclosureId);
  JobSpec* asked = request.release();
  const int rc = AskPolkit(
      bus_, call, ActionOf(kind), waiting,
      [this, asked](sd_bus_message* decided, const Verdict& verdict) {
        Decided(std::unique_ptr<JobSpec>(asked), decided, verdict.allowed, verdict.why);
      },
      error);
  if (rc < 0) {
    Abandon(*asked);
    delete asked;
    return rc;
  }
  return 1;
}

void JobService::Abandon(JobSpec& spec) {
  claimed_.erase(spec.enclosureId);
  if (spec.output >= 0) ::close(spec.output);
  spec.output = -1;
}

void JobService::Decided(std::unique_ptr<JobSpec> request, sd_bus_message* call, bool allowed,
                         const std::string& why) {
  if (!allowed) {
    Abandon(*request);
    sd_bus_error error{};  // SD_BUS_ERROR_NULL, which is a C compound literal
    sd_bus_error_setf(&error, kErrorNotAuthorized, "not authorized to %s the firmware: %s",
                      JobKindName(request->kind), why.c_str());
    sd_bus_reply_method_error(call, &error);
    sd_bus_error_free(&error);
    return;
  }
  static const sd_bus_vtable vtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_PROPERTY("Kind", "s", &JobService::GetProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("EnclosureId", "s", &JobService::GetProperty, 0,
                      SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("Running", "b", &JobService::GetProperty, 0,
                      SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_PROPERTY("ExitCode", "i", &JobService::GetProperty, 0,
                      SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_PROPERTY("Stage", "s", &JobService::GetProperty, 0,
                      SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_PROPERTY("Percent", "y", &JobService::GetProperty, 0,
                      SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_PROPERTY("Question", "s", &JobService::GetProperty, 0,
                      SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_PROPERTY("Output", "a(ss)", &JobService::GetProperty, 0, 0),
      SD_BUS_METHOD_WITH_NAMES("Answer", "b", SD_BUS_PARAM(yes), "", , &JobService::OnAnswer,
                               SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_SIGNAL_WITH_NAMES("Said", "ss", SD_BUS_PARAM(stream) SD_BUS_PARAM(line), 0),
      SD_BUS_VTABLE_END};

  auto job = std::make_unique<Job>();
  job->service = this;
  job->number = ++lastNumber_;
  job->path = std::string(kJobsPath) + "/" + std::to_string(job->number);
  job->kind = request->kind;
  job->enclosureId = request->enclosureId;
  job->starter = sd_bus_message_get_sender(call) != nullptr ? sd_bus_message_get_sender(call) : "";
  int rc = sd_bus_add_object_vtable(bus_, &job->slot, job->path.c_str(), kJobInterface, vtable,
                                    job.get());
  if (rc >= 0) rc = sd_bus_track_new(bus_, &job->track, &JobService::OnStarterGone, job.get());
  if (rc >= 0) rc = sd_bus_track_add_sender(job->track, call);
  if (rc < 0) {
    Abandon(*request);
    sd_bus_reply_method_errno(call, -rc, nullptr);
    return;
  }
  Job& started = *job;
  jobs_.emplace(job->number, std::move(job));
  sd_bus_emit_interfaces_added(bus_, started.path.c_str(), kJobInterface, nullptr);
  sd_bus_reply_method_return(call, "o", started.path.c_str());
  const uint32_t number = started.number;
  started.runner = std::make_unique<JobRunner>(std::move(*request), [this, number](JobNews news) {
    {
      const std::lock_guard lock(mutex_);
      news_.emplace_back(number, std::move(news));
    }
    wake_();
  });
}

void JobService::Deliver() {
  std::vector<std::pair<uint32_t, JobNews>> news;
  {
    const std::lock_guard lock(mutex_);
    news.swap(news_);
  }
  for (auto& [number, item] : news) {
    if (const auto job = jobs_.find(number); job != jobs_.end())
      Apply(*job->second, std::move(item));
  }
  if (!news.empty()) Forget();
}

void JobService::Emit(Job& job, const char* property) {
  sd_bus_emit_properties_changed(bus_, job.path.c_str(), kJobInterface, property, nullptr);
}

void JobService::Apply(Job& job, JobNews news) {
  switch (news.type) {
    case JobNews::Type::Said:
      // The child is pxraid, whose texts a device's bytes reach only made
      // printable; a line cut in the middle of a character is made whole.
      news.text = PrintableUtf8(news.text);
      sd_bus_emit_signal(bus_, job.path.c_str(), kJobInterface, "Said", "ss", news.stream.c_str(),
                         news.text.c_str());
      if (job.output.size() == kOutputLinesKept) job.output.erase(job.output.begin());
      job.output.emplace_back(std::move(news.stream), std::move(news.text));
      return;
    case JobNews::Type::Asked:
      // Nobody is left to answer: no is the answer that changes nothing.
      if (job.starterGone) {
        job.runner->Answer(false);
        return;
      }
      job.question = PrintableUtf8(news.text);
      Emit(job, "Question");
      return;
    case JobNews::Type::Progress:
      job.stage = news.text;
      job.percent = static_cast<uint8_t>(std::min(news.percent, 100));
      sd_bus_emit_properties_changed(bus_, job.path.c_str(), kJobInterface, "Stage", "Percent",
                                     nullptr);
      return;
    case JobNews::Type::Ended:
      job.running = false;
      job.exitCode = news.exitCode;
      job.question.clear();
      claimed_.erase(job.enclosureId);
      sd_bus_emit_properties_changed(bus_, job.path.c_str(), kJobInterface, "ExitCode", "Question",
                                     "Running", nullptr);
      return;
  }
}

void JobService::Forget() {
  std::size_t ended = 0;
  for (const auto& [number, job] : jobs_) ended += job->running ? 0U : 1U;
  for (auto it = jobs_.begin(); ended > kEndedJobsKept && it != jobs_.end();) {
    if (it->second->running) {
      ++it;
      continue;
    }
    sd_bus_emit_interfaces_removed(bus_, it->second->path.c_str(), kJobInterface, nullptr);
    it = jobs_.erase(it);
    --ended;
  }
}

int JobService::GetProperty(sd_bus*, const char*, const char*, const char* property,
                            sd_bus_message* reply, void* userdata, sd_bus_error* error) {
  const Job& job = *static_cast<Job*>(userdata);
  const std::string_view name = property;
  if (name == "Kind") return sd_bus_message_append(reply, "s", JobKindName(job.kind));
  if (name == "EnclosureId") return sd_bus_message_append(reply, "s", job.enclosureId.c_str());
  if (name == "Running") return sd_bus_message_append(reply, "b", static_cast<int>(job.running));
  if (name == "ExitCode")
    return sd_bus_message_append(reply, "i", static_cast<int32_t>(job.exitCode));
  if (name == "Stage") return sd_bus_message_append(reply, "s", job.stage.c_str());
  if (name == "Percent") return sd_bus_message_append(reply, "y", job.percent);
  if (name == "Question") return sd_bus_message_append(reply, "s", job.question.c_str());
  if (name == "Output") {
    int rc = sd_bus_message_open_container(reply, 'a', "(ss)");
    for (const auto& [stream, line] : job.output) {
      if (rc >= 0) rc = sd_bus_message_append(reply, "(ss)", stream.c_str(), line.c_str());
    }
    return rc < 0 ? rc : sd_bus_message_close_container(reply);
  }
  return sd_bus_error_setf(error, SD_BUS_ERROR_UNKNOWN_PROPERTY, "no property %s", property);
}

int JobService::OnAnswer(sd_bus_message* message, void* userdata, sd_bus_error* error) {
  Job& job = *static_cast<Job*>(userdata);
  int yes = 0;
  if (const int rc = sd_bus_message_read(message, "b", &yes); rc < 0) return rc;
  const char* sender = sd_bus_message_get_sender(message);
  if (sender == nullptr || job.starter != sender) {
    return sd_bus_error_set(error, SD_BUS_ERROR_ACCESS_DENIED,
                            "only the client that started the job answers its questions");
  }
  if (job.question.empty()) {
    return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, "the job asks nothing now");
  }
  job.question.clear();
  job.runner->Answer(yes != 0);
  job.service->Emit(job, "Question");
  return sd_bus_reply_method_return(message, "");
}

int JobService::OnStarterGone(sd_bus_track*, void* userdata) {
  Job& job = *static_cast<Job*>(userdata);
  job.starterGone = true;
  // Its work done: a track left empty would be dispatched again and again.
  job.track = sd_bus_track_unref(job.track);
  if (!job.question.empty()) {
    job.question.clear();
    job.runner->Answer(false);
    job.service->Emit(job, "Question");
  }
  return 0;
}

}  // namespace px::service
