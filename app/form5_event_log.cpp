#include "app/form5_event_log.h"

#include <QApplication>
#include <QFileDialog>
#include <QShowEvent>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/qt_text.h"
#include "common/text.h"

namespace px::app {

namespace {

// A file may hold anything another program or an editor put there; a line
// separator in it would show as two lines, so what is not printable shows as
// the escapes of its bytes, as pxraid log shows it.
QString LineText(const std::string& line) {
  return Q(px::EscapeUnprintable(line));
}

}  // namespace

TForm5::TForm5(const px::EventLogState& log, const px::MonitorState& monitor,
               px::Messages& messages, px::LoggedElsewhere* elsewhere, QWidget* parent)
    : QDialog(parent),
      monitor_(monitor),
      followed_(Followed(elsewhere)),
      model_(followed_ != nullptr ? serviceLog_ : log, messages) {
  setObjectName(QStringLiteral("Form5"));
  setWindowTitle(Q(model_.Caption()));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setFixedSize(kClientWidth, kClientHeight);

  Memo1 = new QPlainTextEdit(this);
  Memo1->setObjectName(QStringLiteral("Memo1"));
  Memo1->setGeometry(0, 0, kClientWidth, 241);
  Memo1->setReadOnly(true);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  // "System" exists on Windows; elsewhere the font matcher finds the nearest
  // plain face, and bold keeps the log's look.
  QFont font(QStringLiteral("System"));
  font.setBold(true);
  Memo1->setFont(font);

  Button1 = MakeDialogButton(this, "Button1", QStringLiteral("Real Time Log"), {56, 245, 161, 25});
  Button2 = MakeDialogButton(this, "Button2", QStringLiteral("View Log File"), {248, 245, 161, 25});
  connect(Button1, &QPushButton::clicked, this, &TForm5::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TForm5::Button2Click);

  Timer1 = new QTimer(this);
  Timer1->setObjectName(QStringLiteral("Timer1"));
  Timer1->setInterval(1000);
  connect(Timer1, &QTimer::timeout, this, &TForm5::Timer1Timer);

  // Made when used: a file dialog keeps a thread of its own, and most
  // viewers never open a file. It sets no initial folder.
  chooseFile_ = [this]() -> std::optional<std::filesystem::path> {
    QFileDialog open(this);
    open.setObjectName(QStringLiteral("OpenDialog1"));
    open.setFileMode(QFileDialog::ExistingFile);
    open.setAcceptMode(QFileDialog::AcceptOpen);
    open.setNameFilters({QStringLiteral("Log File (*.log)"), QStringLiteral("All File (*.*)")});
    if (open.exec() != QDialog::Accepted || open.selectedFiles().isEmpty()) return std::nullopt;
    return std::filesystem::path(open.selectedFiles().constFirst().toStdU16String());
  };
}

void TForm5::Open(QWidget* parent, const px::EventLogState& log, const px::MonitorState& monitor,
                  px::Messages& messages, px::LoggedElsewhere* elsewhere) {
  TForm5 viewer(log, monitor, messages, elsewhere, parent);
  viewer.exec();
}

px::LoggedElsewhere* TForm5::Followed(px::LoggedElsewhere* elsewhere) {
  if (elsewhere == nullptr) return nullptr;
  std::optional<std::vector<std::string>> lines = elsewhere->DayLines();
  // A service that cannot show its log now leaves the window's own, which
  // its polls write, for this opening: a view that never fills, or one that
  // switches logs under the user, would say less.
  if (!lines) return nullptr;
  serviceLog_.LogLines = std::move(*lines);
  return elsewhere;
}

void TForm5::ReadServiceLog() {
  if (followed_ == nullptr) return;
  if (std::optional<std::vector<std::string>> lines = followed_->DayLines()) {
    px::MirrorLines(serviceLog_, std::move(*lines));
  }
}

px::LiveFlags TForm5::Flags() const {
  return {(monitor_.MonitorRequests.load() & px::kMonitoringActive) != 0,
          monitor_.PollInProgress.load()};
}

void TForm5::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // The live view starts once, when the window first appears; a window that
  // is only restored keeps what it shows.
  if (shown_ || event->spontaneous()) return;
  shown_ = true;
  Apply(model_.Show(Flags()));
}

void TForm5::Timer1Timer() {
  // Nothing is followed while a chosen file shows.
  if (model_.TimerRunning()) ReadServiceLog();
  Apply(model_.Tick(Flags()));
}

void TForm5::Button1Click() {
  ReadServiceLog();
  Apply(model_.RealTimeLog(Flags().MonitoringActive));
}

void TForm5::Button2Click() {
  // No tick may run while the file dialog's own event loop does.
  Timer1->stop();
  Apply(model_.ViewLogFile(chooseFile_));
}

void TForm5::Apply(px::ViewUpdate update) {
  const std::vector<std::string>& lines = model_.Lines();
  switch (update) {
    case px::ViewUpdate::Replaced: {
      QStringList text;
      text.reserve(static_cast<qsizetype>(lines.size()));
      for (const std::string& line : lines) text << LineText(line);
      Memo1->setPlainText(text.join(QLatin1Char('\n')));
      memoLines_ = lines.size();
      break;
    }
    case px::ViewUpdate::Appended:
      for (; memoLines_ < lines.size(); ++memoLines_)
        Memo1->appendPlainText(LineText(lines[memoLines_]));
      break;
    case px::ViewUpdate::None:
      break;
  }
  setWindowTitle(Q(model_.Caption()));
  QPalette palette = Memo1->palette();
  const QPalette system = QApplication::palette();
  palette.setColor(QPalette::Text, model_.TextColour() == px::LogTextColour::GrayText
                                       ? system.color(QPalette::Disabled, QPalette::Text)
                                       : system.color(QPalette::Active, QPalette::Text));
  Memo1->setPalette(palette);
  if (model_.TimerRunning() != Timer1->isActive()) {
    if (model_.TimerRunning()) {
      Timer1->start();
    } else {
      Timer1->stop();
    }
  }
}

}  // namespace px::app
