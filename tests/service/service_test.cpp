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
#include "service/bus_fixture.h"
#include "service/bus_service.h"

namespace px::test {
namespace {

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
        std::vector<std::string>{PXRAIDD_TEST_EXE, "--bus", bus_.address(), "--virtual", scenario,
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
      json served = objects[path][service::kEnclosureInterface];
      // The records are the controller's layout, which status does not
      // print; the window's test reads them back into the same texts.
      for (const char* record : {"StatusRecord", "ConfigRecord"}) {
        EXPECT_EQ(served[record].size(), px::kSectorSize) << record;
        served.erase(record);
      }
      EXPECT_EQ(served, ExpectedProperties(enclosure));
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

// pxraid monitor --events follows the service's Event signals from before it
// starts: each told once, in order, as a line and as JSON.
TEST(PxraidMonitor, FollowsTheServiceEvents) {
  const fs::path folder = MakeTempDirectory();
  {
    const TestBus bus(folder);
    ASSERT_FALSE(bus.address().empty());
    Client client(bus.address());
    const std::vector<std::string> environment{"DBUS_SYSTEM_BUS_ADDRESS=" + bus.address()};
    PxraidProcess text({"monitor", "--events"}, "", {}, environment);
    PxraidProcess machine({"monitor", "--events", "--json"}, "", {}, environment);
    for (PxraidProcess* follower : {&text, &machine}) {
      ASSERT_TRUE(follower->ReadErrorUntil([](const std::string& err) {
        return err.find("pxraidd is not running; waiting for it") != std::string::npos;
      }));
    }
    Child service({PXRAIDD_TEST_EXE, "--bus", bus.address(), "--virtual", "member-replaced",
                   "--simulate-time", kStartTime, "--interval", "1", "--log-dir",
                   (folder / "log").string(), "--polls", "16"},
                  folder / "pxraidd.out");
    ASSERT_TRUE(client.PumpUntil([&] { return EventSeen(client.signals(), "RebuildFinished"); }))
        << ReadFile(folder / "pxraidd.out");
    std::vector<std::string> told;
    for (const json& signal : client.signals()) {
      if (signal["member"] != "Event") continue;
      const json& args = signal["args"];
      told.push_back(args[1].get<std::string>() + " " + args[2].get<std::string>() + " " +
                     args[0].get<std::string>() + ": " + args[3].get<std::string>());
    }
    const auto hasAll = [&told](const std::string& out) {
      return std::count(out.begin(), out.end(), '\n') >= static_cast<std::ptrdiff_t>(told.size());
    };
    ASSERT_TRUE(text.ReadUntil(hasAll));
    ASSERT_TRUE(machine.ReadUntil(hasAll));
    text.Signal(SIGTERM);
    machine.Signal(SIGTERM);
    const RunResult lines = text.Wait();
    const RunResult objects = machine.Wait();
    EXPECT_EQ(lines.exitCode, 0) << lines.err;
    EXPECT_EQ(lines.OutLines(), told);
    ASSERT_EQ(objects.OutLines().size(), told.size());
    for (std::size_t i = 0; i < told.size(); ++i) {
      const json event = json::parse(objects.OutLines()[i]);
      EXPECT_EQ(event["name"].get<std::string>() + " " + event["severity"].get<std::string>() +
                    " " + event["enclosure"].get<std::string>() + ": " +
                    event["message"].get<std::string>(),
                told[i]);
      EXPECT_EQ(event["json_format_version"], json::array({1, 0}));
    }
  }
  std::error_code ignored;
  fs::remove_all(folder, ignored);
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
// drive, one drive and a drive with none, an enclosure named by its id, by
// a member's serial and by a name that fits none. Both polled at the same
// simulated moment (the start, plus discovery's waits), so the metrics'
// poll time matches too.
TEST(PxraidStatus, AnswersFromTheServiceAsADirectRunWould) {
  const std::vector<std::vector<std::string>> formats = {
      {}, {"--json"}, {"--format", "prometheus"}, {"--format", "nagios"}};
  for (const char* scenario : {"two-enclosures", "failed-member"}) {
    const json enclosures =
        json::parse(RunPxraid(Virtual(scenario, {"status", "--json"})).out).at("enclosures");
    const std::vector<std::vector<std::string>> drives = {
        {},
        {"--drive", "2"},
        {"--drive", "7"},
        {"--enclosure", enclosures.back().at("id")},
        {"--enclosure", enclosures.front().at("members")[1].at("serial")},
        {"--enclosure", "nowhere"}};
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

// The options only tests give are pxraidd-test's: the shipped service
// refuses each before it goes near a bus.
TEST(Pxraidd, TheShippedServiceTakesNoTestOption) {
  for (const std::vector<std::string>& option :
       {std::vector<std::string>{"--simulate-time", kStartTime},
        {"--read-latency", "0"},
        {"--polls", "1"}}) {
    std::vector<std::string> args{"--bus", "unix:path=/nonexistent", "--virtual", "healthy-mirror"};
    args.insert(args.end(), option.begin(), option.end());
    const RunResult shipped = RunProgram(PXRAIDD_EXE, args);
    EXPECT_NE(shipped.exitCode, 0) << option[0];
    EXPECT_NE(shipped.err.find("not expected: " + option[1] + " " + option[0]), std::string::npos)
        << shipped.err;
  }
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
