// The platform glue under the main window: the user's date formats, the
// single-instance lock, status-bar texts from another thread, the pause that
// keeps the window alive, the advice given when the disks refuse us, and a
// replay that runs out under the window.

#include <QApplication>
#include <QTemporaryDir>
#include <QtTest>
#include <cerrno>
#include <thread>

#include "app/application.h"
#include "app/form1_main.h"
#include "app/platform/single_instance.h"
#include "app/status_bar.h"
#include "app/window_clock.h"
#include "device/replayer.h"
#include "eventlog/log_time.h"
#include "sim/fake_clock.h"
#include "sim/virtual_bus.h"
#include "support/private_runtime.h"
#include "support/recording_ui.h"

#ifdef __linux__
#include "device/linux/sg_transport.h"
#include "unit/linux/fake_host.h"
#endif

class PlatformTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { px::test::UsePrivateRuntimeDirectory(); }

  // The window dates its log lines as pxraid does on the same machine: the
  // C library's short date and long time for the user's LC_TIME, not the
  // toolkit's, which wrote "7 Dec 2026" where pxraid wrote "12/07/26".
  void TimestampsAreTheCLibrarysForTheUsersLocale_data() {
    QTest::addColumn<int>("hour");
    QTest::addColumn<QString>("expected");
    QTest::newRow("afternoon") << 15 << "12/07/26 15:04:05";
    QTest::newRow("midnight") << 0 << "12/07/26";
  }

  void TimestampsAreTheCLibrarysForTheUsersLocale() {
    QFETCH(int, hour);
    QFETCH(QString, expected);
    const QByteArray user = qgetenv("LC_ALL");
    qputenv("LC_ALL", "C");
    px::sim::FakeClock clock;
    px::sim::VirtualBus bus(&clock);
    px::test::RecordingMessages messages;
    QTemporaryDir logs;
    px::app::FormServices services;
    services.transport = &bus;
    services.messages = &messages;
    services.clock = &clock;
    services.logDirectory = logs.path().toStdString();
    px::app::TForm1 form(std::move(services));
    if (user.isNull()) {
      qunsetenv("LC_ALL");
    } else {
      qputenv("LC_ALL", user);
    }
    const px::LogTime time{2026, 12, 7, hour, hour == 0 ? 0 : 4, hour == 0 ? 0 : 5};
    QCOMPARE(QString::fromStdString(px::FormatTimestamp(time, form.dateFormat())), expected);
    form.close();
  }

  void OneInstanceAtATime() {
    {
      px::app::SingleInstance first("PX_GUI_TEST");
      QVERIFY(first.acquired());
      px::app::SingleInstance second("PX_GUI_TEST");
      QVERIFY(!second.acquired());
      px::app::SingleInstance other("PX_GUI_OTHER");
      QVERIFY(other.acquired());
    }
    px::app::SingleInstance again("PX_GUI_TEST");
    QVERIFY(again.acquired());
  }

  void PanelTextsFromAnotherThreadArriveOnTheWindowsThread() {
    QWidget window;
    auto* bar = new px::app::PanelStatusBar(&window);
    px::app::WindowPanels panels(*bar);
    panels.SetText(2, "Mode 1");
    QCOMPARE(bar->PanelText(2), QStringLiteral("Mode 1"));  // same thread: at once
    std::thread([&] { panels.SetText(3, "3, 1OK"); }).join();
    QCOMPARE(bar->PanelText(3), QString());  // not touched off its thread
    QTRY_COMPARE(bar->PanelText(3), QStringLiteral("3, 1OK"));
    panels.SetText(7, "nowhere");  // a panel the bar does not have is ignored
  }

  void PausesOnTheWindowsThreadKeepItsEventsGoing() {
    QObject window;
    px::sim::FakeClock inner;
    px::app::WindowClock clock(inner, window);
    int ran = 0;
    QTimer::singleShot(0, &window, [&ran] { ++ran; });
    clock.SleepMs(200);
    QCOMPARE(ran, 1);
    QCOMPARE(inner.SleptMs(), uint64_t{200});
    // Elsewhere a pause is just a pause: no events of this thread run.
    QTimer::singleShot(0, &window, [&ran] { ++ran; });
    std::thread([&] { clock.SleepMs(50); }).join();
    QCOMPARE(ran, 1);
    QCOMPARE(inner.SleptMs(), uint64_t{250});
    QCoreApplication::processEvents();
  }

  // The recording ends before the window's first look at the host: the
  // window says so once and goes on without drives, looking again now and
  // then as it does when it has none, without waiting for the replay.
  void AReplayThatRunsOutIsReportedOnceAndTheWindowGoesOn() {
    QTemporaryDir dir;
    const std::string file = (dir.path() + QStringLiteral("/short.jsonl")).toStdString();
    QFile header(QString::fromStdString(file));
    QVERIFY(header.open(QIODevice::WriteOnly));
    header.write(R"({"recording":"px-raid-session","version":1,"program":"pxgui"})"
                 "\n");
    header.close();
    px::Replayer replayer(file, px::Replayer::Pauses::Real);
    px::test::RecordingMessages messages;
    px::app::FormServices services;
    services.transport = &replayer;
    services.messages = &messages;
    services.clock = &replayer.clock();
    services.logDirectory = dir.path().toStdString();
    px::app::TForm1 form(std::move(services));
    px::app::ReportReplayStops(replayer, form);
    QTRY_COMPARE(messages.boxes().size(), std::size_t{1});
    const px::test::RecordingMessages::Box box = messages.boxes()[0];
    QCOMPARE(box.title, std::string("Message"));
    QCOMPARE(box.text, "Replay stopped: the recording " + file +
                           " ends at line 1; came a new look at the host's disks");
    for (int detection = 0; detection < 2; ++detection) {
      QTRY_VERIFY(form.state().detection.handover.Finished());
      form.Timer4Timer();
      QCOMPARE(form.state().devices.DeviceCount.load(), 0u);
      form.state().detection.handover.Request();
    }
    QCoreApplication::processEvents();
    QCOMPARE(messages.boxes().size(), std::size_t{1});
    form.close();
  }

#ifdef __linux__
  void DisksThatRefuseUsAreExplainedOnce() {
    px::test::FakeHost host;
    host.AddDisk("sda");
    host.AddDisk("sdb");
    px::SgTransport transport(host.roots(), [](const char*, int) { return -EACCES; });
    px::test::RecordingMessages messages;
    QTemporaryDir logDir;
    px::sim::FakeClock clock;
    px::app::FormServices services;
    services.transport = &transport;
    services.messages = &messages;
    services.clock = &clock;
    services.logDirectory = logDir.path().toStdString();
    px::app::TForm1 form(std::move(services));
    QTRY_VERIFY(form.state().detection.handover.Finished());
    form.Timer4Timer();
    const QString advice = form.statusBar().PanelText(4);
    QVERIFY2(advice.startsWith(QStringLiteral("No permission to open ")), qPrintable(advice));
    QVERIFY(advice.contains(QStringLiteral("/dev/sd")));
    QVERIFY(advice.contains(QStringLiteral("run as root")));
    // The next detection that finds nothing does not say it again.
    form.panels().SetText(4, " ");
    form.state().detection.handover.Request();
    QTRY_VERIFY(form.state().detection.handover.Finished());
    form.Timer4Timer();
    QCOMPARE(form.statusBar().PanelText(4), QStringLiteral(" "));
    form.close();
  }
#endif
};

QTEST_MAIN(PlatformTest)
#include "platform_test.moc"
