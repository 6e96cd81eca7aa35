#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/sleep_inhibitor.h"
#include "common/ui.h"
#include "device/channel.h"
#include "device/scsi_commands.h"
#include "eventlog/event_log.h"
#include "eventlog/log_time.h"
#include "firmware/firmware_state.h"
#include "firmware/upgrade.h"
#include "raid/context.h"
#include "raid/device_table.h"
#include "raid/discovery.h"
#include "raid/enclosure.h"
#include "raid/enclosure_events.h"
#include "raid/monitor.h"
#include "raid/polled_elsewhere.h"
#include "raid/records.h"

namespace px {

// The program's name and version as its window caption shows them; the
// event log's start and restart blocks name the program with it, whichever
// front end writes them.
inline constexpr char kProgramCaption[] = "Utitity v0.50.4";

// What a front end lends the core: where the disks are, the time, where it
// shows things, and whether and where it keeps the day's log.
struct CoreServices {
  Transport& transport;
  Clock& clock;
  StatusPanels& panels;
  Messages& messages;
  SleepInhibitor& sleepInhibitor;
  const DateTimeFormat& dateFormat;
  // The window's events, run inside every channel loop on its thread.
  MessagePump pump;
  // Where the day's log files go; empty for a front end that keeps no log
  // (a one-off status read, a firmware check).
  std::filesystem::path logDirectory;
  // The local time a poll's log lines carry.
  std::function<LogTime()> now;
  // Told the lines each poll added to the log, in order.
  std::function<void(const std::vector<std::string>& lines)> logged;
  // Told what changed on the enclosures after each poll: members failed,
  // removed, inserted or initialized, rebuilds, enclosures that appeared,
  // went or stopped answering. Alerts and metrics start here. Told after
  // every poll, an empty list too, so that a memory of the polls sees each
  // of them.
  std::function<void(const std::vector<EnclosureEvent>& events)> events;
  // A client of the process that owns the disks (the window while pxraidd
  // runs): the enclosures come from its polls, never from the disks. Null:
  // the front end opens the disks itself.
  PolledElsewhere* polledElsewhere = nullptr;
};

// The program's core, built in one place: the tables and flags, the command
// channel over the transport, discovery, the status monitor with the event
// log it keeps, and firmware work. The window, pxraid and the end-to-end
// guest each make one; a test makes a fresh one. Members are public, as the
// tables always were: the front ends and the threads work on them.
class Core {
 public:
  explicit Core(CoreServices services);
  Core(const Core&) = delete;
  Core& operator=(const Core&) = delete;

  CoreServices services;

  // State, grouped by owner.
  AppFlags flags;
  DeviceTable devices;
  // What each slot of `devices` keeps between polls: the monitor's counters,
  // what the events and the log compare the next poll with.
  EnclosureSet enclosures;
  RecordTables records;
  DetectionState detection;
  MonitorState monitor;
  EventLogState eventLog;
  FirmwareState firmware;

  // The parts that work on it.
  DeviceAccess access;
  CommandChannel channel;
  RaidContext context;
  DriveDiscovery discovery;
  EventLogWriter logWriter;
  RaidMonitor raid;
  FirmwareWork firmwareWork;

  // What changed on the shown devices since the last call, with `answered`
  // telling which of them were just read (bit i: device i) and `busy` which
  // another program held. The poll calls it and hands the events on; a front
  // end that learns of a change outside a poll (the last enclosure gone) may
  // call it with nothing read. Each shown enclosure's `seen` is left as the
  // call saw it, the `before` of the next call.
  std::vector<EnclosureEvent> Observe(uint8_t answered, uint8_t busy = 0);

 private:
  // The poll's hook: the answers go into the day's log, what changed to
  // whoever listens for events.
  void AfterPoll(uint8_t answered, uint8_t busy);
};

}  // namespace px
