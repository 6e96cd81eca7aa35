#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/virtual_drive.h"

namespace px::sim {

// The parts of the NBD protocol the export speaks (fixed newstyle handshake,
// simple replies).
namespace nbd {
inline constexpr uint64_t kInitMagic = 0x4E42444D41474943;    // "NBDMAGIC"
inline constexpr uint64_t kOptionMagic = 0x49484156454F5054;  // "IHAVEOPT"
inline constexpr uint64_t kReplyMagic = 0x0003E889045565A9;
inline constexpr uint32_t kRequestMagic = 0x25609513;
inline constexpr uint32_t kSimpleReplyMagic = 0x67446698;

inline constexpr uint16_t kFlagFixedNewstyle = 1 << 0;
inline constexpr uint16_t kFlagNoZeroes = 1 << 1;

inline constexpr uint32_t kOptExportName = 1;
inline constexpr uint32_t kOptAbort = 2;
inline constexpr uint32_t kOptInfo = 6;
inline constexpr uint32_t kOptGo = 7;

inline constexpr uint32_t kRepAck = 1;
inline constexpr uint32_t kRepInfo = 3;
inline constexpr uint32_t kRepErrUnsupported = 0x80000001;
inline constexpr uint32_t kRepErrInvalid = 0x80000003;
inline constexpr uint32_t kRepErrUnknown = 0x80000006;

inline constexpr uint16_t kInfoExport = 0;
inline constexpr uint16_t kInfoBlockSize = 3;

inline constexpr uint16_t kTransmitHasFlags = 1 << 0;
inline constexpr uint16_t kTransmitSendFlush = 1 << 2;

inline constexpr uint16_t kCmdRead = 0;
inline constexpr uint16_t kCmdWrite = 1;
inline constexpr uint16_t kCmdDisconnect = 2;
inline constexpr uint16_t kCmdFlush = 3;

inline constexpr uint32_t kErrInvalid = 22;  // EINVAL
inline constexpr uint32_t kErrNoSpace = 28;  // ENOSPC

// Block sizes offered: one sector is the smallest request the controller can
// take apart, so nothing smaller may arrive and nothing may be rounded up.
inline constexpr uint32_t kMinimumBlock = 512;
inline constexpr uint32_t kPreferredBlock = 4096;
inline constexpr uint32_t kMaximumRequest = 32 * 1024 * 1024;
}  // namespace nbd

// One event of an export's life, in the order the server saw them.
struct NbdTraceEntry {
  enum class Kind { Option, Request, Closed };
  Kind kind = Kind::Request;
  int connection = 0;      // 1, 2, ... in order of acceptance
  std::string exportName;  // empty while a connection has chosen none
  uint32_t code = 0;       // option number, or the request's command type
  uint64_t offset = 0;     // requests: bytes
  uint32_t length = 0;     // requests: bytes
  uint32_t result = 0;     // option reply type, or the request's NBD error (0 for none)
};

// One line of text per entry, as the trace file shows it.
std::string FormatTraceEntry(const NbdTraceEntry& entry);

// A fingerprint of a run of one-sector commands in order, so that both ends of
// a long conversation (the guest's transport and this export) can prove they
// saw the same commands without shipping all of them. FNV-1a over the opcode
// (0x28 READ(10), 0x2A WRITE(10)) and the LBA, most significant byte first.
class TransferDigest {
 public:
  void Add(uint8_t opcode, uint32_t lba);
  uint64_t count() const { return count_; }
  uint64_t value() const { return hash_; }

 private:
  uint64_t count_ = 0;
  uint64_t hash_ = 0xCBF29CE484222325;
};

// The runs of one-sector READ and WRITE requests of an export, in order, as
// digests: what a host sent with one-sector READ(10)/WRITE(10)s between two
// requests of any other size (or a failed one). A kernel reads whole pages
// through its cache (the partition scan at attach; a direct read of a page
// makes a deliberate boundary), so a run is a program's traffic alone,
// provided nothing in between split, merged or added requests. Empty runs
// are left out.
std::vector<TransferDigest> SectorRunDigests(const std::vector<NbdTraceEntry>& trace,
                                             const std::string& exportName);

// Serves virtual drives over NBD on the loopback interface. Each drive is an
// export under its own name; every 512-byte part of a READ or WRITE is handed
// to the drive as one sector read or write, in the order the requests came,
// so a knock spelled by one-sector reads reaches the controller as it was
// played. Requests not aligned to 512 bytes are refused with EINVAL.
//
// Connections are served on threads of their own, one request at a time each.
class NbdServer {
 public:
  // Listens on 127.0.0.1:port; port 0 takes any free port. Throws
  // std::system_error when the socket cannot be set up.
  explicit NbdServer(uint16_t port);
  ~NbdServer();
  NbdServer(const NbdServer&) = delete;
  NbdServer& operator=(const NbdServer&) = delete;

  // Before Serve. The size is rounded down to whole sectors.
  void AddExport(const std::string& name, std::shared_ptr<VirtualDrive> drive, uint64_t sizeBytes);
  uint16_t port() const { return port_; }

  enum class Stop { AllDisconnected, Deadline, Requested };
  // Accepts and serves until every connection that chose an export has
  // closed (after at least one did), until the deadline, or until
  // RequestStop. Connections still open at the end are shut down and joined.
  Stop Serve(std::chrono::steady_clock::time_point deadline);
  // Safe from any thread or a signal handler.
  void RequestStop() { stopRequested_ = true; }
  // Serves one client on a socket that is already connected (one end of a
  // socketpair: the fuzz target speaks the protocol through it), on the
  // calling thread, until the client leaves or breaks the protocol; then
  // closes the socket.
  void ServeClient(int fd);

  std::vector<NbdTraceEntry> Trace() const;

 private:
  struct Export {
    std::shared_ptr<VirtualDrive> drive;
    uint64_t sizeBytes = 0;
  };
  class Connection;

  void Record(NbdTraceEntry entry);
  const Export* FindExport(const std::string& name) const;

  int listenFd_ = -1;
  uint16_t port_ = 0;
  std::map<std::string, Export> exports_;
  std::atomic<bool> stopRequested_{false};
  std::atomic<int> connections_{0};  // numbers them, 1, 2, ...
  std::atomic<int> transmitted_{0};  // connections that reached the transmission phase
  mutable std::mutex traceMutex_;
  std::vector<NbdTraceEntry> trace_;
};

}  // namespace px::sim
