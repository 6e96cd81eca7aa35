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

constexpr qint64 kTargetNs = 50'000'000;

struct Stalls {
  double longestMs = 0;
  int overTarget = 0;  // gaps over 50 ms; a lone one on a busy machine is the scheduler's
  int turns = 0;
};

// The gaps between turns of the event loop while `work` runs.
Stalls MeasureStalls(const std::function<void()>& work) {
  QElapsedTimer clock;
  clock.start();
  Stalls stalls;
  qint64 last = 0;
  qint64 longest = 0;
  const auto gap = [&] {
    const qint64 now = clock.nsecsElapsed();
    longest = std::max(longest, now - last);
    if (now - last > kTargetNs) ++stalls.overTarget;
    ++stalls.turns;
    last = now;
  };
  QTimer beat;
  beat.setInterval(0);
  QObject::connect(&beat, &QTimer::timeout, gap);
  beat.start();
  QCoreApplication::processEvents();
  last = clock.nsecsElapsed();
  work();
  gap();
  stalls.longestMs = static_cast<double>(longest) / 1e6;
  return stalls;
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
  const Stalls pollStalls = MeasureStalls([&] {
    form.Timer2Timer();
    RunUntil([&] {
      return form.state().monitor.PollCount > polls &&
             (form.state().monitor.MonitorRequests.load() & px::kPollStatus) == 0 &&
             !form.DeviceWorkRunning();
    });
  });
  std::printf(
      "status poll of two devices: %.0f ms, longest event-loop stall %.1f ms, "
      "%d of %d gaps over 50 ms\n",
      static_cast<double>(pollClock.elapsed()), pollStalls.longestMs, pollStalls.overTarget,
      pollStalls.turns);

  form.BitBtn1Click();
  QElapsedTimer upgradeClock;
  upgradeClock.start();
  const Stalls upgradeStalls = MeasureStalls([&] { form.Button2Click(); });
  const auto boxes = messages.boxes();
  std::printf(
      "full upgrade: %.1f s, longest event-loop stall %.1f ms, %d of %d gaps over 50 ms, "
      "final box \"%s\"\n",
      static_cast<double>(upgradeClock.elapsed()) / 1e3, upgradeStalls.longestMs,
      upgradeStalls.overTarget, upgradeStalls.turns,
      boxes.empty() ? "" : boxes.back().title.c_str());
  form.close();
  return 0;
}
