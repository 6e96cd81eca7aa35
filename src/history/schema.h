#pragma once

#include <span>

#include "history/database.h"

// The history's tables, versioned in the file's user_version. Each step
// brings a file from the version before it to its own; a file is brought up
// to date in place, one step per transaction, so that a file at any version
// opens with everything it held.

namespace px::history {

struct SchemaStep {
  int version;
  const char* sql;
};

std::span<const SchemaStep> SchemaSteps();
// The version this program writes: the last step's.
int LatestSchemaVersion();

int SchemaVersion(Database& db);
// Runs the steps after the file's version up to `target`. Throws
// DatabaseError; a step that fails leaves the file at the version before it.
void Migrate(Database& db, int target = LatestSchemaVersion());

}  // namespace px::history
