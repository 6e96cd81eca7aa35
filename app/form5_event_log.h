#pragma once

#include <QDialog>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include "common/ui.h"
#include "eventlog/event_log.h"
#include "eventlog/log_viewer_model.h"
#include "eventlog/logged_elsewhere.h"
#include "raid/context.h"

namespace px::app {

// The "Event Log" viewer: today's log followed live once a second, or a log
// file the user picks. It only reads; the window mirrors its model. While the
// window is pxraidd's client, today's log is the service's.
class TForm5 final : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kClientWidth = 465;
  static constexpr int kClientHeight = 273;

  // log and monitor belong to the main window and outlive the viewer, as
  // does elsewhere: the service's day log, followed instead of log when it
  // answers as the viewer opens (null: log).
  TForm5(const px::EventLogState& log, const px::MonitorState& monitor, px::Messages& messages,
         px::LoggedElsewhere* elsewhere = nullptr, QWidget* parent = nullptr);

  // "View log": a new viewer, shown modally and destroyed when it closes.
  // The guard against a second click while one is open is the caller's.
  static void Open(QWidget* parent, const px::EventLogState& log, const px::MonitorState& monitor,
                   px::Messages& messages, px::LoggedElsewhere* elsewhere);

  // Tests pick files without a dialog.
  void SetFileChooser(px::LogViewerModel::FileChooser chooser) { chooseFile_ = std::move(chooser); }

  QPlainTextEdit* Memo1 = nullptr;
  QPushButton* Button1 = nullptr;  // Real Time Log
  QPushButton* Button2 = nullptr;  // View Log File
  QTimer* Timer1 = nullptr;

 public slots:
  void Timer1Timer();
  void Button1Click();
  void Button2Click();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  px::LiveFlags Flags() const;
  // Reads elsewhere's lines into serviceLog_; elsewhere when it answered, so
  // that the viewer follows it, else null.
  px::LoggedElsewhere* Followed(px::LoggedElsewhere* elsewhere);
  // The service's lines once more, when the viewer follows them; a call that
  // fails leaves the view as it is.
  void ReadServiceLog();
  // Brings the window in line with the model after one of its operations.
  void Apply(px::ViewUpdate update);

  const px::MonitorState& monitor_;
  // The service's day log as last read, the model's log while followed_ is
  // set: lines it adds are appended, anything else reloads the view.
  px::EventLogState serviceLog_;
  px::LoggedElsewhere* followed_;
  px::LogViewerModel model_;
  px::LogViewerModel::FileChooser chooseFile_;
  std::size_t memoLines_ = 0;
  bool shown_ = false;
};

}  // namespace px::app
