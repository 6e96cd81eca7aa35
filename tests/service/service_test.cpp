// pxraidd as its clients meet it: started on a private message bus over a
// virtual scenario, and read through sd-bus, its objects, signals and JSON
// beside what pxraid status --json says of the same scenario; and pxraid
// status answering from it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/pxraid_process.h"
#include "service/bus_service.h"

extern char** environ;

namespace px::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

// Limits that only keep a broken set-up from hanging the suite.
constexpr std::chrono::seconds kPatience{60};

fs::path MakeTempDirectory() {
  std::string pattern = (fs::temp_directory_path() / "pxraidd-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A child process with its output in a file, ended (TERM, then KILL) with
// the object.
class Child {
 public:
  Child(const std::vector<std::string>& args, const fs::path& output) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() {
    if (pid_ > 0 && !Stop()) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool Started() const { return pid_ > 0; }
  // SIGTERM, and its end awaited with bounded patience; false when it did
  // not end. `status` is what waitpid gave.
  bool Stop(int* status = nullptr) {
    if (pid_ <= 0) return true;
    ::kill(pid_, SIGTERM);
    for (const auto giveUp = Clock::now() + kPatience; Clock::now() < giveUp;) {
      int got = 0;
      if (::waitpid(pid_, &got, WNOHANG) == pid_) {
        pid_ = -1;
        if (status != nullptr) *status = got;
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

 private:
  pid_t pid_ = -1;
};

// dbus-daemon on a socket in the test's folder, with a configuration that
// lets everyone own and call anything: the test's bus, not the system's.
class TestBus {
 public:
  explicit TestBus(const fs::path& folder) {
    const fs::path config = folder / "bus.conf";
    std::ofstream(config)
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <type>session</type>\n"
           "  <listen>unix:dir="
        << folder.string()
        << "</listen>\n"
           "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
           "    <allow eavesdrop=\"true\"/>\n"
           "    <allow own=\"*\"/>\n"
           "  </policy>\n"
           "</busconfig>\n";
    const fs::path printed = folder / "bus.address";
    daemon_ = std::make_unique<Child>(
        std::vector<std::string>{"/usr/bin/dbus-daemon", "--config-file=" + config.string(),
                                 "--nofork", "--print-address"},
        printed);
    for (const auto giveUp = Clock::now() + kPatience;
         daemon_->Started() && address_.empty() && Clock::now() < giveUp;) {
      const std::string text = ReadFile(printed);
      if (const std::size_t end = text.find('\n'); end != std::string::npos) {
        address_ = text.substr(0, end);
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
  }
  const std::string& address() const { return address_; }

 private:
  std::unique_ptr<Child> daemon_;
  std::string address_;
};

// Any message's arguments from the current one on, as JSON: a dictionary as
// an object, an array or a structure as an array, a variant as its value.
json ReadValue(sd_bus_message* message) {
  char type = 0;
  const char* contents = nullptr;
  if (sd_bus_message_peek_type(message, &type, &contents) <= 0) return nullptr;
  const auto basic = [message, type](auto value) {
    sd_bus_message_read_basic(message, type, &value);
    return json(value);
  };
  switch (type) {
    case 's':
    case 'o':
    case 'g': {
      const char* text = nullptr;
      sd_bus_message_read_basic(message, type, &text);
      return text;
    }
    case 'b': {
      int value = 0;
      sd_bus_message_read_basic(message, type, &value);
      return value != 0;
    }
    case 'y':
      return basic(uint8_t{});
    case 'u':
      return basic(uint32_t{});
    case 'i':
      return basic(int32_t{});
    case 'x':
      return basic(int64_t{});
    case 't':
      return basic(uint64_t{});
    case 'v': {
      sd_bus_message_enter_container(message, type, contents);
      json value = ReadValue(message);
      sd_bus_message_exit_container(message);
      return value;
    }
    case 'a':
    case 'r': {
      sd_bus_message_enter_container(message, type, contents);
      json value = json::array();
      if (type == 'a' && contents[0] == '{') {
        value = json::object();
        const std::string entry(contents + 1, std::strlen(contents) - 2);
        while (sd_bus_message_enter_container(message, 'e', entry.c_str()) > 0) {
          const std::string key = ReadValue(message).get<std::string>();
          value[key] = ReadValue(message);
          sd_bus_message_exit_container(message);
        }
      } else {
        while (sd_bus_message_peek_type(message, nullptr, nullptr) > 0) {
          value.push_back(ReadValue(message));
        }
      }
      sd_bus_message_exit_container(message);
      return value;
    }
    default:
      ADD_FAILURE() << "unexpected type " << type;
      sd_bus_message_skip(message, nullptr);
      return nullptr;
  }
}

json ReadAll(sd_bus_message* message) {
  json all = json::array();
  while (sd_bus_message_peek_type(message, nullptr, nullptr) > 0) all.push_back(ReadValue(message));
  return all;
}

// A client of pxraidd, listening to every signal under its root from before
// the service starts.
class Client {
 public:
  explicit Client(const std::string& address) {
    int rc = sd_bus_new(&bus_);
    if (rc >= 0) rc = sd_bus_set_address(bus_, address.c_str());
    if (rc >= 0) rc = sd_bus_set_bus_client(bus_, 1);
    if (rc >= 0) rc = sd_bus_start(bus_);
    if (rc >= 0) {
      rc = sd_bus_add_match(bus_, nullptr, "type='signal',path_namespace='/org/pxraid/PxRaid1'",
                            &Client::OnSignal, this);
    }
    connected_ = rc >= 0;
  }
  ~Client() { sd_bus_flush_close_unref(bus_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connected() const { return connected_; }
  // Every signal so far: {"member", "path", "args"}.
  const std::vector<json>& signals() const { return signals_; }

  // Handles messages until `done` holds; false when it still does not
  // after the patience.
  bool PumpUntil(const std::function<bool()>& done) {
    for (const auto giveUp = Clock::now() + kPatience; Clock::now() < giveUp;) {
      while (sd_bus_process(bus_, nullptr) > 0) {
      }
      if (done()) return true;
      sd_bus_wait(bus_, 20000);
    }
    return done();
  }

  // Takes the service's name, as a broken service would that has it.
  bool OwnServiceName() { return sd_bus_request_name(bus_, service::kBusName, 0) >= 0; }

  bool ServiceOwnsName() {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const int rc = sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                      "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s",
                                      service::kBusName);
    int owned = 0;
    if (rc >= 0) sd_bus_message_read(reply, "b", &owned);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return owned != 0;
  }

  // The reply's arguments as JSON; null when the call failed.
  json Call(const char* path, const char* interface, const char* member) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    json result;
    if (sd_bus_call_method(bus_, service::kBusName, path, interface, member, &error, &reply, "") >=
        0) {
      result = ReadAll(reply);
    } else {
      ADD_FAILURE() << member << ": " << error.message;
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return result;
  }

  // GetHistory's JSON, or the D-Bus error's name.
  std::string History(const std::string& serial, const std::string& since) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    std::string result;
    if (sd_bus_call_method(bus_, service::kBusName, service::kRootPath, service::kManagerInterface,
                           "GetHistory", &error, &reply, "ss", serial.c_str(),
                           since.c_str()) >= 0) {
      const char* text = nullptr;
      if (sd_bus_message_read(reply, "s", &text) >= 0) result = text;
    } else {
      result = error.name;
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return result;
  }

  json Property(const char* path, const char* interface, const char* name) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    json result;
    if (sd_bus_get_property(bus_, service::kBusName, path, interface, name, &error, &reply, "s") >=
        0) {
      result = ReadValue(reply);
    } else {
      ADD_FAILURE() << name << ": " << error.message;
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return result;
  }

  json ManagedObjects() {
    const json reply =
        Call(service::kRootPath, "org.freedesktop.DBus.ObjectManager", "GetManagedObjects");
    return reply.is_array() ? reply[0] : json();
  }

  std::string Introspect(const std::string& path) {
    const json reply = Call(path.c_str(), "org.freedesktop.DBus.Introspectable", "Introspect");
    return reply.is_array() ? reply[0].get<std::string>() : std::string();
  }

 private:
  static int OnSignal(sd_bus_message* message, void* self, sd_bus_error*) {
    static_cast<Client*>(self)->signals_.push_back({{"member", sd_bus_message_get_member(message)},
                                                    {"path", sd_bus_message_get_path(message)},
                                                    {"args", ReadAll(message)}});
    return 0;
  }

  sd_bus* bus_ = nullptr;
  bool connected_ = false;
  std::vector<json> signals_;
};

// A private bus, a client listening on it, and pxraidd over `scenario` for
// `polls` polls, whose last state it goes on serving.
class ServiceRun {
 public:
  ServiceRun(const std::string& scenario, int polls)
      : folder_(MakeTempDirectory()), bus_(folder_), scenario_(scenario) {
    if (bus_.address().empty()) return;
    client_ = std::make_unique<Client>(bus_.address());
    if (!client_->connected()) return;
    service_ = std::make_unique<Child>(
        std::vector<std::string>{PXRAIDD_EXE, "--bus", bus_.address(), "--virtual", scenario,
                                 "--simulate-time", kStartTime, "--interval", "1", "--log-dir",
                                 (folder_ / "log").string(), "--polls", std::to_string(polls)},
        folder_ / "pxraidd.out");
  }
  ~ServiceRun() {
    client_.reset();
    service_.reset();
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  // The service is up: it owns its name.
  bool Up() {
    return service_ != nullptr && service_->Started() &&
           client_->PumpUntil([this] { return client_->ServiceOwnsName(); });
  }
  Client& client() { return *client_; }
  Child& service() { return *service_; }
  const std::string& address() const { return bus_.address(); }
  const fs::path& folder() const { return folder_; }
  std::string Output() const { return ReadFile(folder_ / "pxraidd.out"); }

  // What pxraid status --json says of the same scenario.
  json Status() const {
    const RunResult status =
        RunPxraid(Virtual(scenario_, {"status", "--json", "--log-dir", (folder_ / "st").string()}));
    return json::parse(status.out);
  }

 private:
  fs::path folder_;
  TestBus bus_;
  std::string scenario_;
  std::unique_ptr<Client> client_;
  std::unique_ptr<Child> service_;
};

// The Enclosure properties status --json's `enclosure` implies.
json ExpectedProperties(const json& enclosure) {
  json members = json::array();
  for (const json& member : enclosure["members"]) {
    members.push_back({member["port"], member["state"], member["model"], member["serial"],
                       member["capacity_sectors"]});
  }
  const json& rebuild = enclosure["rebuild"];
  return {{"Id", enclosure["id"]},
          {"Device", enclosure["device"]},
          {"Drive", enclosure["drive"]},
          {"Node", enclosure["node"].is_null() ? json("") : enclosure["node"]},
          {"Name", enclosure["name"]},
          {"Firmware", enclosure["firmware"]},
          {"Mode", enclosure["mode"]},
          {"Health", enclosure["health"]},
          {"Reason", enclosure["reason"]},
          {"StatusRead", enclosure["status_read"]},
          {"Members", members},
          {"RebuildRunning", rebuild["running"]},
          {"RebuildDirection", rebuild["direction"].is_null() ? json("") : rebuild["direction"]},
          {"RebuildPercent", rebuild["percent"].is_null() ? json(0) : rebuild["percent"]},
          {"RebuildRemainingSeconds",
           rebuild["remaining_seconds"].is_null() ? json(-1) : rebuild["remaining_seconds"]}};
}

TEST(EnclosurePath, KeepsLettersAndDigitsAndEscapesEveryOtherByte) {
  const struct {
    const char* id;
    const char* leaf;
  } cases[] = {
      {"usb-152d-0567-SERIAL", "usb_2d152d_2d0567_2dSERIAL"},
      {"usb-port-2-1.3", "usb_2dport_2d2_2d1_2e3"},
      {"virtual-1", "virtual_2d1"},
      {"drive-3", "drive_2d3"},
      {"a_b c/\xff", "a_5fb_20c_2f_ff"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(service::EnclosurePath(c.id), std::string(service::kEnclosuresPath) + "/" + c.leaf)
        << c.id;
  }
}

// Each scenario's objects, overall health and JSON answer, once its one
// poll is served, against status --json for the same scenario.
TEST(Pxraidd, ServesWhatStatusSays) {
  for (const char* scenario :
       {"two-enclosures", "failed-member", "rebuilding-mirror", "latin1-model"}) {
    SCOPED_TRACE(scenario);
    ServiceRun run(scenario, 1);
    ASSERT_TRUE(run.Up()) << run.Output();
    const json status = run.Status();
    ASSERT_FALSE(status["enclosures"].empty());

    const json objects = run.client().ManagedObjects();
    EXPECT_EQ(objects.size(), status["enclosures"].size()) << objects.dump(2);
    for (const json& enclosure : status["enclosures"]) {
      const std::string path = service::EnclosurePath(enclosure["id"].get<std::string>());
      ASSERT_TRUE(objects.contains(path)) << path << " in " << objects.dump(2);
      EXPECT_EQ(objects[path][service::kEnclosureInterface], ExpectedProperties(enclosure));
    }

    EXPECT_EQ(run.client().Property(service::kRootPath, service::kManagerInterface, "Health"),
              status["health"]);
    const json answer =
        run.client().Call(service::kRootPath, service::kManagerInterface, "GetStatusJson");
    ASSERT_TRUE(answer.is_array()) << run.Output();
    EXPECT_EQ(json::parse(answer[0].get<std::string>()), status);
  }
}

// The P1 states an enclosure's object went through, from the signals.
std::vector<std::string> P1States(const std::vector<json>& signals,
                                  std::set<std::string>* serials) {
  std::vector<std::string> states;
  const auto note = [&](const json& properties) {
    if (!properties.contains("Members")) return;
    const json& p1 = properties["Members"][1];
    if (states.empty() || states.back() != p1[1]) states.push_back(p1[1]);
    if (p1[1] == "ready") serials->insert(p1[3].get<std::string>());
  };
  for (const json& signal : signals) {
    if (signal["member"] == "InterfacesAdded" &&
        signal["args"][1].contains(service::kEnclosureInterface)) {
      note(signal["args"][1][service::kEnclosureInterface]);
    } else if (signal["member"] == "PropertiesChanged" &&
               signal["args"][0] == service::kEnclosureInterface) {
      note(signal["args"][1]);
    }
  }
  return states;
}

bool Seen(const std::vector<json>& signals, const std::string& member, const std::string& first) {
  for (const json& signal : signals) {
    if (signal["member"] == member && signal["args"][0] == first) return true;
  }
  return false;
}

bool EventSeen(const std::vector<json>& signals, const std::string& name) {
  for (const json& signal : signals) {
    if (signal["member"] == "Event" && signal["args"][1] == name) return true;
  }
  return false;
}

TEST(Pxraidd, TellsAMemberReplacedAndRebuiltAsPollsGoBy) {
  ServiceRun run("member-replaced", 16);
  ASSERT_TRUE(run.Up()) << run.Output();
  const auto& signals = run.client().signals();
  std::set<std::string> serials;
  // Pulled, replaced, rebuilt: ready again with another disk.
  const bool told = run.client().PumpUntil([&] {
    serials.clear();
    const std::vector<std::string> states = P1States(signals, &serials);
    return serials.size() == 2 && states.back() == "ready" && EventSeen(signals, "MemberRemoved");
  });
  serials.clear();
  const std::vector<std::string> states = P1States(signals, &serials);
  ASSERT_TRUE(told) << json(signals).dump(1) << run.Output();
  EXPECT_EQ(states.front(), "ready");
  EXPECT_NE(std::find(states.begin(), states.end(), "absent"), states.end()) << json(states);

  bool rebuilding = false;
  std::string removedFrom;
  for (const json& signal : signals) {
    if (signal["member"] == "PropertiesChanged" && signal["args"][1].contains("RebuildRunning")) {
      rebuilding = rebuilding || signal["args"][1]["RebuildRunning"].get<bool>();
    }
    if (signal["member"] == "Event" && signal["args"][1] == "MemberRemoved") {
      removedFrom = signal["args"][0];
      EXPECT_EQ(signal["args"][2], "critical") << signal.dump();
    }
  }
  EXPECT_TRUE(rebuilding);
  EXPECT_EQ(removedFrom, run.Status()["enclosures"][0]["id"]);
}

// The member history the service keeps, as pxraid history reads it, with
// the history's warnings among the Event signals.
TEST(Pxraidd, GetHistoryIsWhatPxraidHistorySays) {
  ServiceRun run("disks-mixed-up", 20);
  ASSERT_TRUE(run.Up()) << run.Output();
  ASSERT_TRUE(run.client().PumpUntil([&] {
    return EventSeen(run.client().signals(), "SmallerMember");
  })) << run.Output();
  for (const char* warning : {"MembersSwapped", "RepeatFailure", "ForeignMember"}) {
    EXPECT_TRUE(EventSeen(run.client().signals(), warning)) << warning;
  }
  const std::string file = (run.folder() / "log" / "history.sqlite").string();
  struct Case {
    std::string serial;
    std::string since;
  } cases[] = {{"", ""}, {"", "2026-12-07T10:00:10"}, {"WD-WCC3F0000001", ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.serial + " " + c.since);
    std::vector<std::string> args{"history", "--history", file, "--json"};
    if (!c.serial.empty()) args.insert(args.end(), {"--serial", c.serial});
    if (!c.since.empty()) args.insert(args.end(), {"--since", c.since});
    const RunResult direct = RunPxraid(args);
    ASSERT_EQ(direct.exitCode, 0) << direct.err;
    EXPECT_EQ(run.client().History(c.serial, c.since), direct.out);
  }
  EXPECT_EQ(run.client().History("", "yesterday"), "org.freedesktop.DBus.Error.InvalidArgs");
}

TEST(Pxraidd, AnEnclosurePluggedInAppearsAsAnObject) {
  ServiceRun run("enclosure-plugged-in", 4);
  ASSERT_TRUE(run.Up()) << run.Output();
  std::vector<std::string> added;
  const bool both = run.client().PumpUntil([&] {
    added.clear();
    for (const json& signal : run.client().signals()) {
      if (signal["member"] == "InterfacesAdded") added.push_back(signal["args"][0]);
    }
    return added.size() == 2;
  });
  ASSERT_TRUE(both) << json(run.client().signals()).dump(1);
  EXPECT_NE(added[0], added[1]);
  const json objects = run.client().ManagedObjects();
  for (const std::string& path : added) {
    ASSERT_TRUE(objects.contains(path)) << objects.dump(2);
    EXPECT_EQ(service::EnclosurePath(objects[path][service::kEnclosureInterface]["Id"]), path);
  }
  EXPECT_FALSE(Seen(run.client().signals(), "InterfacesRemoved", added[0]));
}

// The members of the named interfaces in introspection XML, as "property
// Name type", "method Name in:name:type,out:..." and "signal Name name:type".
std::set<std::string> Members(const std::string& xml, const std::set<std::string>& interfaces) {
  static const std::regex tag(R"(<(/?)(interface|property|method|signal|arg)\b([^>]*)>)");
  static const std::regex attribute(R"re((\w+)="([^"]*)")re");
  const std::string text = std::regex_replace(xml, std::regex(R"(<!--[\s\S]*?-->)"), "");
  std::set<std::string> members;
  std::string interface;
  std::string member;
  std::string args;
  for (std::sregex_iterator it(text.begin(), text.end(), tag), end; it != end; ++it) {
    const bool closing = (*it)[1] == "/";
    const std::string kind = (*it)[2];
    const std::string rest = (*it)[3];
    std::map<std::string, std::string> attributes;
    for (std::sregex_iterator a(rest.begin(), rest.end(), attribute); a != end; ++a) {
      attributes[(*a)[1]] = (*a)[2];
    }
    const bool selfClosing = !rest.empty() && rest.back() == '/';
    if (kind == "interface") {
      interface = closing ? "" : attributes["name"];
    } else if (!interfaces.contains(interface)) {
      continue;
    } else if (kind == "property") {
      if (!closing) {
        members.insert(interface + " property " + attributes["name"] + " " + attributes["type"]);
      }
    } else if (kind == "arg") {
      args += (args.empty() ? "" : ",") +
              (attributes.contains("direction") ? attributes["direction"] + ":" : "") +
              attributes["name"] + ":" + attributes["type"];
    } else if (!closing) {
      member = interface + " " + kind + " " + attributes["name"];
      args.clear();
      if (selfClosing) members.insert(member + " ");
    } else {
      members.insert(member + " " + args);
    }
  }
  return members;
}

// pxraid status on the machine's own disks (no --virtual), with the test's
// bus as the system bus.
RunResult StatusOnBus(const std::string& address, const fs::path& folder,
                      std::vector<std::string> args) {
  std::vector<std::string> all{"status", "--log-dir", (folder / "st").string()};
  all.insert(all.end(), args.begin(), args.end());
  PxraidProcess process(all, "", {}, {"DBUS_SYSTEM_BUS_ADDRESS=" + address});
  return process.Wait();
}

void ExpectSameAnswer(const RunResult& got, const RunResult& expected) {
  EXPECT_EQ(got.out, expected.out);
  EXPECT_EQ(got.err, expected.err);
  EXPECT_EQ(got.exitCode, expected.exitCode);
  EXPECT_EQ(got.signal, 0);
}

// While the service runs, status without --virtual answers from it, as a
// run of its own over the service's scenario answers: every format, every
// drive, one drive and a drive with none. Both polled at the same simulated
// moment (the start, plus discovery's waits), so the metrics' poll time
// matches too.
TEST(PxraidStatus, AnswersFromTheServiceAsADirectRunWould) {
  const std::vector<std::vector<std::string>> formats = {
      {}, {"--json"}, {"--format", "prometheus"}};
  const std::vector<std::vector<std::string>> drives = {{}, {"--drive", "2"}, {"--drive", "7"}};
  for (const char* scenario : {"two-enclosures", "failed-member"}) {
    ServiceRun run(scenario, 1);
    ASSERT_TRUE(run.Up()) << run.Output();
    for (const auto& format : formats) {
      for (const auto& drive : drives) {
        std::vector<std::string> args = format;
        args.insert(args.end(), drive.begin(), drive.end());
        SCOPED_TRACE(std::string(scenario) + " " + json(args).dump());
        std::vector<std::string> direct{"status", "--log-dir", (run.folder() / "st").string()};
        direct.insert(direct.end(), args.begin(), args.end());
        const RunResult expected = RunPxraid(Virtual(scenario, direct));
        ASSERT_FALSE(expected.out.empty() && expected.err.empty());
        ExpectSameAnswer(StatusOnBus(run.address(), run.folder(), args), expected);
      }
    }
  }
}

// With no service on the bus, status reads the disks itself, as --direct
// does; and --direct reads them while the service runs, not its answer.
TEST(PxraidStatus, ReadsTheDisksWithoutAServiceOrWithDirect) {
  const fs::path folder = MakeTempDirectory();
  RunResult machine;
  {
    const TestBus bus(folder);
    ASSERT_FALSE(bus.address().empty());
    machine = StatusOnBus(bus.address(), folder, {"--json", "--direct"});
    ExpectSameAnswer(StatusOnBus(bus.address(), folder, {"--json"}), machine);
  }
  std::error_code ignored;
  fs::remove_all(folder, ignored);

  ServiceRun run("two-enclosures", 1);
  ASSERT_TRUE(run.Up()) << run.Output();
  const RunResult served = StatusOnBus(run.address(), run.folder(), {"--json"});
  EXPECT_EQ(served.exitCode, 0) << served.err;
  const RunResult direct = StatusOnBus(run.address(), run.folder(), {"--json", "--direct"});
  ExpectSameAnswer(direct, machine);
  EXPECT_NE(direct.out, served.out);
}

// A name owner that does not serve the Manager: status says so once and
// reads the disks here, answering as --direct does.
TEST(PxraidStatus, FallsBackToTheDisksWhenTheServiceFails) {
  const fs::path folder = MakeTempDirectory();
  {
    const TestBus bus(folder);
    ASSERT_FALSE(bus.address().empty());
    Client impostor(bus.address());
    ASSERT_TRUE(impostor.connected() && impostor.OwnServiceName());
    std::atomic<bool> done = false;
    std::thread serving([&] { impostor.PumpUntil([&] { return done.load(); }); });
    const RunResult direct = StatusOnBus(bus.address(), folder, {"--direct"});
    const RunResult got = StatusOnBus(bus.address(), folder, {});
    done = true;
    serving.join();
    EXPECT_EQ(got.out, direct.out);
    EXPECT_EQ(got.exitCode, direct.exitCode);
    // sd-bus's words for the object it does not have, then the direct run's.
    const std::regex said(
        "pxraid: the service did not answer \\(.*PxRaid1.*\\); reading the "
        "enclosures directly\n");
    std::smatch first;
    ASSERT_TRUE(std::regex_search(got.err, first, said)) << got.err;
    EXPECT_EQ(first.position(0), 0) << got.err;
    EXPECT_EQ(first.suffix().str(), direct.err);
  }
  std::error_code ignored;
  fs::remove_all(folder, ignored);
}

TEST(Pxraidd, IntrospectionMatchesTheInterfacesDocument) {
  ServiceRun run("two-enclosures", 1);
  ASSERT_TRUE(run.Up()) << run.Output();
  const std::string document = ReadFile(PX_INTERFACES_XML);
  const std::string enclosure = service::EnclosurePath(run.Status()["enclosures"][0]["id"]);
  std::set<std::string> served =
      Members(run.client().Introspect(service::kRootPath), {service::kManagerInterface});
  served.merge(Members(run.client().Introspect(enclosure), {service::kEnclosureInterface}));
  const std::set<std::string> documented =
      Members(document, {service::kManagerInterface, service::kEnclosureInterface});
  EXPECT_FALSE(documented.empty());
  EXPECT_EQ(served, documented);
}

TEST(Pxraidd, EndsOnSigtermWithItsBusThread) {
  ServiceRun run("two-enclosures", 0);
  ASSERT_TRUE(run.Up()) << run.Output();
  int status = -1;
  ASSERT_TRUE(run.service().Stop(&status)) << "still running after SIGTERM";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << run.Output();
  EXPECT_FALSE(run.client().ServiceOwnsName());
}

}  // namespace
}  // namespace px::test
