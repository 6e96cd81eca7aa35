#include "app/form1_main.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QKeyEvent>
#include <QPainter>
#include <QThread>
#include <mutex>
#include <utility>

#include "app/form2_make_bin.h"
#include "app/form3_goto.h"
#include "app/form5_event_log.h"
#include "app/gui_thread.h"
#include "app/platform/device_change.h"
#include "app/platform/session_end.h"
#include "app/platform/sleep_inhibitor.h"
#include "app/qt_text.h"
#include "raid/detect_thread.h"

// The icon lives in the px_app static library; nothing else refers to its
// resource initialiser, so the linker would leave it out without this call.
// Q_INIT_RESOURCE must be used outside any namespace.
static void InitialiseResources() {
  Q_INIT_RESOURCE(pxgui);
}

namespace px::app {

namespace {

constexpr char kFirmwareUpgrading[] = "Firmware is upgrading, please wait a moment.";
constexpr char kServiceJobGoesOn[] =
    "pxraidd goes on with the firmware upgrade: closing the window does not stop it.\n"
    "Its end goes into the day's log.";
// How often the monitor's requests are looked at.
constexpr int kServeMs = 50;

// Keeps the window's events going until `done` holds. Used wherever the
// window waits for another thread that may itself be waiting for the window.
void WaitUntil(const std::function<bool()>& done) {
  if (done()) return;
  QEventLoop loop;
  QTimer check;
  check.setInterval(5);
  QObject::connect(&check, &QTimer::timeout, &loop, [&] {
    if (done()) loop.quit();
  });
  check.start();
  loop.exec();
}

}  // namespace

void CaptionPanel::paintEvent(QPaintEvent* event) {
  QFrame::paintEvent(event);
  QPainter painter(this);
  painter.drawText(rect(), Qt::AlignCenter, caption_);
}

TForm1::DeviceWork::~DeviceWork() {
  if (--form_.deviceWorkDepth_ != 0 || form_.deferred_.empty()) return;
  // Run what waited once the stack has unwound, not from inside the work
  // that just ended.
  QTimer::singleShot(0, &form_, [form = &form_] {
    auto actions = std::move(form->deferred_);
    form->deferred_.clear();
    for (auto& action : actions) form->WhenDeviceIdle(std::move(action));
  });
}

TForm1::TForm1(FormServices services, QWidget* parent)
    : QWidget(parent),
      services_(std::move(services)),
      panelsHolder_(std::make_unique<WindowPanels>(*(StatusBar1 = new PanelStatusBar(this)))),
      panels_(*panelsHolder_),
      trayModel_(px::kProgramCaption, services_.notifications) {
  setObjectName(QStringLiteral("Form1"));
  InitialiseResources();
  if (services_.clock == nullptr) ownClock_ = std::make_unique<px::SteadyClock>();
  windowClock_ = std::make_unique<WindowClock>(
      services_.clock != nullptr ? *services_.clock : *ownClock_, *this);
  clock_ = windowClock_.get();
  if (services_.messages == nullptr) ownMessages_ = std::make_unique<WindowMessages>(this);
  messages_ = services_.messages != nullptr ? services_.messages : ownMessages_.get();
  if (services_.dateFormat == nullptr) ownDateFormat_ = std::make_unique<px::SystemDateFormat>();
  dateFormat_ = services_.dateFormat != nullptr ? services_.dateFormat : ownDateFormat_.get();

  CreateControls();
  CreateTimers();

  // The icon comes with the first paint (paintEvent), so that nothing but
  // the window itself stands between the start and its first picture.
  deviceWatcher_ = std::make_unique<DeviceChangeWatcher>(*this, [this] { DeviceChanged(); });
  sessionWatcher_ =
      std::make_unique<SessionEndWatcher>(*this, [this] { return QueryEndSession(); });

  // The state the threads read is complete before they start.
  InitialiseState();
  StartThreads();

  StartTime_ = QDateTime::currentDateTime();
  Timer3->start();
  Timer4->start();
  StaticText2->setText(Q("GUI start Time : " + Now()));
  StaticText4->setText(Q("Drive removed at: " + Now()));
  StaticText2->hide();
  StaticText3->hide();
  StaticText4->hide();

  // Nothing can be started before a device is found.
  Panel1->hide();
  Timer1->stop();
  Timer2->stop();
  Button11->setEnabled(false);
  BitBtn1->setEnabled(false);
  Button10->setEnabled(false);
  Button2->setEnabled(false);
  SetScheduleBackupVisible(false);
  Button1->hide();
  Button6->hide();
  Button3->hide();
  Button4->hide();
  UpDown1->hide();
  CheckBox7->hide();
  for (std::size_t i = 0; i < DeviceBoxes.size(); ++i) {
    DeviceBoxes[i]->hide();
    SetTabVisible(static_cast<int>(i), false);
  }
  for (QLabel* label : {Label18, Label19, Label24, Label1, Label4, Label14, Label15, Label16,
                        Label20, Label21, Label22})
    label->clear();

  BaseCaption_ = px::kProgramCaption;
  setWindowTitle(Q(BaseCaption_));
  QApplication::setApplicationDisplayName(QString());
  QApplication::setApplicationName(Q(BaseCaption_));
  DeviceName_.clear();
  GroupBox4->setTitle(QString());
  StaticText8->clear();

  ConnectHandlers();
  qApp->installEventFilter(this);
}

TForm1::~TForm1() {
  qApp->removeEventFilter(this);
  core_->flags.closing = true;
  StopThreads();
}

void TForm1::InitialiseState() {
  StaticText1->setText(QString::fromLatin1(kDriveDetecting));
  PageSwitching_ = false;
  ShowCurrentLba_ = false;

  // Never a box: one would stop the upgrade it is about.
  sleepInhibitor_ = CreateSleepInhibitor(
      [this](std::string_view text) { panels_.SetText(px::StatusPanels::kMessagePanel, text); });
  core_ = std::make_unique<px::Core>(px::CoreServices{
      *services_.transport,
      *clock_,
      panels_,
      *messages_,
      *sleepInhibitor_,
      *dateFormat_,
      [this] {
        // Only the window's own thread may run its events.
        if (QThread::currentThread() == thread()) QCoreApplication::processEvents();
      },
      services_.logDirectory,
      [] { return px::LocalNow(); },
      {},
      [this](const std::vector<px::EnclosureEvent>& events) { EnclosuresPolled(events); },
      services_.polledElsewhere});
  session_ = std::make_unique<px::MonitoringSession>(*core_, px::Greeting::OnFirstLayout);
  session_->RequestFirstDetection();
}

void TForm1::StartThreads() {
  detectThread_ = std::make_unique<px::DriveDetectThread>(
      core_->discovery, core_->context, px::ProbeOptions{services_.probeOrder, std::nullopt});
  // A job of pxraidd's is followed without waiting on it.
  jobTimer_ = new QTimer(this);
  jobTimer_->setInterval(100);
  connect(jobTimer_, &QTimer::timeout, this, &TForm1::FollowServiceJob);
  // The monitor's requests are served on this thread, where the user
  // interface is: a poll or a control write between two clicks, never
  // during another's work.
  serveTimer_ = new QTimer(this);
  serveTimer_->setInterval(kServeMs);
  connect(serveTimer_, &QTimer::timeout, this, &TForm1::ServeRequests);
  serveTimer_->start();
}

void TForm1::ServeRequests() {
  // Called from inside other device work's message pump: the request stays
  // raised and is served at the next round.
  if (deviceWorkDepth_ > 0 || core_->flags.closing.load()) return;
  DeviceWork scope(*this);
  if (const auto result = session_->Serve(*this, ActiveTarget())) ApplyMonitorResult(*result);
}

void TForm1::StopThreads() {
  if (serveTimer_ != nullptr) serveTimer_->stop();
  if (detectThread_) detectThread_->RequestStop();
  // A slow probe may be under way; it ends at its next step now that it is
  // told, and may be waiting for this thread's events meanwhile.
  WaitUntil([this] { return !detectThread_ || detectThread_->Finished(); });
  detectThread_.reset();
}

void TForm1::WhenDeviceIdle(std::function<void()> action) {
  if (deviceWorkDepth_ > 0) {
    deferred_.push_back(std::move(action));
    return;
  }
  action();
}

std::string TForm1::Now() const {
  return px::FormatTimestamp(px::LocalNow(), *dateFormat_);
}

void TForm1::paintEvent(QPaintEvent* event) {
  QWidget::paintEvent(event);
  if (iconSet_) return;
  iconSet_ = true;
  // Drawing the icon takes the SVG renderer, a plugin and a library to
  // load; the window does not wait for them to appear.
  QTimer::singleShot(0, this, [this] {
    const QIcon icon(QStringLiteral(":/Z1"));
    setWindowIcon(icon);
    QApplication::setWindowIcon(icon);
  });
}

void TForm1::DeviceChanged() {
  RunOnGuiThread(this, [this] { session_->DevicesChanged(); });
}

// --- Monitoring ------------------------------------------------------------

void TForm1::SetFirmwareButtonsEnabled(bool enabled) {
  firmwareButtonsWanted_ = enabled;
  // While the service runs a job for the window they stay off, as during an
  // upgrade of its own.
  BitBtn1->setEnabled(enabled && !serviceJob_);
  Button2->setEnabled(enabled && !serviceJob_);
}

void TForm1::SetMonitorButtons(bool monitoring) {
  Button10->setEnabled(!monitoring);
  SetFirmwareButtonsEnabled(!monitoring);
  UpDown1->setEnabled(!monitoring);
  Button11->setEnabled(monitoring);
}

void TForm1::Button10Click() {
  core_->monitor.MonitorRequests = px::kMonitoringActive | px::kPollStatus;
  SetMonitorButtons(true);
  Timer7->stop();
  Timer2->start();
}

void TForm1::Button11Click() {
  Timer2->stop();
  core_->monitor.MonitorRequests = 0;
  if (core_->devices.DeviceCount > 0) {
    SetMonitorButtons(false);
    selectedSlot_ = ChooserSlot();
  } else {
    Button10->setEnabled(false);
    Button11->setEnabled(false);
    SetFirmwareButtonsEnabled(false);
  }
}

void TForm1::RaiseRequest(uint8_t request) {
  core_->monitor.MonitorRequests |= request;
}

bool TForm1::Monitoring() const {
  return (core_->monitor.MonitorRequests.load() & px::kMonitoringActive) != 0;
}

void TForm1::Timer1Timer() {
  ProgressBar1->setValue(static_cast<int>(core_->firmware.UpgradeProgress.load()));
}

void TForm1::ApplyMonitorResult(const px::MonitorResult& result) {
  // The selected device is the one the monitor last addressed.
  if (result.poll.lastAsked) selectedSlot_ = *result.poll.lastAsked;
  if (result.addressed) selectedSlot_ = *result.addressed;
  // A control write that reached the disk holds the setting boxes back for
  // the device's busy seconds.
  if (result.write != px::ControlWrite::NotSent) DisableSettingBoxes();
  const px::PollReport& poll = result.poll;
  // The service found other enclosures: they are laid out as a device
  // change's would be.
  if (poll.enclosuresMoved) session_->DevicesChanged();
  if (poll.display) ShowStatus(*poll.display);
  if (!poll.windDown) return;
  // Nobody answers and nobody is in a retry cycle: monitoring winds down
  // and the chooser takes the selection back.
  if (Timer2->isActive() && !Timer7->isActive()) Timer7->start();
  if (core_->devices.DeviceCount != 0) {
    selectedSlot_ = ChooserSlot();
    UpDown1->setEnabled(true);
  }
  if (poll.monitoringEnds) DisableMonitorButtons();
}

void TForm1::Timer2Timer() {
  if (session_->PollMayStart()) RaiseRequest(px::kPollStatus);
}

void TForm1::Timer3Timer() {
  const qint64 seconds = StartTime_.secsTo(QDateTime::currentDateTime());
  const qint64 days = seconds / 86400;
  const QTime clock = QTime(0, 0).addSecs(static_cast<int>(seconds % 86400));
  StaticText3->setText(QStringLiteral("Time Elapsed %1-%2")
                           .arg(days)
                           .arg(clock.toString(QStringLiteral("hh:mm:ss"))));
  StaticText4->setText(Q("Drive removed at: " + Now()));
}

void TForm1::Timer6Timer() {
  for (std::size_t i = 0; i < DeviceBoxes.size(); ++i) {
    if (i < core_->devices.DeviceCount && !DeviceBoxes[i]->isChecked()) {
      DeviceBoxes[i]->setChecked(true);
      DeviceCheckBoxClick(static_cast<int>(i));
    }
  }
  Timer6->stop();
}

void TForm1::Timer7Timer() {
  Timer2->stop();
  Timer7->stop();
}

// --- Windows the user opens ------------------------------------------------

void TForm1::Button1Click() {
  if (viewLogOpen_) return;
  viewLogOpen_ = true;
  TForm5::Open(this, core_->eventLog, core_->monitor, *messages_, services_.loggedElsewhere);
  viewLogOpen_ = false;
}

void TForm1::StatusBar1DblClick() {
  if (core_->flags.firmwareBusy.load()) return;
  TForm3::Run(this, GotoSector_);
}

// --- Keys, closing, end of session -----------------------------------------

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  // The window sees its keys before its controls do, whichever has focus.
  // Two hidden keys, Shift ignored: Ctrl+Alt+L shows the current LBA of a
  // rebuild, Ctrl+Alt+M opens "Make Bin", which has no button.
  if (event->type() == QEvent::KeyPress) {
    auto* widget = qobject_cast<QWidget*>(watched);
    auto* key = static_cast<QKeyEvent*>(event);
    const Qt::KeyboardModifiers mods = key->modifiers();
    const bool ctrlAlt = (mods & Qt::ControlModifier) && (mods & Qt::AltModifier);
    if (widget != nullptr && widget->window() == this && ctrlAlt) {
      if (key->key() == Qt::Key_L) {
        ShowCurrentLba_ = !ShowCurrentLba_;
        return true;
      }
      if (key->key() == Qt::Key_M) {
        if (!core_->flags.firmwareBusy.load()) TForm2::Open(this, core_->firmware, *messages_);
        return true;
      }
    }
  }
  return QWidget::eventFilter(watched, event);
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (closed_) {
    event->accept();
    return;
  }
  if (core_->flags.firmwareBusy.load()) {
    messages_->Show("Message", kFirmwareUpgrading, px::MessageIcon::None);
    event->ignore();
    return;
  }
  if (serviceJob_) {
    // The job is the service's: it goes on, and ends there.
    messages_->Show("Message", kServiceJobGoesOn, px::MessageIcon::Exclamation);
    jobTimer_->stop();
    serviceJob_.reset();
  }
  core_->flags.closing = true;
  Timer2->stop();
  Timer3->stop();
  core_->monitor.MonitorRequests = 0;
  if (deviceWorkDepth_ > 0) {
    // Asked from inside a poll's message pump: the closing flag ends that
    // poll at its next step; the window closes once it has unwound.
    event->ignore();
    deferred_.push_back([this] { close(); });
    return;
  }
  StopThreads();
  for (QTimer* timer : {Timer1, Timer2, Timer3, Timer4, Timer5, Timer6, Timer7}) timer->stop();
  core_->firmware.DropImage();
  closed_ = true;
  event->accept();
}

bool TForm1::QueryEndSession() {
  if (core_->flags.firmwareBusy.load()) {
    messages_->Show("Message", kFirmwareUpgrading, px::MessageIcon::None);
    return false;
  }
  if (DeviceWorkRunning()) {
    // Asked from inside a poll's message pump: the notice can only go out
    // once that poll has unwound, so it is sent then.
    WhenDeviceIdle([this] { QueryEndSession(); });
    return true;
  }
  // With no enclosure there is no one to tell, and a "No Device found !" box
  // that no one is there to answer would hold the session up.
  if (!closed_ && session_->LaidOutCount() > 0) {
    px::QueueHostEvent(core_->monitor, px::kHostShuttingDown);
    WaitUntil([this] {
      return (core_->monitor.MonitorRequests.load() & px::kSendHostEvent) == 0 ||
             core_->flags.closing.load() || !serveTimer_->isActive();
    });
  }
  close();
  return true;
}

}  // namespace px::app
