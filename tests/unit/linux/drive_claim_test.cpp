#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>

#include "device/linux/sg_transport.h"
#include "fake_host.h"

namespace px {
namespace {

// Two real processes and one disk node: while a child process holds the
// claim of physical drive 1 (sdb), the parent is refused and can tell
// whether the child said it upgrades firmware; once the child has gone, by
// exiting without a word as a killed program would, the claim is the
// parent's.
TEST(DriveClaim, AnotherProcessHoldsTheDiskNodeUntilItEnds) {
  struct Case {
    ClaimPurpose childPurpose;
    bool firmware;
  } cases[] = {{ClaimPurpose::Commands, false}, {ClaimPurpose::Firmware, true}};
  for (const auto& c : cases) {
    test::FakeHost host;
    host.AddDisk("sda");
    host.AddDisk("sdb");
    SgTransport transport(host.roots());

    std::array<int, 2> ready{};
    std::array<int, 2> release{};
    ASSERT_EQ(::pipe(ready.data()), 0);
    ASSERT_EQ(::pipe(release.data()), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(ready[0]);
      ::close(release[1]);
      SgTransport own(host.roots());
      const char held = own.TryClaimDrive(PhysicalDrive(1), c.childPurpose) >= 0 ? 'y' : 'n';
      (void)!::write(ready[1], &held, 1);
      char ignored = 0;
      (void)!::read(release[0], &ignored, 1);  // until the parent closes its end
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    char held = 0;
    ASSERT_EQ(::read(ready[0], &held, 1), 1);
    ASSERT_EQ(held, 'y');

    EXPECT_EQ(transport.TryClaimDrive(PhysicalDrive(1), ClaimPurpose::Commands), kClaimRefused);
    EXPECT_EQ(transport.DriveClaimedForFirmware(PhysicalDrive(1)), c.firmware);
    const ClaimToken other = transport.TryClaimDrive(PhysicalDrive(0), ClaimPurpose::Commands);
    EXPECT_NE(other, kClaimRefused) << "another drive is not held";
    transport.ReleaseDrive(other);

    ::close(release[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::close(ready[0]);
    const ClaimToken mine = transport.TryClaimDrive(PhysicalDrive(1), ClaimPurpose::Commands);
    EXPECT_NE(mine, kClaimRefused);
    EXPECT_FALSE(transport.DriveClaimedForFirmware(PhysicalDrive(1)));
    transport.ReleaseDrive(mine);
  }
}

}  // namespace
}  // namespace px
