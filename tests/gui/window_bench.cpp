// How fast the main window opens and how responsive it stays while it talks
// to a slow enclosure. Figures are printed, not judged. Run by hand, on a
// real display server for the start-up figures:
//
//   xvfb-run -a build/release/tests/gui/window_bench [--start-up-only]
//
// Start-up: from starting a process to its first painted window, for the
//    program (the demo's set-up), for a bare Qt window of the same size,
//    and for reference for that window with one label (the least any
//    window that shows text costs: it loads the font configuration). Each a
//    fresh process of this executable, taken in turns; medians of the time
//    and of the processor time the process had used by then (on a busy
//    machine the time mostly says how long the process waited for a core).
// And a status poll of two devices and a full firmware upgrade over the
//    virtual bus at 0.375 ms per read, on the real clock: the time taken
//    beside the bound the device and the protocol set (reads × latency +
//    the channel's mandated sleeps), what the simulator's and the clock's
//    sleeps overshot, and the longest time the event loop went without
//    running.

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string_view>
#include <thread>
#include <vector>

#include "app/application.h"
#include "app/form1_main.h"
#include "sim/demo_scenarios.h"
#include "sim/virtual_bus.h"
#include "support/demo_firmware.h"
#include "support/recording_ui.h"

namespace {

constexpr uint32_t kReadLatencyMicros = 375;
constexpr uint8_t kOpRead10 = 0x28;
constexpr qint64 kTargetNs = 50'000'000;
constexpr int kStartRuns = 21;
constexpr int kStartTimeoutMs = 60000;
constexpr char kChildOption[] = "--first-paint=";
constexpr char kPaintedMark[] = "painted ";

int64_t MonotonicNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// --- Start-up ----------------------------------------------------------------

// In a child: once the first top-level window has been painted and flushed,
// says when, and how much processor time the process had used by then, on
// standard output, and closes the window, which ends the process.
class FirstPaintReporter final : public QObject {
 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (reported_ || event->type() != QEvent::Paint) return false;
    auto* widget = qobject_cast<QWidget*>(watched);
    if (widget == nullptr || !widget->isWindow()) return false;
    reported_ = true;
    // The window's own paint event comes first; its children and the flush
    // to the screen follow in the same pass, before any queued call.
    QTimer::singleShot(0, widget, [widget] {
      const double cpuMs = 1000.0 * static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
      std::printf("%s%lld %.3f\n", kPaintedMark, static_cast<long long>(MonotonicNs()), cpuMs);
      std::fflush(stdout);
      widget->close();
    });
    return false;
  }

 private:
  bool reported_ = false;
};

int RunStartChild(int argc, char** argv, std::string_view what) {
  QApplication app(argc, argv);
  FirstPaintReporter reporter;
  app.installEventFilter(&reporter);
  if (what == "bare" || what == "label") {
    QWidget window;
    window.setFixedSize(px::app::TForm1::kClientWidth, px::app::TForm1::kClientHeight);
    // One line of text costs any window the loading of the font
    // configuration, which a bare window never needs.
    QLabel label(what == "label" ? QStringLiteral("Utitity v0.50.4") : QString(), &window);
    window.show();
    return QApplication::exec();
  }
  // The program as the demo starts it: its virtual enclosures, its windows.
  px::test::RecordingMessages messages;
  QTemporaryDir logs;
  px::app::AppEnvironment env;
  env.makeTransport = [] {
    auto bus = std::make_unique<px::sim::VirtualBus>();
    px::sim::FindDemoScenario("two-enclosures")->build(*bus);
    return bus;
  };
  env.logDirectory = logs.path().toStdString();
  env.messages = &messages;
  return px::app::RunApplication(argc, argv, std::move(env));
}

struct StartUp {
  double wallMs = -1;  // from starting the child; negative: it said nothing
  double cpuMs = 0;    // the child's processor time, all its threads
};

StartUp StartToFirstPaint(const QString& what, const QProcessEnvironment& environment) {
  QProcess child;
  child.setProcessEnvironment(environment);
  child.setProgram(QCoreApplication::applicationFilePath());
  child.setArguments({QString::fromLatin1(kChildOption) + what});
  child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  const int64_t start = MonotonicNs();
  child.start();
  if (!child.waitForFinished(kStartTimeoutMs)) {
    child.kill();
    child.waitForFinished();
    return {};
  }
  for (const QByteArray& line : child.readAllStandardOutput().split('\n')) {
    if (!line.startsWith(kPaintedMark)) continue;
    const QList<QByteArray> fields = line.mid(sizeof kPaintedMark - 1).split(' ');
    if (fields.size() != 2) break;
    return {static_cast<double>(fields[0].toLongLong() - start) / 1e6, fields[1].toDouble()};
  }
  return {};
}

void MeasureStartUp() {
  // The program allows one copy per user; the children get a lock directory
  // of their own.
  QTemporaryDir runtime;
  QFile::setPermissions(runtime.path(),
                        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
  std::vector<StartUp> bare;
  std::vector<StartUp> label;
  std::vector<StartUp> window;
  for (int run = 0; run < kStartRuns; ++run) {
    for (const auto& [what, into] :
         {std::pair{QStringLiteral("bare"), &bare}, std::pair{QStringLiteral("label"), &label},
          std::pair{QStringLiteral("window"), &window}}) {
      const StartUp startUp = StartToFirstPaint(what, environment);
      if (startUp.wallMs < 0) {
        std::printf("start-up: the %s child painted nothing\n", qPrintable(what));
        return;
      }
      into->push_back(startUp);
    }
  }
  const auto median = [](const std::vector<StartUp>& runs, double StartUp::*field) {
    std::vector<double> values;
    for (const StartUp& run : runs) values.push_back(run.*field);
    return Median(values);
  };
  std::printf("start to first painted window (%s, medians of %d runs, in turns):\n",
              qPrintable(QGuiApplication::platformName()), kStartRuns);
  for (const auto& [what, field] :
       {std::pair{"time", &StartUp::wallMs}, std::pair{"processor time", &StartUp::cpuMs}}) {
    const double windowMs = median(window, field);
    const double bareMs = median(bare, field);
    std::printf(
        "    %-14s main window %5.1f ms, bare Qt window %5.1f ms, ratio %.2f "
        "(a bare window with one label: %.1f ms)\n",
        what, windowMs, bareMs, windowMs / bareMs, median(label, field));
  }
}

// --- Device work ---------------------------------------------------------------

// The steady clock, keeping account of the sleeps the window's thread asks
// for (the channel's mandated pauses) and of how long they really took. The
// worker threads' idle sleeps pass through uncounted.
class CountingClock final : public px::Clock {
 public:
  uint64_t TickMs() override { return inner_.TickMs(); }
  void SleepMs(uint32_t ms) override {
    if (std::this_thread::get_id() != windowThread_) {
      inner_.SleepMs(ms);
      return;
    }
    const int64_t start = MonotonicNs();
    inner_.SleepMs(ms);
    askedMs_ += ms;
    sleptNs_ += static_cast<uint64_t>(MonotonicNs() - start);
  }
  uint64_t AskedMs() const { return askedMs_.load(); }
  double SleptMs() const { return static_cast<double>(sleptNs_.load()) / 1e6; }

 private:
  px::SteadyClock inner_;
  const std::thread::id windowThread_ = std::this_thread::get_id();
  std::atomic<uint64_t> askedMs_{0};
  std::atomic<uint64_t> sleptNs_{0};
};

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

// What one piece of device work cost, beside what it could not have cost
// less than.
class Account {
 public:
  Account(const px::sim::VirtualBus& bus, const CountingClock& clock)
      : bus_(bus),
        clock_(clock),
        reads_(Reads()),
        askedMs_(clock.AskedMs()),
        sleptMs_(clock.SleptMs()),
        latencyAsked_(bus.LatencyAskedMicros()),
        latencySlept_(bus.LatencySleptMicros()) {
    wall_.start();
  }

  void Print(const char* what, const Stalls& stalls) const {
    const double wallMs = static_cast<double>(wall_.nsecsElapsed()) / 1e6;
    const std::size_t reads = Reads() - reads_;
    const auto asked = static_cast<double>(clock_.AskedMs() - askedMs_);
    const double latencyMs = static_cast<double>(reads) * kReadLatencyMicros / 1000.0;
    const double boundMs = latencyMs + asked;
    const double simulatorOverMs =
        static_cast<double>((bus_.LatencySleptMicros() - latencySlept_) -
                            (bus_.LatencyAskedMicros() - latencyAsked_)) /
        1000.0;
    const double clockOverMs = clock_.SleptMs() - sleptMs_ - asked;
    std::printf(
        "%s: %.1f ms, bound %.1f ms (%zu reads x %.3f ms + %.0f ms of mandated sleeps), "
        "ratio %.3f\n"
        "    over the bound: simulator's read sleeps %.1f ms, the clock's sleeps %.1f ms, "
        "the rest (the product's own work) %.1f ms\n"
        "    longest event-loop stall %.1f ms, %d of %d gaps over 50 ms\n",
        what, wallMs, boundMs, reads, kReadLatencyMicros / 1000.0, asked, wallMs / boundMs,
        simulatorOverMs, clockOverMs, wallMs - boundMs - simulatorOverMs - clockOverMs,
        stalls.longestMs, stalls.overTarget, stalls.turns);
  }

 private:
  std::size_t Reads() const {
    std::size_t reads = 0;
    for (const px::sim::TraceEntry& entry : bus_.Trace())
      if (entry.opcode == kOpRead10) ++reads;
    return reads;
  }

  const px::sim::VirtualBus& bus_;
  const CountingClock& clock_;
  QElapsedTimer wall_;
  std::size_t reads_;
  uint64_t askedMs_;
  double sleptMs_;
  uint64_t latencyAsked_;
  uint64_t latencySlept_;
};

void MeasureDeviceWork() {
  QTemporaryDir work;
  px::sim::VirtualBus bus;
  bus.AttachPlainDisk(0);
  bus.AttachEnclosure(1);
  bus.AttachEnclosure(2);
  bus.SetReadLatencyMicros(kReadLatencyMicros);
  px::test::RecordingMessages messages;
  CountingClock clock;
  const std::filesystem::path firmware = px::test::WriteDemoFirmware(work.path().toStdString());

  px::app::FormServices services;
  services.transport = &bus;
  services.messages = &messages;
  services.clock = &clock;
  services.logDirectory = work.path().toStdString();
  services.chooseFirmwareFile = [&] { return std::optional<std::filesystem::path>(firmware); };
  px::app::TForm1 form(std::move(services));
  form.show();

  // Detection, layout and the first poll run by the window's own timers.
  RunUntil([&] {
    return form.state().monitor.PollCount >= 1 &&
           (form.state().monitor.MonitorRequests.load() & ~px::kMonitoringActive) == 0 &&
           !form.DeviceWorkRunning();
  });

  const uint32_t polls = form.state().monitor.PollCount;
  const Account poll(bus, clock);
  const Stalls pollStalls = MeasureStalls([&] {
    form.Timer2Timer();
    RunUntil([&] {
      return form.state().monitor.PollCount > polls &&
             (form.state().monitor.MonitorRequests.load() & px::kPollStatus) == 0 &&
             !form.DeviceWorkRunning();
    });
  });
  poll.Print("status poll of two devices", pollStalls);
  std::printf(
      "    (timed from the monitoring tick: the rest includes the polling thread's hand-over, "
      "which looks for requests every 50 ms)\n");

  form.BitBtn1Click();
  const Account upgrade(bus, clock);
  const Stalls upgradeStalls = MeasureStalls([&] { form.Button2Click(); });
  const auto boxes = messages.boxes();
  upgrade.Print("full upgrade", upgradeStalls);
  std::printf("    final box \"%s\"\n", boxes.empty() ? "" : boxes.back().title.c_str());
  form.close();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string_view(argv[1]).starts_with(kChildOption))
    return RunStartChild(argc, argv, std::string_view(argv[1]).substr(sizeof kChildOption - 1));
  // Without a display the figures come from the offscreen platform, which the
  // start-up line names.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
      qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  MeasureStartUp();
  if (argc < 2 || std::string_view(argv[1]) != "--start-up-only") MeasureDeviceWork();
  return 0;
}
