// pxnbd: serves the drives of a named virtual set-up over NBD on the loopback
// interface, so that a real kernel (in a virtual machine whose USB disks are
// these exports) sits between the program and the controller model.
//
//   pxnbd --scenario NAME --port PORT --out DIR [--time-limit SECONDS]
//         [--flip-bit DRIVE:ADDRESS] [--size-mib N]
//
// Every drive of the set-up is an export named after its drive number. The
// description of the exports goes to standard output, then the line
// "listening 127.0.0.1:PORT" (PORT 0 takes a free port). DIR receives
// firmware.bin (a file the set-up's enclosures accept) at once, and on exit
// trace.txt and flash-NAME.bin for every enclosure. The export ends when its
// client has disconnected, after the time limit, or on SIGINT/SIGTERM.

#include <chrono>
#include <csignal>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.h"
#include "common/text.h"
#include "nbd/nbd_export.h"
#include "sim/demo_scenarios.h"
#include "sim/virtual_bus.h"

namespace px::sim {
namespace {

struct Options {
  std::string scenario;
  std::optional<uint16_t> port;
  std::filesystem::path out;
  unsigned timeLimitSeconds = 600;
  uint64_t sizeMib = 1024;
  std::optional<unsigned> flipDrive;
  uint32_t flipAddress = 0;
};

constexpr char kUsage[] =
    "usage: pxnbd --scenario NAME --port PORT --out DIR [--time-limit SECONDS]\n"
    "             [--flip-bit DRIVE:ADDRESS] [--size-mib N]\n";

// The server a signal stops; RequestStop only stores a lock-free flag.
NbdServer* gServer = nullptr;

void OnSignal(int) {
  if (gServer) gServer->RequestStop();
}

unsigned long ParseUnsigned(std::string_view text, unsigned long maximum) {
  std::size_t used = 0;
  const std::string s(text);
  const unsigned long value = std::stoul(s, &used, 0);
  if (used != s.size() || value > maximum) throw std::invalid_argument(s);
  return value;
}

std::optional<Options> ParseOptions(int argc, char** argv) {
  Options options;
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  try {
    for (std::size_t i = 0; i < args.size(); ++i) {
      const std::string_view arg = args[i];
      if (i + 1 >= args.size()) return std::nullopt;
      const std::string_view value = args[++i];
      if (arg == "--scenario") {
        options.scenario = value;
      } else if (arg == "--port") {
        options.port = static_cast<uint16_t>(ParseUnsigned(value, 65535));
      } else if (arg == "--out") {
        options.out = std::string(value);
      } else if (arg == "--time-limit") {
        options.timeLimitSeconds = static_cast<unsigned>(ParseUnsigned(value, 86400));
      } else if (arg == "--size-mib") {
        options.sizeMib = ParseUnsigned(value, 1024 * 1024);
      } else if (arg == "--flip-bit") {
        const std::size_t colon = value.find(':');
        if (colon == std::string_view::npos) return std::nullopt;
        options.flipDrive = static_cast<unsigned>(ParseUnsigned(value.substr(0, colon), 9));
        options.flipAddress =
            static_cast<uint32_t>(ParseUnsigned(value.substr(colon + 1), 0xFFFFFFFF));
      } else {
        return std::nullopt;
      }
    }
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (options.scenario.empty() || !options.port || options.out.empty() || options.sizeMib == 0) {
    return std::nullopt;
  }
  return options;
}

std::string Field(const InquiryData& inquiry, std::size_t at, std::size_t size) {
  std::string text(inquiry.begin() + static_cast<std::ptrdiff_t>(at),
                   inquiry.begin() + static_cast<std::ptrdiff_t>(at + size));
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::string Quoted(const std::string& text) {
  return "\"" + text + "\"";
}

std::string DescribePort(const char* name, const PortScenario& port) {
  const std::string p = std::string(" ") + name + ".";
  return p + "state=" + std::to_string(port.state) + p + "model=" + Quoted(port.model) + p +
         "serial=" + Quoted(port.serial) + p + "sectors=" + std::to_string(port.capacitySectors);
}

// What a test needs to know to expect the right answers: the INQUIRY texts
// the disk carries (the virtual machine's SCSI layer answers INQUIRY, so it
// must be told them) and, for an enclosure, what its controller reports.
std::vector<std::string> Describe(const VirtualBus& bus, uint64_t sizeBytes) {
  std::vector<std::string> lines;
  for (unsigned d = 0; d < kBusDrives; ++d) {
    const std::shared_ptr<VirtualDrive> drive = bus.DriveAt(d);
    if (!drive) continue;
    const InquiryData inquiry = drive->Inquiry();
    const std::shared_ptr<VirtualController> enclosure = bus.EnclosureAt(d);
    lines.push_back(
        "export " + std::to_string(d) + (enclosure ? " enclosure" : " disk") +
        " vendor=" + Quoted(Field(inquiry, 8, 8)) + " product=" + Quoted(Field(inquiry, 16, 16)) +
        " revision=" + Quoted(Field(inquiry, 32, 4)) + " size=" + std::to_string(sizeBytes));
    if (!enclosure) continue;
    const ControllerScenario s = enclosure->Scenario();
    lines.push_back("scenario " + std::to_string(d) + " mode=" + std::to_string(s.modeByte) +
                    " version=0x" + HexUpper(s.firmwareVersion, 8) + " product=0x" +
                    HexUpper(s.productCode[0], 2) + HexUpper(s.productCode[1], 2) +
                    DescribePort("p0", s.p0) + DescribePort("p1", s.p1) +
                    " progress.total=" + std::to_string(s.progress.totalSectors));
  }
  return lines;
}

bool WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::string StopText(NbdServer::Stop stop) {
  switch (stop) {
    case NbdServer::Stop::AllDisconnected:
      return "disconnected";
    case NbdServer::Stop::Deadline:
      return "time-limit";
    case NbdServer::Stop::Requested:
      return "signal";
  }
  return "?";
}

// What every enclosure made of the traffic: the knocks it recognised, frames
// it dropped, control sectors, and its flash.
bool WriteReport(const Options& options, const VirtualBus& bus,
                 const std::vector<std::string>& description, const NbdServer& server,
                 NbdServer::Stop stop) {
  std::ofstream out(options.out / "trace.txt", std::ios::trunc);
  out << "scenario " << options.scenario << "\n";
  for (const std::string& line : description) out << line << "\n";
  const std::vector<NbdTraceEntry> trace = server.Trace();
  for (const NbdTraceEntry& entry : trace) out << FormatTraceEntry(entry) << "\n";

  bool ok = true;
  for (unsigned d = 0; d < kBusDrives; ++d) {
    if (!bus.DriveAt(d)) continue;
    const std::string name = std::to_string(d);
    for (const TransferDigest& run : SectorRunDigests(trace, name)) {
      out << "transfers export=" << name << " sectors=" << run.count() << " digest=0x"
          << HexUpper(run.value(), 16) << "\n";
    }
    const std::shared_ptr<VirtualController> enclosure = bus.EnclosureAt(d);
    if (!enclosure) continue;
    const std::vector<ExecutedCommand> commands = enclosure->Commands();
    for (std::size_t i = 0; i < commands.size(); ++i) {
      const ExecutedCommand& c = commands[i];
      out << "knock export=" << name << " n=" << i
          << " header=" << HexUpper(LoadBigEndian(c.header.data(), 4), 8)
          << " command=" << HexUpper(LoadBigEndian(c.command.data(), 4), 8)
          << " form=" << (c.longForm ? "long" : "short") << " carried=" << c.carriedOut
          << " replied=" << c.replied << " status=0x" << HexUpper(c.status, 2) << "\n";
    }
    out << "bad-checksums export=" << name << " count=" << enclosure->BadChecksumCount() << "\n";
    for (const ControlWrite& w : enclosure->ControlWrites()) {
      out << "control export=" << name << " signature=" << w.signatureOk << " request=0x"
          << HexUpper(w.requestCode, 2) << " byte3=0x" << HexUpper(w.byte3, 2) << " event=0x"
          << HexUpper(w.hostEvent, 2) << " backup=" << unsigned{w.scheduleBackup} << " period=0x"
          << HexUpper(w.periodCode, 2) << " stored=0x" << HexUpper(w.storedSum, 4) << " computed=0x"
          << HexUpper(w.computedSum, 4) << " sum=" << w.sumOk << "\n";
    }
    const std::filesystem::path flash = options.out / ("flash-" + name + ".bin");
    ok = WriteFile(flash, enclosure->ReadFlash(0, enclosure->FlashSize())) && ok;
    out << "flash export=" << name << " file=" << flash.filename().string() << "\n";
  }
  out << "stop reason=" << StopText(stop) << "\n";
  return ok && static_cast<bool>(out);
}

int Run(const Options& options) {
  const DemoScenario* scenario = FindDemoScenario(options.scenario);
  if (!scenario) {
    std::cerr << "pxnbd: no scenario named " << options.scenario << "; there are:";
    for (const DemoScenario& s : DemoScenarios()) std::cerr << " " << s.name;
    std::cerr << "\n";
    return 2;
  }
  VirtualBus bus;
  scenario->build(bus);
  if (options.flipDrive) {
    const std::shared_ptr<VirtualController> enclosure = bus.EnclosureAt(*options.flipDrive);
    if (!enclosure) {
      std::cerr << "pxnbd: drive " << *options.flipDrive << " is not an enclosure\n";
      return 2;
    }
    enclosure->UpdateFaults([&](ControllerFaults& f) {
      f.flippedBit = FlippedBit{options.flipAddress, 0x01};
    });
  }

  std::filesystem::create_directories(options.out);
  if (!WriteFile(options.out / "firmware.bin", DemoFirmwareFile())) {
    std::cerr << "pxnbd: cannot write to " << options.out << "\n";
    return 1;
  }

  const uint64_t sizeBytes = options.sizeMib * 1024 * 1024;
  NbdServer server(*options.port);
  for (unsigned d = 0; d < kBusDrives; ++d) {
    if (std::shared_ptr<VirtualDrive> drive = bus.DriveAt(d)) {
      server.AddExport(std::to_string(d), std::move(drive), sizeBytes);
    }
  }
  const std::vector<std::string> description = Describe(bus, sizeBytes);
  for (const std::string& line : description) std::cout << line << "\n";
  std::cout << "listening 127.0.0.1:" << server.port() << std::endl;

  gServer = &server;
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  const NbdServer::Stop stop = server.Serve(std::chrono::steady_clock::now() +
                                            std::chrono::seconds(options.timeLimitSeconds));
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  gServer = nullptr;

  const bool written = WriteReport(options, bus, description, server, stop);
  std::cout << "stopped: " << StopText(stop) << std::endl;
  return written ? 0 : 1;
}

}  // namespace
}  // namespace px::sim

int main(int argc, char** argv) {
  const std::optional<px::sim::Options> options = px::sim::ParseOptions(argc, argv);
  if (!options) {
    std::cerr << px::sim::kUsage;
    return 2;
  }
  try {
    return px::sim::Run(*options);
  } catch (const std::exception& e) {
    std::cerr << "pxnbd: " << e.what() << "\n";
    return 1;
  }
}
