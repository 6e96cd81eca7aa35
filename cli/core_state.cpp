#include "cli/core_state.h"

#include <iostream>

#include "cli/host.h"

namespace px::cli {

void ConsolePanels::SetText(int panel, std::string_view text) {
  if (panel < 0 || panel > kMessagePanel) return;
  texts_[static_cast<std::size_t>(panel)] = text;
  if (listener_) listener_(panel, text);
}

void ConsoleMessages::Show(std::string_view title, std::string_view text, MessageIcon icon) {
  lastTitle_ = title;
  lastText_ = text;
  std::ostream& out = icon == MessageIcon::Exclamation ? std::cout : std::cerr;
  out << text << std::endl;
}

void HeadlessClient::Dropped(EnclosureSlot slot) {
  checked_.at(slot.index()) = false;
  uncheckedAt_.at(slot.index()) = clock_.TickMs();
}

void HeadlessClient::RecheckDevices(EnclosureSet& enclosures) {
  const uint64_t now = clock_.TickMs();
  for (std::size_t slot = 0; slot < kShownDevices; ++slot) {
    if (!checked_[slot] && now - uncheckedAt_[slot] >= kRecheckMs) {
      checked_[slot] = true;
      enclosures[EnclosureSlot{slot}].retryCount = 0;
    }
  }
}

CoreState::CoreState(Host& owner, CoreOptions options)
    : Console(owner.clock()),
      Core(CoreServices{
          owner.transport(), owner.clock(), panels, messages,
          options.sleepInhibitor != nullptr ? *options.sleepInhibitor : noSleepInhibitor, format,
          std::move(options.pump), std::move(options.logDirectory),
          [&owner] { return owner.Now(); }, std::move(options.logged), std::move(options.events)}),
      host(owner),
      probing{owner.IsRecordedSession() ? ProbeOrder::OneByOne : ProbeOrder::SideBySide,
              options.onlyDrive} {}

DetectionReport CoreState::Detect() {
  return discovery.DetectNow(probing);
}

std::string NoEnclosureText(std::optional<PhysicalDrive> onlyDrive) {
  if (!onlyDrive) return "No enclosure found.";
  return "No enclosure found on drive " + std::to_string(onlyDrive->number()) + ".";
}

}  // namespace px::cli
