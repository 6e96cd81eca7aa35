// How responsive the main window stays while it talks to a slow enclosure:
// the longest time its event loop goes without running, during a status poll
// of two devices and during a full firmware upgrade, over the virtual bus at
// 0.375 ms per read; and the time from start to the first painted window.
// Figures are printed, not judged. Run by hand: it takes about a minute.

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>

#include "app/form1_main.h"
#include "sim/demo_scenarios.h"
#include "sim/virtual_bus.h"
#include "support/recording_ui.h"

namespace {

constexpr uint32_t kReadLatencyMicros = 375;

// The longest gap between two turns of the event loop while `work` runs.
double LongestStallMs(const std::function<void()>& work) {
  QElapsedTimer clock;
  clock.start();
  qint64 last = clock.nsecsElapsed();
  qint64 longest = 0;
  QTimer beat;
  beat.setInterval(0);
  QObject::connect(&beat, &QTimer::timeout, [&] {
    const qint64 now = clock.nsecsElapsed();
    longest = std::max(longest, now - last);
    last = now;
  });
  beat.start();
  QCoreApplication::processEvents();
  last = clock.nsecsElapsed();
  work();
  longest = std::max(longest, clock.nsecsElapsed() - last);
  return static_cast<double>(longest) / 1e6;
}

// Runs the event loop until `done` holds.
void RunUntil(const std::function<bool()>& done) {
  while (!done()) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

class FirstPaint final : public QObject {
 public:
  bool painted = false;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint) painted = true;
    return QObject::eventFilter(watched, event);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QTemporaryDir work;

  px::sim::VirtualBus bus;
  bus.AttachPlainDisk(0);
  bus.AttachEnclosure(1);
  bus.AttachEnclosure(2);
  bus.SetReadLatencyMicros(kReadLatencyMicros);
  px::test::RecordingMessages messages;
  const std::filesystem::path firmware =
      std::filesystem::path(work.path().toStdString()) / "fw.bin";
  {
    const std::vector<uint8_t> image = px::sim::DemoFirmwareFile();
    std::ofstream(firmware, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
  }

  QElapsedTimer startClock;
  startClock.start();
  px::app::FormServices services;
  services.transport = &bus;
  services.messages = &messages;
  services.logDirectory = work.path().toStdString();
  services.chooseFirmwareFile = [&] { return std::optional<std::filesystem::path>(firmware); };
  px::app::TForm1 form(std::move(services));
  FirstPaint paint;
  form.installEventFilter(&paint);
  form.show();
  RunUntil([&] { return paint.painted; });
  std::printf("start to first painted window: %.1f ms\n",
              static_cast<double>(startClock.nsecsElapsed()) / 1e6);

  // Detection, layout and the first poll run by the window's own timers.
  RunUntil([&] {
    return form.state().monitor.PollCount >= 1 &&
           (form.state().monitor.MonitorRequests.load() & ~px::kMonitoringActive) == 0 &&
           !form.DeviceWorkRunning();
  });

  const uint32_t polls = form.state().monitor.PollCount;
  QElapsedTimer pollClock;
  pollClock.start();
  const double pollStall = LongestStallMs([&] {
    form.Timer2Timer();
    RunUntil([&] {
      return form.state().monitor.PollCount > polls &&
             (form.state().monitor.MonitorRequests.load() & px::kPollStatus) == 0 &&
             !form.DeviceWorkRunning();
    });
  });
  std::printf("status poll of two devices: %.0f ms, longest event-loop stall %.1f ms\n",
              static_cast<double>(pollClock.elapsed()), pollStall);

  form.BitBtn1Click();
  QElapsedTimer upgradeClock;
  upgradeClock.start();
  const double upgradeStall = LongestStallMs([&] { form.Button2Click(); });
  const auto boxes = messages.boxes();
  std::printf("full upgrade: %.1f s, longest event-loop stall %.1f ms, final box \"%s\"\n",
              static_cast<double>(upgradeClock.elapsed()) / 1e3, upgradeStall,
              boxes.empty() ? "" : boxes.back().title.c_str());
  form.close();
  return 0;
}
