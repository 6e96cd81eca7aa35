// pxraidd's firmware jobs as their clients meet them: on a private message
// bus with Debian's polkitd deciding, from its own policy file and a rule
// of the test's, for root and for nobody; the jobs' outcomes beside what
// pxraid says of the same scenario when run by hand.

#include "service/jobs.h"

#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <map>
#include <regex>
#include <variant>

#include "cli/pxraid_process.h"
#include "service/bus_fixture.h"
#include "service/polkit.h"
#include "sim/demo_scenarios.h"
#include "support/demo_firmware.h"

namespace px::test {
namespace {

constexpr char kPolkitName[] = "org.freedesktop.PolicyKit1";
constexpr uid_t kNobody = 65534;

using Option = std::pair<std::string, std::variant<bool, std::string>>;

// What a call came to: the job's object, or the D-Bus error's name and
// message.
struct Answer {
  std::string job;
  std::string error;
  std::string message;
};

sd_bus* Connect(const std::string& address) {
  sd_bus* bus = nullptr;
  int rc = sd_bus_new(&bus);
  if (rc >= 0) rc = sd_bus_set_address(bus, address.c_str());
  if (rc >= 0) rc = sd_bus_set_bus_client(bus, 1);
  if (rc >= 0) rc = sd_bus_start(bus);
  if (rc < 0) {
    sd_bus_unref(bus);
    return nullptr;
  }
  return bus;
}

Answer CallJob(sd_bus* bus, const std::string& enclosure, const std::string& method, int fd,
               const std::vector<Option>& options) {
  sd_bus_message* call = nullptr;
  int rc = sd_bus_message_new_method_call(bus, &call, service::kBusName, enclosure.c_str(),
                                          service::kEnclosureInterface, method.c_str());
  if (rc >= 0) rc = sd_bus_message_append(call, "h", fd);
  if (rc >= 0 && method != "BackupFirmware") {
    rc = sd_bus_message_open_container(call, 'a', "{sv}");
    for (const auto& [key, value] : options) {
      if (rc < 0) break;
      if (const bool* flag = std::get_if<bool>(&value)) {
        rc = sd_bus_message_append(call, "{sv}", key.c_str(), "b", static_cast<int>(*flag));
      } else {
        rc = sd_bus_message_append(call, "{sv}", key.c_str(), "s",
                                   std::get<std::string>(value).c_str());
      }
    }
    if (rc >= 0) rc = sd_bus_message_close_container(call);
  }
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  Answer answer;
  if (rc >= 0) rc = sd_bus_call(bus, call, 0, &error, &reply);
  if (rc >= 0) {
    const char* path = nullptr;
    if (sd_bus_message_read(reply, "o", &path) >= 0) answer.job = path;
  } else {
    answer.error = error.name != nullptr ? error.name : "no error";
    answer.message = error.message != nullptr ? error.message : "";
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_message_unref(call);
  return answer;
}

// The call made by a process of its own as `uid`, which then leaves the bus
// at once: the bus takes the caller's identity from its socket.
Answer CallJobAs(uid_t uid, const std::string& address, const std::string& enclosure,
                 const std::string& method, int fd, const std::vector<Option>& options) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return {{}, "pipe", {}};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipeFds[0]);
    if (uid != 0 && (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0)) {
      ::_exit(2);
    }
    sd_bus* bus = Connect(address);
    const Answer answer = bus != nullptr ? CallJob(bus, enclosure, method, fd, options)
                                         : Answer{{}, "cannot connect", {}};
    const std::string text = answer.job + "\n" + answer.error + "\n" + answer.message;
    [[maybe_unused]] const ssize_t wrote = ::write(pipeFds[1], text.data(), text.size());
    ::_exit(0);
  }
  ::close(pipeFds[1]);
  std::string text;
  char buffer[512];
  for (ssize_t got; (got = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(pipeFds[0]);
  ::waitpid(pid, nullptr, 0);
  std::istringstream lines(text);
  Answer answer;
  std::getline(lines, answer.job);
  std::getline(lines, answer.error);
  std::getline(lines, answer.message);
  return answer;
}

json JobProperty(sd_bus* bus, const std::string& job, const char* name) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  json value;
  if (sd_bus_call_method(bus, service::kBusName, job.c_str(), "org.freedesktop.DBus.Properties",
                         "Get", &error, &reply, "ss", service::kJobInterface, name) >= 0) {
    value = ReadValue(reply);
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  return value;
}

// Waits until `job`'s property `name` holds `value`; false when it never
// did.
bool AwaitJob(sd_bus* bus, const std::string& job, const char* name,
              const std::function<bool(const json&)>& holds) {
  for (const auto giveUp = Clock::now() + kPatience; Clock::now() < giveUp;) {
    if (holds(JobProperty(bus, job, name))) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

std::vector<std::string> Lines(const json& output, const std::string& stream) {
  std::vector<std::string> lines;
  for (const json& line : output) {
    if (line[0] == stream) lines.push_back(line[1]);
  }
  return lines;
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

int OpenFile(const fs::path& path, int flags) {
  return ::open(path.c_str(), flags | O_CLOEXEC, 0644);
}

// A private bus with polkitd on it, run in a mount namespace of its own so
// that it reads the project's policy file and the test's rule (nobody may
// back up) rather than the machine's; and pxraidd over `scenario` with its
// jobs run by the pxraid under test.
class PolkitRun {
 public:
  explicit PolkitRun(const std::string& scenario, std::vector<std::string> serviceArgs = {})
      : folder_(MakeTempDirectory()), bus_(ReachableByAll(folder_)) {
    if (bus_.address().empty()) return;
    fs::create_directories(folder_ / "actions");
    fs::create_directories(folder_ / "rules");
    fs::copy_file(PX_POLICY_FILE, folder_ / "actions" / "org.pxraid.PxRaid1.policy");
    std::ofstream(folder_ / "rules" / "50-test.rules")
        << "polkit.addRule(function(action, subject) {\n"
           "  if (action.id == \"org.pxraid.PxRaid1.firmware-backup\" && subject.user == "
           "\"nobody\") return polkit.Result.YES;\n"
           "});\n";
    ::setenv("PXRAID_TEST_BUS", bus_.address().c_str(), 1);
    const std::string script =
        "mount --bind " + (folder_ / "actions").string() +
        " /usr/share/polkit-1/actions && mount --bind " + (folder_ / "rules").string() +
        " /usr/share/polkit-1/rules.d && mount --bind " + (folder_ / "rules").string() +
        " /etc/polkit-1/rules.d && DBUS_SYSTEM_BUS_ADDRESS=\"$PXRAID_TEST_BUS\" exec "
        "/usr/lib/polkit-1/polkitd --no-debug";
    polkit_ = std::make_unique<Child>(
        std::vector<std::string>{"/usr/bin/unshare", "--mount", "--propagation", "private",
                                 "/bin/sh", "-c", script},
        folder_ / "polkitd.out");
    client_ = Connect(bus_.address());
    if (client_ == nullptr || !AwaitName(kPolkitName)) return;
    std::vector<std::string> args{PXRAIDD_TEST_EXE,
                                  "--bus",
                                  bus_.address(),
                                  "--virtual",
                                  scenario,
                                  "--simulate-time",
                                  kStartTime,
                                  "--pxraid",
                                  PXRAID_TEST_EXE,
                                  "--log-dir",
                                  (folder_ / "log").string(),
                                  "--polls",
                                  "1"};
    args.insert(args.end(), serviceArgs.begin(), serviceArgs.end());
    service_ = std::make_unique<Child>(args, folder_ / "pxraidd.out");
    up_ = AwaitName(service::kBusName);
  }
  ~PolkitRun() {
    sd_bus_flush_close_unref(client_);
    service_.reset();
    polkit_.reset();
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  bool Up() const { return up_; }
  sd_bus* client() { return client_; }
  const std::string& address() const { return bus_.address(); }
  const fs::path& folder() const { return folder_; }
  std::string Output() const {
    return ReadFile(folder_ / "polkitd.out") + ReadFile(folder_ / "pxraidd.out");
  }

 private:
  // Nobody's client must reach the bus's socket in the test's folder.
  static const fs::path& ReachableByAll(const fs::path& folder) {
    ::chmod(folder.c_str(), 0711);
    return folder;
  }
  bool AwaitName(const char* name) {
    for (const auto giveUp = Clock::now() + kPatience; Clock::now() < giveUp;) {
      sd_bus_error error = SD_BUS_ERROR_NULL;
      sd_bus_message* reply = nullptr;
      int owned = 0;
      if (sd_bus_call_method(client_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                             "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s",
                             name) >= 0) {
        sd_bus_message_read(reply, "b", &owned);
      }
      sd_bus_message_unref(reply);
      sd_bus_error_free(&error);
      if (owned != 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  fs::path folder_;
  TestBus bus_;
  std::unique_ptr<Child> polkit_;
  std::unique_ptr<Child> service_;
  sd_bus* client_ = nullptr;
  bool up_ = false;
};

// The first enclosure's object and stable id, as status --json names it.
std::pair<std::string, std::string> FirstEnclosure(const std::string& scenario,
                                                   const fs::path& folder) {
  const RunResult status =
      RunPxraid(Virtual(scenario, {"status", "--json", "--log-dir", (folder / "st").string()}));
  const std::string id = json::parse(status.out)["enclosures"][0]["id"];
  return {service::EnclosurePath(id), id};
}

#define PX_NEEDS_POLKIT()                                                             \
  if (::geteuid() != 0 || !fs::exists("/usr/lib/polkit-1/polkitd")) {                 \
    GTEST_SKIP() << "polkitd runs in a mount namespace of its own, which needs root " \
                    "and Debian's polkitd (scripts/install-deps.sh)";                 \
  }

TEST(PxraiddJobs, PolkitDecidesAndTheJobsDoWhatPxraidDoes) {
  PX_NEEDS_POLKIT();
  const std::string scenario = "healthy-mirror";
  PolkitRun run(scenario);
  ASSERT_TRUE(run.Up()) << run.Output();
  const auto [enclosure, id] = FirstEnclosure(scenario, run.folder());

  const fs::path file = WriteDemoFirmware(run.folder());
  // What pxraid says when run by hand, to compare the jobs with.
  const fs::path direct = run.folder() / "direct.bin";
  const RunResult backedUp =
      RunPxraid(Virtual(scenario, {"firmware", "backup", direct.string(), "--log-dir",
                                   (run.folder() / "d").string()}));
  ASSERT_EQ(backedUp.exitCode, 0) << backedUp.err;

  struct Case {
    const char* name;
    uid_t caller;
    const char* method;
    std::vector<Option> options;
    // "" for a job that succeeds
    std::string error;
  };
  const std::vector<Case> cases = {
      {"root upgrades", 0, "UpgradeFirmware", {{"yes", true}, {"name", std::string("fw.bin")}}, ""},
      {"nobody may not upgrade",
       kNobody,
       "UpgradeFirmware",
       {{"yes", true}},
       service::kErrorNotAuthorized},
      {"nobody may not restore",
       kNobody,
       "RestoreFirmware",
       {{"yes", true}},
       service::kErrorNotAuthorized},
      {"the rule lets nobody back up", kNobody, "BackupFirmware", {}, ""},
      {"root backs up", 0, "BackupFirmware", {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bool backup = std::string_view(c.method) == "BackupFirmware";
    const fs::path target = run.folder() / (std::string(c.name) + ".out");
    const int fd = backup ? OpenFile(target, O_RDWR | O_CREAT | O_TRUNC) : OpenFile(file, O_RDONLY);
    ASSERT_GE(fd, 0);
    // The caller leaves the bus as soon as it has its answer: the job goes
    // on without it.
    const Answer answer = CallJobAs(c.caller, run.address(), enclosure, c.method, fd, c.options);
    ::close(fd);
    EXPECT_EQ(answer.error, c.error) << answer.message << run.Output();
    if (!c.error.empty()) continue;
    ASSERT_FALSE(answer.job.empty()) << answer.error << ": " << answer.message;
    EXPECT_EQ(JobProperty(run.client(), answer.job, "EnclosureId"), id) << run.Output();
    ASSERT_TRUE(AwaitJob(run.client(), answer.job, "Running",
                         [](const json& running) { return running == false; }));
    const json output = JobProperty(run.client(), answer.job, "Output");
    EXPECT_EQ(JobProperty(run.client(), answer.job, "ExitCode"), 0) << output.dump(1);
    if (backup) {
      EXPECT_EQ(ReadFile(target), ReadFile(direct));
    } else {
      const std::vector<std::string> said = Lines(output, "stdout");
      for (const char* stage : {"SPI Erase OK", "SPI Program OK", "SPI Verify OK"}) {
        EXPECT_TRUE(Has(said, stage)) << stage << "\n" << output.dump(1);
      }
      EXPECT_EQ(JobProperty(run.client(), answer.job, "Percent"), 100);
    }
  }
}

// What is refused before polkit is asked: nothing on the enclosure changes,
// and the reason names what is wrong.
TEST(PxraiddJobs, BadArgumentsAreRefusedWithTheirReason) {
  PX_NEEDS_POLKIT();
  const std::string scenario = "healthy-mirror";
  PolkitRun run(scenario);
  ASSERT_TRUE(run.Up()) << run.Output();
  const std::string enclosure = FirstEnclosure(scenario, run.folder()).first;

  std::vector<uint8_t> shortImage = sim::DemoFirmwareFile();
  shortImage.resize(1000);
  std::ofstream(run.folder() / "short.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(shortImage.data()), 1000);
  fs::resize_file(run.folder() / "short.bin", 1000);
  std::ofstream(run.folder() / "huge.bin").close();
  fs::resize_file(run.folder() / "huge.bin", 9U << 20);
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);

  struct Case {
    const char* name;
    const char* method;
    int fd;
    std::vector<Option> options;
    const char* says;
  };
  const int folderFd = OpenFile(run.folder(), O_RDONLY | O_DIRECTORY);
  const int shortFd = OpenFile(run.folder() / "short.bin", O_RDONLY);
  const int hugeFd = OpenFile(run.folder() / "huge.bin", O_RDONLY);
  const std::vector<Case> cases = {
      {"a folder", "UpgradeFirmware", folderFd, {}, "not a regular file"},
      {"a pipe", "RestoreFirmware", pipeFds[0], {}, "not a regular file"},
      {"over 8 MiB", "UpgradeFirmware", hugeFd, {}, "more than the flash's 8 MiB"},
      {"too short", "UpgradeFirmware", shortFd, {}, "The firmware image has 1000 bytes"},
      {"a backup into a file open for reading",
       "BackupFirmware",
       shortFd,
       {},
       "not open for writing"},
      {"an option it does not take",
       "UpgradeFirmware",
       shortFd,
       {{"checksum", std::string("x")}},
       "the option checksum of type s is not one upgrade takes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Answer answer = CallJob(run.client(), enclosure, c.method, c.fd, c.options);
    EXPECT_EQ(answer.error, SD_BUS_ERROR_INVALID_ARGS);
    EXPECT_NE(answer.message.find(c.says), std::string::npos) << answer.message;
  }
  for (int fd : {folderFd, shortFd, hugeFd, pipeFds[0], pipeFds[1]}) ::close(fd);
}

// The day's log over the bus is what pxraid log shows of the service's log
// folder.
TEST(PxraiddJobs, GetLogIsWhatPxraidLogShows) {
  PX_NEEDS_POLKIT();
  PolkitRun run("healthy-mirror");
  ASSERT_TRUE(run.Up()) << run.Output();
  const RunResult shown = RunPxraid(
      {"--simulate-time", kStartTime, "log", "--log-dir", (run.folder() / "log").string()});
  ASSERT_EQ(shown.exitCode, 0) << shown.err;
  struct Case {
    const char* date;
    const char* error;  // "" for the lines
  };
  for (const Case& c :
       {Case{"", ""}, Case{"261207", ""}, Case{"261206", "org.pxraid.PxRaid1.Error.NoLog"},
        Case{"26-12-07", SD_BUS_ERROR_INVALID_ARGS}}) {
    SCOPED_TRACE(c.date);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const int rc =
        sd_bus_call_method(run.client(), service::kBusName, service::kRootPath,
                           service::kManagerInterface, "GetLog", &error, &reply, "s", c.date);
    if (*c.error != '\0') {
      EXPECT_TRUE(rc < 0 && sd_bus_error_has_name(&error, c.error)) << error.name;
    } else {
      ASSERT_GE(rc, 0) << error.message;
      const json answer = ReadAll(reply);
      std::string lines;
      for (const json& line : answer[1]) lines += line.get<std::string>() + "\n";
      EXPECT_EQ(lines, shown.out);
      EXPECT_FALSE(answer[1].empty());
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
  }
}

// pxraid's firmware commands, while the service runs, are its jobs: the
// same stages, files and exit status as the same command run here, and a
// user that polkit refuses is told so.
TEST(PxraidFirmware, ThroughTheServiceDoesWhatADirectRunDoes) {
  PX_NEEDS_POLKIT();
  const std::string scenario = "healthy-mirror";
  PolkitRun run(scenario);
  ASSERT_TRUE(run.Up()) << run.Output();
  const std::string file = WriteDemoFirmware(run.folder()).string();
  for (const char* side : {"served", "direct"}) fs::create_directories(run.folder() / side);
  const auto spiLines = [](const RunResult& result) {
    std::vector<std::string> lines;
    for (const std::string& line : result.OutLines()) {
      if (line.starts_with("SPI ")) lines.push_back(line);
    }
    return lines;
  };

  struct Case {
    const char* name;
    std::vector<std::string> args;  // FOLDER stands for each side's folder
    bool asNobody;
    int exitCode;
    const char* said;  // on standard error, served
  };
  const std::vector<Case> cases = {
      {"backup", {"firmware", "backup", "FOLDER/flash.bin"}, false, 0, ""},
      {"upgrade", {"firmware", "upgrade", file, "--yes"}, false, 0, ""},
      {"restore", {"firmware", "restore", "FOLDER/flash.bin", "--yes"}, false, 0, ""},
      {"refused", {"firmware", "upgrade", file, "--yes"}, true, 3, "not authorized to upgrade"},
      {"status", {"status"}, true, 0, ""},
      {"by serial",
       {"firmware", "backup", "FOLDER/by-serial.bin", "--enclosure",
        sim::HealthyMirrorScenario().p1.serial},
       false,
       0,
       ""},
      {"named by nothing",
       {"firmware", "backup", "FOLDER/none.bin", "--enclosure", "nowhere"},
       false,
       3,
       "pxraid: there is no enclosure nowhere: 1 enclosure found\n"},
  };
  // The upgrades the service's day's log has seen begin.
  const auto upgradesBegun = [&run] {
    std::size_t begun = 0;
    for (const fs::directory_entry& log : fs::directory_iterator(run.folder() / "log")) {
      const std::string text = ReadFile(log.path());
      for (std::size_t at = text.find("Firmware upgrade started"); at != std::string::npos;
           at = text.find("Firmware upgrade started", at + 1)) {
        ++begun;
      }
    }
    return begun;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t begunBefore = upgradesBegun();
    std::map<std::string, RunResult> results;
    for (const std::string side : {"served", "direct"}) {
      const std::string folder = (run.folder() / side).string();
      std::vector<std::string> args;
      if (side == "direct") args = {"--virtual", scenario, "--simulate-time", kStartTime};
      for (std::string arg : c.args) {
        if (arg.starts_with("FOLDER")) arg.replace(0, 6, folder);
        args.push_back(arg);
      }
      if (side == "direct") args.insert(args.end(), {"--log-dir", folder + "/log"});
      PxraidProcess process(args, "",
                            c.asNobody ? UnprivilegedLauncher() : std::vector<std::string>{},
                            {"DBUS_SYSTEM_BUS_ADDRESS=" + run.address()});
      results[side] = process.Wait();
    }
    const RunResult& served = results["served"];
    const RunResult& direct = results["direct"];
    EXPECT_EQ(served.exitCode, c.exitCode) << served.out << served.err << run.Output();
    EXPECT_NE(served.err.find(c.said), std::string::npos) << served.err;
    if (c.exitCode != 0) {
      // Refused before the job began: nothing of it reached the enclosure.
      EXPECT_EQ(upgradesBegun(), begunBefore);
      continue;
    }
    EXPECT_EQ(direct.exitCode, 0) << direct.err;
    if (c.args[0] == "status") {
      EXPECT_EQ(served.out, direct.out);
      continue;
    }
    EXPECT_EQ(spiLines(served), spiLines(direct));
    if (c.args[1] == "backup") {
      for (const char* name : {"flash.bin", "flash.bin.sha256"}) {
        EXPECT_EQ(ReadFile(run.folder() / "served" / name),
                  ReadFile(run.folder() / "direct" / name))
            << name;
      }
      EXPECT_EQ(served.OutLines().back(),
                std::regex_replace(direct.OutLines().back(), std::regex("/direct/"), "/served/"));
    }
  }
}

// The client is not the job: killed with SIGKILL while the flash is being
// written, its upgrade runs to its end in the service, which tells the
// outcome afterwards.
TEST(PxraidFirmware, AnUpgradeOutlivesItsKilledClient) {
  PX_NEEDS_POLKIT();
  // Reads that take their time, so that the client is killed mid-write.
  PolkitRun run("healthy-mirror", {"--read-latency", "100"});
  ASSERT_TRUE(run.Up()) << run.Output();
  const std::string file = WriteDemoFirmware(run.folder()).string();

  PxraidProcess client({"firmware", "upgrade", file, "--yes"}, "", {},
                       {"DBUS_SYSTEM_BUS_ADDRESS=" + run.address()});
  ASSERT_TRUE(client.ReadUntil(
      [](const std::string& out) { return out.find("SPI Erase OK") != std::string::npos; }));
  client.Signal(SIGKILL);
  const RunResult killed = client.Wait();
  EXPECT_EQ(killed.signal, SIGKILL);
  const std::string job = std::string(service::kJobsPath) + "/1";
  EXPECT_EQ(JobProperty(run.client(), job, "Running"), true) << "the job ended before its client";
  ASSERT_TRUE(
      AwaitJob(run.client(), job, "Running", [](const json& running) { return running == false; }));
  EXPECT_EQ(JobProperty(run.client(), job, "ExitCode"), 0);
  // The verify compares every byte of the flash with the image.
  EXPECT_TRUE(Has(Lines(JobProperty(run.client(), job, "Output"), "stdout"), "SPI Verify OK"));
}

// A job asks before it changes anything, and waits for its own client: a
// second job for the enclosure is refused meanwhile, a no changes nothing,
// and a client that leaves without answering has said no.
TEST(PxraiddJobs, AQuestionIsTheStartersToAnswer) {
  PX_NEEDS_POLKIT();
  const std::string scenario = "healthy-mirror";
  PolkitRun run(scenario);
  ASSERT_TRUE(run.Up()) << run.Output();
  const std::string enclosure = FirstEnclosure(scenario, run.folder()).first;
  const int fd = OpenFile(WriteDemoFirmware(run.folder()), O_RDONLY);

  const Answer asking = CallJob(run.client(), enclosure, "UpgradeFirmware", fd, {});
  ASSERT_FALSE(asking.job.empty()) << asking.error << ": " << asking.message;
  ASSERT_TRUE(AwaitJob(run.client(), asking.job, "Question", [](const json& question) {
    return question.is_string() && question.get<std::string>().starts_with("Erase and reprogram ");
  }));
  EXPECT_EQ(CallJob(run.client(), enclosure, "UpgradeFirmware", fd, {{"yes", true}}).error,
            service::kErrorBusy);
  sd_bus_error error = SD_BUS_ERROR_NULL;
  ASSERT_GE(sd_bus_call_method(run.client(), service::kBusName, asking.job.c_str(),
                               service::kJobInterface, "Answer", &error, nullptr, "b", 0),
            0)
      << error.message;
  sd_bus_error_free(&error);
  ASSERT_TRUE(AwaitJob(run.client(), asking.job, "Running",
                       [](const json& running) { return running == false; }))
      << JobProperty(run.client(), asking.job, "Output").dump(1) << run.Output();
  EXPECT_EQ(JobProperty(run.client(), asking.job, "ExitCode"), 1);
  EXPECT_TRUE(Has(Lines(JobProperty(run.client(), asking.job, "Output"), "stderr"),
                  "pxraid: not confirmed; nothing was changed"));

  // Its client gone, the next one's question is answered no.
  const Answer left = CallJobAs(0, run.address(), enclosure, "UpgradeFirmware", fd, {});
  ASSERT_FALSE(left.job.empty()) << left.error << ": " << left.message;
  ASSERT_TRUE(AwaitJob(run.client(), left.job, "Running",
                       [](const json& running) { return running == false; }));
  EXPECT_EQ(JobProperty(run.client(), left.job, "ExitCode"), 1);
  ::close(fd);
}

}  // namespace
}  // namespace px::test
