#include "raid/display_model.h"

#include "common/text.h"
#include "raid/device_text.h"
#include "raid/record_views.h"

namespace px {
namespace {

constexpr std::size_t kModelShown = 20;
constexpr std::size_t kSerialKeep = 3;  // trailing spaces stop at index 2
constexpr std::size_t kSerialLongSpan = 15;
constexpr std::size_t kSerialShortened = 12;
constexpr unsigned kGigabyteShift = 21;
constexpr unsigned kMegabyteShift = 11;

// A long serial would not fit beside its disk: it starts at its first
// non-blank and is shortened to 12 characters and "...".
std::string SerialLabel(const std::string& full) {
  const std::string kept = TrimRightKeep(full, kSerialKeep);
  const std::size_t start = kept.find_first_not_of(' ');
  if (start == std::string::npos) return {};
  const std::size_t last = kept.size() - 1;
  if (last - start >= kSerialLongSpan) return kept.substr(start, kSerialShortened) + "...";
  return kept.substr(start);
}

PortTexts BuildPort(const StatusRecordView& status, Port port) {
  const MemberView member = status.Member(port);
  // The whole fields, NULs and all: the labels have always shown them so.
  const std::string model = SwapPairs(member.ModelField()).substr(0, kModelShown);
  const std::string serial = SwapPairs(member.SerialField());
  const uint64_t sectors = ShownSectors(member.CapacitySectors());
  const std::string gigabytes = std::to_string(sectors >> kGigabyteShift) + " GB";
  const MemberClasses classes = member.Classes();

  PortTexts texts;
  const auto showDisk = [&] {
    texts.model = model;
    texts.serial = SerialLabel(serial);
    texts.capacity = gigabytes;
  };
  if (classes.Has(MemberClass::Ready)) {
    texts.state = " Ready ";
    texts.enableState = true;
    showDisk();
  } else if (classes.Has(MemberClass::Failed)) {
    texts.state = " FAIL ";
    texts.stateColour = Colour::Red;
    texts.enableState = true;
    if (port == Port::P1) {
      texts.stateHint = serial + "\n" + model + "\nToatl LBA:" + std::to_string(sectors) + " (" +
                        std::to_string(sectors >> kMegabyteShift) + " MB) ";
    }
  } else if (classes.Has(MemberClass::Inserted)) {
    texts.stateHint = "";
    if (status.CapacityTooSmall()) {
      texts.state = " Capacity too small ";
      texts.stateColour = Colour::Red;
      showDisk();
    } else {
      texts.state = " INSERTED ";
    }
  } else {
    texts.state = " OFF ";
    texts.stateColour = Colour::Red;
    texts.stateHint = serial;
  }
  return texts;
}

std::string Health(const StatusRecordView& status) {
  const bool p0 = status.Member(Port::P0).Classes().Has(MemberClass::Ready);
  const bool p1 = status.Member(Port::P1).Classes().Has(MemberClass::Ready);
  if (p0 && p1) return "Normal";
  if (p0 || p1) return "Single HDD\nPresent";
  return "Failure";
}

std::string RebuildText(RebuildDirection direction, uint8_t percent) {
  // The arrow points at the disk being written: up to HDD1, down to HDD2.
  const std::string arrow = direction == RebuildDirection::TowardsP0 ? " ^" : " v";
  return arrow + "\nrebuilding " + std::to_string(percent) + "%\n" + arrow;
}

}  // namespace

StatusView StatusDisplay::ShowStatus(std::span<const uint8_t, kSectorSize> record,
                                     const DisplayInputs& in, bool fullRefresh) {
  const StatusRecordView status(record);
  StatusView view;
  view.firmwareText = std::string(in.firmwareText);
  if (!status.WasRead()) return view;
  view.result = 1;

  view.buzzerMuteChecked = !status.BuzzerOn();
  if (in.pageSwitching || in.firstDisplay) view.scheduleBackupChecked = status.ScheduleBackupOn();
  view.hideScheduleBackup = true;
  view.deviceName = std::string(in.deviceName);
  if (in.firstDisplay) {
    view.period = SelectPeriod(status.BackupPeriod());
    const std::string_view value =
        view.period->valueIndex ? std::string_view(view.period->values[*view.period->valueIndex])
                                : std::string_view();
    view.periodText = BackupPeriodText(view.period->unit, value);
  }
  view.firstDisplayCleared = true;

  view.mode = "Mode : " + std::string(ModeName(status.Mode()));
  view.p0BadSector = status.Member(Port::P0).BadSector() ? "Bad Sector" : "";
  view.p1BadSector = status.Member(Port::P1).BadSector() ? "Bad Sector" : "";

  const uint8_t portFlags = status.PortFlags();
  if (fullRefresh || portFlags != lastPortFlags_) {
    lastPortFlags_ = portFlags;
    view.ports = {BuildPort(status, Port::P0), BuildPort(status, Port::P1)};
    view.volumeCapacity =
        "Capacity : " + std::to_string(ShownSectors(status.VolumeCapacity()) >> kGigabyteShift) +
        " GB";
  }

  if (status.RebuildRuns()) {
    view.progressColour = Colour::Blue;
    const uint8_t percent = status.Percent();
    if (lastProgress_ == kNothingShown || lastProgress_ != percent) {
      lastProgress_ = percent;
      view.progress = RebuildText(status.Direction(), percent);
    }
    if (in.showCurrentLba) view.currentLba = "Current LBA:\n" + std::to_string(status.CurrentLba());
    view.showViewLog = true;
  } else {
    view.progressColour = Colour::Fuchsia;
    view.hideScanButtons = true;
    view.progress = Health(status);
    lastProgress_ = kNothingShown;
  }
  return view;
}

}  // namespace px
