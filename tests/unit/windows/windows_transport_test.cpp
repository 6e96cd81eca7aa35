#include "device/windows/windows_transport.h"

// clang-format off
#include <windows.h>
// clang-format on

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>

#include "device/scsi_commands.h"

// These run the real system calls: under Wine in CI, on Windows by hand.
// Wine passes no SCSI request to a disk and has no volume extents, so nothing here needs
// a disk to answer.
namespace px {
namespace {

TEST(WindowsTransport, SystemDriveIsAFixedDriveInTheMask) {
  WindowsTransport transport;
  EXPECT_NE(transport.LogicalDriveMask() & (1u << 2), 0u) << "C:";
  EXPECT_EQ(transport.DriveType('C'), kDriveFixed);
}

TEST(WindowsTransport, MissingPhysicalDriveGivesTheInvalidHandleAndSaysSo) {
  WindowsTransport transport;
  const OpenResult missing =
      transport.Open({DevicePath::Kind::PhysicalDrive, PhysicalDrive(99), 0});
  EXPECT_EQ(missing.handle, kInvalidHandle);
  EXPECT_EQ(missing.status, OpenStatus::Missing) << missing.osError;
  EXPECT_NE(missing.osError, 0);
  transport.Close(kInvalidHandle);  // harmless
}

TEST(WindowsTransport, RequestsOnSomethingThatIsNoDiskFailCleanly) {
  WindowsTransport transport;
  std::array<char, MAX_PATH> dir{};
  ASSERT_NE(GetTempPathA(static_cast<DWORD>(dir.size()), dir.data()), 0u);
  const std::string file = std::string(dir.data()) + "px-not-a-disk.tmp";
  const HANDLE h = CreateFileA(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const auto handle = reinterpret_cast<DeviceHandle>(h);
  std::array<uint8_t, 512> buffer{};
  const CommandOutcome refused = transport.Execute(handle, MakeRead10(17, 1, buffer.data()));
  EXPECT_FALSE(refused.completed);
  EXPECT_NE(refused.osError, 0) << "the system's reason travels with the result";
  EXPECT_FALSE(transport.FirstExtent(handle).has_value());
  transport.Close(handle);

  EXPECT_FALSE(transport.Execute(kInvalidHandle, MakeRead10(17, 1, buffer.data())).completed);
  EXPECT_FALSE(transport.FirstExtent(kInvalidHandle).has_value());
}

TEST(CreatePlatformTransport, IsTheWindowsTransport) {
  const auto transport = CreatePlatformTransport();
  EXPECT_NE(dynamic_cast<WindowsTransport*>(transport.get()), nullptr);
}

}  // namespace
}  // namespace px
