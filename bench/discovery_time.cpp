// How long a detection takes as the host's plain disks add up: one
// enclosure beside one plain disk, and beside as many plain disks as the
// program has drive numbers for, probed one by one (a recorded or replayed
// session's way), side by side on the calling thread (pxraid's), and by the
// window's detection thread as the window asks it. On the virtual bus with
// the real clock: every
// read takes 0.375 ms, and the pauses and reply waits are real, so a plain
// disk costs its two seconds of waiting for a reply that never comes. Plain
// output, no benchmark library, so that it also cross-builds for Windows:
//
//   build/release/bench/discovery_time

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

#include "common/clock.h"
#include "common/ui.h"
#include "raid/context.h"
#include "raid/detect_thread.h"
#include "raid/discovery.h"
#include "sim/virtual_bus.h"

namespace {

constexpr uint32_t kReadLatencyMicros = 375;
// Drive 0 is the host's own disk, the enclosure the next; further plain
// disks take the numbers after it, up to the last the program probes.
constexpr unsigned kEnclosureDrive = 1;
constexpr unsigned kMostPlainDisks = px::kPhysicalDrives - 1;

class NoPanels final : public px::StatusPanels {
 public:
  void SetText(int, std::string_view) override {}
};

class NoMessages final : public px::Messages {
 public:
  void Show(std::string_view, std::string_view, px::MessageIcon) override {}
};

// A detection's worth of the program over a bus of one enclosure and
// `plainDisks` plain disks.
struct Host {
  explicit Host(unsigned plainDisks) {
    bus.SetReadLatencyMicros(kReadLatencyMicros);
    bus.AttachPlainDisk(0);
    bus.AttachEnclosure(kEnclosureDrive);
    for (unsigned drive = kEnclosureDrive + 1; drive <= plainDisks; ++drive) {
      bus.AttachPlainDisk(drive);
    }
  }

  px::SteadyClock clock;
  px::sim::VirtualBus bus;
  NoPanels panels;
  NoMessages messages;
  px::DeviceAccess access{bus, panels};
  px::AppFlags flags;
  px::CommandChannel channel{access, clock, {}, flags};
  px::DeviceTable devices;
  px::RecordTables records;
  px::DetectionState detection;
  px::MonitorState monitor;
  px::EnclosureSet enclosures{devices};
  px::RaidContext context{channel, flags,      devices, records, detection,
                          monitor, enclosures, panels,  messages};
  px::DriveDiscovery discovery{context};
};

enum class Way { OneByOne, SideBySide, WindowThread };

// Wall time of one whole detection, in milliseconds; negative when it did
// not find the one enclosure.
double DetectionMs(unsigned plainDisks, Way way) {
  Host host(plainDisks);
  const auto start = std::chrono::steady_clock::now();
  uint32_t found = 0;
  if (way == Way::WindowThread) {
    // As the window starts it: the counts first, then the request, which
    // its detection thread takes within 100 ms.
    px::DetectionState& detection = host.detection;
    detection.LetterCount = host.discovery.ListLogicalDrives();
    detection.PhysicalDriveCount = host.discovery.CountPhysicalDrives();
    const px::DriveDetectThread thread(host.discovery, host.context,
                                       {px::ProbeOrder::SideBySide, std::nullopt});
    detection.handover.Request();
    while (!detection.handover.Finished()) host.clock.SleepMs(1);
    found = host.devices.DeviceCount;
  } else {
    const px::ProbeOrder order =
        way == Way::OneByOne ? px::ProbeOrder::OneByOne : px::ProbeOrder::SideBySide;
    found = host.discovery.DetectNow({order, std::nullopt}).enclosures;
  }
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  return found == 1 ? ms : -1;
}

}  // namespace

int main() {
  std::printf("Detection on the virtual bus, real clock, %.3f ms a read\n",
              kReadLatencyMicros / 1000.0);
  std::printf(
      "(the goal's 16 plain disks do not fit: physical drives are numbered 0-%u, so %u "
      "plain disks is the most beside one enclosure)\n\n",
      static_cast<unsigned>(px::kPhysicalDrives - 1), kMostPlainDisks);
  std::printf("%-34s %14s %14s %14s\n", "", "one by one", "side by side", "window");
  constexpr Way kWays[] = {Way::OneByOne, Way::SideBySide, Way::WindowThread};
  double few[3] = {};
  double many[3] = {};
  for (const Way way : kWays) {
    const auto i = static_cast<std::size_t>(way);
    few[i] = DetectionMs(1, way);
    many[i] = DetectionMs(kMostPlainDisks, way);
    if (few[i] < 0 || many[i] < 0) {
      std::printf("a detection did not find the enclosure\n");
      return 1;
    }
  }
  const std::string manyLabel = "1 enclosure + " + std::to_string(kMostPlainDisks) + " plain disks";
  std::printf("%-34s %11.0f ms %11.0f ms %11.0f ms\n", "1 enclosure + 1 plain disk", few[0], few[1],
              few[2]);
  std::printf("%-34s %11.0f ms %11.0f ms %11.0f ms\n", manyLabel.c_str(), many[0], many[1],
              many[2]);
  std::printf("%-34s %14.2f %14.2f %14.2f\n", "ratio", many[0] / few[0], many[1] / few[1],
              many[2] / few[2]);
  return 0;
}
