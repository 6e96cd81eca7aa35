#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QFileDialog>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTimer>
#include <QWidget>
#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "app/message_box.h"
#include "app/on_first_use.h"
#include "app/status_bar.h"
#include "app/tray_icon.h"
#include "app/window_clock.h"
#include "common/clock.h"
#include "common/sleep_inhibitor.h"
#include "common/ui.h"
#include "core/core.h"
#include "core/firmware_jobs.h"
#include "core/flash_job.h"
#include "core/session.h"
#include "eventlog/logged_elsewhere.h"
#include "monitor/member_history.h"
#include "raid/device_text.h"
#include "raid/display_model.h"
#include "raid/tray_model.h"

namespace px {
class DriveDetectThread;
}  // namespace px

namespace px::app {

class DeviceChangeWatcher;
class SessionEndWatcher;
class TForm2;
class TForm3;
class TForm5;

// A panel that draws its caption in the middle, behind its children, as
// Panel1 shows the stage of a firmware upgrade.
class CaptionPanel final : public QFrame {
 public:
  explicit CaptionPanel(QWidget* parent) : QFrame(parent) {}
  void SetCaption(const QString& caption) {
    caption_ = caption;
    update();
  }
  const QString& Caption() const { return caption_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString caption_;
};

// What the main window runs on. Everything but the transport has a default,
// which is what the programs use; tests replace the clock, the message boxes
// and the file dialog.
struct FormServices {
  px::Transport* transport = nullptr;
  // Null: real message boxes.
  px::Messages* messages = nullptr;
  // Null: the steady clock. Waits on the window's thread keep the event loop
  // going whichever clock it is.
  px::Clock* clock = nullptr;
  // The day's log files go here.
  std::filesystem::path logDirectory;
  // The member history the window keeps while it monitors; empty: none.
  std::filesystem::path historyFile;
  // The time the history is kept in, Unix seconds; empty: the system's.
  std::function<int64_t()> unixSeconds;
  // Null: the system's short date and long time.
  const px::DateTimeFormat* dateFormat = nullptr;
  // "Load Firmware "'s file dialog; empty: OpenDialog1.
  px::ChooseFirmwareFile chooseFirmwareFile;
  // The tray of the enclosures' health; empty: the desktop's, where it has one.
  MakeTray makeTray;
  // False: the tray raises no desktop notifications.
  bool notifications = true;
  // How detections probe the drives (one by one for a recorded session).
  px::ProbeOrder probeOrder = px::ProbeOrder::SideBySide;
  // While pxraidd owns the disks: the enclosures of its polls, found and
  // shown instead of the disks'. Null: the window opens the disks itself.
  px::PolledElsewhere* polledElsewhere = nullptr;
  // With polledElsewhere: the service's firmware jobs, which "Start Upgrade"
  // asks for instead of flashing the disks it cannot open.
  px::FirmwareJobs* firmwareJobs = nullptr;
  // With polledElsewhere: the service's day log, which the event log viewer
  // follows instead of the window's own.
  px::LoggedElsewhere* loggedElsewhere = nullptr;
};

// The main window: device pages, RAID status, firmware group, the seven
// timers and the two threads. Device behaviour lives in the core; the window
// keeps the controls, the timers and the order of things.
class TForm1 final : public QWidget, private px::MonitorClient, private px::UpgradeProgress {
  Q_OBJECT
 public:
  static constexpr int kClientWidth = 623;
  static constexpr int kClientHeight = 505;
  // StaticText1 while the first detection runs; it blinks only with this text.
  static constexpr char kDriveDetecting[] = "Drive detecting";

  explicit TForm1(FormServices services, QWidget* parent = nullptr);
  ~TForm1() override;
  TForm1(const TForm1&) = delete;
  TForm1& operator=(const TForm1&) = delete;

  // What the dialogs work on.
  px::Core& state() { return *core_; }
  px::CommandChannel& channel() { return core_->channel; }
  px::FirmwareState& firmware() { return core_->firmware; }
  px::StatusPanels& panels() { return panels_; }
  px::Messages& messages() { return *messages_; }
  const px::DateTimeFormat& dateFormat() const { return *dateFormat_; }
  PanelStatusBar& statusBar() { return *StatusBar1; }
  uint32_t gotoSector() const { return GotoSector_; }

  // Device work on the window's thread is under way (a poll, a control
  // write, a firmware operation); handlers that would start more wait.
  bool DeviceWorkRunning() const { return deviceWorkDepth_ > 0; }

  // Window state the tests look at.
  uint8_t changeCountdown() const { return session_->Countdown(); }
  // The device whose page is active, which the device texts describe.
  px::EnclosureSlot selectedSlot() const { return selectedSlot_; }
  bool showCurrentLba() const { return ShowCurrentLba_; }
  const std::string& deviceText() const { return DeviceText_; }

 public slots:
  // Devices came or went. Safe from any thread: the countdown is set on the
  // window's thread.
  void DeviceChanged();

  // Handlers, named after their controls.
  void Button10Click();  // Start
  void Button11Click();  // Stop
  void Button1Click();   // View log
  void BitBtn1Click();   // Load Firmware
  void Button2Click();   // Start Upgrade
  void StatusBar1DblClick();
  void PageControl1Change();
  void DeviceCheckBoxClick(int device);  // 0-3: CheckBox1, 3, 4, 5
  void CheckBox6Click();                 // Buzzer Mute
  void CheckBox7Click();                 // Auto Scan
  void CheckBox2Click();                 // Schedule Backup
  void Button5Click();                   // Set
  void ComboBox2Change();
  void Timer1Timer();
  void Timer2Timer();
  void Timer3Timer();
  void Timer4Timer();  // DrivePollTick
  void Timer5Timer();
  void Timer6Timer();
  void Timer7Timer();
  // The session is ending: tell the controllers, then close. False while a
  // firmware operation runs.
  bool QueryEndSession();

 public:
  // Controls, named as everywhere in the program.
  QTabWidget* PageControl1 = nullptr;
  std::array<QWidget*, 4> TabSheets{};
  QFrame* Panel2 = nullptr;
  QLabel* Image1 = nullptr;
  QLabel* Image2 = nullptr;
  QLabel* Image3 = nullptr;
  QPushButton* Button1 = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* Label4 = nullptr;
  QLabel* Label12 = nullptr;
  QLabel *Label14 = nullptr, *Label15 = nullptr, *Label16 = nullptr;
  QLabel* Label17 = nullptr;
  QLabel* Label18 = nullptr;
  QLabel* Label19 = nullptr;
  QLabel *Label20 = nullptr, *Label21 = nullptr, *Label22 = nullptr;
  QLabel *Label23 = nullptr, *Label24 = nullptr, *Label25 = nullptr;
  QLabel* Label27 = nullptr;
  QGroupBox* GroupBox3 = nullptr;
  QGroupBox* GroupBox4 = nullptr;
  QLabel* StaticText1 = nullptr;
  QLabel *StaticText2 = nullptr, *StaticText3 = nullptr, *StaticText4 = nullptr;
  QLabel* StaticText5 = nullptr;
  QLabel *StaticText6 = nullptr, *StaticText7 = nullptr;
  QLabel* StaticText8 = nullptr;
  QLabel* StaticText9 = nullptr;
  // An up-down control is two arrows and a position, no edit field of its
  // own: a scroll bar, which unlike a spin box builds no line edit.
  QScrollBar* UpDown1 = nullptr;
  QPushButton* BitBtn1 = nullptr;
  QPushButton* Button2 = nullptr;
  QPushButton *Button3 = nullptr, *Button4 = nullptr, *Button5 = nullptr, *Button6 = nullptr;
  QPushButton* Button10 = nullptr;
  QPushButton* Button11 = nullptr;
  // Device1..Device4: CheckBox1, CheckBox3, CheckBox4, CheckBox5.
  std::array<QCheckBox*, 4> DeviceBoxes{};
  QCheckBox* CheckBox2 = nullptr;
  QCheckBox* CheckBox6 = nullptr;
  QCheckBox* CheckBox7 = nullptr;
  QComboBox* ComboBox1 = nullptr;
  QComboBox* ComboBox2 = nullptr;
  CaptionPanel* Panel1 = nullptr;
  QProgressBar* ProgressBar1 = nullptr;
  PanelStatusBar* StatusBar1 = nullptr;
  OnFirstUse<QFileDialog> OpenDialog1;
  QTimer *Timer1 = nullptr, *Timer2 = nullptr, *Timer3 = nullptr, *Timer4 = nullptr,
         *Timer5 = nullptr, *Timer6 = nullptr, *Timer7 = nullptr;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  // Key preview: Ctrl+Alt+L reaches the window whichever control has focus.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Marks device work on the window's thread for its whole scope.
  class DeviceWork {
   public:
    explicit DeviceWork(TForm1& form) : form_(form) { ++form_.deviceWorkDepth_; }
    ~DeviceWork();
    DeviceWork(const DeviceWork&) = delete;
    DeviceWork& operator=(const DeviceWork&) = delete;

   private:
    TForm1& form_;
  };

  // Construction, in the order creation runs.
  void CreateControls();
  void CreatePanel2();
  // Arial at 13 px, the face the layout was drawn for.
  static QFont DesignFont();
  void ChooseFonts();
  void CreateTimers();
  void ConnectHandlers();
  void InitialiseState();
  void StartThreads();

  // Device selection.
  void LayOutDetectedDevices(const px::Detected& detected);
  void RefreshDeviceLine();
  // The page in front, where a control sector goes.
  void UpdateActivePage();
  px::ControlTarget ActiveTarget() const;
  void SetTabVisible(int page, bool visible);
  void SetChooserMaximum(int maximum);
  // The slot the upgrade chooser shows, which the firmware work is for.
  px::EnclosureSlot ChooserSlot() const;
  void ShowDeviceInfo();
  std::vector<px::VolumeLetter> VolumeLetters() const;
  void ShowStatus(bool fullRefresh);

  // Monitoring controls shared by Start, Stop and the device boxes.
  void SetMonitorButtons(bool monitoring);
  void SetFirmwareButtonsEnabled(bool enabled);
  void SetScheduleBackupVisible(bool visible);
  void ApplyPeriodSelection(const px::PeriodSelection& selection);
  px::ScheduleBackupState ScheduleBackupControls() const;
  void RaiseRequest(uint8_t request);
  // The user has monitoring running (Start).
  bool Monitoring() const;

  // Every 50 ms: serves one request of the monitor's, unless device work
  // is already under way on this thread (the request then waits for the
  // next round).
  void ServeRequests();
  // Runs `action` now, or once the device work under way has finished.
  void WhenDeviceIdle(std::function<void()> action);
  // "Load Firmware " and "Start Upgrade": dropped while firmware work runs.
  void FirmwareClick(std::function<void()> action);
  // "Start Upgrade" while pxraidd owns the disks: the upgrade is its job,
  // followed every 100 ms (jobTimer_) and shown as the window's own.
  void StartServiceUpgrade(px::EnclosureSlot slot);
  void FollowServiceJob();
  void ServiceJobSaid(const px::FirmwareJobNews& news);
  void ServiceJobAsked(const std::string& question);
  void ServiceJobEnded(int exitCode);
  void ServiceJobRefused(const px::FirmwareJobNews& news);
  void ServiceJobOver();
  // After a detection: a box for each flash cut short that the logs show
  // and this window has not told of yet.
  void TellCutShortRuns();
  // Stops and joins the detection thread without blocking the event loop.
  void StopThreads();
  std::string Now() const;

  // MonitorClient: what the poll and the control writes ask while they run.
  bool DrivesChanging() override { return session_->DrivesChanging(); }
  bool Polled(px::EnclosureSlot slot) override;
  void Dropped(px::EnclosureSlot slot) override;
  std::optional<px::SettingsFill> ChosenSettings() override;
  // What the window makes of a served request: the display, the end of
  // monitoring, the setting boxes.
  void ApplyMonitorResult(const px::MonitorResult& result);
  void DisableMonitorButtons();
  void DisableSettingBoxes();
  // After every poll, with what changed (maybe nothing): the history
  // remembers it, and the tray hears of what changed, of the warnings the
  // history raised and of a rebuild's time left.
  void EnclosuresPolled(std::vector<px::EnclosureEvent> events);
  // What changed on the enclosures, from a poll or the last one gone: the
  // tray shows their health and notifies what went wrong.
  void EnclosuresChanged(std::vector<px::EnclosureEvent> events,
                         const std::vector<px::MemberWarning>& warnings = {});
  // A device the user took out of polling was not asked; it did not fail to
  // answer.
  void DropUnasked(std::vector<px::EnclosureEvent>& events);
  // The poll's enclosures and events into the member history: sets each
  // running rebuild's time left and returns the warnings raised.
  std::vector<px::MemberWarning> RecordHistory(std::vector<px::EnclosureEvent> events);
  px::SettingsFill ScheduleBackup();

  // UpgradeProgress: Panel1 with its label and bar, and Timer1 copying the
  // step counter into the bar while an upgrade runs.
  void Started(uint32_t maximum) override;
  void StageBegins(int stage) override;
  void StepsDone(uint32_t steps) override;
  void Finished(const px::UpgradeOutcome& outcome) override;

  FormServices services_;
  std::unique_ptr<px::Clock> ownClock_;
  std::unique_ptr<WindowClock> windowClock_;
  std::unique_ptr<WindowMessages> ownMessages_;
  std::unique_ptr<px::DateTimeFormat> ownDateFormat_;
  px::Clock* clock_ = nullptr;
  px::Messages* messages_ = nullptr;
  const px::DateTimeFormat* dateFormat_ = nullptr;

  std::unique_ptr<WindowPanels> panelsHolder_;
  WindowPanels& panels_;
  std::unique_ptr<px::SleepInhibitor> sleepInhibitor_;
  std::unique_ptr<px::Core> core_;
  std::unique_ptr<px::MonitoringSession> session_;
  px::StatusDisplay display_;
  std::unique_ptr<px::DriveDetectThread> detectThread_;
  QTimer* serveTimer_ = nullptr;
  std::unique_ptr<DeviceChangeWatcher> deviceWatcher_;
  std::unique_ptr<SessionEndWatcher> sessionWatcher_;
  px::CutShortWatch cutShort_;
  px::TrayModel trayModel_;
  std::unique_ptr<TrayNotifier> tray_;
  std::optional<px::TrayLook> trayLook_;
  // Made at the first poll, when there is a file to keep it in.
  std::unique_ptr<px::monitor::MemberHistory> history_;
  // What the history gives each shown device's running rebuild.
  std::array<std::optional<int64_t>, px::kShownDevices> timeLeft_{};

  // Window state of device selection and the timers.
  // Where the GoTo dialog last pointed; nothing reads it yet.
  uint32_t GotoSector_ = 0;
  bool BlinkState_ = true;
  // The page in front, -1 when none, and the device the texts describe.
  int activePage_ = -1;
  px::EnclosureSlot selectedSlot_{0};
  bool PageSwitching_ = false;
  bool ShowCurrentLba_ = false;
  bool viewLogOpen_ = false;
  bool permissionAdviceShown_ = false;
  bool closed_ = false;
  bool iconSet_ = false;
  std::string DeviceText_;
  std::string LettersText_;
  std::string FirmwareText_;
  std::string DeviceName_;
  std::string BaseCaption_;
  QDateTime StartTime_;
  int deviceWorkDepth_ = 0;
  bool firmwareClickWaiting_ = false;
  // What the firmware buttons would be but for a job of the service's.
  bool firmwareButtonsWanted_ = false;
  // The service's job the window follows.
  struct ServiceJob {
    px::EnclosureSlot slot{0};
    // The question was answered (lines after it are the upgrade's), and how.
    bool answered = false;
    bool declined = false;
    int stage = 0;
    bool backupTold = false;
    // What the job said on standard error since the last answer: a failed
    // job's box.
    std::vector<std::string> complaints;
  };
  std::optional<ServiceJob> serviceJob_;
  QTimer* jobTimer_ = nullptr;
  std::vector<std::function<void()>> deferred_;
};

}  // namespace px::app
