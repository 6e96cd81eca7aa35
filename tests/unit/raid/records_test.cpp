#include "raid/records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace px {
namespace {

struct Port {
  uint8_t state;
  char fill;                      // model/serial bytes
  std::vector<uint8_t> capacity;  // 6 bytes, big-endian as on the wire
};

Reply StatusReply(uint8_t mode, const Port& a, const Port& b) {
  Reply r{};
  r[reply::kMode] = mode;
  for (auto [offset, port] :
       {std::pair{reply::kPortRecordA, &a}, std::pair{reply::kPortRecordB, &b}}) {
    r[offset] = port->state;
    std::fill_n(r.begin() + static_cast<std::ptrdiff_t>(offset + reply::kPortModel), 40,
                port->fill);
    std::fill_n(r.begin() + static_cast<std::ptrdiff_t>(offset + reply::kPortSerial), 20,
                port->fill);
    std::copy(port->capacity.begin(), port->capacity.end(),
              r.begin() + static_cast<std::ptrdiff_t>(offset + reply::kPortCapacity));
  }
  return r;
}

Record ConfigWithPortOrder(bool p0IsRecordA) {
  Record c{};
  c[config::kPortOrder] = p0IsRecordA ? 0x15 : 0x05;
  return c;
}

std::vector<uint8_t> Bytes(const Record& s, std::size_t at, std::size_t n) {
  return std::vector<uint8_t>(s.begin() + static_cast<std::ptrdiff_t>(at),
                              s.begin() + static_cast<std::ptrdiff_t>(at + n));
}

const std::vector<uint8_t> k1TB = {0x00, 0x00, 0x74, 0x70, 0x6D, 0xB0};

TEST(DecodeStatusReply, ModeMapping) {
  struct Case {
    uint8_t raw, mode;
  } cases[] = {{0, kModeJbod},   {1, kModeStriping}, {2, kModeMirror},
               {3, kModeBypass}, {7, kModeBypass},   {255, kModeBypass}};
  for (const auto& c : cases) {
    Record s{};
    DecodeStatusReply(StatusReply(c.raw, {0, 'a', k1TB}, {0, 'b', k1TB}), ConfigWithPortOrder(true),
                      s);
    EXPECT_EQ(s[status::kMode], c.mode) << int{c.raw};
  }
}

TEST(DecodeStatusReply, PortClassesAndProgressFlags) {
  struct Case {
    uint8_t p0, p1;
    uint8_t portFlags, progressFlags;
  } cases[] = {
      {0, 0, 0x22, 0x00}, {1, 0, 0x22, 0x01}, {0, 1, 0x22, 0x02},   {1, 1, 0x22, 0x03},
      {6, 0, 0x21, 0x00}, {9, 0, 0x28, 0x00}, {2, 0, 0x24, 0x00},   {0, 6, 0x12, 0x00},
      {0, 9, 0x82, 0x00}, {0, 3, 0x42, 0x00}, {255, 7, 0x44, 0x00},
  };
  for (const auto& c : cases) {
    Record s{};
    DecodeStatusReply(StatusReply(2, {c.p0, 'a', k1TB}, {c.p1, 'b', k1TB}),
                      ConfigWithPortOrder(true), s);
    EXPECT_EQ(s[status::kP0State], c.p0);
    EXPECT_EQ(s[status::kP1State], c.p1);
    EXPECT_EQ(s[status::kPortFlags], c.portFlags) << int{c.p0} << "/" << int{c.p1};
    EXPECT_EQ(s[status::kProgressFlags], c.progressFlags) << int{c.p0} << "/" << int{c.p1};
  }
}

TEST(DecodeStatusReply, PortOrderBitChoosesWhichRecordIsP0) {
  for (bool p0IsA : {true, false}) {
    Record s{};
    DecodeStatusReply(StatusReply(2, {0, 'A', k1TB}, {9, 'B', k1TB}), ConfigWithPortOrder(p0IsA),
                      s);
    EXPECT_EQ(s[status::kP0Model], p0IsA ? 'A' : 'B');
    EXPECT_EQ(s[status::kP1Model], p0IsA ? 'B' : 'A');
    EXPECT_EQ(s[status::kP0Serial + 19], p0IsA ? 'A' : 'B');
    EXPECT_EQ(s[status::kPortFlags], p0IsA ? 0x82 : 0x28);
  }
}

TEST(DecodeStatusReply, CapacityIsStoredReversed) {
  Record s{};
  DecodeStatusReply(StatusReply(2, {0, 'a', k1TB}, {0, 'b', {0, 0, 0, 0, 0x12, 0x34}}),
                    ConfigWithPortOrder(true), s);
  EXPECT_EQ(Bytes(s, status::kP0Capacity, 6),
            (std::vector<uint8_t>{0xB0, 0x6D, 0x70, 0x74, 0x00, 0x00}));
  EXPECT_EQ(Bytes(s, status::kP1Capacity, 6), (std::vector<uint8_t>{0x34, 0x12, 0, 0, 0, 0}));
}

// What happens to a member's model, serial and capacity for each class and
// copy rule: "new" = taken from the reply, "old" = kept, "blank" = spaces/0.
TEST(DecodeStatusReply, MemberCopyRules) {
  enum Expect { New, Old, Blank };
  struct Case {
    uint8_t state;
    MemberCopy copy;
    Expect expect;
  } cases[] = {
      {0, MemberCopy::Poll, New},
      {1, MemberCopy::Poll, New},
      {6, MemberCopy::Poll, New},
      {9, MemberCopy::Poll, New},
      {4, MemberCopy::Poll, Old},
      {0, MemberCopy::Discovery, New},
      {9, MemberCopy::Discovery, New},
      {6, MemberCopy::Discovery, Blank},
      {4, MemberCopy::Discovery, Blank},
      {6, MemberCopy::DiscoverySameDrive, Old},
      {4, MemberCopy::DiscoverySameDrive, Old},
      {1, MemberCopy::DiscoverySameDrive, New},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "state " << int{c.state} << " copy " << int(c.copy));
    Record s{};
    std::fill_n(s.begin() + status::kP0Model, 40, 'o');
    std::fill_n(s.begin() + status::kP0Serial, 20, 'o');
    std::fill_n(s.begin() + status::kP0Capacity, 6, 0x77);
    DecodeStatusReply(StatusReply(2, {c.state, 'n', k1TB}, {0, 'b', k1TB}),
                      ConfigWithPortOrder(true), s, c.copy);
    const char text = c.expect == New ? 'n' : c.expect == Old ? 'o' : ' ';
    const std::vector<uint8_t> capacity = c.expect == New
                                              ? std::vector<uint8_t>{0xB0, 0x6D, 0x70, 0x74, 0, 0}
                                          : c.expect == Old ? std::vector<uint8_t>(6, 0x77)
                                                            : std::vector<uint8_t>(6, 0);
    EXPECT_EQ(Bytes(s, status::kP0Model, 40), std::vector<uint8_t>(40, static_cast<uint8_t>(text)));
    EXPECT_EQ(Bytes(s, status::kP0Serial, 20),
              std::vector<uint8_t>(20, static_cast<uint8_t>(text)));
    EXPECT_EQ(Bytes(s, status::kP0Capacity, 6), capacity);
  }
}

// A current beyond the total is no percentage (28141 % would have shown as
// 237 in the record's byte, 355 % as 99).
TEST(ProgressPercent, TruncatesSurvivesZeroTotalAndKnowsNoneBeyondTheTotal) {
  struct Case {
    uint64_t current, total;
    std::optional<uint8_t> percent;
  } cases[] = {{7, 10, 70},
               {2, 3, 66},
               {0, 10, 0},
               {10, 10, 100},
               {5, 0, 0},
               {11, 10, std::nullopt},
               {355, 100, std::nullopt},
               {0xFFFFFFFFFFull, 1953525168ull * 2, std::nullopt}};
  for (const auto& c : cases) EXPECT_EQ(ProgressPercent(c.current, c.total), c.percent);
}

}  // namespace
}  // namespace px
