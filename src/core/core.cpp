#include "core/core.h"

#include <utility>

namespace px {

Core::Core(CoreServices servicesIn)
    : services(std::move(servicesIn)),
      enclosures(devices),
      access(services.transport, services.panels),
      channel(access, services.clock, services.pump, flags),
      context{channel, flags,      devices,         records,           detection,
              monitor, enclosures, services.panels, services.messages, services.polledElsewhere},
      discovery(context),
      logWriter(eventLog, enclosures, records, kProgramCaption, services.logDirectory,
                services.dateFormat, services.panels, services.clock, flags),
      raid(context, [this](uint8_t answered, uint8_t busy) { AfterPoll(answered, busy); }),
      firmwareWork(FirmwareDeps{channel, flags, devices, records, firmware, services.panels,
                                services.messages, services.sleepInhibitor}) {}

void Core::AfterPoll(uint8_t answered, uint8_t busy) {
  if (!services.logDirectory.empty()) {
    const EventLogRun run{services.now(), monitor.FirstDisplay.load(), monitor.Redetected};
    const std::size_t added = logWriter.WriteEventLog(answered, run);
    if (services.logged && added != 0) {
      const std::vector<std::string>& lines = eventLog.LogLines;
      services.logged(
          std::vector<std::string>(lines.end() - static_cast<std::ptrdiff_t>(added), lines.end()));
    }
  }
  if (services.events) services.events(Observe(answered, busy));
}

std::vector<EnclosureEvent> Core::Observe(uint8_t answered, uint8_t busy) {
  std::vector<EnclosureEvent> events;
  const uint32_t count = enclosures.Count();
  for (std::size_t i = 0; i < kShownDevices; ++i) {
    const EnclosureSlot slot{i};
    EnclosureSnapshot now;
    if (i < count) {
      const bool read = (answered & (1U << i)) != 0;
      now = SnapshotOf(StatusRecordView(records.Status(enclosures.Drive(slot))), read,
                       (busy & (1U << i)) != 0);
    }
    EnclosureSnapshot& seen = enclosures[slot].seen;
    std::vector<EnclosureEvent> changed = DeriveEvents(i, seen, now);
    events.insert(events.end(), changed.begin(), changed.end());
    seen = now;
  }
  return events;
}

}  // namespace px
