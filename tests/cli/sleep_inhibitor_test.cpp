// pxraid keeps the machine awake during an upgrade by asking logind, over a
// real dbus-daemon, with a stand-in logind that records what it was asked
// and sees when the caller lets go.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "bus/logind_inhibitor.h"
#include "cli/pxraid_process.h"
#include "sim/demo_scenarios.h"
#include "support/logind_stand_in.h"
#include "unit/eventlog/log_test_support.h"

namespace px::test {
namespace {

using Answer = LogindStandIn::Answer;

constexpr char kWhy[] = "Firmware upgrade in progress";
constexpr char kNoticeStart[] =
    "Firmware upgrade in progress, but sleep and shutdown are not held off (";

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

// The system bus, as every child started meanwhile sees it.
class SystemBusAddress {
 public:
  explicit SystemBusAddress(const std::string& address) {
    if (const char* old = std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) old_ = old;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
  }
  ~SystemBusAddress() {
    if (old_) {
      ::setenv("DBUS_SYSTEM_BUS_ADDRESS", old_->c_str(), 1);
    } else {
      ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
  }
  SystemBusAddress(const SystemBusAddress&) = delete;
  SystemBusAddress& operator=(const SystemBusAddress&) = delete;

 private:
  std::optional<std::string> old_;
};

// Without a daemon the test cannot say anything: it must be seen skipping.
std::string SkipReason(const PrivateBus& bus) {
  return "SKIPPED: no private dbus-daemon (" + bus.failure() +
         "); install the dbus package (scripts/install-deps.sh) to run this test";
}

TEST(LogindInhibitor, AsksForABlockOnSleepAndShutdownAndLetsGoOnRelease) {
  struct Case {
    const char* name;
    std::optional<Answer> logind;  // none: nobody owns the name
    std::size_t calls;             // over two upgrades
    std::string notice;            // the start of what the user is told, once
  } cases[] = {
      {"logind grants", Answer::Grant, 2, ""},
      {"logind refuses", Answer::Refuse, 2,
       std::string(kNoticeStart) + "logind: Permission denied"},
      {"no logind on the bus", std::nullopt, 0, std::string(kNoticeStart) + "logind: "},
  };
  PrivateBus bus;
  if (bus.address().empty()) GTEST_SKIP() << SkipReason(bus);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<LogindStandIn> logind;
    if (c.logind) {
      logind.emplace(bus.address(), *c.logind);
      ASSERT_EQ(logind->failure(), "");
    }
    std::vector<std::string> notices;
    bus::SdBusLogindInhibitor inhibitor(
        "pxraid", [&](std::string_view text) { notices.emplace_back(text); }, bus.address());
    for (int upgrade = 0; upgrade < 2; ++upgrade) {
      inhibitor.Acquire(kWhy);
      if (logind) {
        EXPECT_EQ(logind->Held(), c.logind == Answer::Grant ? 1 : 0);
      }
      inhibitor.Release();
      if (logind) {
        EXPECT_TRUE(logind->AllReleased());
      }
    }
    if (logind) {
      const LogindStandIn::Call call{"sleep:shutdown", "pxraid", kWhy, "block"};
      EXPECT_EQ(logind->Calls(), std::vector<LogindStandIn::Call>(c.calls, call));
    }
    if (c.notice.empty()) {
      EXPECT_TRUE(notices.empty()) << notices.front();
    } else {
      ASSERT_EQ(notices.size(), 1u);
      EXPECT_EQ(notices[0].rfind(c.notice, 0), 0u) << notices[0];
    }
  }
}

TEST(LogindInhibitor, NoBusAtAllIsToldOnceAndTheWorkGoesOn) {
  std::vector<std::string> notices;
  bus::SdBusLogindInhibitor inhibitor(
      "pxraid", [&](std::string_view text) { notices.emplace_back(text); },
      "unix:path=/nonexistent/px-no-bus");
  for (int upgrade = 0; upgrade < 2; ++upgrade) {
    inhibitor.Acquire(kWhy);
    inhibitor.Release();
  }
  EXPECT_EQ(notices,
            std::vector<std::string>{std::string(kNoticeStart) +
                                     "no system bus: No such file or directory): do not let this "
                                     "machine sleep or shut down until it ends."});
}

// The real tool on the virtual enclosure, its system bus the private one.
TEST(LogindInhibitor, PxraidHoldsItForTheUpgradeOrSaysOnceThatItCannot) {
  PrivateBus bus;
  if (bus.address().empty()) GTEST_SKIP() << SkipReason(bus);
  TempDir dir;
  const std::filesystem::path file = dir.path() / "fw.bin";
  const std::vector<uint8_t> image = sim::DemoFirmwareFile();
  WriteBytes(file, std::string(image.begin(), image.end()));
  const SystemBusAddress systemBus(bus.address());
  for (const bool logindThere : {true, false}) {
    SCOPED_TRACE(logindThere ? "logind there" : "no logind");
    std::optional<LogindStandIn> logind;
    if (logindThere) logind.emplace(bus.address(), Answer::Grant);
    const RunResult run =
        RunPxraid(Virtual("healthy-mirror", {"firmware", "upgrade", file.string(), "--yes",
                                             "--log-dir", dir.path().string()}));
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Count(run.out, "SPI Verify OK\n"), 1u);
    if (logind) {
      EXPECT_EQ(logind->Calls(),
                (std::vector<LogindStandIn::Call>{{"sleep:shutdown", "pxraid", kWhy, "block"}}));
      EXPECT_TRUE(logind->AllReleased());
      EXPECT_EQ(Count(run.err, "not held off"), 0u) << run.err;
    } else {
      EXPECT_EQ(Count(run.err, std::string("pxraid: ") + kNoticeStart), 1u) << run.err;
    }
  }
}

}  // namespace
}  // namespace px::test
