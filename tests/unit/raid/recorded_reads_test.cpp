// Which data read a recording keeps: the controller's replies, even one
// whose signature is spoilt (the program reports it, so the replay must see
// it too), and INQUIRY; not the disk's own sectors.

#include "raid/recorded_reads.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "device/scsi_commands.h"

namespace px {
namespace {

TEST(RecordedReads, KeepTheRepliesAndInquiryButNotTheDisksOwnSectors) {
  struct Case {
    std::string name;
    bool inquiry;
    const char* head;  // at byte 0 of the sector, or nothing
    const char* tail;  // at byte 496
    bool kept;
  } cases[] = {
      {"a reply", false, "__ZEPHLIN4471C__", "__SATA6GRAID01__", true},
      {"a reply whose tail is spoilt", false, "__ZEPHLIN4471C__", "__SATA6GRAID00__", true},
      {"a reply whose head is spoilt", false, "__ZEPHLIN4471C_!", "__SATA6GRAID01__", true},
      {"a sector of the disk's own", false, nullptr, nullptr, false},
      {"INQUIRY", true, "ATA     ", nullptr, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::array<uint8_t, kSectorSize> data{};
    data.fill(0xA5);
    if (c.head != nullptr) std::memcpy(data.data(), c.head, std::strlen(c.head));
    if (c.tail != nullptr) std::memcpy(data.data() + 496, c.tail, std::strlen(c.tail));
    const ScsiRequest request =
        c.inquiry ? MakeInquiry(data.data()) : MakeRead10(17, 1, data.data());
    EXPECT_EQ(KeepReadInRecording(request, {data.data(), request.transferLength}), c.kept);
  }
}

}  // namespace
}  // namespace px
