#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device/physical_drive.h"

namespace px {

// A firmware upgrade that another process runs for a front end: pxraidd,
// which alone opens the disks where it runs, as a job on its bus. The
// window, its client then, starts one and follows it from its own thread
// without waiting on it; the job goes on when the window is gone.
struct FirmwareJobRequest {
  // The enclosure's physical drive, as its records came from that process.
  PhysicalDrive drive{0};
  // The bytes to write, as the front end loaded and checked them.
  std::vector<uint8_t> bytes;
  // The file they came from, named in the job's words and its log lines.
  std::string name;
};

// What a job did since it was last asked, in order.
struct FirmwareJobNews {
  enum class Type {
    Started,  // the service took the job (`text`: its object)
    Refused,  // it did not: `error` is the D-Bus error's name, `text` its message
    Stage,    // `text` is the stage ("Backup", "Process 2 / 4"), `percent` its percent
    Asked,    // `text` is the question the job waits on (Answer)
    Said,     // `text` is a line, `stream` "stdout" or "stderr"
    Ended,    // `exitCode`: pxraid's exit status, 0 done
  };
  Type type = Type::Said;
  std::string text;
  std::string stream;
  std::string error;
  uint32_t percent = 0;
  int exitCode = 0;
};

class FirmwareJobs {
 public:
  virtual ~FirmwareJobs() = default;
  // Asks for the job and returns at once; its start (or the refusal) comes
  // as news. Why it could not even be asked (no such enclosure, no
  // connection), or nothing.
  virtual std::optional<std::string> Start(const FirmwareJobRequest& request) = 0;
  // A job is asked for or under way, and its end has not been told.
  virtual bool Following() const = 0;
  // Whatever came since, without waiting for more.
  virtual std::vector<FirmwareJobNews> Process() = 0;
  // Answers the job's question.
  virtual void Answer(bool yes) = 0;
};

}  // namespace px
