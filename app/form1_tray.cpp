// The tray: the enclosures' health as an icon, and desktop notifications of
// what went wrong, for a user who is not looking at the window.

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "app/form1_main.h"

namespace px::app {

void TForm1::EnclosuresPolled(std::vector<px::EnclosureEvent> events) {
  const std::array<std::optional<int64_t>, px::kShownDevices> timeLeft = timeLeft_;
  const std::vector<px::MemberWarning> warnings = RecordHistory(events);
  // A poll that changed nothing the tray shows leaves it as it is; one
  // whose only change was a device the user stopped polling shows it.
  if (events.empty() && warnings.empty() && timeLeft == timeLeft_) return;
  EnclosuresChanged(std::move(events), warnings);
}

void TForm1::DropUnasked(std::vector<px::EnclosureEvent>& events) {
  std::erase_if(events, [this](const px::EnclosureEvent& event) {
    return event.kind == px::EnclosureEventKind::StatusUnreadable &&
           !Polled(px::EnclosureSlot{event.device});
  });
}

std::vector<px::MemberWarning> TForm1::RecordHistory(std::vector<px::EnclosureEvent> events) {
  if (services_.historyFile.empty()) return {};
  DropUnasked(events);
  if (!history_) {
    // The window's texts stay its own: trouble with the file is said where
    // a program without a window would say it.
    history_ = std::make_unique<px::monitor::MemberHistory>(
        services_.historyFile,
        [](const std::string& text) { std::fprintf(stderr, "pxgui: %s\n", text.c_str()); });
  }
  std::vector<px::monitor::PolledEnclosure> polled;
  for (std::size_t i = 0; i < px::kShownDevices; ++i) {
    const px::EnclosureSlot slot{i};
    const px::EnclosureSnapshot& seen = core_->enclosures[slot].seen;
    if (!seen.present) continue;
    const px::PhysicalDrive drive = core_->enclosures.Drive(slot);
    polled.push_back({i, px::monitor::EnclosureId(*services_.transport, drive), seen.answered,
                      &core_->records.Status(drive), &core_->records.Config(drive)});
  }
  const int64_t now = services_.unixSeconds
                          ? services_.unixSeconds()
                          : std::chrono::duration_cast<std::chrono::seconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
  const px::monitor::PollOutcome outcome = history_->Record(polled, events, now);
  timeLeft_.fill(std::nullopt);
  for (std::size_t i = 0; i < outcome.enclosures.size() && i < polled.size(); ++i) {
    timeLeft_[polled[i].device] = outcome.enclosures[i].remainingSeconds;
  }
  return outcome.warnings;
}

void TForm1::EnclosuresChanged(std::vector<px::EnclosureEvent> events,
                               const std::vector<px::MemberWarning>& warnings) {
  if (!tray_) {
    // A desktop's panel may come up after the program, so each change asks
    // again until there is a tray.
    tray_ = services_.makeTray ? services_.makeTray(*this) : MakeSystemTray(*this);
    if (!tray_) return;
  }
  std::vector<px::EnclosureVerdict> verdicts;
  for (std::size_t i = 0; i < px::kShownDevices; ++i) {
    const px::EnclosureSlot slot{i};
    const px::EnclosureSnapshot& seen = core_->enclosures[slot].seen;
    if (!seen.present) continue;
    const px::Record& record = core_->records.Status(core_->enclosures.Drive(slot));
    px::EnclosureVerdict& verdict =
        verdicts.emplace_back(px::VerdictOf(i, px::StatusRecordView(record), seen.answered));
    if (seen.answered && seen.rebuild) verdict.remainingSeconds = timeLeft_[i];
  }
  const px::TrayLook look = trayModel_.Look(verdicts);
  if (look != trayLook_) {
    tray_->Show(look);
    trayLook_ = look;
  }
  DropUnasked(events);
  for (const px::Notification& notification : trayModel_.Notifications(events))
    tray_->Notify(ForDesktop(notification));
  for (const px::Notification& notification : trayModel_.Notifications(warnings))
    tray_->Notify(ForDesktop(notification));
}

}  // namespace px::app
