// The event log viewer, driven the way a user drives it, with its timer
// called tick by tick.

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/form5_event_log.h"
#include "support/recording_ui.h"
#include "support/when_modal.h"

using px::app::TForm5;

namespace {

using px::test::WhenModal;

QStringList MemoLines(const TForm5& viewer) {
  const QString text = viewer.Memo1->toPlainText();
  return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

QStringList Q(const std::vector<std::string>& lines) {
  QStringList out;
  for (const std::string& line : lines) out << QString::fromStdString(line);
  return out;
}

}  // namespace

class LogViewerTest : public QObject {
  Q_OBJECT

 private slots:
  void ViewerFollowsTheLogLive();
  void ViewerOpenedDuringAPollFillsAtTheNextTick();
  void ViewerShowsAChosenFileAndStopsFollowing();
  void ViewerShowsWhatIsNotPrintableEscaped();
};

void LogViewerTest::ViewerFollowsTheLogLive() {
  px::EventLogState state;
  std::vector<std::string>& log = state.LogLines;
  log = {"line 1", "line 2"};
  px::MonitorState monitor;
  monitor.MonitorRequests = px::kMonitoringActive | px::kPollStatus;
  px::test::RecordingMessages messages;
  TForm5 viewer(state, monitor, messages);
  viewer.show();

  QCOMPARE(viewer.size(), QSize(TForm5::kClientWidth, TForm5::kClientHeight));
  QCOMPARE(viewer.Memo1->size(), QSize(465, 241));
  QVERIFY(viewer.Memo1->isReadOnly());
  QCOMPARE(viewer.Timer1->interval(), 1000);
  QVERIFY(viewer.Timer1->isActive());
  QCOMPARE(viewer.windowTitle(), QStringLiteral("Event log - Real Time"));
  QCOMPARE(MemoLines(viewer), Q(log));
  const QColor windowText = QApplication::palette().color(QPalette::Active, QPalette::Text);
  const QColor grayText = QApplication::palette().color(QPalette::Disabled, QPalette::Text);
  QVERIFY(windowText != grayText);
  QCOMPARE(viewer.Memo1->palette().color(QPalette::Text), windowText);

  // Three lines between ticks: exactly those three appear.
  log.insert(log.end(), {"line 3", "line 4", "line 5"});
  viewer.Timer1Timer();
  QCOMPARE(MemoLines(viewer), Q(log));
  viewer.Timer1Timer();
  QCOMPARE(MemoLines(viewer), Q(log));

  // Monitoring stopped: the paused caption in grey at the next tick.
  monitor.MonitorRequests = 0;
  viewer.Timer1Timer();
  QCOMPARE(viewer.windowTitle(), QStringLiteral("Event log - Real Time( Paused )"));
  QCOMPARE(viewer.Memo1->palette().color(QPalette::Text), grayText);

  // A new day with fewer lines than shown: the whole view is reloaded.
  log = {"new day"};
  viewer.Timer1Timer();
  QCOMPARE(MemoLines(viewer), Q(log));
  log.push_back("and more");
  viewer.Timer1Timer();
  QCOMPARE(MemoLines(viewer), Q(log));
  QVERIFY(messages.boxes().empty());
}

void LogViewerTest::ViewerOpenedDuringAPollFillsAtTheNextTick() {
  px::EventLogState state;
  std::vector<std::string>& log = state.LogLines;
  log = {"a", "b", "c"};
  px::MonitorState monitor;
  monitor.PollInProgress = true;
  px::test::RecordingMessages messages;
  TForm5 viewer(state, monitor, messages);
  viewer.show();
  QVERIFY(MemoLines(viewer).isEmpty());
  QCOMPARE(viewer.windowTitle(), QStringLiteral("Event log - Real Time( Paused )"));

  // The caption follows monitoring even while the poll still runs.
  monitor.MonitorRequests = px::kMonitoringActive;
  viewer.Timer1Timer();
  QCOMPARE(viewer.windowTitle(), QStringLiteral("Event log - Real Time"));
  QVERIFY(MemoLines(viewer).isEmpty());

  monitor.PollInProgress = false;
  viewer.Timer1Timer();
  QCOMPARE(MemoLines(viewer), Q(log));
}

void LogViewerTest::ViewerShowsAChosenFileAndStopsFollowing() {
  QTemporaryDir dir;
  const std::filesystem::path file = std::filesystem::path(dir.path().toStdString()) / "261207.log";
  const std::filesystem::path empty = std::filesystem::path(dir.path().toStdString()) / "empty.log";
  {
    std::ofstream(file, std::ios::binary) << "first\r\nsecond\rthird\n";
    std::ofstream(empty, std::ios::binary) << "";
  }
  px::EventLogState state;
  std::vector<std::string>& log = state.LogLines;
  log = {"live 1", "live 2"};
  px::MonitorState monitor;
  monitor.MonitorRequests = px::kMonitoringActive;
  px::test::RecordingMessages messages;
  TForm5 viewer(state, monitor, messages);
  std::optional<std::filesystem::path> choice = file;
  viewer.SetFileChooser([&choice] { return choice; });
  viewer.show();

  QTest::mouseClick(viewer.Button2, Qt::LeftButton);
  QCOMPARE(viewer.windowTitle(), QStringLiteral("Event log - 261207.log"));
  QCOMPARE(MemoLines(viewer), (QStringList{"first", "second", "third"}));
  QVERIFY(!viewer.Timer1->isActive());
  log.push_back("live 3");
  viewer.Timer1Timer();
  QCOMPARE(MemoLines(viewer), (QStringList{"first", "second", "third"}));

  // "Real Time Log" returns to the live view with a full copy.
  QTest::mouseClick(viewer.Button1, Qt::LeftButton);
  QCOMPARE(viewer.windowTitle(), QStringLiteral("Event log - Real Time"));
  QCOMPARE(MemoLines(viewer), Q(log));
  QVERIFY(viewer.Timer1->isActive());

  // Cancelling the dialog keeps caption and lines, but stops following.
  choice.reset();
  QTest::mouseClick(viewer.Button2, Qt::LeftButton);
  QCOMPARE(viewer.windowTitle(), QStringLiteral("Event log - Real Time"));
  QCOMPARE(MemoLines(viewer), Q(log));
  QVERIFY(!viewer.Timer1->isActive());
  const QStringList before = Q(log);
  log.push_back("live 4");
  viewer.Timer1Timer();
  QCOMPARE(MemoLines(viewer), before);

  choice = empty;
  QTest::mouseClick(viewer.Button2, Qt::LeftButton);
  QCOMPARE(viewer.windowTitle(), QStringLiteral("Event log - empty.log"));
  QVERIFY(MemoLines(viewer).isEmpty());
  QVERIFY(messages.boxes().empty());
}

// A file may hold anything another program or an editor put there; a line
// separator in it must not show as a line of its own, nor any control
// character as itself. Lines of the live log show the same way.
void LogViewerTest::ViewerShowsWhatIsNotPrintableEscaped() {
  QTemporaryDir dir;
  const std::filesystem::path file = std::filesystem::path(dir.path().toStdString()) / "261207.log";
  std::ofstream(file, std::ios::binary)
      << "D1 \x1B[2Jclear\r\none\xE2\x80\xA8two\xE2\x80\xA9three\r\nn\xC3\xA9o\x0B\x0C\r\n";
  px::EventLogState state;
  state.LogLines = {"live"};
  px::MonitorState monitor;
  monitor.MonitorRequests = px::kMonitoringActive;
  px::test::RecordingMessages messages;
  TForm5 viewer(state, monitor, messages);
  viewer.SetFileChooser([&file] { return file; });
  viewer.show();

  QTest::mouseClick(viewer.Button2, Qt::LeftButton);
  QCOMPARE(MemoLines(viewer),
           (QStringList{QStringLiteral("D1 \\x1B[2Jclear"),
                        QStringLiteral("one\\xE2\\x80\\xA8two\\xE2\\x80\\xA9three"),
                        QString::fromUtf8("n\xC3\xA9o\\x0B\\x0C")}));

  QTest::mouseClick(viewer.Button1, Qt::LeftButton);
  state.LogLines.push_back("bell\x07");
  viewer.Timer1Timer();
  QCOMPARE(MemoLines(viewer), (QStringList{QStringLiteral("live"), QStringLiteral("bell\\x07")}));
}

QTEST_MAIN(LogViewerTest)
#include "log_viewer_test.moc"
