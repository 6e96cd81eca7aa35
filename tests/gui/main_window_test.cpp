// The main window over the virtual enclosure bus: detection and layout, the
// monitoring timers, the device boxes, the hidden key, device changes, the
// settings and host-event writes, firmware upgrade, closing and the
// single-instance rule. Timers are called by hand; the two threads run for
// real on a fake clock.

#include <QApplication>
#include <QKeyEvent>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <regex>
#include <stdexcept>
#include <thread>

#include "app/application.h"
#include "app/form1_main.h"
#include "app/form2_make_bin.h"
#include "app/form3_goto.h"
#include "app/form5_event_log.h"
#include "app/platform/single_instance.h"
#ifdef PXRAIDD_EXE
#include "bus/service_jobs.h"
#include "bus/service_log.h"
#include "bus/service_names.h"
#include "bus/service_polls.h"
#endif
#include "cli/commands.h"
#include "cli/host.h"
#include "cli/virtual_scenarios.h"
#include "common/time_text.h"
#include "eventlog/log_file.h"
#include "firmware/flash_backup.h"
#include "firmware/flash_journal.h"
#include "firmware/upgrade.h"
#include "monitor/member_history.h"
#include "sim/demo_scenarios.h"
#include "sim/fake_clock.h"
#include "sim/virtual_bus.h"
#include "support/demo_firmware.h"
#include "support/private_runtime.h"
#include "support/recording_ui.h"
#include "support/when_modal.h"
#ifdef PX_WITH_BUS
#include "bus/sd_bus_handles.h"
#endif

using px::app::TForm1;

namespace {

using px::test::WhenModal;

constexpr int kWaitMs = 30000;

// Dates as the tests expect them, whatever the machine's locale.
class FixedFormat final : public px::DateTimeFormat {
 public:
  std::string ShortDate(const px::LogTime& t) const override {
    char text[16];
    std::snprintf(text, sizeof text, "%02d.%02d.%04d", t.day, t.month, t.year);
    return text;
  }
  std::string LongTime(const px::LogTime& t) const override {
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", t.hour, t.minute, t.second);
    return text;
  }
};

// A transport that forwards to the bus and lets a test act at the moment the
// window's thread reads a given LBA: the middle of a poll.
class HookedTransport final : public px::ForwardingTransport {
 public:
  using ForwardingTransport::ForwardingTransport;
  px::CommandOutcome Execute(px::DeviceHandle handle, const px::ScsiRequest& request) override {
    if (onCommand) onCommand(request);
    return ForwardingTransport::Execute(handle, request);
  }
  std::function<void(const px::ScsiRequest&)> onCommand;
};

// Fails the test run, rather than hanging it, if a step never returns.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit) {
    thread_ = std::thread([this, limit] {
      std::unique_lock lock(mutex_);
      if (!done_.wait_for(lock, limit, [this] { return finished_; })) {
        std::fprintf(stderr, "watchdog: the window never finished closing\n");
        std::abort();
      }
    });
  }
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      finished_ = true;
    }
    done_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  bool finished_ = false;
  std::thread thread_;
};

struct Rig {
  px::sim::FakeClock clock;
  px::sim::VirtualBus bus{&clock};
  HookedTransport transport{bus};
  px::test::RecordingMessages messages;
  FixedFormat format;
  QTemporaryDir logDir;
  std::filesystem::path firmwareFile;
  int fileDialogs = 0;
  px::app::MakeTray makeTray;
  bool notifications = true;
  // The member history the window keeps, in the time the test sets.
  std::filesystem::path historyFile;
  int64_t unixNow = 0;
  // A client of the service: its polls instead of the disks.
  px::PolledElsewhere* elsewhere = nullptr;
  px::FirmwareJobs* jobs = nullptr;
  px::LoggedElsewhere* serviceLog = nullptr;
  std::unique_ptr<TForm1> form;

  // Drives 0 and 2 plain disks, enclosures on 1 and 3, volumes E and F on
  // disk 1 and G on disk 3.
  void AttachTwoEnclosures(px::sim::ControllerScenario first = {},
                           px::sim::ControllerScenario second = {}) {
    bus.AttachPlainDisk(0);
    bus.AttachEnclosure(1, first);
    bus.AttachPlainDisk(2);
    bus.AttachEnclosure(3, second);
    bus.AddVolume({'C', px::kDriveFixed, 0, 1048576, 1 << 30});
    bus.AddVolume({'E', px::kDriveFixed, 1, 1048576, 1 << 30});
    bus.AddVolume({'F', px::kDriveFixed, 1, 2147483648, 1 << 30});
    bus.AddVolume({'G', px::kDriveFixed, 3, 1048576, 1 << 30});
  }

  // The demo's firmware file, which the virtual enclosures accept, as the
  // file the dialog chooses.
  std::vector<uint8_t> WriteFirmwareFile() {
    firmwareFile = px::test::WriteDemoFirmware(logDir.path().toStdString());
    return px::sim::DemoFirmwareFile();
  }

  std::size_t Boxes(const std::string& title) const {
    const auto boxes = messages.boxes();
    return static_cast<std::size_t>(std::count_if(
        boxes.begin(), boxes.end(), [&](const auto& box) { return box.title == title; }));
  }

  std::size_t Erases(unsigned drive) const {
    std::size_t n = 0;
    for (const auto& command : bus.EnclosureAt(drive)->Commands()) n += command.command[0] == 0x23;
    return n;
  }

  TForm1& Start() {
    px::app::FormServices services;
    services.transport = &transport;
    services.messages = &messages;
    services.clock = &clock;
    services.logDirectory = logDir.path().toStdString();
    services.dateFormat = &format;
    services.chooseFirmwareFile = [this]() -> std::optional<std::filesystem::path> {
      ++fileDialogs;
      return firmwareFile;
    };
    services.makeTray = makeTray;
    services.notifications = notifications;
    services.historyFile = historyFile;
    services.unixSeconds = [this] { return unixNow; };
    services.polledElsewhere = elsewhere;
    services.firmwareJobs = jobs;
    services.loggedElsewhere = serviceLog;
    form = std::make_unique<TForm1>(std::move(services));
    // The tests run every timer by hand; the intervals of the design are
    // checked once, in Layout.
    for (QTimer* timer : {form->Timer1, form->Timer2, form->Timer3, form->Timer4, form->Timer5,
                          form->Timer6, form->Timer7})
      timer->setInterval(24 * 3600 * 1000);
    bus.SetDeviceChangeCallback([this] {
      if (form) form->DeviceChanged();
    });
    form->show();
    return *form;
  }

  // Waits for the detection thread, then lays its results out.
  void Detect() {
    QTRY_VERIFY_WITH_TIMEOUT(form->state().detection.handover.Finished(), kWaitMs);
    form->Timer4Timer();
  }

  // Waits until the polling thread has served every request but monitoring.
  bool Served() {
    const bool idle = QTest::qWaitFor(
        [this] {
          return (form->state().monitor.MonitorRequests.load() & ~px::kMonitoringActive) == 0 &&
                 !form->DeviceWorkRunning();
        },
        kWaitMs);
    QCoreApplication::processEvents();
    return idle;
  }

  // Detection, the first poll and everything it raised.
  void Settle() {
    Detect();
    QVERIFY(Served());
  }

  std::size_t StatusQueries(unsigned drive) const {
    std::size_t n = 0;
    for (const auto& command : bus.EnclosureAt(drive)->Commands())
      if (command.command[0] == px::kQueryStatus) ++n;
    return n;
  }

  ~Rig() {
    bus.SetDeviceChangeCallback(nullptr);
    if (form) form->close();
    form.reset();
  }
};

// A desktop's tray, as the window drives it: the last look, and what it
// notified.
struct TrayRecord {
  px::TrayLook look;
  std::vector<std::string> notified;  // severity|title
  QStringList bodies;
};

class RecordingTray final : public px::app::TrayNotifier {
 public:
  explicit RecordingTray(TrayRecord& record) : record_(record) {}
  void Show(const px::TrayLook& look) override { record_.look = look; }
  void Notify(const px::app::DesktopNotification& n) override {
    record_.notified.push_back(std::string(px::SeverityName(n.severity)) + "|" +
                               n.title.toStdString());
    record_.bodies << n.body;
  }

 private:
  TrayRecord& record_;
};

#ifdef PX_WITH_BUS
// A program the test started, ended with it.
struct Started {
  Started() = default;
  Started(const Started&) = delete;
  Started& operator=(const Started&) = delete;
  ~Started() {
    if (process.state() == QProcess::NotRunning) return;
    process.terminate();
    process.waitForFinished(kWaitMs);
  }
  QProcess process;
};

// Starts a program that prints a line once it serves, and returns the line
// (empty: it printed none in time).
std::string StartPrinting(QProcess& process, const QString& program, const QStringList& arguments) {
  process.setProcessChannelMode(QProcess::SeparateChannels);
  process.setStandardErrorFile(QProcess::nullDevice());
  process.start(program, arguments);
  QByteArray line;
  const bool ended = QTest::qWaitFor(
      [&] {
        process.waitForReadyRead(100);
        line += process.readAll();
        return line.contains('\n') || process.state() == QProcess::NotRunning;
      },
      kWaitMs);
  if (!ended || !line.contains('\n')) return {};
  return line.left(line.indexOf('\n')).toStdString();
}

// A session bus of the test's own, without activation: no notification
// service is on it until the test starts one.
struct SessionBus {
  explicit SessionBus(const QString& folder) {
    QFile config(folder + QStringLiteral("/bus.conf"));
    if (!config.open(QIODevice::WriteOnly)) return;
    config.write(R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)");
    config.close();
    address = StartPrinting(daemon.process, QStringLiteral("dbus-daemon"),
                            {QStringLiteral("--config-file=") + config.fileName(),
                             QStringLiteral("--nofork"), QStringLiteral("--print-address")});
  }

  bool HasOwner(const char* name) const { return px::bus::NameHasOwner(address, name); }

  Started daemon;
  std::string address;
};

#ifdef PXRAIDD_EXE
// pxraidd over a virtual scenario on a bus of its own, its jobs run by the
// pxraid under test (pxraid-test, which takes the simulated time the service
// hands on), ended with the test. `more`: options of pxraidd-test's besides.
struct ServiceOnItsBus {
  explicit ServiceOnItsBus(const char* scenario, const QStringList& more = {}) {
    service.process.start(
        QStringLiteral(PXRAIDD_EXE),
        QStringList{QStringLiteral("--bus"), QString::fromStdString(bus.address),
                    QStringLiteral("--virtual"), QString::fromLatin1(scenario),
                    QStringLiteral("--simulate-time"), QStringLiteral("2026-12-07T10:00:00"),
                    QStringLiteral("--interval"), QStringLiteral("1"), QStringLiteral("--pxraid"),
                    QStringLiteral(PXRAID_TEST_EXE), QStringLiteral("--log-dir"),
                    folder.filePath(QStringLiteral("log"))} +
            more);
  }
  // A name of our own: the default one is the application's, with a blank.
  QTemporaryDir folder{QDir::tempPath() + QStringLiteral("/pxraidd-XXXXXX")};
  SessionBus bus{folder.path()};
  Started service;
};
#endif

// Debian's dunst, the notification service of many a desktop, on a bus and
// a display. What it shows it also hands to a script, which keeps urgency,
// application, summary and body as dunst read them.
struct Dunst {
  Dunst(const QString& folder, const SessionBus& bus, const std::string& display)
      : heardFile(folder + QStringLiteral("/heard")) {
    const QString script = folder + QStringLiteral("/record.sh");
    QFile recorder(script);
    QFile config(folder + QStringLiteral("/dunstrc"));
    if (!recorder.open(QIODevice::WriteOnly) || !config.open(QIODevice::WriteOnly)) return;
    recorder.write(
        "#!/bin/sh\nprintf '%s\\037%s\\037%s\\037%s\\036' \"$DUNST_URGENCY\" "
        "\"$DUNST_APP_NAME\" \"$DUNST_SUMMARY\" \"$DUNST_BODY\" >> '" +
        heardFile.toUtf8() + "'\n");
    recorder.close();
    recorder.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    config.write("[record]\n    appname = \"*\"\n    script = \"" + script.toUtf8() + "\"\n");
    config.close();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.insert(QStringLiteral("DISPLAY"), QString::fromStdString(display));
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                       QString::fromStdString(bus.address));
    QProcess& process = dunst.process;
    process.setProcessEnvironment(environment);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(QStringLiteral("dunst"), {QStringLiteral("-config"), config.fileName()});
    serving = QTest::qWaitFor(
        [&] {
          return process.state() != QProcess::NotRunning &&
                 bus.HasOwner("org.freedesktop.Notifications");
        },
        kWaitMs);
  }

  // urgency|application|summary|body, one for each notification.
  std::vector<std::string> Heard() const {
    QFile file(heardFile);
    std::vector<std::string> heard;
    if (!file.open(QIODevice::ReadOnly)) return heard;
    for (QByteArray record : file.readAll().split('\036')) {
      if (!record.isEmpty()) heard.push_back(record.replace('\037', '|').toStdString());
    }
    return heard;
  }

  QString heardFile;
  Started dunst;
  bool serving = false;
};
#endif

void Press(QWidget* target, Qt::Key key, Qt::KeyboardModifiers mods) {
  QKeyEvent press(QEvent::KeyPress, key, mods);
  QApplication::sendEvent(target, &press);
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { px::test::UsePrivateRuntimeDirectory(); }

  void Layout() {
    Rig rig;
    TForm1& form = rig.Start();
    QCOMPARE(form.size(), QSize(TForm1::kClientWidth, TForm1::kClientHeight));
    QCOMPARE(form.windowTitle(), QStringLiteral("Utitity v0.50.4"));
    // The icon is our own drawing, registered as Z1 (showing it takes Qt's
    // SVG plugin, which the machine may lack; the resource must be there).
    QFile icon(QStringLiteral(":/Z1"));
    QVERIFY(icon.open(QIODevice::ReadOnly));
    QVERIFY(icon.readAll().contains("<svg"));
    struct Place {
      const char* name;
      QRect rect;
    };
    // Positions of the design; sizes only where the design gives them.
    const Place places[] = {
        {"PageControl1", {10, 70, 345, 411}}, {"Panel2", {8, 104, 345, 377}},
        {"GroupBox4", {400, 88, 185, 113}},   {"GroupBox3", {400, 337, 193, 129}},
        {"Panel1", {168, 240, 257, 81}},      {"CheckBox1", {16, 108, 0, 0}},
        {"CheckBox3", {88, 108, 0, 0}},       {"CheckBox4", {160, 108, 0, 0}},
        {"CheckBox5", {224, 108, 0, 0}},      {"Button10", {398, 225, 0, 0}},
        {"Button11", {398, 256, 0, 0}},       {"CheckBox6", {32, 392, 0, 0}},
        {"CheckBox7", {32, 424, 0, 0}},       {"CheckBox2", {400, 288, 0, 0}},
        {"ComboBox1", {472, 312, 0, 0}},      {"ComboBox2", {520, 312, 0, 0}},
        {"Button5", {576, 312, 0, 0}},        {"StaticText9", {16, 368, 0, 0}},
        {"Button6", {488, 240, 0, 0}},        {"Button3", {32, 452, 0, 0}},
        {"Button4", {208, 452, 0, 0}},        {"StaticText2", {496, 16, 0, 0}},
        {"StaticText3", {496, 32, 0, 0}},     {"StaticText4", {496, 48, 0, 0}},
        {"StaticText8", {416, 16, 0, 0}},     {"Label4", {48, 32, 0, 0}},
        {"Image3", {240, 96, 0, 0}},          {"Button1", {272, 348, 0, 0}},
        {"Image1", {16, 24, 0, 0}},           {"Image2", {16, 216, 0, 0}},
    };
    for (const Place& place : places) {
      auto* widget = form.findChild<QWidget*>(QString::fromLatin1(place.name));
      QVERIFY2(widget != nullptr, place.name);
      QCOMPARE(widget->pos(), place.rect.topLeft());
      if (place.rect.width() > 0) QCOMPARE(widget->size(), place.rect.size());
    }
    QCOMPARE(form.BitBtn1->text(), QStringLiteral("Load Firmware "));
    QCOMPARE(form.Button2->text(), QStringLiteral("Start Upgrade"));
    QCOMPARE(form.Button10->toolTip(), QStringLiteral("Start status monitor"));
    QCOMPARE(form.Button11->toolTip(), QStringLiteral("Stop status monitor"));
    QCOMPARE(form.Button1->toolTip(), QStringLiteral("View event log"));
    QCOMPARE(form.GroupBox4->title(), QString());  // cleared at creation
    QCOMPARE(form.OpenDialog1->nameFilters(), QStringList({QStringLiteral("Binary code (*.bin)"),
                                                           QStringLiteral("All files (*.*)")}));
    for (int i = 0; i < 5; ++i)
      QCOMPARE(form.statusBar().PanelWidth(i),
               px::app::PanelStatusBar::kWidths[static_cast<std::size_t>(i)]);
    QCOMPARE(form.statusBar().geometry(), QRect(0, 486, 623, 19));
    for (int i = 0; i < 4; ++i) QVERIFY(!form.PageControl1->isTabVisible(i));
    QVERIFY(form.Panel1->isHidden());
    QVERIFY(!form.Button10->isEnabled() && !form.Button11->isEnabled());
  }

  void TimerIntervals() {
    // A fresh window, before the rig slows its timers down.
    px::sim::VirtualBus bus;
    px::test::RecordingMessages messages;
    QTemporaryDir logDir;
    px::app::FormServices services;
    services.transport = &bus;
    services.messages = &messages;
    services.logDirectory = logDir.path().toStdString();
    TForm1 form(std::move(services));
    const std::pair<QTimer*, std::pair<int, bool>> expected[] = {
        {form.Timer1, {1000, false}}, {form.Timer2, {4000, false}}, {form.Timer3, {1000, true}},
        {form.Timer4, {500, true}},   {form.Timer5, {1000, true}},  {form.Timer6, {20000, true}},
        {form.Timer7, {10000, false}}};
    for (const auto& [timer, spec] : expected) {
      QCOMPARE(timer->interval(), spec.first);
      QCOMPARE(timer->isActive(), spec.second);
    }
    form.close();
  }

  void DetectionLaysOutTwoEnclosures() {
    Rig rig;
    rig.AttachTwoEnclosures();
    TForm1& form = rig.Start();
    QCOMPARE(form.StaticText1->text(), QStringLiteral("Drive detecting"));
    rig.Detect();

    QCOMPARE(form.state().devices.DeviceCount, 2u);
    const std::array<std::pair<bool, QString>, 4> boxes = {
        {{true, "HD1"}, {true, "HD3"}, {false, ""}, {false, ""}}};
    for (std::size_t i = 0; i < boxes.size(); ++i) {
      QCOMPARE(form.DeviceBoxes[i]->isVisible(), boxes[i].first);
      if (boxes[i].first) QCOMPARE(form.DeviceBoxes[i]->toolTip(), boxes[i].second);
      QCOMPARE(form.PageControl1->isTabVisible(static_cast<int>(i)), boxes[i].first);
    }
    QCOMPARE(form.DeviceBoxes[1]->text(), QStringLiteral("Device2"));
    QCOMPARE(form.PageControl1->tabText(0), QStringLiteral("Device1"));
    QCOMPARE(form.PageControl1->tabText(1), QStringLiteral("Device2"));
    QCOMPARE(form.UpDown1->maximum(), 1);
    QVERIFY(form.UpDown1->isHidden());
    QCOMPARE(form.StaticText1->text(), QStringLiteral(" Device 1/2[EF]"));
    QCOMPARE(form.StaticText1->toolTip(), QStringLiteral(" Physical1"));
    QCOMPARE(form.windowTitle(), QStringLiteral("Utitity v0.50.4 - PX SATA RAID Box[EF]"));
    QVERIFY(form.Button10->isEnabled() && form.BitBtn1->isEnabled() && form.Button2->isEnabled());
    QVERIFY(form.Button1->isVisible());
    // The first poll and the start-up notice are queued for the polling thread.
    QVERIFY(form.state().monitor.MonitorRequests.load() & px::kPollStatus);
    QVERIFY(form.state().monitor.MonitorRequests.load() & px::kSendHostEvent);

    // The second page selects the second enclosure.
    QVERIFY(rig.Served());
    form.PageControl1->setCurrentIndex(1);
    QCOMPARE(form.selectedSlot().index(), std::size_t{1});
    QCOMPARE(form.StaticText1->text(), QStringLiteral(" Device 2/2[G]"));
    QCOMPARE(form.Label17->text(), QStringLiteral("Mode : Mirror"));
  }

  void NoEnclosureBlinksThenSaysSo() {
    Rig rig;
    rig.bus.AttachPlainDisk(0);
    // Blinking while the first detection runs: the probe of the plain disk
    // is held up until the caption has blinked.
    std::atomic<bool> release{false};
    rig.transport.onCommand = [&](const px::ScsiRequest&) {
      while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    TForm1& form = rig.Start();
    QVERIFY(form.state().detection.handover.Pending());
    form.Timer4Timer();
    QVERIFY(form.StaticText1->isHidden());
    form.Timer4Timer();
    QVERIFY(!form.StaticText1->isHidden());
    release = true;
    QTRY_VERIFY_WITH_TIMEOUT(form.state().detection.handover.Finished(), kWaitMs);
    rig.transport.onCommand = nullptr;
    form.Timer4Timer();
    QCOMPARE(form.StaticText1->text(), QStringLiteral("No Drive found! "));
    QCOMPARE(form.Label4->text(), QStringLiteral("No Drive found! "));
    QVERIFY(form.DeviceBoxes[0]->isHidden());
    // A new detection every seventh tick.
    for (int tick = 0; tick < 6; ++tick) {
      form.Timer4Timer();
      QVERIFY(!form.state().detection.handover.Pending());
    }
    form.Timer4Timer();
    QVERIFY(form.state().detection.handover.Pending());
  }

  void StartPollsOnEveryMonitoringTick() {
    Rig rig;
    rig.AttachTwoEnclosures();
    TForm1& form = rig.Start();
    rig.Settle();
    const std::size_t before = rig.StatusQueries(1);

    QTest::mouseClick(form.Button10, Qt::LeftButton);
    QVERIFY(form.Timer2->isActive());
    QVERIFY(!form.Button10->isEnabled() && form.Button11->isEnabled());
    QVERIFY(!form.BitBtn1->isEnabled() && !form.Button2->isEnabled());
    QVERIFY(rig.Served());
    QCOMPARE(rig.StatusQueries(1), before + 1);
    QCOMPARE(rig.StatusQueries(3), before + 1);
    for (int tick = 1; tick <= 3; ++tick) {
      form.Timer2Timer();
      QVERIFY(rig.Served());
      QCOMPARE(rig.StatusQueries(1), before + 1 + static_cast<std::size_t>(tick));
    }
    // The tick raises nothing while a device change is being counted.
    form.DeviceChanged();
    form.Timer2Timer();
    QVERIFY(!(form.state().monitor.MonitorRequests.load() & px::kPollStatus));

    QTest::mouseClick(form.Button11, Qt::LeftButton);
    QVERIFY(!form.Timer2->isActive());
    QCOMPARE(form.state().monitor.MonitorRequests.load(), uint8_t{0});
    QVERIFY(form.Button10->isEnabled() && !form.Button11->isEnabled());
  }

  void SilentDevicesStopMonitoring() {
    Rig rig;
    rig.AttachTwoEnclosures();
    TForm1& form = rig.Start();
    rig.Settle();
    for (unsigned drive : {1u, 3u})
      rig.bus.EnclosureAt(drive)->UpdateFaults([](auto& faults) { faults.noReply = true; });
    form.Button10Click();
    QVERIFY(rig.Served());
    // Every poll fails until the devices are dropped at their sixth failure;
    // then a poll with no answer and nothing left to retry starts Timer7.
    for (int poll = 0; poll < 20 && !form.Timer7->isActive(); ++poll) {
      form.Timer2Timer();
      QVERIFY(rig.Served());
    }
    QVERIFY(form.Timer7->isActive());
    QVERIFY(!form.DeviceBoxes[0]->isChecked());
    QVERIFY(form.Timer6->isActive());
    form.Timer7Timer();
    QVERIFY(!form.Timer2->isActive());
    QVERIFY(!form.Timer7->isActive());
  }

  void UncheckedDeviceIsSkippedUntilTimer6() {
    Rig rig;
    rig.AttachTwoEnclosures();
    TForm1& form = rig.Start();
    rig.Settle();
    QTest::mouseClick(form.DeviceBoxes[0], Qt::LeftButton);
    QVERIFY(!form.DeviceBoxes[0]->isChecked());
    QVERIFY(!form.PageControl1->isTabVisible(0));
    QVERIFY(form.Timer6->isActive());

    const std::size_t first = rig.StatusQueries(1);
    const std::size_t second = rig.StatusQueries(3);
    form.Button10Click();
    QVERIFY(rig.Served());
    QCOMPARE(rig.StatusQueries(1), first);
    QCOMPARE(rig.StatusQueries(3), second + 1);

    form.Timer6Timer();
    QVERIFY(form.DeviceBoxes[0]->isChecked());
    QVERIFY(form.PageControl1->isTabVisible(0));
    QVERIFY(!form.Timer6->isActive());
    // Checking it while monitoring asks for a poll at once.
    QVERIFY(rig.Served());
    QCOMPARE(rig.StatusQueries(1), first + 1);
  }

  void HiddenKeyTogglesCurrentLba() {
    Rig rig;
    px::sim::ControllerScenario rebuilding = px::sim::RebuildingMirrorScenario(37);
    rig.AttachTwoEnclosures(rebuilding);
    TForm1& form = rig.Start();
    rig.Settle();
    QVERIFY(!form.showCurrentLba());
    QCOMPARE(form.Label1->text(), QString());
    // The key works whichever control has the focus, Shift or not.
    Press(form.Button10, Qt::Key_L, Qt::ControlModifier | Qt::AltModifier);
    QVERIFY(form.showCurrentLba());
    form.Button10Click();
    QVERIFY(rig.Served());
    QVERIFY(form.Label1->text().startsWith(QStringLiteral("Current LBA:\n")));
    Press(form.PageControl1, Qt::Key_L, Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier);
    QVERIFY(!form.showCurrentLba());
    form.Timer2Timer();
    QVERIFY(rig.Served());
    QCOMPARE(form.Label1->text(), QString());
    // Without Alt it is an ordinary key.
    Press(form.Button10, Qt::Key_L, Qt::ControlModifier);
    QVERIFY(!form.showCurrentLba());
  }

  void WindowsTheUserOpens() {
    Rig rig;
    TForm1& form = rig.Start();
    // Double-clicking the status bar asks where to go.
    WhenModal<px::app::TForm3>([](px::app::TForm3& dialog) {
      dialog.Edit1->setText(QStringLiteral("200H"));
      dialog.Button1Click();
    });
    QTest::mouseDClick(&form.statusBar(), Qt::LeftButton);
    QCOMPARE(form.gotoSector(), 2u);
    // Not while a firmware operation runs: no dialog comes up.
    form.state().flags.firmwareBusy = true;
    form.StatusBar1DblClick();
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
    form.state().flags.firmwareBusy = false;

    // "View log" opens one viewer at a time.
    int viewers = 0;
    WhenModal<px::app::TForm5>([&](px::app::TForm5&) {
      form.Button1Click();
      viewers = static_cast<int>(form.findChildren<px::app::TForm5*>().size());
    });
    form.Button1Click();
    QCOMPARE(viewers, 1);
    QVERIFY(form.findChildren<px::app::TForm5*>().isEmpty());

    // "Make Bin" has no button; Ctrl+Alt+M opens it.
    bool builder = false;
    WhenModal<px::app::TForm2>([&](px::app::TForm2&) { builder = true; });
    Press(form.Button10, Qt::Key_M, Qt::ControlModifier | Qt::AltModifier);
    QVERIFY(builder);
  }

  // An enclosure another program held while the window looked for
  // enclosures is looked at again, as if nothing had been found yet.
  void ADriveHeldElsewhereIsProbedAgain() {
    Rig rig;
    rig.AttachTwoEnclosures();
    const px::ClaimToken other =
        rig.bus.TryClaimDrive(px::PhysicalDrive(3), px::ClaimPurpose::Firmware);
    TForm1& form = rig.Start();
    rig.Settle();
    QCOMPARE(form.state().devices.DeviceCount.load(), 1u);
    rig.bus.ReleaseDrive(other);
    for (int tick = 0; tick < 7; ++tick) form.Timer4Timer();
    rig.Settle();
    QCOMPARE(form.state().devices.DeviceCount.load(), 2u);
    QVERIFY(form.DeviceBoxes[1]->isVisible());
  }

  void DeviceChangeRestartsTheCountdown() {
    Rig rig;
    rig.bus.AttachPlainDisk(0);
    rig.bus.AttachEnclosure(1);
    TForm1& form = rig.Start();
    rig.Settle();
    QCOMPARE(form.state().devices.DeviceCount, 1u);

    rig.bus.AttachEnclosure(2);  // fires the device change from this thread
    QCoreApplication::processEvents();
    QCOMPARE(form.changeCountdown(), uint8_t{16});
    form.Timer4Timer();
    form.Timer4Timer();
    QCOMPARE(form.changeCountdown(), uint8_t{18});
    // A further message during the countdown starts it again, even from
    // another thread.
    std::thread([&] { form.DeviceChanged(); }).join();
    QTRY_COMPARE(form.changeCountdown(), uint8_t{16});
    for (int tick = 0; tick < 4; ++tick) {
      form.Timer4Timer();
      QVERIFY(!form.state().detection.handover.Pending());
    }
    QCOMPARE(form.changeCountdown(), uint8_t{20});
    // The device line keeps its last text; the fifth tick compares and, the
    // drives having changed, starts a detection.
    form.Timer4Timer();
    QCOMPARE(form.changeCountdown(), uint8_t{0});
    QVERIFY(form.state().detection.handover.Pending());
    QCOMPARE(form.StaticText1->text(), QStringLiteral(" Device 1/1"));
    rig.Detect();
    QCOMPARE(form.state().devices.DeviceCount, 2u);
    QCOMPARE(form.StaticText1->text(), QStringLiteral(" Device 1/2"));
    QVERIFY(form.state().monitor.Redetected);
  }

  void RemovalWhileMonitoringIsLogged() {
    Rig rig;
    rig.bus.AttachEnclosure(0);
    TForm1& form = rig.Start();
    rig.Settle();
    form.Button10Click();
    QVERIFY(rig.Served());
    rig.bus.SetDeviceChangeCallback(nullptr);
    rig.bus.Detach(0);
    form.state().detection.handover.Request();
    rig.Detect();
    QCOMPARE(form.StaticText1->text(), QStringLiteral("No Drive found! "));
    const auto& pending = form.state().eventLog.PendingLines;
    QCOMPARE(pending.size(), std::size_t{1});
    QVERIFY(
        QString::fromStdString(pending[0]).startsWith(QStringLiteral("D1 Device was removed at ")));
    QVERIFY(form.state().eventLog.PendingLinesFlag);
  }

  // Where the desktop has no tray, as on the offscreen platform, the window
  // makes none. Where it has one, the tray follows the enclosures' health
  // and notifies what went wrong, unless it is told not to.
  void TrayFollowsTheEnclosures() {
    QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
    {
      Rig rig;
      rig.bus.AttachEnclosure(0);
      TForm1& form = rig.Start();
      rig.Settle();
      rig.bus.EnclosureAt(0)->UpdateScenario([](auto& s) { s.p1.state = 9; });
      form.Timer2Timer();
      QVERIFY(rig.Served());
      QVERIFY(form.findChildren<QSystemTrayIcon*>().isEmpty());
    }
    for (const bool notifications : {true, false}) {
      TrayRecord tray;
      Rig rig;
      rig.makeTray = [&tray](QWidget&) { return std::make_unique<RecordingTray>(tray); };
      rig.notifications = notifications;
      rig.bus.AttachEnclosure(0);
      TForm1& form = rig.Start();
      const auto poll = [&] {
        form.Timer2Timer();
        QVERIFY(rig.Served());
      };
      struct Step {
        const char* name;
        std::function<void()> act;
        std::string look;
        std::vector<std::string> notified;
      };
      const Step steps[] = {
          {"found whole",
           [&] { rig.Settle(); },
           "Utitity v0.50.4: OK\nDevice1: OK (both members ready)",
           {}},
          {"P1 fails",
           [&] {
             rig.bus.EnclosureAt(0)->UpdateScenario([](auto& s) { s.p1.state = 9; });
             poll();
           },
           "Utitity v0.50.4: CRITICAL\nDevice1: CRITICAL (P1 failed)",
           {"critical|Device1: P1 failed"}},
          {"taken out of polling by the user: not asked, so not unreadable",
           [&] {
             form.DeviceBoxes[0]->setChecked(false);
             form.DeviceCheckBoxClick(0);
             poll();
           },
           "Utitity v0.50.4: UNKNOWN\nDevice1: UNKNOWN (the status could not be read)",
           {}},
          {"unplugged",
           [&] {
             form.Timer6Timer();
             rig.bus.SetDeviceChangeCallback(nullptr);
             rig.bus.Detach(0);
             form.state().detection.handover.Request();
             rig.Detect();
           },
           "Utitity v0.50.4: UNKNOWN\nno enclosure found",
           {"warning|Device1: enclosure gone"}},
      };
      for (const Step& step : steps) {
        tray.notified.clear();
        step.act();
        const std::string where = std::string(step.name) + (notifications ? "" : ", quiet");
        QCOMPARE(tray.look.toolTip, step.look);
        QVERIFY2(tray.notified == (notifications ? step.notified : std::vector<std::string>{}),
                 where.c_str());
      }
    }
  }

  // The window keeps a member history as pxraid monitor does, over the
  // stories pxraid --virtual tells, a poll a minute: the tooltip gives a
  // running rebuild's time left in the words status uses once its rate is
  // known (a percent a poll here) and nothing before, and the history's
  // warnings are notified once each, with its severity.
  void TrayTellsWhatTheHistoryKnows() {
    if (px::monitor::DefaultHistoryFile("logs").empty())
      QSKIP("this build keeps no member history");
    constexpr int64_t kIntervalSeconds = 60;
    constexpr int64_t kStart = 1796637600;  // 2026-12-07 10:00 UTC
    struct Story {
      const char* scenario;
      int polls;
      // Its rebuild gains a percent a poll from 0 %.
      bool percentAPoll;
      std::vector<std::string> warnings;  // severity|title, each notified once
    };
    const Story stories[] = {
        {"steady-rebuild", 25, true, {}},
        {"disks-mixed-up",
         20,
         false,
         {"critical|Device1: MembersSwapped", "warning|Device1: RepeatFailure",
          "warning|Device1: ForeignMember", "warning|Device1: SmallerMember"}},
    };
    const std::vector<std::string> names{"MembersSwapped", "RepeatFailure", "ForeignMember",
                                         "SmallerMember"};
    for (const Story& story : stories) {
      const px::cli::VirtualScenario* scenario = px::cli::FindVirtualScenario(story.scenario);
      QVERIFY(scenario != nullptr);
      TrayRecord tray;
      Rig rig;
      rig.makeTray = [&tray](QWidget&) { return std::make_unique<RecordingTray>(tray); };
      rig.historyFile = std::filesystem::path(rig.logDir.path().toStdString()) / "history.sqlite";
      scenario->build(rig.bus);
      TForm1& form = rig.Start();
      rig.Detect();
      std::vector<std::string> toolTips;
      for (int poll = 0; poll < story.polls; ++poll) {
        px::cli::ApplyScriptSteps(*scenario, rig.bus, poll);
        rig.unixNow = kStart + poll * kIntervalSeconds;
        if (poll > 0) form.Timer2Timer();
        QVERIFY(rig.Served());
        toolTips.push_back(tray.look.toolTip);
      }
      const std::string where = story.scenario;
      if (story.percentAPoll) {
        QVERIFY2(toolTips.front().find(" left") == std::string::npos, toolTips.front().c_str());
        const int percent = story.polls - 1;
        const std::string left = ", " + px::RemainingText((100 - percent) * kIntervalSeconds) + ")";
        QVERIFY2(toolTips.back().ends_with(left), (toolTips.back() + " | " + left).c_str());
      }
      std::vector<std::string> warned;
      for (std::size_t i = 0; i < tray.notified.size(); ++i) {
        const std::string& notified = tray.notified[i];
        for (const std::string& name : names) {
          if (!notified.ends_with(": " + name)) continue;
          warned.push_back(notified);
          QVERIFY2(!tray.bodies[static_cast<qsizetype>(i)].isEmpty(), notified.c_str());
        }
      }
      QVERIFY2(warned == story.warnings, where.c_str());
    }
  }

  // The tray's notifications go to the desktop's notification service on
  // the session bus (Debian's dunst, on a bus and display of the test's
  // own), with their severity as its urgency and the disk's words escaped;
  // where no service is on the bus, they become the tray's balloons.
  void NotificationsGoToTheDesktopsService() {
#ifndef PX_WITH_BUS
    QSKIP("this build has no client of a message bus");
#else
    for (const char* program : {"dbus-daemon", "Xvfb", "dunst"}) {
      if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty())
        QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(QString::fromLatin1(program))));
    }
    Started xvfb;
    const std::string display =
        ":" + StartPrinting(xvfb.process, QStringLiteral("Xvfb"),
                            {QStringLiteral("-displayfd"), QStringLiteral("1"),
                             QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    QVERIFY2(display != ":", "Xvfb named no display");
    struct Case {
      const char* name;
      bool service;
      uint8_t p1State;
      std::vector<std::string> heard;     // by the service: urgency|application|summary|body
      std::vector<std::string> balloons;  // severity|title
    };
    const std::string body = "Disk &lt;X&gt; &amp; Co, serial WD-WCC3F0000002";
    const Case cases[] = {
        {"a member fails", true, 9, {"CRITICAL|PX RAID Utility|Device1: P1 failed|" + body}, {}},
        {"a disk not part of the volume is inserted",
         true,
         6,
         {"NORMAL|PX RAID Utility|Device1: P1 inserted, not part of the volume|" + body},
         {}},
        {"no service on the bus", false, 9, {}, {"critical|Device1: P1 failed"}},
    };
    for (const Case& c : cases) {
      QTemporaryDir folder;
      SessionBus bus(folder.path());
      QVERIFY2(!bus.address.empty(), c.name);
      std::unique_ptr<Dunst> dunst;
      if (c.service) {
        dunst = std::make_unique<Dunst>(folder.path(), bus, display);
        QVERIFY2(dunst->serving, c.name);
      }
      TrayRecord tray;
      Rig rig;
      rig.makeTray = [&](QWidget&) {
        return px::app::PreferringService(px::app::DesktopNotificationService(bus.address),
                                          std::make_unique<RecordingTray>(tray));
      };
      px::sim::ControllerScenario scenario;
      scenario.p1.model = "Disk <X> & Co";
      rig.bus.AttachEnclosure(0, scenario);
      TForm1& form = rig.Start();
      rig.Settle();
      rig.bus.EnclosureAt(0)->UpdateScenario([&](auto& s) { s.p1.state = c.p1State; });
      form.Timer2Timer();
      QVERIFY(rig.Served());
      std::vector<std::string> heard;
      if (dunst) {
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                       heard = dunst->Heard();
                       return heard.size() >= c.heard.size();
                     },
                     kWaitMs),
                 c.name);
      }
      std::string said = c.name;
      for (const std::string& one : heard) said += "\n  " + one;
      QVERIFY2(heard == c.heard, said.c_str());
      QVERIFY2(tray.notified == c.balloons, c.name);
    }
#endif
  }

  // The window and pxraid monitor run one monitoring session: told the same
  // device-change story (an enclosure plugged in beside the first while
  // polls go by), their day's logs say the same, line for line, but for
  // the times each clock gives.
#ifdef PXRAIDD_EXE
  // While pxraidd owns the disks, a user's window finds and shows the
  // service's enclosures in the words it shows them in when it asks the disks
  // itself. The client's own bus is empty: what it shows came from the
  // service.
  void ShowsTheServicesEnclosuresAsItsOwn() {
    for (const char* scenario :
         {"healthy-mirror", "absent-member", "inserted-member", "latin1-model"}) {
      ServiceOnItsBus run(scenario);
      QVERIFY(!run.bus.address.empty());
      QTRY_VERIFY_WITH_TIMEOUT(px::bus::ServiceRuns(run.bus.address), kWaitMs);
      const std::string& address = run.bus.address;

      Rig direct;
      px::cli::FindVirtualScenario(scenario)->build(direct.bus);
      TForm1& own = direct.Start();
      direct.Settle();
      Rig client;
      px::bus::ServicePolls polls(address);
      client.elsewhere = &polls;
      TForm1& served = client.Start();
      client.Settle();

      const auto texts = [](TForm1& form) {
        // Not the caption: the letters in it are the volumes this machine
        // mounts, which the test's own bus has none of.
        QStringList shown{form.StaticText5->text()};
        for (QLabel* label :
             {form.Label4, form.Label14, form.Label15, form.Label16, form.Label17, form.Label18,
              form.Label19, form.Label20, form.Label21, form.Label22, form.Label24, form.Label27})
          shown << label->text();
        return shown;
      };
      QCOMPARE(texts(served), texts(own));
      QVERIFY2(served.Label17->text() != QStringLiteral("Mode : "), scenario);
    }
  }

  // The event log viewer of a user's window while pxraidd owns the disks
  // shows the service's day log as its file holds it, the lines the service
  // logged before the window started among them. A window whose service
  // cannot show its log as the viewer opens, and a window on the disks, show
  // their own.
  void TheEventLogViewerShowsTheServicesLog() {
    // The service polls three times and then only serves: its day's file
    // stays as it is.
    ServiceOnItsBus run("healthy-mirror", {QStringLiteral("--polls"), QStringLiteral("3")});
    QVERIFY(!run.bus.address.empty());
    QTRY_VERIFY_WITH_TIMEOUT(px::bus::ServiceRuns(run.bus.address), kWaitMs);
    const std::filesystem::path dayFile =
        run.folder.filePath(QStringLiteral("log/261207.log")).toStdString();
    px::bus::ServicePolls polls(run.bus.address);
    px::bus::ServiceLog serviceLog(run.bus.address);
    QTemporaryDir elsewhere;
    const SessionBus empty(elsewhere.path());
    px::bus::ServiceLog noService(empty.address);
    struct Case {
      const char* name;
      px::PolledElsewhere* polls;
      px::LoggedElsewhere* log;
      bool showsTheServices;
    };
    const Case cases[] = {
        {"the service's client", &polls, &serviceLog, true},
        {"a client whose log is asked of no service", &polls, &noService, false},
        {"on the disks", nullptr, nullptr, false},
    };
    for (const Case& c : cases) {
      Rig rig;
      rig.elsewhere = c.polls;
      rig.serviceLog = c.log;
      if (c.polls == nullptr) px::cli::FindVirtualScenario("healthy-mirror")->build(rig.bus);
      TForm1& form = rig.Start();
      rig.Settle();
      const std::vector<std::string> own = form.state().eventLog.LogLines;
      const std::optional<std::vector<std::string>> serviceFile = px::ReadLogLines(dayFile);
      QVERIFY2(!own.empty() && serviceFile && serviceFile->size() > 1, c.name);
      std::vector<std::string> shown;
      WhenModal<px::app::TForm5>([&](px::app::TForm5& viewer) {
        // A tick reads the log again and finds it as it was.
        viewer.Timer1Timer();
        for (const QString& line : viewer.Memo1->toPlainText().split(QLatin1Char('\n')))
          shown.push_back(line.toStdString());
      });
      form.Button1Click();
      QVERIFY2(shown == (c.showsTheServices ? *serviceFile : own), c.name);
      // The service's start, which the window's log has no line of.
      QVERIFY2(std::find(own.begin(), own.end(), serviceFile->at(1)) == own.end(), c.name);
    }
  }

  // "Start Upgrade" in a user's window while pxraidd owns the disks is a job
  // of the service's, shown as the window's own upgrade: the same question,
  // the same progress panel and status texts, the same final box. A second
  // upgrade of the enclosure while the first waits on its question is
  // refused by the service, and the window says so.
  void UpgradesThroughTheServiceAsItsOwn() {
    struct Row {
      const char* name;
      bool secondWhileAsked;
    };
    for (const Row& row : {Row{"an upgrade", false}, Row {
                             "a second while the first asks",
                             true
                           }}) {
      ServiceOnItsBus run("healthy-mirror");
      QVERIFY(!run.bus.address.empty());
      QTRY_VERIFY_WITH_TIMEOUT(px::bus::ServiceRuns(run.bus.address), kWaitMs);
      const std::string& address = run.bus.address;

      Rig direct;
      px::cli::FindVirtualScenario("healthy-mirror")->build(direct.bus);
      direct.WriteFirmwareFile();
      TForm1& own = direct.Start();
      direct.Settle();
      px::bus::ServicePolls polls(address);
      px::bus::ServiceJobs jobs(address);
      const auto client = [&](Rig& rig) -> TForm1& {
        rig.elsewhere = &polls;
        rig.jobs = &jobs;
        rig.firmwareFile = direct.firmwareFile;
        TForm1& form = rig.Start();
        rig.Settle();
        form.BitBtn1Click();
        return form;
      };
      Rig first;
      TForm1& served = client(first);
      px::bus::ServiceJobs otherJobs(address);
      Rig second;
      second.jobs = &otherJobs;
      std::optional<std::reference_wrapper<TForm1>> other;
      if (row.secondWhileAsked) {
        second.elsewhere = &polls;
        second.firmwareFile = direct.firmwareFile;
        other = second.Start();
        second.Settle();
        other->get().BitBtn1Click();
        first.messages.answer = [&](const std::string&) {
          other->get().Button2Click();
          // Answered no either way: a second that got no answer fails below.
          static_cast<void>(
              QTest::qWaitFor([&] { return !second.messages.boxes().empty(); }, kWaitMs));
          return false;
        };
      }
      const std::size_t before = first.messages.boxes().size();
      served.Button2Click();
      QVERIFY2(!served.Button2->isEnabled(), row.name);
      QTRY_VERIFY_WITH_TIMEOUT(!jobs.Following(), 4 * kWaitMs);
      QVERIFY2(served.Button2->isEnabled(), row.name);
      QVERIFY(served.Panel1->isHidden());

      if (row.secondWhileAsked) {
        // Declined, the first says no more than a No says in a window of
        // its own; the second was refused before anything was erased.
        QCOMPARE(first.messages.boxes().size(), before);
        QCOMPARE(second.messages.boxes().size(), std::size_t{1});
        QCOMPARE(second.messages.boxes().back().text,
                 std::string("pxraidd refused the firmware upgrade: a firmware job for this "
                             "enclosure is under way; nothing was changed."));
        QVERIFY(!otherJobs.Following());
        continue;
      }
      own.BitBtn1Click();
      own.Button2Click();
      QCOMPARE(first.messages.questions(), direct.messages.questions());
      QCOMPARE(first.messages.boxes().back(), direct.messages.boxes().back());
      QCOMPARE(first.messages.boxes().back().title, std::string("Firmware Upgrade Message"));
      QCOMPARE(served.statusBar().PanelText(4), own.statusBar().PanelText(4));
      QCOMPARE(served.Panel1->Caption(), own.Panel1->Caption());
      QCOMPARE(served.ProgressBar1->maximum(), own.ProgressBar1->maximum());
      QCOMPARE(served.ProgressBar1->value(), own.ProgressBar1->value());
      // The job's own outcome, as the service keeps it.
      px::bus::Bus reader;
      QVERIFY(px::bus::Connect(address, reader) >= 0);
      int32_t exitCode = -1;
      px::bus::BusError error;
      QVERIFY(sd_bus_get_property_trivial(reader.get(), px::bus::kServiceName,
                                          "/org/pxraid/PxRaid1/jobs/1", px::bus::kJobInterface,
                                          "ExitCode", &error.error, 'i', &exitCode) >= 0);
      QCOMPARE(exitCode, 0);
    }
  }
#endif

  void BothFrontEndsLogADeviceChangeAlike() {
    constexpr int kPolls = 5;
    const px::cli::VirtualScenario* scenario = px::cli::FindVirtualScenario("enclosure-plugged-in");
    QVERIFY(scenario != nullptr);
    const auto logged = [](const QString& folder) {
      std::vector<std::string> lines;
      for (const auto& file : std::filesystem::directory_iterator(folder.toStdString())) {
        if (file.path().extension() != ".log") continue;
        const px::LogFileRead read = px::ReadLogFile(file.path());
        // Each front end's clock and date format.
        static const std::regex time(R"(\d\d[./]\d\d[./]\d\d(\d\d)? \d\d:\d\d:\d\d)");
        for (const std::string& line : read.lines)
          lines.push_back(std::regex_replace(line, time, "TIME"));
      }
      return lines;
    };

    Rig rig;
    scenario->build(rig.bus);
    TForm1& form = rig.Start();
    rig.Detect();
    for (int poll = 0; poll < kPolls; ++poll) {
      px::cli::ApplyScriptSteps(*scenario, rig.bus, poll);
      // A device change is waited out and the enclosures found again, as the
      // window's drive watch does it, before the poll.
      for (int tick = 0; tick < 30; ++tick) {
        form.Timer4Timer();
        QTRY_VERIFY_WITH_TIMEOUT(!form.state().detection.handover.Pending(), kWaitMs);
      }
      if (poll > 0) form.Timer2Timer();
      QVERIFY(rig.Served());
    }
    form.close();

    QTemporaryDir monitorLog;
    px::cli::GlobalOptions global;
    global.virtualScenario = scenario->name;
    global.simulateTime = "2026-12-07T10:00:00";
    px::cli::Host host(global);
    px::cli::MonitorOptions options;
    options.polls = kPolls;
    options.intervalSeconds = 4;
    options.logDir = monitorLog.path().toStdString();
    options.history = (std::filesystem::path(options.logDir) / "history.sqlite").string();
    QCOMPARE(px::cli::RunMonitor(host, options), 0);

    const std::vector<std::string> window = logged(rig.logDir.path());
    const std::vector<std::string> monitor = logged(monitorLog.path());
    // The story was told: the plugged-in enclosure restarted the log.
    QVERIFY(std::any_of(window.begin(), window.end(), [](const std::string& line) {
      return line.find("has re-started from TIME") != std::string::npos;
    }));
    std::string both;
    for (std::size_t i = 0; i < std::max(window.size(), monitor.size()); ++i) {
      both += (i < window.size() ? window[i] : "-") + "  |  " +
              (i < monitor.size() ? monitor[i] : "-") + "\n";
    }
    if (window != monitor) std::fprintf(stderr, "window  |  pxraid monitor\n%s", both.c_str());
    QVERIFY(window == monitor);
  }

  // A disk chooses its own model, and the desktop's notification server reads
  // markup in a body: the model shows as the text it is.
  void NotificationsShowAModelAsText() {
    TrayRecord tray;
    Rig rig;
    rig.makeTray = [&tray](QWidget&) { return std::make_unique<RecordingTray>(tray); };
    px::sim::ControllerScenario scenario;
    scenario.p1.model = "<b>Big</b> & <i>fast";
    rig.bus.AttachEnclosure(0, scenario);
    TForm1& form = rig.Start();
    rig.Settle();
    rig.bus.EnclosureAt(0)->UpdateScenario([](auto& s) { s.p1.state = 9; });
    form.Timer2Timer();
    QVERIFY(rig.Served());
    QCOMPARE(tray.notified, std::vector<std::string>{"critical|Device1: P1 failed"});
    QCOMPARE(tray.bodies,
             QStringList{QStringLiteral(
                 "&lt;b&gt;Big&lt;/b&gt; &amp; &lt;i&gt;fast, serial WD-WCC3F0000002")});
  }

  void BuzzerMuteWritesSettings() {
    Rig rig;
    rig.AttachTwoEnclosures();
    TForm1& form = rig.Start();
    rig.Settle();
    auto enclosure = rig.bus.EnclosureAt(1);
    enclosure->ClearControlWrites();
    // The first display checked the box, which wrote the settings once and
    // keeps the box disabled for four ticks.
    for (int tick = 0; tick < 5; ++tick) form.Timer5Timer();
    QVERIFY(form.CheckBox6->isEnabled());
    QTest::mouseClick(form.CheckBox6, Qt::LeftButton);
    QVERIFY(rig.Served());
    const auto writes = enclosure->ControlWrites();
    QCOMPARE(writes.size(), std::size_t{1});
    QCOMPARE(writes[0].requestCode, uint8_t{0x20});
    QVERIFY(writes[0].signatureOk && writes[0].sumOk);
    QCOMPARE(writes[0].scheduleBackup, uint8_t{0});
    // The box stays disabled for four seconds after the write.
    QCOMPARE(form.state().enclosures[px::EnclosureSlot{0}].busyCountdown, uint8_t{4});
    form.Timer5Timer();
    QVERIFY(!form.CheckBox6->isEnabled());
  }

  void StartupNoticeFollowsTheFirstPoll() {
    Rig rig;
    rig.AttachTwoEnclosures();
    TForm1& form = rig.Start();
    rig.Detect();
    // Watch the order on the wire: the 0x21 write must come after the first
    // poll's status query of the same device.
    std::vector<std::string> events;
    std::mutex mutex;
    rig.transport.onCommand = [&](const px::ScsiRequest& request) {
      const uint32_t lba = (uint32_t{request.cdb[2]} << 24) | (uint32_t{request.cdb[3]} << 16) |
                           (uint32_t{request.cdb[4]} << 8) | request.cdb[5];
      std::lock_guard lock(mutex);
      if (request.cdb[0] == 0x2A && lba == 20) events.push_back("control");
      if (request.cdb[0] == 0x28 && lba == 17) events.push_back("reply");
    };
    QVERIFY(rig.Served());
    rig.transport.onCommand = nullptr;
    QCOMPARE(form.state().monitor.PollCount, 1u);
    QVERIFY(!events.empty());
    QCOMPARE(events.front(), std::string("reply"));
    const auto writes = rig.bus.EnclosureAt(1)->ControlWrites();
    QVERIFY(!writes.empty());
    QCOMPARE(writes.back().requestCode, uint8_t{0x1F});
    QCOMPARE(writes.back().hostEvent, uint8_t{0x21});
    QCOMPARE(writes.back().firstLba, uint64_t{0});
    QCOMPARE(writes.back().lastLba, uint64_t{0});
    QVERIFY(!form.state().monitor.FirstDisplay.load());
  }

  void EndOfSessionTellsTheController_data() {
    QTest::addColumn<int>("how");
    QTest::newRow("session manager, idle") << 0;
    QTest::newRow("session manager, inside a poll") << 1;
#ifdef __linux__
    QTest::newRow("SIGTERM") << 2;
#endif
  }

  void EndOfSessionTellsTheController() {
    QFETCH(int, how);
    Rig rig;
    rig.AttachTwoEnclosures();
    TForm1& form = rig.Start();
    rig.Settle();
    rig.bus.EnclosureAt(1)->ClearControlWrites();
    Watchdog watchdog(std::chrono::seconds(120));
    if (how == 0) {
      QVERIFY(form.QueryEndSession());
    } else if (how == 1) {
      bool asked = false;
      rig.transport.onCommand = [&](const px::ScsiRequest& request) {
        if (!asked && request.cdb[0] == 0x28 && QThread::currentThread() == form.thread()) {
          asked = true;
          QTimer::singleShot(0, &form, [&form] { QVERIFY(form.QueryEndSession()); });
        }
      };
      form.Button10Click();
      QTRY_VERIFY_WITH_TIMEOUT(!form.isVisible(), kWaitMs);
      rig.transport.onCommand = nullptr;
    } else {
#ifdef __linux__
      // The window asked for the signal; without it this would end the run.
      ::raise(SIGTERM);
      QTRY_VERIFY_WITH_TIMEOUT(!form.isVisible(), kWaitMs);
#endif
    }
    const auto writes = rig.bus.EnclosureAt(1)->ControlWrites();
    QCOMPARE(writes.size(), std::size_t{1});
    QCOMPARE(writes[0].hostEvent, uint8_t{0x20});
    QVERIFY(!form.isVisible());
    QVERIFY(form.state().flags.closing.load());
  }

  void FullUpgradeFromTheWindow() {
    Rig rig;
    rig.AttachTwoEnclosures();
    const std::vector<uint8_t> image = rig.WriteFirmwareFile();
    TForm1& form = rig.Start();
    rig.Settle();

    QTest::mouseClick(form.BitBtn1, Qt::LeftButton);
    QCOMPARE(form.firmware().FirmwareLength(), static_cast<uint32_t>(image.size()));
    QCOMPARE(form.statusBar().PanelText(4),
             QStringLiteral("File:") + QString::fromStdString(rig.firmwareFile.string()));
    QCOMPARE(form.statusBar().PanelWidth(4), 623 - 360);
    QTest::mouseClick(form.Button2, Qt::LeftButton);

    const auto boxes = rig.messages.boxes();
    QVERIFY(!boxes.empty());
    QCOMPARE(boxes.back().title, std::string("Firmware Upgrade Message"));
    QCOMPARE(boxes.back().icon, px::MessageIcon::Exclamation);
    QVERIFY(boxes.back().text.starts_with("Firmware Upgrade 4/4 completed!\n"));
    QCOMPARE(rig.bus.EnclosureAt(1)->ReadFlash(0, image.size()), image);
    QCOMPARE(form.statusBar().PanelText(4), QStringLiteral("SPI Verify OK"));
    QCOMPARE(form.ProgressBar1->maximum(), 1005);
    QCOMPARE(form.ProgressBar1->value(), 975);
    QVERIFY(form.Panel1->isHidden());
    QVERIFY(!form.Timer1->isActive());
    QVERIFY(!form.state().flags.firmwareBusy.load());
  }

  // "Start Upgrade" asks first, naming the device, its firmware and the
  // image's; No touches nothing. Yes backs the flash up into the log folder
  // with its checksum file, then upgrades, and the upgrade's start (with the
  // backup's path) and its end go into the day's log.
  void StartUpgradeAsksThenBacksUpAndLogsItsStartAndEnd() {
    Rig rig;
    rig.AttachTwoEnclosures();
    std::vector<uint8_t> installed(px::kFlashSize);
    for (std::size_t i = 0; i < installed.size(); ++i) installed[i] = static_cast<uint8_t>(i * 7);
    rig.bus.EnclosureAt(1)->SetFlash(0, installed);
    const std::vector<uint8_t> image = rig.WriteFirmwareFile();
    TForm1& form = rig.Start();
    rig.Settle();
    form.BitBtn1Click();
    const std::filesystem::path logs = rig.logDir.path().toStdString();
    const auto inLogs = [&](const std::string& prefix) {
      std::vector<std::string> found;
      for (const auto& entry : std::filesystem::directory_iterator(logs)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(prefix)) found.push_back(name);
      }
      std::sort(found.begin(), found.end());
      return found;
    };
    const auto firmwareLines = [&] {
      std::vector<std::string> lines;
      for (const std::string& name : inLogs("")) {
        if (!name.ends_with(".log")) continue;
        for (const std::string& line :
             px::ReadLogLines(logs / name).value_or(std::vector<std::string>{})) {
          if (line.find(" Firmware ") != std::string::npos) lines.push_back(line);
        }
      }
      return lines;
    };
    const px::test::RecordingMessages::Box question{
        "Start Upgrade",
        "Erase and reprogram the flash of device 1 (PX SATA RAID Box, drive 1, firmware "
        "140318.5) with the firmware 140902.5 of " +
            rig.firmwareFile.string() + "?",
        px::MessageIcon::None};

    rig.messages.answer = [](const std::string&) { return false; };
    const std::size_t commands = rig.bus.EnclosureAt(1)->CommandCount();
    QTest::mouseClick(form.Button2, Qt::LeftButton);
    QCOMPARE(rig.messages.questions(), std::vector{question});
    QCOMPARE(rig.bus.EnclosureAt(1)->CommandCount(), commands);
    QCOMPARE(rig.bus.EnclosureAt(1)->ReadFlash(0, px::kFlashSize), installed);
    QVERIFY(inLogs("flash_").empty());
    QVERIFY(firmwareLines().empty());
    QVERIFY(!form.state().flags.firmwareBusy.load());

    rig.messages.answer = nullptr;
    QTest::mouseClick(form.Button2, Qt::LeftButton);
    QCOMPARE(rig.messages.questions(), (std::vector{question, question}));
    QCOMPARE(rig.messages.boxes().back().title, std::string("Firmware Upgrade Message"));
    QCOMPARE(rig.bus.EnclosureAt(1)->ReadFlash(0, image.size()), image);
    const std::vector<std::string> backups = inLogs("flash_WD-WCC3F0000001_WD-WCC3F0000002_");
    QCOMPARE(backups.size(), std::size_t{2});
    const std::filesystem::path backup = logs / backups[0];
    QCOMPARE(px::LoadFlashBackup(backup, rig.messages), std::optional(installed));
    const std::vector<std::string> lines = firmwareLines();
    QCOMPARE(lines.size(), std::size_t{2});
    const std::string enclosure = "enclosure WD-WCC3F0000001_WD-WCC3F0000002";
    QVERIFY2(lines[0].starts_with("D1 Firmware upgrade started, " + enclosure + ", file \"" +
                                  rig.firmwareFile.string() + "\", backup \"" + backup.string() +
                                  "\", "),
             lines[0].c_str());
    QVERIFY2(lines[1].starts_with("D1 Firmware upgrade ended, " + enclosure + ": SPI Verify OK, "),
             lines[1].c_str());
  }

  // A flash the logs show cut short is told in a box once every drive could
  // be probed (one held elsewhere may be that very flash going on), and
  // only once.
  void AFlashCutShortIsToldOnce() {
    Rig rig;
    rig.AttachTwoEnclosures();
    const px::FlashRun run{px::FlashKind::Upgrade, 2, "S1_S2", "/x/fw.bin", "/x/flash.bin"};
    std::ofstream(std::filesystem::path(rig.logDir.path().toStdString()) / "200101.log",
                  std::ios::binary)
        << px::FlashStartedLine(run) << ", 01.01.2020 10:00:00\r\n";
    const px::test::RecordingMessages::Box notice{
        "Message",
        "The firmware upgrade of device 2 (disks S1 and S2) that started 01.01.2020 10:00:00 was "
        "cut short: its flash may be half written. Before the enclosure is switched off, put its "
        "backup back: pxraid firmware restore --device 2 /x/flash.bin",
        px::MessageIcon::Exclamation};
    const auto told = [&] {
      const auto boxes = rig.messages.boxes();
      return std::count(boxes.begin(), boxes.end(), notice);
    };
    const px::ClaimToken other =
        rig.bus.TryClaimDrive(px::PhysicalDrive(3), px::ClaimPurpose::Firmware);
    TForm1& form = rig.Start();
    rig.Settle();
    QCOMPARE(told(), 0);
    rig.bus.ReleaseDrive(other);
    for (int tick = 0; tick < 7; ++tick) form.Timer4Timer();
    rig.Settle();
    QCOMPARE(form.state().devices.DeviceCount.load(), 2u);
    QCOMPARE(told(), 1);
    form.state().detection.handover.Request();
    rig.Settle();
    QCOMPARE(told(), 1);
  }

  void UpgradeClickedDuringAPollWaitsForIt() {
    Rig rig;
    rig.AttachTwoEnclosures();
    const std::vector<uint8_t> image = rig.WriteFirmwareFile();
    TForm1& form = rig.Start();
    rig.Settle();
    form.BitBtn1Click();
    QVERIFY(form.firmware().FirmwareLength() > 0);

    // A double click arrives through the poll's own message pump: it waits
    // for the poll, and upgrades once.
    bool clicked = false;
    rig.transport.onCommand = [&](const px::ScsiRequest& request) {
      if (!clicked && request.cdb[0] == 0x28 && request.cdb[5] == 17 &&
          QThread::currentThread() == form.thread()) {
        clicked = true;
        QTimer::singleShot(0, &form, [&form] {
          form.Button2Click();
          form.Button2Click();
        });
      }
    };
    form.Button10Click();
    QTRY_VERIFY_WITH_TIMEOUT(clicked, kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.messages.boxes().empty(), kWaitMs);
    rig.transport.onCommand = nullptr;
    QVERIFY(rig.Served());
    QCOMPARE(rig.messages.boxes().back().title, std::string("Firmware Upgrade Message"));
    QCOMPARE(rig.Boxes("Firmware Upgrade Message"), std::size_t{1});
    QCOMPARE(rig.Erases(1), std::size_t{15});
    QCOMPARE(rig.bus.EnclosureAt(1)->BadChecksumCount(), 0u);
    QCOMPARE(rig.bus.EnclosureAt(1)->ReadFlash(0, image.size()), image);
  }

  // Firmware clicks that arrive while firmware work runs are dropped, not
  // served afterwards: no second upgrade once the user has been told to
  // power the device off, no file dialog after it.
  void FirmwareClicksDuringAnUpgradeDoNothing() {
    Rig rig;
    rig.AttachTwoEnclosures();
    const std::vector<uint8_t> image = rig.WriteFirmwareFile();
    TForm1& form = rig.Start();
    rig.Settle();
    form.BitBtn1Click();
    QCOMPARE(rig.fileDialogs, 1);
    bool clicked = false;
    rig.transport.onCommand = [&](const px::ScsiRequest& request) {
      // In the middle of the programming stage, from the upgrade's pump:
      // after the backup's two passes over the (erased) flash and the 15
      // erases.
      if (!clicked && request.cdb[0] == 0x28 &&
          rig.bus.EnclosureAt(1)->CommandCount() == 960 + 15 + 100) {
        clicked = true;
        QTimer::singleShot(0, &form, [&form] {
          QTest::mouseClick(form.Button2, Qt::LeftButton);
          QTest::mouseClick(form.BitBtn1, Qt::LeftButton);
        });
      }
    };
    QTest::mouseClick(form.Button2, Qt::LeftButton);
    rig.transport.onCommand = nullptr;
    QVERIFY(clicked);
    QVERIFY(rig.Served());
    QTest::qWait(50);
    QCOMPARE(rig.Boxes("Firmware Upgrade Message"), std::size_t{1});
    QCOMPARE(rig.Erases(1), std::size_t{15});
    QCOMPARE(rig.fileDialogs, 1);
    QCOMPARE(rig.bus.EnclosureAt(1)->ReadFlash(0, image.size()), image);
    QVERIFY(!form.state().flags.firmwareBusy.load());
  }

  void ClosingDuringAnUpgradeIsRefused() {
    Rig rig;
    rig.AttachTwoEnclosures();
    const std::vector<uint8_t> image = rig.WriteFirmwareFile();
    TForm1& form = rig.Start();
    rig.Settle();
    form.BitBtn1Click();
    bool refused = false;
    QTimer::singleShot(0, &form, [&] { refused = !form.close(); });
    form.Button2Click();
    QVERIFY(refused);
    const auto boxes = rig.messages.boxes();
    QVERIFY(boxes.size() >= 2);
    QCOMPARE(boxes[boxes.size() - 2].title, std::string("Message"));
    QCOMPARE(boxes[boxes.size() - 2].text,
             std::string("Firmware is upgrading, please wait a moment."));
    QCOMPARE(boxes.back().title, std::string("Firmware Upgrade Message"));
    QVERIFY(form.isVisible());
    QVERIFY(!form.state().flags.closing.load());
  }

  void ClosingNeverHangs_data() {
    QTest::addColumn<int>("moment");
    QTest::newRow("hand-over waiting") << 0;
    QTest::newRow("inside a poll") << 1;
    QTest::newRow("detection probing a slow drive") << 2;
  }

  void ClosingNeverHangs() {
    QFETCH(int, moment);
    Rig rig;
    rig.AttachTwoEnclosures();
    std::atomic<int> slowReads{0};
    if (moment == 2) {
      // Every command of the detection thread takes 20 ms of real time.
      rig.transport.onCommand = [&](const px::ScsiRequest&) {
        if (QThread::currentThread() != QCoreApplication::instance()->thread()) {
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
          ++slowReads;
        }
      };
    }
    TForm1& form = rig.Start();
    Watchdog watchdog(std::chrono::seconds(120));
    if (moment == 0) {
      // The polling thread is left waiting in its hand-over while this
      // thread does not run its events, then the window closes.
      rig.Settle();
      form.Button10Click();
      QTest::qSleep(200);
      QVERIFY(form.close());
    } else if (moment == 1) {
      // The close request arrives through the poll's message pump.
      rig.Settle();
      bool asked = false;
      rig.transport.onCommand = [&](const px::ScsiRequest& request) {
        if (!asked && request.cdb[0] == 0x28 && QThread::currentThread() == form.thread()) {
          asked = true;
          QTimer::singleShot(0, &form, [&form] { form.close(); });
        }
      };
      form.Button10Click();
      QTRY_VERIFY_WITH_TIMEOUT(!form.isVisible(), kWaitMs);
    } else {
      QTRY_VERIFY_WITH_TIMEOUT(slowReads.load() >= 5, kWaitMs);
      QVERIFY(form.state().detection.handover.Pending());
      QVERIFY(form.close());
      // The probe gave up at its next step rather than finishing the drives.
      QVERIFY(!form.state().detection.handover.Finished() || form.state().devices.DeviceCount < 2);
    }
    rig.transport.onCommand = nullptr;
    QVERIFY(form.state().flags.closing.load());
    QCOMPARE(form.state().monitor.MonitorRequests.load(), uint8_t{0});
    QVERIFY(!form.Timer4->isActive());
  }

  void EscapingExceptionIsShown_data() {
    QTest::addColumn<bool>("standard");
    QTest::addColumn<QString>("text");
    QTest::newRow("std::exception") << true << "no transport";
    QTest::newRow("anything else") << false << "";
  }

  void EscapingExceptionIsShown() {
    QFETCH(bool, standard);
    QFETCH(QString, text);
    px::test::RecordingMessages messages;
    int argc = 1;
    char name[] = "pxgui";
    char* argv[] = {name, nullptr};
    px::app::AppEnvironment env;
    env.messages = &messages;
    env.makeTransport = [standard]() -> std::unique_ptr<px::Transport> {
      if (standard) throw std::runtime_error("no transport");
      throw 42;
    };
    QCOMPARE(px::app::RunApplication(argc, argv, std::move(env)), 0);
    const auto boxes = messages.boxes();
    QCOMPARE(boxes.size(), std::size_t{1});
    QCOMPARE(QString::fromStdString(boxes[0].text), text);
    QCOMPARE(boxes[0].icon, px::MessageIcon::Error);
    // The lock went with the failed run: the next start is not refused.
    px::app::SingleInstance next("PX_GUI");
    QVERIFY(next.acquired());
  }

  void SecondInstanceIsRefused() {
    px::test::RecordingMessages messages;
    int argc = 1;
    char name[] = "pxgui";
    char* argv[] = {name, nullptr};
    {
      px::app::SingleInstance first("PX_GUI");
      QVERIFY(first.acquired());
      px::app::AppEnvironment env;
      env.messages = &messages;
      bool built = false;
      env.makeTransport = [&built]() -> std::unique_ptr<px::Transport> {
        built = true;
        return std::make_unique<px::sim::VirtualBus>();
      };
      QCOMPARE(px::app::RunApplication(argc, argv, std::move(env)), 0);
      QVERIFY(!built);  // no window, no device touched
      const auto boxes = messages.boxes();
      QCOMPARE(boxes.size(), std::size_t{1});
      QCOMPARE(boxes[0].title, std::string("Message"));
      QCOMPARE(boxes[0].text, std::string("Application is running ...\n Please check again !!!"));
    }
    // Once the first copy is gone the program runs normally.
    QTemporaryDir logDir;
    px::app::AppEnvironment env;
    env.messages = &messages;
    env.logDirectory = logDir.path().toStdString();
    env.makeTransport = [] { return std::make_unique<px::sim::VirtualBus>(); };
    bool started = false;
    env.onStarted = [&started](TForm1& form) {
      started = true;
      QTimer::singleShot(0, &form, [&form] { form.close(); });
    };
    QCOMPARE(px::app::RunApplication(argc, argv, std::move(env)), 0);
    QVERIFY(started);
    QCOMPARE(messages.boxes().size(), std::size_t{1});
  }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
