// The tray: the enclosures' health as an icon, and desktop notifications of
// what went wrong, for a user who is not looking at the window.

#include <algorithm>

#include "app/form1_main.h"

namespace px::app {

void TForm1::EnclosuresChanged(std::vector<px::EnclosureEvent> events) {
  if (!tray_) {
    // A desktop's panel may come up after the program, so each change asks
    // again until there is a tray.
    tray_ = services_.makeTray ? services_.makeTray(*this) : MakeSystemTray(*this);
    if (!tray_) return;
  }
  std::vector<px::EnclosureVerdict> verdicts;
  for (std::size_t i = 0; i < px::kShownDevices; ++i) {
    const px::EnclosureSnapshot& seen = core_->Seen(i);
    if (!seen.present) continue;
    const px::Record& record =
        core_->records.StatusRecord[px::DriveOf(core_->devices.DeviceSlot[i])];
    verdicts.push_back(px::VerdictOf(i, px::StatusRecordView(record), seen.answered));
  }
  const px::TrayLook look = trayModel_.Look(verdicts);
  if (look != trayLook_) {
    tray_->Show(look);
    trayLook_ = look;
  }
  // A device the user took out of polling was not asked; it did not fail to
  // answer.
  std::erase_if(events, [this](const px::EnclosureEvent& event) {
    return event.kind == px::EnclosureEventKind::StatusUnreadable && !Polled(event.device);
  });
  for (const px::Notification& notification : trayModel_.Notifications(events))
    tray_->Notify(ForDesktop(notification));
}

}  // namespace px::app
