// The utility on this machine's disks. Two options for bug reports, one for
// the desktop:
//   pxgui --record FILE        also writes every command to the disks, and
//                              every answer, to FILE
//   pxgui --replay FILE        plays such a recording back instead of
//                              touching any disk
//   pxgui --no-notifications   the tray icon raises no desktop notifications
// Everything else on the command line is the toolkit's.

#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "app/application.h"
#include "common/clock.h"
#include "device/recorder.h"
#include "device/replayer.h"

namespace {

struct SessionOptions {
  std::string record;
  std::string replay;
};

// Takes --record FILE and --replay FILE out of the arguments, so that the
// toolkit sees only its own. False when one lacks its file or both are given.
bool TakeSessionOptions(int& argc, char** argv, SessionOptions& options) {
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    std::string* target = nullptr;
    if (std::strcmp(argv[i], "--record") == 0) target = &options.record;
    if (std::strcmp(argv[i], "--replay") == 0) target = &options.replay;
    if (target == nullptr) {
      argv[kept++] = argv[i];
      continue;
    }
    if (i + 1 == argc) return false;
    *target = argv[++i];
  }
  argc = kept;
  argv[argc] = nullptr;
  return options.record.empty() || options.replay.empty();
}

}  // namespace

int main(int argc, char** argv) {
  SessionOptions options;
  if (!TakeSessionOptions(argc, argv, options)) {
    std::fprintf(stderr, "usage: pxgui [--record FILE | --replay FILE] [%s]\n",
                 px::app::kNoNotifications);
    return 2;
  }
  px::SteadyClock steadyClock;
  std::unique_ptr<px::Transport> platform;
  std::unique_ptr<px::Recorder> recorder;
  std::unique_ptr<px::Replayer> replayer;
  px::Transport* transport = nullptr;
  px::app::AppEnvironment env;
  try {
    if (!options.replay.empty()) {
      replayer = std::make_unique<px::Replayer>(options.replay, px::Replayer::Pauses::Real);
      transport = replayer.get();
      env.clock = &replayer->clock();
      env.onStarted = [&replayer](px::app::TForm1& form) {
        px::app::ReportReplayStops(*replayer, form);
      };
    } else {
      platform = px::CreatePlatformTransport();
      transport = platform.get();
      if (!options.record.empty()) {
        recorder = std::make_unique<px::Recorder>(options.record, *platform, steadyClock, "pxgui");
        transport = recorder.get();
        env.clock = &recorder->clock();
      }
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "pxgui: %s\n", error.what());
    return 2;
  }
  // The window owns its transport; the recording outlives it here.
  env.makeTransport = [transport] { return std::make_unique<px::ForwardingTransport>(*transport); };
  const int code = px::app::RunApplication(argc, argv, std::move(env));
  if (recorder && !recorder->Complete()) {
    std::fprintf(stderr, "pxgui: the recording ends early: a line could not be written\n");
  }
  return code;
}
