#pragma once

#include <cstdint>

#include "device/session.h"
#include "eventlog/event_log.h"
#include "firmware/firmware_state.h"
#include "raid/context.h"
#include "raid/records.h"

namespace px::app {

// Every table and flag the program keeps while it runs, grouped by owner. The
// main window owns the one instance and lends it to the core, the two threads
// and the dialogs; a test makes a fresh window and so a fresh state.
struct ProgramState {
  AppFlags flags;
  DeviceTable devices;
  RecordTables records;
  DetectionState detection;
  MonitorState monitor;
  EventLogState eventLog;
  FirmwareState firmware;
  // Where the GoTo dialog last pointed; nothing reads it yet.
  uint32_t GotoSector = 0;
};

}  // namespace px::app
