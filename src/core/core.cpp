#include "core/core.h"

#include <utility>

namespace px {

Core::Core(CoreServices servicesIn)
    : services(std::move(servicesIn)),
      access(services.transport, services.panels),
      channel(access, services.clock, services.pump, flags.closing),
      context{channel,   flags,   devices,         records,
              detection, monitor, services.panels, services.messages},
      discovery(context),
      logWriter(eventLog, devices, records, kProgramCaption, services.logDirectory,
                services.dateFormat, services.panels),
      raid(context, [this](uint8_t answered) { WriteLog(answered); }),
      firmwareGroup(FirmwareDeps{channel, flags, devices, records, firmware, services.panels,
                                 services.messages, services.firmwareView,
                                 services.sleepInhibitor}) {}

void Core::WriteLog(uint8_t answered) {
  if (services.logDirectory.empty()) return;
  const EventLogRun run{services.now(), monitor.FirstDisplay.load(), monitor.Redetected};
  const std::size_t added = logWriter.WriteEventLog(answered, run);
  if (!services.logged || added == 0) return;
  const std::vector<std::string>& lines = eventLog.LogLines;
  services.logged(
      std::vector<std::string>(lines.end() - static_cast<std::ptrdiff_t>(added), lines.end()));
}

}  // namespace px
