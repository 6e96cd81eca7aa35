// The NBD export against a client that speaks the protocol from its bytes, so
// a mistake shared by the export and qemu's client would still show.

#include "nbd/nbd_export.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/bytes.h"
#include "device/knock.h"
#include "sim/virtual_controller.h"

namespace px::sim {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

constexpr uint64_t kExportSize = 64 * kSectorSize;

// Remembers every sector the export hands it, in order.
class RecordingDrive final : public VirtualDrive {
 public:
  struct Call {
    char op;
    uint32_t lba;
    uint32_t count;
    friend bool operator==(const Call&, const Call&) = default;
  };
  void Read(uint32_t lba, uint32_t count, uint8_t* out) override {
    std::lock_guard lock(mutex_);
    calls_.push_back({'R', lba, count});
    for (uint32_t i = 0; i < count * kSectorSize; ++i) out[i] = static_cast<uint8_t>(lba + i);
  }
  void Write(uint32_t lba, uint32_t count, const uint8_t* in) override {
    std::lock_guard lock(mutex_);
    calls_.push_back({'W', lba, count});
    firstBytes_.push_back(in[0]);
  }
  InquiryData Inquiry() override { return {}; }
  std::vector<Call> calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  std::vector<uint8_t> firstBytes() {
    std::lock_guard lock(mutex_);
    return firstBytes_;
  }

 private:
  std::mutex mutex_;
  std::vector<Call> calls_;
  std::vector<uint8_t> firstBytes_;
};

std::vector<uint8_t> Be(std::size_t n, uint64_t v) {
  std::vector<uint8_t> out(n);
  StoreBigEndian(out.data(), n, v);
  return out;
}

std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class Client {
 public:
  explicit Client(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval limit{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }
  ~Client() { ::close(fd_); }
  bool connected() const { return connected_; }

  void Send(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  // Exactly n bytes, or fewer when the server hung up or said nothing for 5 s.
  std::vector<uint8_t> Receive(std::size_t n) {
    std::vector<uint8_t> out(n);
    std::size_t done = 0;
    while (done < n) {
      const ssize_t got = ::recv(fd_, out.data() + done, n - done, 0);
      if (got <= 0) break;
      done += static_cast<std::size_t>(got);
    }
    out.resize(done);
    return out;
  }
  uint64_t ReceiveNumber(std::size_t n) {
    const std::vector<uint8_t> bytes = Receive(n);
    return bytes.size() == n ? LoadBigEndian(bytes.data(), n) : ~uint64_t{0};
  }

  // Greeting and client flags.
  void Hello(uint32_t clientFlags) {
    EXPECT_EQ(ReceiveNumber(8), nbd::kInitMagic);
    EXPECT_EQ(ReceiveNumber(8), nbd::kOptionMagic);
    EXPECT_EQ(ReceiveNumber(2), 0x0003u);  // fixed newstyle, no zeroes
    Send(Be(4, clientFlags));
  }
  void Option(uint32_t option, const std::vector<uint8_t>& data) {
    Send(Cat({Be(8, nbd::kOptionMagic), Be(4, option), Be(4, data.size()), data}));
  }
  struct OptionReply {
    uint32_t option = 0;
    uint32_t type = 0;
    std::vector<uint8_t> data;
  };
  OptionReply ReceiveOptionReply() {
    OptionReply reply;
    EXPECT_EQ(ReceiveNumber(8), nbd::kReplyMagic);
    reply.option = static_cast<uint32_t>(ReceiveNumber(4));
    reply.type = static_cast<uint32_t>(ReceiveNumber(4));
    reply.data = Receive(static_cast<std::size_t>(ReceiveNumber(4)));
    return reply;
  }
  void Go(const std::string& name, std::vector<uint16_t> infos) {
    std::vector<uint8_t> data =
        Cat({Be(4, name.size()), {name.begin(), name.end()}, Be(2, infos.size())});
    for (uint16_t info : infos) data = Cat({data, Be(2, info)});
    Option(nbd::kOptGo, data);
  }
  void Request(uint16_t type, uint64_t handle, uint64_t offset, uint32_t length,
               const std::vector<uint8_t>& data = {}) {
    Send(Cat({Be(4, nbd::kRequestMagic), Be(2, 0), Be(2, type), Be(8, handle), Be(8, offset),
              Be(4, length), data}));
  }
  // The error of a simple reply to `handle`; the data follows for reads.
  uint32_t ReceiveReply(uint64_t handle) {
    EXPECT_EQ(ReceiveNumber(4), nbd::kSimpleReplyMagic);
    const auto error = static_cast<uint32_t>(ReceiveNumber(4));
    EXPECT_EQ(ReceiveNumber(8), handle);
    return error;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

// Serves on a thread of its own until the server stops by itself or the
// scope ends, whichever comes first.
class Serving {
 public:
  explicit Serving(NbdServer& server) : server_(server) {
    thread_ = std::thread(
        [this] { server_.Serve(std::chrono::steady_clock::now() + std::chrono::seconds(20)); });
  }
  ~Serving() {
    server_.RequestStop();
    thread_.join();
  }
  Serving(const Serving&) = delete;
  Serving& operator=(const Serving&) = delete;

 private:
  NbdServer& server_;
  std::thread thread_;
};

// A server on a free loopback port, serving on its own thread.
class ExportTest : public ::testing::Test {
 protected:
  void Start(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    server_.AddExport("1", drive_, kExportSize + 100);  // cut to whole sectors
    thread_ = std::thread(
        [this, limit] { stop_ = server_.Serve(std::chrono::steady_clock::now() + limit); });
  }
  NbdServer::Stop Finish() {
    if (thread_.joinable()) thread_.join();
    return stop_;
  }
  void TearDown() override {
    server_.RequestStop();
    Finish();
  }
  // A client in the transmission phase of export "1".
  void Connect(Client& client) {
    ASSERT_TRUE(client.connected());
    client.Hello(nbd::kFlagFixedNewstyle | nbd::kFlagNoZeroes);
    client.Go("1", {});
    for (int i = 0; i < 3; ++i) client.ReceiveOptionReply();
  }

  std::shared_ptr<RecordingDrive> drive_ = std::make_shared<RecordingDrive>();
  NbdServer server_{0};
  std::thread thread_;
  NbdServer::Stop stop_ = NbdServer::Stop::Requested;
};

TEST_F(ExportTest, GoAnswersUnsupportedUnknownAndThenDescribesTheExport) {
  Start();
  Client client(server_.port());
  ASSERT_TRUE(client.connected());
  client.Hello(nbd::kFlagFixedNewstyle | nbd::kFlagNoZeroes);

  client.Option(8, {});  // structured replies: not spoken here
  Client::OptionReply reply = client.ReceiveOptionReply();
  EXPECT_EQ(reply.option, 8u);
  EXPECT_EQ(reply.type, nbd::kRepErrUnsupported);
  EXPECT_TRUE(reply.data.empty());

  client.Go("nope", {nbd::kInfoBlockSize});
  reply = client.ReceiveOptionReply();
  EXPECT_EQ(reply.option, nbd::kOptGo);
  EXPECT_EQ(reply.type, nbd::kRepErrUnknown);

  client.Go("1", {nbd::kInfoBlockSize});
  reply = client.ReceiveOptionReply();
  EXPECT_EQ(reply.type, nbd::kRepInfo);
  EXPECT_EQ(reply.data, Cat({Be(2, nbd::kInfoExport), Be(8, kExportSize), Be(2, 0x0005)}));
  reply = client.ReceiveOptionReply();
  EXPECT_EQ(reply.type, nbd::kRepInfo);
  EXPECT_EQ(reply.data,
            Cat({Be(2, nbd::kInfoBlockSize), Be(4, 512), Be(4, 4096), Be(4, 32 * 1024 * 1024)}));
  reply = client.ReceiveOptionReply();
  EXPECT_EQ(reply.option, nbd::kOptGo);
  EXPECT_EQ(reply.type, nbd::kRepAck);

  client.Request(nbd::kCmdRead, 7, 2 * kSectorSize, kSectorSize);
  EXPECT_EQ(client.ReceiveReply(7), 0u);
  EXPECT_EQ(client.Receive(kSectorSize).size(), kSectorSize);
  client.Request(nbd::kCmdDisconnect, 8, 0, 0);
  EXPECT_EQ(Finish(), NbdServer::Stop::AllDisconnected);
}

TEST_F(ExportTest, ExportNameSendsSizeFlagsAndPaddingUnlessRefused) {
  for (const bool noZeroes : {false, true}) {
    SCOPED_TRACE(noZeroes);
    NbdServer server(0);
    server.AddExport("1", drive_, kExportSize);
    const Serving serving(server);
    {
      Client client(server.port());
      ASSERT_TRUE(client.connected());
      client.Hello(nbd::kFlagFixedNewstyle | (noZeroes ? nbd::kFlagNoZeroes : 0));
      client.Option(nbd::kOptExportName, {'1'});
      EXPECT_EQ(client.ReceiveNumber(8), kExportSize);
      EXPECT_EQ(client.ReceiveNumber(2), 0x0005u);
      if (!noZeroes) {
        EXPECT_EQ(client.Receive(124), std::vector<uint8_t>(124, 0));
      }
      client.Request(nbd::kCmdFlush, 1, 0, 0);
      EXPECT_EQ(client.ReceiveReply(1), 0u);
    }
  }
}

TEST_F(ExportTest, EachSectorOfARequestIsOneDriveCallInOrder) {
  Start();
  Client client(server_.port());
  Connect(client);

  client.Request(nbd::kCmdRead, 1, 10 * kSectorSize, 3 * kSectorSize);
  ASSERT_EQ(client.ReceiveReply(1), 0u);
  const std::vector<uint8_t> data = client.Receive(3 * kSectorSize);
  ASSERT_EQ(data.size(), 3 * kSectorSize);
  EXPECT_EQ(data[0], 10);                // first byte of LBA 10
  EXPECT_EQ(data[2 * kSectorSize], 12);  // first byte of LBA 12

  std::vector<uint8_t> two(2 * kSectorSize);
  two[0] = 0xA1;
  two[kSectorSize] = 0xB2;
  client.Request(nbd::kCmdWrite, 2, 20 * kSectorSize, 2 * kSectorSize, two);
  ASSERT_EQ(client.ReceiveReply(2), 0u);

  EXPECT_THAT(drive_->calls(),
              ElementsAre(RecordingDrive::Call{'R', 10, 1}, RecordingDrive::Call{'R', 11, 1},
                          RecordingDrive::Call{'R', 12, 1}, RecordingDrive::Call{'W', 20, 1},
                          RecordingDrive::Call{'W', 21, 1}));
  EXPECT_THAT(drive_->firstBytes(), ElementsAre(0xA1, 0xB2));
}

TEST_F(ExportTest, RefusesWhatIsNotWholeSectorsInsideTheDiskAndStaysInStep) {
  Start();
  Client client(server_.port());
  Connect(client);
  struct Case {
    uint16_t type;
    uint64_t offset;
    uint32_t length;
    uint32_t error;
  };
  const Case cases[] = {
      {nbd::kCmdRead, 100, kSectorSize, nbd::kErrInvalid},  // not on a sector
      {nbd::kCmdRead, 0, 100, nbd::kErrInvalid},            // part of a sector
      {nbd::kCmdRead, kExportSize - kSectorSize, 2 * kSectorSize, nbd::kErrInvalid},  // past end
      {nbd::kCmdWrite, kExportSize, kSectorSize, nbd::kErrNoSpace},                   // past end
      {nbd::kCmdWrite, 0, 100, nbd::kErrInvalid},  // part of a sector
      {9, 0, 0, nbd::kErrInvalid},                 // unknown command
      {nbd::kCmdFlush, 0, 0, 0},
  };
  uint64_t handle = 100;
  for (const Case& c : cases) {
    SCOPED_TRACE(handle);
    const std::vector<uint8_t> data(c.type == nbd::kCmdWrite ? c.length : 0, 0x5A);
    client.Request(c.type, ++handle, c.offset, c.length, data);
    EXPECT_EQ(client.ReceiveReply(handle), c.error);
  }
  // Still in step: the data of refused writes was taken off the wire.
  client.Request(nbd::kCmdRead, ++handle, kExportSize - kSectorSize, kSectorSize);
  EXPECT_EQ(client.ReceiveReply(handle), 0u);
  EXPECT_EQ(client.Receive(kSectorSize).size(), kSectorSize);
  EXPECT_THAT(drive_->calls(), ElementsAre(RecordingDrive::Call{'R', 63, 1}));
}

TEST(NbdExport, AKnockThroughTheExportIsAnsweredAtLba17) {
  auto controller = std::make_shared<VirtualController>();
  NbdServer server(0);
  // Up to the 0x5FFF separator, so every knock LBA is on the disk.
  server.AddExport("0", controller, 0x6000 * kSectorSize);
  {
    const Serving serving(server);
    Client client(server.port());
    ASSERT_TRUE(client.connected());
    client.Hello(nbd::kFlagFixedNewstyle | nbd::kFlagNoZeroes);
    client.Option(nbd::kOptExportName, {'0'});
    client.Receive(10);

    CommandRecord record;
    BuildCommand(record, {{0x00, 0x04, 0xEF, 0xFF}, {0x10, 0xCF, 0xDF, 0xEF}, nullptr});
    EncodeLbaList(record);
    uint64_t handle = 0;
    // The kernel's page-sized read at attach first: not a knock.
    client.Request(nbd::kCmdRead, ++handle, 0, 8 * kSectorSize);
    ASSERT_EQ(client.ReceiveReply(handle), 0u);
    client.Receive(8 * kSectorSize);
    for (uint32_t i = 0; i < record.LbaCount; ++i) {
      client.Request(nbd::kCmdRead, ++handle, uint64_t{record.LbaList[i]} * kSectorSize,
                     kSectorSize);
      ASSERT_EQ(client.ReceiveReply(handle), 0u);
      client.Receive(kSectorSize);
    }
    client.Request(nbd::kCmdRead, ++handle, 17 * kSectorSize, kSectorSize);
    ASSERT_EQ(client.ReceiveReply(handle), 0u);
    const std::vector<uint8_t> reply = client.Receive(kSectorSize);
    ASSERT_EQ(reply.size(), kSectorSize);
    EXPECT_EQ(std::string(reply.begin(), reply.begin() + 16), "__ZEPHLIN4471C__");
    EXPECT_EQ(std::string(reply.begin() + 496, reply.end()), "__SATA6GRAID01__");
    EXPECT_EQ(reply[48], 0x20);
    client.Request(nbd::kCmdDisconnect, ++handle, 0, 0);
  }
  ASSERT_EQ(controller->Commands().size(), 1u);
  EXPECT_EQ(controller->Commands()[0].command, (std::array<uint8_t, 4>{0x10, 0xCF, 0xDF, 0xEF}));
  EXPECT_EQ(controller->BadChecksumCount(), 0u);

  // The digest covers the 16 knock reads and the reply read after the
  // page-sized one, exactly as a host would have counted them.
  CommandRecord record;
  BuildCommand(record, {{0x00, 0x04, 0xEF, 0xFF}, {0x10, 0xCF, 0xDF, 0xEF}, nullptr});
  EncodeLbaList(record);
  TransferDigest expected;
  for (uint32_t i = 0; i < record.LbaCount; ++i) expected.Add(0x28, record.LbaList[i]);
  expected.Add(0x28, 17);
  const std::vector<TransferDigest> runs = SectorRunDigests(server.Trace(), "0");
  ASSERT_FALSE(runs.empty());
  EXPECT_EQ(runs.back().count(), 17u);
  EXPECT_EQ(runs.back().value(), expected.value());
}

TEST(NbdExport, DigestsTellOrderApartAndRunsEndAtOtherSizedTransfers) {
  const auto entry = [](uint16_t type, uint32_t lba, uint32_t sectors) {
    return NbdTraceEntry{NbdTraceEntry::Kind::Request, 1, "1", type, uint64_t{lba} * kSectorSize,
                         sectors * kSectorSize,        0};
  };
  const std::vector<NbdTraceEntry> trace = {
      entry(nbd::kCmdRead, 0, 1),  entry(nbd::kCmdRead, 0, 8),   entry(nbd::kCmdRead, 67, 1),
      entry(nbd::kCmdFlush, 0, 0), entry(nbd::kCmdWrite, 20, 1), entry(nbd::kCmdRead, 113, 1)};
  TransferDigest inOrder;
  inOrder.Add(0x28, 67);
  inOrder.Add(0x2A, 20);
  inOrder.Add(0x28, 113);
  TransferDigest swapped;
  swapped.Add(0x28, 113);
  swapped.Add(0x2A, 20);
  swapped.Add(0x28, 67);
  const std::vector<TransferDigest> runs = SectorRunDigests(trace, "1");
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].count(), 1u);
  EXPECT_EQ(runs[1].count(), 3u);
  EXPECT_EQ(runs[1].value(), inOrder.value());
  EXPECT_NE(runs[1].value(), swapped.value());
  EXPECT_TRUE(SectorRunDigests(trace, "2").empty());
}

TEST(NbdExport, ServingEndsAtTheDeadlineWithoutAClient) {
  NbdServer server(0);
  EXPECT_EQ(server.Serve(std::chrono::steady_clock::now() + std::chrono::milliseconds(300)),
            NbdServer::Stop::Deadline);
}

TEST(NbdExport, TraceLinesNameTheExportTheCommandAndTheResult) {
  EXPECT_EQ(FormatTraceEntry({NbdTraceEntry::Kind::Request, 2, "1", nbd::kCmdRead, 8704, 512, 0}),
            "conn=2 export=1 read offset=8704 length=512 error=0");
  EXPECT_EQ(FormatTraceEntry({NbdTraceEntry::Kind::Option, 1, "", 8, 0, 0, 0x80000001}),
            "conn=1 export=- option=8 reply=0x80000001");
  EXPECT_EQ(FormatTraceEntry({NbdTraceEntry::Kind::Closed, 3, "0", 0, 0, 0, 0}),
            "conn=3 export=0 closed");
}

}  // namespace
}  // namespace px::sim
