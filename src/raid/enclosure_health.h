#pragma once

#include <string>
#include <string_view>

#include "raid/record_views.h"

// How healthy an enclosure is, by one rule wherever it is judged: pxraid's
// status and exit code, the window's tray icon.

namespace px {

// The values are the exit codes a monitoring system expects.
enum class Health { Ok = 0, Warning = 1, Critical = 2, Unknown = 3 };

// The most severe of two: OK, then WARNING, then UNKNOWN, then CRITICAL. A
// failed member somewhere matters more than a device that could not be read;
// a device that could not be read matters more than a rebuild that runs.
Health Worse(Health a, Health b);
const char* HealthName(Health health);  // "ok", "warning", "critical", "unknown"

// Which way a rebuild runs, as the log writes it: "P0 --> P1".
std::string_view DirectionText(RebuildDirection direction);

// The health of a status record (already known to have been read), with the
// reason for it:
// - CRITICAL: a member failed; or one is absent from a mirror or a stripe
//   (the volume has lost its redundancy or its data); or none is present.
// - WARNING: a rebuild or copy runs; a member is inserted but not part of the
//   volume; a single member is present by design (JBOD, NRAID, Bypass).
// - OK: both members present and ready and nothing running.
Health Classify(const StatusRecordView& status, std::string& reason);

}  // namespace px
