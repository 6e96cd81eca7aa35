#pragma once

// What the tests of pxraidd share: a private message bus of Debian's
// dbus-daemon, children ended with the test, and a client that reads
// anything the service says as JSON.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "service/bus_service.h"

extern char** environ;

namespace px::test {

namespace fs = std::filesystem;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

// Limits that only keep a broken set-up from hanging the suite.
inline constexpr std::chrono::seconds kPatience{60};

inline fs::path MakeTempDirectory() {
  std::string pattern = (fs::temp_directory_path() / "pxraidd-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

inline std::string ReadFile(const fs::path& path) {
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
// lets every user connect, own and call anything: the test's bus, not the system's.
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
           "    <allow user=\"*\"/>\n"
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
inline json ReadValue(sd_bus_message* message) {
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

inline json ReadAll(sd_bus_message* message) {
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

}  // namespace px::test
