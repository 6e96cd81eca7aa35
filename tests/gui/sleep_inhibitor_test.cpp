// The window keeps the machine awake during an upgrade by asking logind
// through sd-bus, over a real dbus-daemon that this process takes for its
// system bus, with a stand-in logind that records what it was asked and sees
// when the window lets go.

#include "app/platform/sleep_inhibitor.h"

#include <QTemporaryDir>
#include <QtTest>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/form1_main.h"
#include "bus/logind_inhibitor.h"
#include "sim/demo_scenarios.h"
#include "sim/fake_clock.h"
#include "sim/virtual_bus.h"
#include "support/demo_firmware.h"
#include "support/logind_stand_in.h"
#include "support/private_runtime.h"
#include "support/recording_ui.h"

namespace {

using px::test::LogindStandIn;
using Answer = LogindStandIn::Answer;

constexpr char kWhy[] = "Firmware upgrade in progress";
constexpr char kNoticeStart[] =
    "Firmware upgrade in progress, but sleep and shutdown are not held off (";

}  // namespace

class SleepInhibitorTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    px::test::UsePrivateRuntimeDirectory();
    bus_ = std::make_unique<px::test::PrivateBus>();
    if (bus_->address().empty()) {
      QSKIP(qPrintable(QStringLiteral("SKIPPED: no private dbus-daemon (%1); install the dbus "
                                      "package (scripts/install-deps.sh) to run these tests")
                           .arg(QString::fromStdString(bus_->failure()))));
    }
    // Before anything in this process connects to the system bus.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", QByteArray::fromStdString(bus_->address()));
  }

  void AsksLogindAndLetsGo_data() {
    QTest::addColumn<int>("logind");  // -1: nobody owns the name
    QTest::addColumn<bool>("held");
    QTest::addColumn<QString>("notice");
    QTest::newRow("logind grants") << int(Answer::Grant) << true << QString();
    QTest::newRow("logind refuses")
        << int(Answer::Refuse) << false
        << QString::fromLatin1(kNoticeStart) + QStringLiteral("logind: Permission denied");
    QTest::newRow("no logind on the bus")
        << -1 << false << QString::fromLatin1(kNoticeStart) + QStringLiteral("logind: ");
  }

  void AsksLogindAndLetsGo() {
    QFETCH(int, logind);
    QFETCH(bool, held);
    QFETCH(QString, notice);
    std::optional<LogindStandIn> standIn;
    if (logind >= 0) {
      standIn.emplace(bus_->address(), static_cast<Answer>(logind));
      QCOMPARE(standIn->failure(), std::string());
    }
    std::vector<std::string> notices;
    {
      px::bus::SdBusLogindInhibitor inhibitor(
          "PX RAID Utility", [&](std::string_view text) { notices.emplace_back(text); },
          bus_->address());
      for (int upgrade = 0; upgrade < 2; ++upgrade) {
        inhibitor.Acquire(kWhy);
        if (standIn) QCOMPARE(standIn->Held(), held ? 1 : 0);
        inhibitor.Release();
        if (standIn) QVERIFY(standIn->AllReleased());
      }
    }
    if (standIn) {
      const LogindStandIn::Call call{"sleep:shutdown", "PX RAID Utility", kWhy, "block"};
      QCOMPARE(standIn->Calls(), std::vector<LogindStandIn::Call>(2, call));
    }
    if (notice.isEmpty()) {
      QVERIFY(notices.empty());
    } else {
      QCOMPARE(notices.size(), std::size_t{1});
      QVERIFY2(QString::fromStdString(notices[0]).startsWith(notice), notices[0].c_str());
    }
  }

  void NoBusAtAllIsToldOnce() {
    std::vector<std::string> notices;
    {
      px::bus::SdBusLogindInhibitor inhibitor(
          "PX RAID Utility", [&](std::string_view text) { notices.emplace_back(text); },
          "unix:path=/nonexistent/px-no-bus");
      for (int upgrade = 0; upgrade < 2; ++upgrade) {
        inhibitor.Acquire(kWhy);
        inhibitor.Release();
      }
    }
    QCOMPARE(notices.size(), std::size_t{1});
    QVERIFY2(QString::fromStdString(notices[0])
                 .startsWith(QString::fromLatin1(kNoticeStart) + QStringLiteral("no system bus: ")),
             notices[0].c_str());
  }

  // Three upgrades from the window on the system bus: with logind there,
  // then gone (said once in the message panel while the erase runs), then
  // still gone (not said again). Each one completes.
  void TheWindowHoldsItDuringTheUpgradeAndSaysOnceWhenItCannot() {
    px::sim::FakeClock clock;
    px::sim::VirtualBus bus{&clock};
    bus.AttachEnclosure(1);
    px::test::RecordingMessages messages;
    QTemporaryDir logDir;
    const std::vector<uint8_t> image = px::sim::DemoFirmwareFile();
    const std::filesystem::path file = px::test::WriteDemoFirmware(logDir.path().toStdString());
    px::app::FormServices services;
    services.transport = &bus;
    services.messages = &messages;
    services.clock = &clock;
    services.logDirectory = logDir.path().toStdString();
    services.chooseFirmwareFile = [&file]() -> std::optional<std::filesystem::path> {
      return file;
    };
    px::app::TForm1 form(std::move(services));
    QTRY_VERIFY(form.state().detection.handover.Finished());
    form.Timer4Timer();
    form.BitBtn1Click();
    QVERIFY(form.firmware().FirmwareLength() > 0);

    auto standIn = std::make_unique<LogindStandIn>(bus_->address(), Answer::Grant);
    QCOMPARE(standIn->failure(), std::string());
    const QString said = QString::fromLatin1(kNoticeStart) + QStringLiteral("logind: ");
    for (int upgrade = 0; upgrade < 3; ++upgrade) {
      if (upgrade == 1) {
        QVERIFY(standIn->AllReleased());
        QCOMPARE(standIn->Calls(), (std::vector<LogindStandIn::Call>{
                                       {"sleep:shutdown", "PX RAID Utility", kWhy, "block"}}));
        standIn.reset();
      }
      // Looked at from the first event the erase stage runs (the backup
      // before it runs events too).
      QString duringErase;
      int held = -1;
      QTimer erasing;
      erasing.setInterval(0);
      QObject::connect(&erasing, &QTimer::timeout, &form, [&] {
        if (form.Panel1->Caption() != QStringLiteral("Process 2 / 4")) return;
        duringErase = form.statusBar().PanelText(4);
        if (standIn) held = standIn->Held();
        erasing.stop();
      });
      erasing.start();
      form.Button2Click();
      QCOMPARE(messages.boxes().back().title, std::string("Firmware Upgrade Message"));
      QCOMPARE(form.statusBar().PanelText(4), QStringLiteral("SPI Verify OK"));
      if (upgrade == 1) {
        QVERIFY2(duringErase.startsWith(said), qPrintable(duringErase));
      } else {
        QCOMPARE(duringErase, QStringLiteral("SPI test OK"));
      }
      if (upgrade == 0) QCOMPARE(held, 1);
    }
    QCOMPARE(bus.EnclosureAt(1)->ReadFlash(0, image.size()), image);
    form.close();
  }

  void cleanupTestCase() { bus_.reset(); }

 private:
  std::unique_ptr<px::test::PrivateBus> bus_;
};

QTEST_MAIN(SleepInhibitorTest)
#include "sleep_inhibitor_test.moc"
