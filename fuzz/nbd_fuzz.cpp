// The end-to-end run's NBD export, fed any byte stream as its client. What
// it sends back is, byte for byte, what the protocol's rules say a server
// with this one export sends to that stream (the greeting, a reply to each
// option, the export's size, a reply to each request with the request's
// handle and, for a read, the export's bytes), and it stops where the rules
// say the client broke the protocol. The disk behind it holds exactly what
// the accepted writes put there.
//
// Input: the export's size in bytes (6 bytes), then the client's bytes.

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "nbd/nbd_export.h"
#include "reference.h"
#include "sim/virtual_drive.h"
#include "support.h"

namespace px::fuzz {
namespace {

constexpr char kExportName[] = "enclosure";

using Sector = std::array<uint8_t, 512>;

class Bytes {
 public:
  Bytes& Number(std::size_t n, uint64_t value) {
    for (std::size_t i = n; i > 0; --i)
      data.push_back(static_cast<uint8_t>(value >> (8 * (i - 1))));
    return *this;
  }
  Bytes& Raw(std::span<const uint8_t> bytes) {
    data.insert(data.end(), bytes.begin(), bytes.end());
    return *this;
  }
  std::vector<uint8_t> data;
};

// The server the protocol describes, over a disk of `size` bytes.
class Protocol {
 public:
  explicit Protocol(uint64_t sizeBytes)
      : size_(std::min<uint64_t>(sizeBytes / 512, uint64_t{1} << 32) * 512) {}

  // What the server sends in answer to `client`.
  void Answer(std::span<const uint8_t> client) {
    client_ = client;
    out_.Number(8, 0x4E42444D41474943).Number(8, 0x49484156454F5054).Number(2, 3);
    const auto flags = Take(4);
    if (!flags) return;
    noZeroes_ = (ref::BigEndian(*flags) & 2) != 0;
    if (Options()) Transmit();
  }

  const std::vector<uint8_t>& sent() const { return out_.data; }
  const std::map<uint64_t, Sector>& disk() const { return disk_; }

 private:
  std::optional<std::span<const uint8_t>> Take(std::size_t n) {
    if (client_.size() - at_ < n) return std::nullopt;
    const auto bytes = client_.subspan(at_, n);
    at_ += n;
    return bytes;
  }

  void OptionReply(uint64_t option, uint64_t type, std::span<const uint8_t> data = {}) {
    out_.Number(8, 0x0003E889045565A9).Number(4, option).Number(4, type).Number(4, data.size());
    out_.Raw(data);
  }

  // True when the client chose the export and transmission begins.
  bool Options() {
    for (;;) {
      const auto header = Take(16);
      if (!header || ref::BigEndian(header->first(8)) != 0x49484156454F5054) return false;
      const uint64_t option = ref::BigEndian(header->subspan(8, 4));
      const uint64_t length = ref::BigEndian(header->subspan(12, 4));
      if (length > 64 * 1024) return false;
      const auto data = Take(length);
      if (!data) return false;
      const std::string name(data->begin(), data->end());
      if (option == 1) {  // EXPORT_NAME: no way to say no but hanging up
        if (name != kExportName) return false;
        out_.Number(8, size_).Number(2, 1 | 4);
        if (!noZeroes_) out_.Raw(std::vector<uint8_t>(124));
        return true;
      }
      if (option == 2) {  // ABORT
        OptionReply(option, 1);
        return false;
      }
      if (option == 6 || option == 7) {  // INFO, GO
        if (Info(option, *data) && option == 7) return true;
        continue;
      }
      OptionReply(option, 0x80000001);  // unsupported
    }
  }

  // True when the export was described.
  bool Info(uint64_t option, std::span<const uint8_t> data) {
    const std::size_t nameLength = data.size() >= 6 ? ref::BigEndian(data.first(4)) : 0;
    if (data.size() < 6 || nameLength > data.size() - 6 ||
        data.size() != 6 + nameLength + 2 * ref::BigEndian(data.subspan(4 + nameLength, 2))) {
      OptionReply(option, 0x80000003);  // invalid
      return false;
    }
    if (std::string(data.begin() + 4, data.begin() + 4 + static_cast<long>(nameLength)) !=
        kExportName) {
      OptionReply(option, 0x80000006);  // unknown
      return false;
    }
    OptionReply(option, 3, Bytes().Number(2, 0).Number(8, size_).Number(2, 1 | 4).data);
    OptionReply(option, 3,
                Bytes().Number(2, 3).Number(4, 512).Number(4, 4096).Number(4, 32 << 20).data);
    OptionReply(option, 1);
    return true;
  }

  void Transmit() {
    constexpr uint64_t kMaximum = 32 << 20;
    for (;;) {
      const auto header = Take(28);
      if (!header || ref::BigEndian(header->first(4)) != 0x25609513) return;
      const uint64_t type = ref::BigEndian(header->subspan(6, 2));
      const auto handle = header->subspan(8, 8);
      const uint64_t offset = ref::BigEndian(header->subspan(16, 8));
      const uint64_t length = ref::BigEndian(header->subspan(24, 4));
      const bool aligned = offset % 512 == 0 && length % 512 == 0;
      const bool inside = offset <= size_ && length <= size_ - offset;
      uint64_t error = 0;
      std::vector<uint8_t> data;
      if (type == 0) {  // READ
        if (!aligned || length > kMaximum || !inside) {
          error = 22;
        } else {
          for (uint64_t s = offset / 512; s < (offset + length) / 512; ++s) {
            const auto found = disk_.find(s);
            const Sector sector = found == disk_.end() ? Sector{} : found->second;
            data.insert(data.end(), sector.begin(), sector.end());
          }
        }
      } else if (type == 1) {  // WRITE: the data follows whatever we think of it
        if (length > kMaximum) return;
        const auto in = Take(length);
        if (!in) return;
        if (!aligned) {
          error = 22;
        } else if (!inside) {
          error = 28;
        } else {
          for (uint64_t i = 0; i < length / 512; ++i)
            std::copy_n(in->begin() + static_cast<long>(i * 512), 512,
                        disk_[offset / 512 + i].begin());
        }
      } else if (type == 2) {  // DISCONNECT
        return;
      } else if (type != 3) {  // anything but FLUSH
        error = 22;
      }
      out_.Number(4, 0x67446698).Number(4, error).Raw(handle);
      if (error == 0) out_.Raw(data);
    }
  }

  uint64_t size_;
  bool noZeroes_ = false;
  std::span<const uint8_t> client_;
  std::size_t at_ = 0;
  Bytes out_;
  std::map<uint64_t, Sector> disk_;
};

// Runs the export on one end of a socket pair with `client` written into
// the other, and returns everything it sent.
std::vector<uint8_t> Serve(sim::NbdServer& server, std::span<const uint8_t> client) {
  int ends[2];
  Expect(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0, "socketpair");
  std::vector<uint8_t> sent;
  std::thread reader([&] {
    uint8_t buffer[65536];
    for (;;) {
      const ssize_t got = ::recv(ends[0], buffer, sizeof buffer, 0);
      if (got <= 0) break;
      sent.insert(sent.end(), buffer, buffer + got);
    }
  });
  std::thread writer([&] {
    std::size_t done = 0;
    while (done < client.size()) {
      const ssize_t put = ::send(ends[0], client.data() + done, client.size() - done, MSG_NOSIGNAL);
      if (put <= 0) break;
      done += static_cast<std::size_t>(put);
    }
    ::shutdown(ends[0], SHUT_WR);
  });
  server.ServeClient(ends[1]);
  writer.join();
  reader.join();
  ::close(ends[0]);
  return sent;
}

}  // namespace
}  // namespace px::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace px;
  using namespace px::fuzz;
  Input in(data, size);
  const uint64_t exportSize = in.U48();
  const std::span<const uint8_t> client = in.Rest();

  sim::NbdServer server(0);
  const auto disk = std::make_shared<sim::PlainDisk>();
  server.AddExport(kExportName, disk, exportSize);
  const std::vector<uint8_t> sent = Serve(server, client);

  Protocol protocol(exportSize);
  protocol.Answer(client);
  const std::vector<uint8_t>& expected = protocol.sent();
  if (sent != expected) {
    const auto differ = std::mismatch(sent.begin(), sent.end(), expected.begin(), expected.end());
    const auto at = static_cast<std::size_t>(differ.first - sent.begin());
    Fail("the export sent " + std::to_string(sent.size()) + " bytes where the protocol says " +
         std::to_string(expected.size()) + "; they part at byte " + std::to_string(at));
  }
  for (const auto& [lba, sector] : protocol.disk()) {
    const auto held = disk->ReadSector(lba);
    Expect(std::equal(sector.begin(), sector.end(), held.begin()),
           "sector " + std::to_string(lba) + " does not hold what was written");
  }
  return 0;
}
