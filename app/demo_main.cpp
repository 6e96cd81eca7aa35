// The demo: the whole program over a virtual bus with two enclosures and the
// host's own disk, and a two-minute story a user can watch without any
// hardware: a mirror member pulled out, put back and rebuilt, then a whole
// enclosure unplugged and plugged in again. Where the desktop has a tray, its
// icon and notifications follow the story; --no-notifications quiets them.
// --help and --version answer; everything else is the toolkit's.

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>

#include "app/application.h"
#include "app/form1_main.h"
#include "common/clock.h"
#include "common/files.h"
#include "eventlog/log_file.h"
#include "sim/demo_scenarios.h"
#include "sim/demo_timeline.h"
#include "sim/virtual_bus.h"

namespace {

const px::app::CommandLineHelp kHelp{
    "pxgui-demo", "",
    "The window over virtual enclosures and their story, for trying it without hardware.", ""};

constexpr char kFirmwareFileName[] = "pxdemo-firmware.bin";
constexpr int kTimelineTickMs = 250;
constexpr int kStartCheckMs = 500;

// A firmware file the demo enclosures accept, so that "Load Firmware " and
// "Start Upgrade" have something to work with. Beside the program when that
// folder is writable, else where the log goes.
void WriteDemoFirmware() {
  const std::filesystem::path directory = px::ChooseLogDirectory(
      std::filesystem::path(QCoreApplication::applicationDirPath().toStdU16String()));
  const std::filesystem::path path = directory / kFirmwareFileName;
  const std::vector<uint8_t> image = px::sim::DemoFirmwareFile();
  const std::string_view bytes(reinterpret_cast<const char*>(image.data()), image.size());
  if (!px::ReplaceFileBytes(path, bytes, px::FileAccess::AsBefore, false)) {
    std::printf("pxgui-demo: firmware file for \"Load Firmware \": %s\n", path.string().c_str());
  } else {
    std::fprintf(stderr, "pxgui-demo: cannot write %s\n", path.string().c_str());
  }
  std::fflush(stdout);
}

// The story shows only while the window polls, so the demo presses "Start"
// for the user as soon as the first detection has laid out the devices.
void StartMonitoringOnce(px::app::TForm1& form) {
  auto* check = new QTimer(&form);
  check->setInterval(kStartCheckMs);
  QObject::connect(check, &QTimer::timeout, &form, [&form, check] {
    if (!form.Button10->isEnabled()) return;
    check->stop();
    check->deleteLater();
    form.Button10->click();
    std::printf("pxgui-demo: devices laid out, monitoring started\n");
    std::fflush(stdout);
  });
  check->start();
}

}  // namespace

int main(int argc, char** argv) {
  if (const std::optional<int> answered = px::app::AnswerHelpOrVersion(argc, argv, kHelp)) {
    return *answered;
  }
  px::sim::VirtualBus bus;
  px::sim::FindDemoScenario("two-enclosures")->build(bus);
  px::SteadyClock clock;
  px::sim::DemoTimeline timeline(clock, px::sim::kDemoStoryMs);
  px::sim::AddDemoStory(timeline, bus);

  px::app::AppEnvironment env;
  env.help = kHelp;
  // The main window owns its transport; the demo keeps the bus, which the
  // story changes while the window runs.
  env.makeTransport = [&bus] { return std::make_unique<px::ForwardingTransport>(bus); };
  // The story's disks are none of the user's: the demo remembers none of
  // them beside the user's own.
  env.keepsHistory = false;
  env.onStarted = [&bus, &timeline](px::app::TForm1& form) {
    bus.SetDeviceChangeCallback([&form] { form.DeviceChanged(); });
    QObject::connect(&form, &QObject::destroyed, [&bus] { bus.SetDeviceChangeCallback({}); });
    WriteDemoFirmware();
    StartMonitoringOnce(form);
    auto* ticker = new QTimer(&form);
    ticker->setInterval(kTimelineTickMs);
    QObject::connect(ticker, &QTimer::timeout, &form, [&timeline] {
      if (timeline.Tick() > 0) {
        std::printf("pxgui-demo: %s\n", timeline.Caption().c_str());
        std::fflush(stdout);
      }
    });
    timeline.Start();
    ticker->start();
  };
  return px::app::RunApplication(argc, argv, std::move(env));
}
