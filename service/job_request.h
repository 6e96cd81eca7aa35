#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// What a client asks of a firmware job, checked before anyone is asked for
// a password: the method's options and the file it handed over, decoded
// into the job's spec or refused with the reason. Apart from the bus, so
// that a fuzz target can drive it.

namespace px::service {

enum class JobKind { Upgrade, Restore, Backup };
// "upgrade", "restore", "backup": the firmware subcommand and the Kind
// property.
const char* JobKindName(JobKind kind);

struct JobSpec {
  JobKind kind = JobKind::Upgrade;
  // The enclosure's stable id, as pxraid --enclosure takes it.
  std::string enclosureId;
  // Upgrade and restore: the file's bytes, and the bare name the copy the
  // child reads is given (shown in its texts and the day's log).
  std::vector<uint8_t> input;
  std::string inputName;
  // The file as the client named it: what the job's words call the copy
  // (empty: the copy's own path).
  std::string shownAs;
  // Restore: the text of the backup's checksum file; empty for none.
  std::string checksum;
  bool yes = false;
  bool noBackup = false;
  // Backup: the client's file, which the job owns and fills on success.
  int output = -1;
  // pxraid and the global options it is run with ("--virtual S" ...).
  std::vector<std::string> program;
  std::string logDirectory;
};

// The name a client's file is copied under: its last component, with only
// letters, digits and "._+-" kept (anything else becomes "_"); `fallback`
// when nothing usable is left.
std::string SafeFileName(const std::string& name, const std::string& fallback);

// One entry of a job method's options (a{sv}), as the bus carried it.
struct JobOption {
  std::string key;
  std::string signature;                  // the variant's type
  std::variant<bool, std::string> value;  // for "b" and "s"; nothing else is taken
};

// Fills `spec`'s file and options from a job method's: for an upgrade or a
// restore the options ("yes", "name"; "no-backup" for an upgrade, "checksum"
// for a restore) and the file `fd` read whole, which must be a regular file
// open for reading, of at most the flash's 8 MiB address space, that the
// job would take; for a backup, `fd` must be a regular file open for
// writing. Nothing when all is well, else why the call is refused (the
// program's own refusal of an image among them); `spec` is not to be used
// then.
std::optional<std::string> DecodeJobRequest(JobKind kind, const std::vector<JobOption>& options,
                                            int fd, JobSpec& spec);

}  // namespace px::service
