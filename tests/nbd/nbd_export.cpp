#include "nbd/nbd_export.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <thread>

#include "common/bytes.h"
#include "common/text.h"

namespace px::sim {
namespace {

using SteadyTime = std::chrono::steady_clock;

// How often a blocked reader looks up to see whether the server is stopping.
constexpr int kPollSliceMs = 100;
// Option data is a name and a few info requests; anything larger is not a
// client worth talking to.
constexpr uint32_t kMaximumOptionLength = 64 * 1024;
// Sectors a READ(10) can address: exports are cut to this.
constexpr uint64_t kMaximumSectors = uint64_t{1} << 32;
constexpr uint8_t kOpcodeRead10 = 0x28;
constexpr uint8_t kOpcodeWrite10 = 0x2A;

class Bytes {
 public:
  Bytes& U16(uint64_t v) { return Put(2, v); }
  Bytes& U32(uint64_t v) { return Put(4, v); }
  Bytes& U64(uint64_t v) { return Put(8, v); }
  Bytes& Raw(const uint8_t* p, std::size_t n) {
    data_.insert(data_.end(), p, p + n);
    return *this;
  }
  Bytes& Zeros(std::size_t n) {
    data_.resize(data_.size() + n, 0);
    return *this;
  }
  const std::vector<uint8_t>& data() const { return data_; }

 private:
  Bytes& Put(std::size_t n, uint64_t v) {
    const std::size_t at = data_.size();
    data_.resize(at + n);
    StoreBigEndian(data_.data() + at, n, v);
    return *this;
  }
  std::vector<uint8_t> data_;
};

const char* CommandName(uint32_t type) {
  switch (type) {
    case nbd::kCmdRead:
      return "read";
    case nbd::kCmdWrite:
      return "write";
    case nbd::kCmdDisconnect:
      return "disc";
    case nbd::kCmdFlush:
      return "flush";
    default:
      return nullptr;
  }
}

}  // namespace

std::string FormatTraceEntry(const NbdTraceEntry& entry) {
  std::string line = "conn=" + std::to_string(entry.connection) +
                     " export=" + (entry.exportName.empty() ? std::string("-") : entry.exportName) +
                     " ";
  switch (entry.kind) {
    case NbdTraceEntry::Kind::Option:
      return line + "option=" + std::to_string(entry.code) + " reply=0x" +
             HexUpper(entry.result, 8);
    case NbdTraceEntry::Kind::Closed:
      return line + "closed";
    case NbdTraceEntry::Kind::Request:
      break;
  }
  const char* name = CommandName(entry.code);
  line += name ? std::string(name) : "cmd" + std::to_string(entry.code);
  return line + " offset=" + std::to_string(entry.offset) +
         " length=" + std::to_string(entry.length) + " error=" + std::to_string(entry.result);
}

void TransferDigest::Add(uint8_t opcode, uint32_t lba) {
  constexpr uint64_t kPrime = 0x100000001B3;
  const uint8_t bytes[5] = {opcode, static_cast<uint8_t>(lba >> 24),
                            static_cast<uint8_t>(lba >> 16), static_cast<uint8_t>(lba >> 8),
                            static_cast<uint8_t>(lba)};
  for (const uint8_t b : bytes) hash_ = (hash_ ^ b) * kPrime;
  ++count_;
}

std::vector<TransferDigest> SectorRunDigests(const std::vector<NbdTraceEntry>& trace,
                                             const std::string& exportName) {
  std::vector<TransferDigest> runs(1);
  for (const NbdTraceEntry& e : trace) {
    if (e.kind != NbdTraceEntry::Kind::Request || e.exportName != exportName) continue;
    if (e.code != nbd::kCmdRead && e.code != nbd::kCmdWrite) continue;
    if (e.length != kSectorSize || e.result != 0) {
      if (runs.back().count() != 0) runs.emplace_back();
      continue;
    }
    runs.back().Add(e.code == nbd::kCmdRead ? kOpcodeRead10 : kOpcodeWrite10,
                    static_cast<uint32_t>(e.offset / kSectorSize));
  }
  if (runs.back().count() == 0) runs.pop_back();
  return runs;
}

// ---------------------------------------------------------------------------
// One client, from the greeting to the disconnect.

class NbdServer::Connection {
 public:
  Connection(NbdServer& server, int fd, int id, const std::atomic<bool>& stopping)
      : server_(server), fd_(fd), id_(id), stopping_(stopping) {}
  ~Connection() { ::close(fd_); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void Run();
  // Wakes a reader blocked in the kernel; the thread then ends by itself.
  void Shutdown() { ::shutdown(fd_, SHUT_RDWR); }

 private:
  // The chosen export, or null when the client left or broke the protocol.
  const Export* Negotiate();
  bool AnswerInfo(uint32_t option, const std::vector<uint8_t>& data, const Export*& chosen);
  void Transmit(const Export& target);
  uint32_t Read(const Export& target, uint64_t offset, uint32_t length, std::vector<uint8_t>& out);
  uint32_t Write(const Export& target, uint64_t offset, const std::vector<uint8_t>& in);

  bool ReadExact(uint8_t* buffer, std::size_t n);
  bool WriteAll(const std::vector<uint8_t>& bytes);
  bool OptionReply(uint32_t option, uint32_t type, const std::vector<uint8_t>& data = {});
  void Trace(NbdTraceEntry::Kind kind, uint32_t code, uint64_t offset = 0, uint32_t length = 0,
             uint32_t result = 0);

  NbdServer& server_;
  int fd_;
  int id_;
  const std::atomic<bool>& stopping_;
  std::string name_;
  bool noZeroes_ = false;
};

void NbdServer::Connection::Run() {
  const Export* target = Negotiate();
  if (target) {
    ++server_.transmitted_;
    Transmit(*target);
  }
  Trace(NbdTraceEntry::Kind::Closed, 0);
}

const NbdServer::Export* NbdServer::Connection::Negotiate() {
  if (!WriteAll(Bytes()
                    .U64(nbd::kInitMagic)
                    .U64(nbd::kOptionMagic)
                    .U16(nbd::kFlagFixedNewstyle | nbd::kFlagNoZeroes)
                    .data())) {
    return nullptr;
  }
  uint8_t clientFlags[4];
  if (!ReadExact(clientFlags, sizeof clientFlags)) return nullptr;
  noZeroes_ = (LoadBigEndian(clientFlags, 4) & nbd::kFlagNoZeroes) != 0;

  for (;;) {
    uint8_t header[16];
    if (!ReadExact(header, sizeof header)) return nullptr;
    if (LoadBigEndian(header, 8) != nbd::kOptionMagic) return nullptr;
    const auto option = static_cast<uint32_t>(LoadBigEndian(header + 8, 4));
    const auto length = static_cast<uint32_t>(LoadBigEndian(header + 12, 4));
    if (length > kMaximumOptionLength) return nullptr;
    std::vector<uint8_t> data(length);
    if (!ReadExact(data.data(), data.size())) return nullptr;

    switch (option) {
      case nbd::kOptExportName: {
        // No way to say "no" here but hanging up.
        name_.assign(data.begin(), data.end());
        const Export* target = server_.FindExport(name_);
        Trace(NbdTraceEntry::Kind::Option, option, 0, 0,
              target ? nbd::kRepAck : nbd::kRepErrUnknown);
        if (!target) return nullptr;
        Bytes reply;
        reply.U64(target->sizeBytes).U16(nbd::kTransmitHasFlags | nbd::kTransmitSendFlush);
        if (!noZeroes_) reply.Zeros(124);
        return WriteAll(reply.data()) ? target : nullptr;
      }
      case nbd::kOptAbort:
        Trace(NbdTraceEntry::Kind::Option, option, 0, 0, nbd::kRepAck);
        OptionReply(option, nbd::kRepAck);
        return nullptr;
      case nbd::kOptInfo:
      case nbd::kOptGo: {
        const Export* chosen = nullptr;
        if (!AnswerInfo(option, data, chosen)) return nullptr;
        if (option == nbd::kOptGo && chosen) return chosen;
        break;
      }
      default:
        Trace(NbdTraceEntry::Kind::Option, option, 0, 0, nbd::kRepErrUnsupported);
        if (!OptionReply(option, nbd::kRepErrUnsupported)) return nullptr;
        break;
    }
  }
}

bool NbdServer::Connection::AnswerInfo(uint32_t option, const std::vector<uint8_t>& data,
                                       const Export*& chosen) {
  // Name length, name, count of info requests, the requests (2 bytes each).
  const auto fail = [&](uint32_t type) {
    Trace(NbdTraceEntry::Kind::Option, option, 0, 0, type);
    return OptionReply(option, type);
  };
  if (data.size() < 6) return fail(nbd::kRepErrInvalid);
  const auto nameLength = static_cast<std::size_t>(LoadBigEndian(data.data(), 4));
  if (nameLength > data.size() - 6) return fail(nbd::kRepErrInvalid);
  const auto requests = static_cast<std::size_t>(LoadBigEndian(data.data() + 4 + nameLength, 2));
  if (data.size() != 6 + nameLength + 2 * requests) return fail(nbd::kRepErrInvalid);
  name_.assign(data.begin() + 4, data.begin() + 4 + static_cast<std::ptrdiff_t>(nameLength));
  const Export* target = server_.FindExport(name_);
  if (!target) return fail(nbd::kRepErrUnknown);

  // The block sizes go out whether asked for or not: the export refuses
  // requests that are not whole sectors, and a client had better know.
  Trace(NbdTraceEntry::Kind::Option, option, 0, 0, nbd::kRepAck);
  const bool ok = OptionReply(option, nbd::kRepInfo,
                              Bytes()
                                  .U16(nbd::kInfoExport)
                                  .U64(target->sizeBytes)
                                  .U16(nbd::kTransmitHasFlags | nbd::kTransmitSendFlush)
                                  .data()) &&
                  OptionReply(option, nbd::kRepInfo,
                              Bytes()
                                  .U16(nbd::kInfoBlockSize)
                                  .U32(nbd::kMinimumBlock)
                                  .U32(nbd::kPreferredBlock)
                                  .U32(nbd::kMaximumRequest)
                                  .data()) &&
                  OptionReply(option, nbd::kRepAck);
  chosen = target;
  return ok;
}

void NbdServer::Connection::Transmit(const Export& target) {
  std::vector<uint8_t> data;
  for (;;) {
    uint8_t header[28];
    if (!ReadExact(header, sizeof header)) return;
    if (LoadBigEndian(header, 4) != nbd::kRequestMagic) return;
    const auto type = static_cast<uint16_t>(LoadBigEndian(header + 6, 2));
    const uint8_t* handle = header + 8;
    const uint64_t offset = LoadBigEndian(header + 16, 8);
    const auto length = static_cast<uint32_t>(LoadBigEndian(header + 24, 4));

    uint32_t error = 0;
    data.clear();
    switch (type) {
      case nbd::kCmdRead:
        error = Read(target, offset, length, data);
        break;
      case nbd::kCmdWrite: {
        // The data follows the header whatever we think of it; a client
        // that sends more than it was told it may is not followed further.
        if (length > nbd::kMaximumRequest) return;
        std::vector<uint8_t> in(length);
        if (!ReadExact(in.data(), in.size())) return;
        error = Write(target, offset, in);
        break;
      }
      case nbd::kCmdDisconnect:
        Trace(NbdTraceEntry::Kind::Request, type, offset, length);
        return;
      case nbd::kCmdFlush:
        break;  // every write has reached the drive already
      default:
        error = nbd::kErrInvalid;
        break;
    }
    Trace(NbdTraceEntry::Kind::Request, type, offset, length, error);
    Bytes reply;
    reply.U32(nbd::kSimpleReplyMagic).U32(error).Raw(handle, 8);
    if (error == 0) reply.Raw(data.data(), data.size());
    if (!WriteAll(reply.data())) return;
  }
}

uint32_t NbdServer::Connection::Read(const Export& target, uint64_t offset, uint32_t length,
                                     std::vector<uint8_t>& out) {
  if (offset % kSectorSize != 0 || length % kSectorSize != 0) return nbd::kErrInvalid;
  if (length > nbd::kMaximumRequest || offset > target.sizeBytes ||
      length > target.sizeBytes - offset) {
    return nbd::kErrInvalid;
  }
  out.resize(length);
  const auto first = static_cast<uint32_t>(offset / kSectorSize);
  for (uint32_t i = 0; i < length / kSectorSize; ++i) {
    target.drive->Read(first + i, 1, out.data() + std::size_t{i} * kSectorSize);
  }
  return 0;
}

uint32_t NbdServer::Connection::Write(const Export& target, uint64_t offset,
                                      const std::vector<uint8_t>& in) {
  const auto length = static_cast<uint32_t>(in.size());
  if (offset % kSectorSize != 0 || length % kSectorSize != 0) return nbd::kErrInvalid;
  if (offset > target.sizeBytes || length > target.sizeBytes - offset) return nbd::kErrNoSpace;
  const auto first = static_cast<uint32_t>(offset / kSectorSize);
  for (uint32_t i = 0; i < length / kSectorSize; ++i) {
    target.drive->Write(first + i, 1, in.data() + std::size_t{i} * kSectorSize);
  }
  return 0;
}

bool NbdServer::Connection::ReadExact(uint8_t* buffer, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    if (stopping_) return false;
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, kPollSliceMs);
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    const ssize_t got = ::recv(fd_, buffer + done, n - done, 0);
    if (got == 0) return false;
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

bool NbdServer::Connection::WriteAll(const std::vector<uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t sent = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(sent);
  }
  return true;
}

bool NbdServer::Connection::OptionReply(uint32_t option, uint32_t type,
                                        const std::vector<uint8_t>& data) {
  return WriteAll(Bytes()
                      .U64(nbd::kReplyMagic)
                      .U32(option)
                      .U32(type)
                      .U32(data.size())
                      .Raw(data.data(), data.size())
                      .data());
}

void NbdServer::Connection::Trace(NbdTraceEntry::Kind kind, uint32_t code, uint64_t offset,
                                  uint32_t length, uint32_t result) {
  server_.Record({kind, id_, name_, code, offset, length, result});
}

// ---------------------------------------------------------------------------
// The listening side.

NbdServer::NbdServer(uint16_t port) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listenFd_ < 0) throw std::system_error(errno, std::generic_category(), "socket");
  const int on = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // The sockets API takes every address family through the generic type.
  auto* generic = reinterpret_cast<sockaddr*>(&address);
  socklen_t size = sizeof address;
  if (::bind(listenFd_, generic, size) != 0 || ::listen(listenFd_, 8) != 0 ||
      ::getsockname(listenFd_, generic, &size) != 0) {
    const int error = errno;
    ::close(listenFd_);
    throw std::system_error(error, std::generic_category(), "bind 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
}

NbdServer::~NbdServer() {
  ::close(listenFd_);
}

void NbdServer::AddExport(const std::string& name, std::shared_ptr<VirtualDrive> drive,
                          uint64_t sizeBytes) {
  const uint64_t sectors = std::min(sizeBytes / kSectorSize, kMaximumSectors);
  exports_[name] = {std::move(drive), sectors * kSectorSize};
}

const NbdServer::Export* NbdServer::FindExport(const std::string& name) const {
  const auto it = exports_.find(name);
  return it == exports_.end() ? nullptr : &it->second;
}

void NbdServer::Record(NbdTraceEntry entry) {
  std::lock_guard lock(traceMutex_);
  trace_.push_back(std::move(entry));
}

std::vector<NbdTraceEntry> NbdServer::Trace() const {
  std::lock_guard lock(traceMutex_);
  return trace_;
}

void NbdServer::ServeClient(int fd) {
  static const std::atomic<bool> kNeverStopping{false};
  Connection(*this, fd, ++connections_, kNeverStopping).Run();
}

NbdServer::Stop NbdServer::Serve(SteadyTime::time_point deadline) {
  struct Running {
    std::unique_ptr<Connection> connection;
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::atomic<bool> stopping{false};
  std::vector<Running> running;
  Stop why = Stop::Deadline;

  for (;;) {
    if (stopRequested_) {
      why = Stop::Requested;
      break;
    }
    if (SteadyTime::now() >= deadline) {
      why = Stop::Deadline;
      break;
    }
    const bool anyOpen = std::any_of(running.begin(), running.end(),
                                     [](const Running& r) { return !r.done->load(); });
    if (transmitted_ > 0 && !anyOpen) {
      why = Stop::AllDisconnected;
      break;
    }
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, kPollSliceMs) <= 0) continue;
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    // Every knock read is a small request answered before the next one is
    // sent: waiting to fill a segment would only add delay to each of them.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Running r{std::make_unique<Connection>(*this, fd, ++connections_, stopping),
              {},
              std::make_shared<std::atomic<bool>>(false)};
    r.thread = std::thread([c = r.connection.get(), done = r.done] {
      c->Run();
      *done = true;
    });
    running.push_back(std::move(r));
  }

  stopping = true;
  for (Running& r : running) {
    r.connection->Shutdown();
    r.thread.join();
  }
  return why;
}

}  // namespace px::sim
