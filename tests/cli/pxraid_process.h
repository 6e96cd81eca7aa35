#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace px::test {

// What a finished run of the tool left behind.
struct RunResult {
  int exitCode = -1;  // the process's exit status
  int signal = 0;     // non-zero when a signal ended it (a crash)
  std::string out;    // standard output
  std::string err;    // standard error
  std::vector<std::string> OutLines() const;
};

// The tool that runs `args`: the built pxraid, or pxraid-test when they give
// one of the options that only it takes (--simulate-time, --control-trace,
// --held-elsewhere, --read-latency, --polls), which pxraid refuses.
std::string ProgramFor(const std::vector<std::string>& args);

// The built tool (ProgramFor), run in a child process with LC_ALL=C (so log timestamps
// read the same on every machine) and its three standard streams on pipes.
class PxraidProcess {
 public:
  // `launcher`, when given, is the command that starts the tool (its path
  // and arguments come after it); `environment` (NAME=VALUE) is added to
  // this process's. A JOURNAL_STREAM given empty names standard error's pipe,
  // as systemd names the journal's stream; none is passed on otherwise.
  // `program` is the tool's path; empty for ProgramFor(args).
  explicit PxraidProcess(const std::vector<std::string>& args, const std::string& input = "",
                         const std::vector<std::string>& launcher = {},
                         const std::vector<std::string>& environment = {},
                         const std::string& program = {});
  ~PxraidProcess();
  PxraidProcess(const PxraidProcess&) = delete;
  PxraidProcess& operator=(const PxraidProcess&) = delete;

  // Reads both outputs until `done` holds for what standard output has so
  // far, or the tool ends. False when it did not come true. The generous
  // limit only keeps a broken build from hanging the suite.
  bool ReadUntil(const std::function<bool(const std::string& out)>& done,
                 std::chrono::seconds limit = std::chrono::seconds(120));
  // As ReadUntil, for what standard error has so far.
  bool ReadErrorUntil(const std::function<bool(const std::string& err)>& done,
                      std::chrono::seconds limit = std::chrono::seconds(120));
  // Reads both outputs until the tool closes them (it ended), or the limit
  // passes; true when it ended.
  bool Ends(std::chrono::seconds limit);
  void Signal(int signal);
  // Stops reading standard output, as `| head` does once it has its lines:
  // the tool's next write finds the pipe closed.
  void CloseOutput();
  // Reads to the end of both outputs and reaps the process.
  RunResult Wait();

 private:
  bool Pump(int timeoutMs);
  bool ReadUntilIn(const std::string& text, const std::function<bool(const std::string&)>& done,
                   std::chrono::seconds limit);

  int pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  RunResult result_;
};

// Runs the tool to its end.
RunResult RunPxraid(const std::vector<std::string>& args, const std::string& input = "");
// The same for `program` (PXRAID_EXE, PXRAID_TEST_EXE), whatever `args`.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args);

// The launcher that runs the tool as a user to whom file modes apply: root
// reads every file whatever its mode, so when the tests run as root (as CI
// does) the tool runs as nobody, through util-linux's setpriv.
std::vector<std::string> UnprivilegedLauncher();

// Arguments that put the tool on the virtual bus with simulated time, so no
// device wait costs wall time.
std::vector<std::string> Virtual(const std::string& scenario, std::vector<std::string> args);

inline constexpr char kStartTime[] = "2026-12-07T10:00:00";

}  // namespace px::test
