#include "raid/display_model.h"

#include "common/bytes.h"
#include "common/text.h"
#include "raid/device_text.h"
#include "raid/records.h"

namespace px {
namespace {

constexpr std::size_t kModelShown = 20;
constexpr std::size_t kSerialKeep = 3;  // trailing spaces stop at index 2
constexpr std::size_t kSerialLongSpan = 15;
constexpr std::size_t kSerialShortened = 12;
constexpr std::size_t kCapacityBytes = 5;  // the display reads 40 bits
constexpr std::size_t kCurrentLbaBytes = 4;
constexpr unsigned kGigabyteShift = 21;
constexpr unsigned kMegabyteShift = 11;
constexpr uint8_t kBothReady = kPortReady | (kPortReady << 4);
constexpr uint8_t kOperationRuns = kProgressP0 | kProgressP1;

struct PortLayout {
  std::size_t model;
  std::size_t serial;
  std::size_t capacity;
  unsigned flagShift;
  uint8_t badSector;
};

constexpr std::array<PortLayout, 2> kPorts = {{
    {status::kP0Model, status::kP0Serial, status::kP0Capacity, 0, kP0BadSector},
    {status::kP1Model, status::kP1Serial, status::kP1Capacity, 4, kP1BadSector},
}};

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

uint64_t Load(std::span<const uint8_t, kSectorSize> s, std::size_t at, std::size_t n) {
  return LoadLittleEndian(s.subspan(at, n).data(), n);
}

PortTexts BuildPort(std::span<const uint8_t, kSectorSize> s, std::size_t port) {
  const PortLayout& layout = kPorts[port];
  const std::string model =
      SwapPairs(s.subspan(layout.model, status::kModelSize)).substr(0, kModelShown);
  const std::string serial = SwapPairs(s.subspan(layout.serial, status::kSerialSize));
  const uint64_t sectors = Load(s, layout.capacity, kCapacityBytes);
  const std::string gigabytes = std::to_string(sectors >> kGigabyteShift) + " GB";
  const auto portClass = static_cast<uint8_t>((s[status::kPortFlags] >> layout.flagShift) & 0x0F);

  PortTexts texts;
  const auto showDisk = [&] {
    texts.model = model;
    texts.serial = SerialLabel(serial);
    texts.capacity = gigabytes;
  };
  if ((portClass & kPortReady) != 0) {
    texts.state = " Ready ";
    texts.enableState = true;
    showDisk();
  } else if ((portClass & kPortFailed) != 0) {
    texts.state = " FAIL ";
    texts.stateColour = Colour::Red;
    texts.enableState = true;
    if (port == 1) {
      texts.stateHint = serial + "\n" + model + "\nToatl LBA:" + std::to_string(sectors) + " (" +
                        std::to_string(sectors >> kMegabyteShift) + " MB) ";
    }
  } else if ((portClass & kPortInserted) != 0) {
    texts.stateHint = "";
    if ((s[status::kProgressFlags] & kCapacityTooSmall) != 0) {
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

std::string Health(uint8_t portFlags) {
  switch (portFlags & kBothReady) {
    case 0:
      return "Failure";
    case kBothReady:
      return "Normal";
    default:
      return "Single HDD\nPresent";
  }
}

std::string RebuildText(uint8_t progressFlags, uint8_t percent) {
  // The arrow points at the disk being written: up to HDD1, down to HDD2.
  const std::string arrow = (progressFlags & kProgressP0) != 0 ? " ^" : " v";
  return arrow + "\nrebuilding " + std::to_string(percent) + "%\n" + arrow;
}

}  // namespace

StatusView StatusDisplay::ShowStatus(std::span<const uint8_t, kSectorSize> record,
                                     const DisplayInputs& in, bool fullRefresh) {
  StatusView view;
  view.firmwareText = std::string(in.firmwareText);
  if (record[status::kType] != kRecordValid) return view;
  view.result = 1;

  const uint8_t settings = record[status::kSettings];
  view.buzzerMuteChecked = (settings & kSettingsBuzzerOn) == 0;
  if (in.pageSwitching || in.firstDisplay) {
    view.scheduleBackupChecked = (settings & kSettingsScheduleBackupOn) != 0;
  }
  view.hideScheduleBackup = true;
  view.deviceName = std::string(in.deviceName);
  if (in.firstDisplay) {
    view.period = SelectPeriod(record[status::kBackupPeriod]);
    const std::string_view value =
        view.period->valueIndex ? std::string_view(view.period->values[*view.period->valueIndex])
                                : std::string_view();
    view.periodText = BackupPeriodText(view.period->unit, value);
  }
  view.firstDisplayCleared = true;

  view.mode = "Mode : " + std::string(ModeName(record[status::kMode]));
  const uint8_t progressFlags = record[status::kProgressFlags];
  view.p0BadSector = (progressFlags & kP0BadSector) != 0 ? "Bad Sector" : "";
  view.p1BadSector = (progressFlags & kP1BadSector) != 0 ? "Bad Sector" : "";

  const uint8_t portFlags = record[status::kPortFlags];
  if (fullRefresh || portFlags != lastPortFlags_) {
    lastPortFlags_ = portFlags;
    view.ports = {BuildPort(record, 0), BuildPort(record, 1)};
    view.volumeCapacity =
        "Capacity : " +
        std::to_string(Load(record, status::kVolumeCapacity, kCapacityBytes) >> kGigabyteShift) +
        " GB";
  }

  if ((progressFlags & kOperationRuns) != 0) {
    view.progressColour = Colour::Blue;
    const uint8_t percent = record[status::kProgress];
    if (lastProgress_ == kNothingShown || lastProgress_ != percent) {
      lastProgress_ = percent;
      view.progress = RebuildText(progressFlags, percent);
    }
    if (in.showCurrentLba) {
      view.currentLba =
          "Current LBA:\n" + std::to_string(Load(record, status::kCurrentLba, kCurrentLbaBytes));
    }
    view.showViewLog = true;
  } else {
    view.progressColour = Colour::Fuchsia;
    view.hideScanButtons = true;
    view.progress = Health(portFlags);
    lastProgress_ = kNothingShown;
  }
  return view;
}

}  // namespace px
