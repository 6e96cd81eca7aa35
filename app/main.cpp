// The utility on this machine's disks. While pxraidd runs, the window is its
// client and opens no disk: it shows the enclosures of the service's polls
// and the service's day log, and its firmware upgrade is a job of the
// service's.
// Two options for bug reports, one for the desktop, one for the disks:
//   pxgui --record FILE        also writes every command to the disks, and
//                              every answer, to FILE
//   pxgui --replay FILE        plays such a recording back instead of
//                              touching any disk
//   pxgui --direct             opens the disks itself even while pxraidd runs
//   pxgui --no-notifications   the tray icon raises no desktop notifications
// with --help and --version; everything else on the command line is the
// toolkit's.

#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "app/application.h"
#include "common/clock.h"
#include "device/recorder.h"
#include "device/replayer.h"
#include "raid/recorded_reads.h"
#ifdef PXGUI_WITH_SERVICE
#include "bus/service_jobs.h"
#include "bus/service_log.h"
#include "bus/service_polls.h"
#endif

namespace {

const px::app::CommandLineHelp kHelp{
    "pxgui", "[--record FILE | --replay FILE] [--direct]",
    "The window for the two-disk USB RAID enclosures of this machine.",
    "  --record FILE         also write every command to the disks, and every answer,\n"
    "                        to FILE, for a bug report\n"
    "  --replay FILE         play such a recording back instead of touching any disk\n"
    "  --direct              open the disks even while pxraidd runs, instead of\n"
    "                        showing what the service polls\n"};

struct SessionOptions {
  std::string record;
  std::string replay;
  bool direct = false;
};

// Takes --record FILE and --replay FILE out of the arguments, so that the
// toolkit sees only its own. What is wrong with them, or nothing.
std::string TakeSessionOptions(int& argc, char** argv, SessionOptions& options) {
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    std::string* target = nullptr;
    if (std::strcmp(argv[i], "--direct") == 0) {
      options.direct = true;
      continue;
    }
    if (std::strcmp(argv[i], "--record") == 0) target = &options.record;
    if (std::strcmp(argv[i], "--replay") == 0) target = &options.replay;
    if (target == nullptr) {
      argv[kept++] = argv[i];
      continue;
    }
    if (i + 1 == argc) return std::string(argv[i]) + " needs a FILE";
    *target = argv[++i];
  }
  argc = kept;
  argv[argc] = nullptr;
  if (!options.record.empty() && !options.replay.empty()) {
    return "--record and --replay cannot go together";
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  if (const std::optional<int> answered = px::app::AnswerHelpOrVersion(argc, argv, kHelp)) {
    return *answered;
  }
  SessionOptions options;
  if (const std::string problem = TakeSessionOptions(argc, argv, options); !problem.empty()) {
    return px::app::UsageError(kHelp, problem);
  }
  px::SteadyClock steadyClock;
  std::unique_ptr<px::Transport> platform;
  std::unique_ptr<px::Recorder> recorder;
  std::unique_ptr<px::Replayer> replayer;
  px::Transport* transport = nullptr;
  px::app::AppEnvironment env;
  env.help = kHelp;
#ifdef PXGUI_WITH_SERVICE
  // A recording or a replay is of the disks themselves.
  std::optional<px::bus::ServicePolls> servicePolls;
  std::optional<px::bus::ServiceJobs> serviceJobs;
  std::optional<px::bus::ServiceLog> serviceLog;
  if (!options.direct && options.record.empty() && options.replay.empty() &&
      px::bus::ServiceRuns()) {
    env.polledElsewhere = &servicePolls.emplace();
    env.firmwareJobs = &serviceJobs.emplace();
    env.loggedElsewhere = &serviceLog.emplace();
  }
#endif
  try {
    if (!options.replay.empty()) {
      replayer = std::make_unique<px::Replayer>(options.replay, px::Replayer::Pauses::Real);
      transport = replayer.get();
      env.clock = &replayer->clock();
      // The disks replayed are another session's, maybe another machine's:
      // none of them goes into the user's own history.
      env.keepsHistory = false;
      env.onStarted = [&replayer](px::app::TForm1& form) {
        px::app::ReportReplayStops(*replayer, form);
      };
    } else {
      platform = px::CreatePlatformTransport();
      transport = platform.get();
      if (!options.record.empty()) {
        recorder = std::make_unique<px::Recorder>(options.record, *platform, steadyClock, "pxgui",
                                                  px::KeepReadInRecording);
        transport = recorder.get();
        env.clock = &recorder->clock();
      }
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "pxgui: %s\n", error.what());
    return 2;
  }
  if (recorder || replayer) env.probeOrder = px::ProbeOrder::OneByOne;
  // The window owns its transport; the recording outlives it here.
  env.makeTransport = [transport] { return std::make_unique<px::ForwardingTransport>(*transport); };
  const int code = px::app::RunApplication(argc, argv, std::move(env));
  if (recorder && !recorder->Complete()) {
    std::fprintf(stderr, "pxgui: the recording ends early: a line could not be written\n");
  }
  return code;
}
