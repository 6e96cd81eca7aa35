#include "firmware/firmware_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <ios>
#include <streambuf>

#include "device/checksum.h"
#include "firmware/file_bytes.h"
#include "firmware_rig.h"

namespace px {
namespace {

using test::FirmwareRig;
using test::Pattern;
using Box = test::RecordingMessages::Box;

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// A firmware file laid out by hand: flash bytes, the descriptor at 128, the
// body at 176 and more flash bytes after it. The CRC is given, not computed,
// so the loader's CRC is checked against known values.
struct FileSpec {
  std::vector<uint8_t> body;
  uint32_t crc = 0;
  uint32_t version = 0x14031815;
  std::array<uint8_t, 2> product{0x50, 0x00};
  std::size_t tail = 64;
  std::array<uint8_t, 4> signature{'Q', 'K', 'R', 'Z'};
  uint8_t guidLast = 0x84;
};

std::vector<uint8_t> MakeFile(const FileSpec& s) {
  std::vector<uint8_t> f = Pattern(176 + s.body.size() + s.tail, 11);
  std::copy(s.signature.begin(), s.signature.end(), f.begin() + 128);
  const uint8_t guid[16] = {0xEF, 0x6D, 0x16, 0xAE, 0xDC, 0x6F, 0x4C, 0x47,
                            0x9B, 0xA4, 0xB6, 0xAA, 0xE4, 0xB6, 0x9A, s.guidLast};
  std::copy(std::begin(guid), std::end(guid), f.begin() + 132);
  Put32(f.data() + 148, static_cast<uint32_t>(s.body.size()));
  Put32(f.data() + 152, s.crc);
  Put32(f.data() + 156, s.version);
  f[160] = s.product[0];
  f[161] = s.product[1];
  std::copy(s.body.begin(), s.body.end(), f.begin() + 176);
  return f;
}

const std::vector<uint8_t> kAbc = {'a', 'b', 'c'};
constexpr uint32_t kAbcCrc = 0x352441C2;
constexpr uint32_t kNewVersion = 0x14031815;

void SetDevice(FirmwareRig& rig, unsigned drive, uint32_t version, std::array<uint8_t, 2> product) {
  auto& config = rig.records.ConfigRecord[drive];
  Put32(config.data() + 46, version);
  config[50] = product[0];
  config[51] = product[1];
}

const char kCrcError[] = "Threr are CRC error in the firmware file.\nPlease check it.";
const char kGuidError[] = "Threr are GUID error in the firmware file.\nPlease check it.";
const char kSignatureError[] =
    "Threr are METADATA_SINGATURE error in the firmware file.\nPlease check it.";
const char kProductError[] = "The firmware is not for this product.\nPlease check it.";

struct Loaded {
  std::vector<Box> boxes;
  bool loaded;
};

// Loads the file through the "Load Firmware " button, as the user would.
Loaded Load(FirmwareRig& rig, const std::filesystem::path& file,
            EnclosureSlot chooser = EnclosureSlot{0}) {
  rig.work.LoadImage(chooser, [&] { return std::optional(file); });
  return {rig.messages.boxes(), rig.state.FirmwareLength() != 0};
}

TEST(FirmwareFile, AGoodFileIsLoadedWholeWithItsSumAndVersions) {
  FirmwareRig rig;
  test::TempDir dir;
  SetDevice(rig, FirmwareRig::kDrive, 0x14031815, {0x50, 0x00});
  const auto bytes = MakeFile({Pattern(5000, 4), 0, 0x15010203, {0x50, 0x00}, 70000});
  // The CRC of this body, from an independent CRC-32 of the pattern.
  auto fixed = bytes;
  Put32(fixed.data() + 152, RecordChecksum(fixed.data() + 176, 5000));
  const auto file = dir.Write("good.bin", fixed);
  uint32_t sum = 0;
  for (uint8_t b : fixed) sum += b;

  ASSERT_TRUE(Load(rig, file).loaded);
  EXPECT_EQ(rig.state.FirmwareImage, fixed);
  EXPECT_TRUE(rig.messages.boxes().empty());
  EXPECT_EQ(rig.panels.Last(StatusPanels::kMessagePanel), "File:" + test::PathString(file));
  EXPECT_EQ(rig.panels.Last(0), "Chksum:" + test::Hex8(sum));
  EXPECT_EQ(rig.panels.Last(2), "F:14031815");
  EXPECT_EQ(rig.panels.Last(3), "C:15010203");
  EXPECT_EQ(rig.panels.widened, 1);
  EXPECT_FALSE(rig.flags.firmwareBusy);
  EXPECT_EQ(rig.devices.UpgradeSlot, kNoSlot);
}

TEST(FirmwareFile, ChecksRunInOrderAndStopAtTheFirstFailure) {
  // Each case spoils a good "abc" file in its own way.
  struct Case {
    const char* name;
    std::function<void(FileSpec&)> spoil;
    std::optional<std::string> box;  // "Error" box text; none: loaded
  };
  const std::vector<Case> cases = {
      {"abc body", [](FileSpec&) {}, std::nullopt},
      {"empty body, CRC 0",
       [](FileSpec& s) {
         s.body.clear();
         s.crc = 0;
       },
       std::nullopt},
      {"empty body, CRC 1",
       [](FileSpec& s) {
         s.body.clear();
         s.crc = 1;
       },
       kCrcError},
      {"abc body, CRC off by one", [](FileSpec& s) { ++s.crc; }, kCrcError},
      {"bad CRC and bad GUID: only the CRC",
       [](FileSpec& s) {
         s.crc = 0;
         s.guidLast = 0x85;
       },
       kCrcError},
      {"bad GUID", [](FileSpec& s) { s.guidLast = 0x85; }, kGuidError},
      {"bad GUID and signature: only the GUID",
       [](FileSpec& s) {
         s.guidLast = 0x85;
         s.signature[3] = 'Y';
       },
       kGuidError},
      {"bad signature", [](FileSpec& s) { s.signature[0] = 'q'; }, kSignatureError},
      {"nothing after the body", [](FileSpec& s) { s.tail = 0; }, std::nullopt},
  };
  for (const auto& c : cases) {
    FirmwareRig rig;
    test::TempDir dir;
    SetDevice(rig, FirmwareRig::kDrive, kNewVersion, {0x50, 0x00});
    FileSpec spec;
    spec.body = kAbc;
    spec.crc = kAbcCrc;
    c.spoil(spec);
    const auto result = Load(rig, dir.Write("f.bin", MakeFile(spec)));
    if (c.box) {
      EXPECT_EQ(result.boxes, (std::vector<Box>{{"Error", *c.box, MessageIcon::Error}})) << c.name;
      EXPECT_FALSE(result.loaded) << c.name;
      EXPECT_TRUE(rig.panels.TextsOf(2).empty()) << c.name << ": versions shown after a failure";
    } else {
      EXPECT_TRUE(result.boxes.empty()) << c.name;
      EXPECT_EQ(rig.state.FirmwareImage, MakeFile(spec)) << c.name;
    }
  }
}

TEST(FirmwareFile, ProductRule) {
  struct Case {
    uint32_t deviceVersion;
    std::array<uint8_t, 2> device;
    uint32_t fileVersion;
    std::array<uint8_t, 2> file;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {kNewVersion, {0x27, 0x70}, kNewVersion, {0x27, 0x60}, true},
      {kNewVersion, {0x27, 0x60}, kNewVersion, {0x27, 0x70}, true},
      {kNewVersion, {0x27, 0x70}, kNewVersion, {0x27, 0x70}, true},
      {kNewVersion, {0x27, 0x70}, kNewVersion, {0x27, 0x50}, false},
      {kNewVersion, {0x27, 0x50}, kNewVersion, {0x27, 0x60}, false},
      {kNewVersion, {0x31, 0x00}, kNewVersion, {0x31, 0x00}, true},
      {kNewVersion, {0x31, 0x00}, kNewVersion, {0x31, 0x01}, false},
      {kNewVersion, {0x31, 0x00}, kNewVersion, {0x30, 0x00}, false},
      {0x13122500, {0x31, 0x00}, kNewVersion, {0x99, 0x99}, true},  // old device: no check
      {kNewVersion, {0x31, 0x00}, 0x13122500, {0x99, 0x99}, true},  // old file: no check
      {0x13122501, {0x31, 0x00}, 0x13122501, {0x99, 0x99}, false},
  };
  for (const auto& c : cases) {
    FirmwareRig rig;
    test::TempDir dir;
    SetDevice(rig, FirmwareRig::kDrive, c.deviceVersion, c.device);
    const auto result =
        Load(rig, dir.Write("f.bin", MakeFile({kAbc, kAbcCrc, c.fileVersion, c.file})));
    const std::string label = test::Hex8(c.deviceVersion) + " " + test::Hex8(c.fileVersion) +
                              " file " + std::to_string(c.file[0]) + "/" +
                              std::to_string(c.file[1]);
    EXPECT_EQ(result.loaded, c.accepted) << label;
    EXPECT_EQ(result.boxes.empty(), c.accepted) << label;
    if (!c.accepted) {
      EXPECT_EQ(result.boxes, (std::vector<Box>{{"Error", kProductError, MessageIcon::Error}}));
    }
    EXPECT_EQ(rig.panels.Last(2), "F:" + test::HexPlain(c.deviceVersion)) << label;
  }
}

TEST(FirmwareFile, ProductIsCheckedAgainstTheDeviceTheChooserShows) {
  FirmwareRig rig;
  test::TempDir dir;
  rig.devices.DeviceSlot[1] = kEntryEnclosure | 7;
  rig.devices.DeviceCount = 2;
  SetDevice(rig, FirmwareRig::kDrive, kNewVersion, {0x31, 0x00});
  SetDevice(rig, 7, kNewVersion, {0x44, 0x00});
  const auto file = dir.Write("f.bin", MakeFile({kAbc, kAbcCrc, kNewVersion, {0x44, 0x00}}));
  EXPECT_FALSE(Load(rig, file, EnclosureSlot{0}).loaded);
  EXPECT_TRUE(Load(rig, file, EnclosureSlot{1}).loaded);
}

TEST(FirmwareFile, MalformedFilesAreRefusedWithoutReadingOutside) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    std::string box;
  };
  const std::vector<Case> cases = {
      {"100 bytes", Pattern(100), "The firmware file is too short.\nPlease check it."},
      {"175 bytes", Pattern(175), "The firmware file is too short.\nPlease check it."},
      {"empty", {}, "The firmware file is too short.\nPlease check it."},
      {"body one byte past the end",
       [] {
         auto f = MakeFile({kAbc, kAbcCrc, kNewVersion, {0x50, 0}, 0});
         Put32(f.data() + 148, 4);
         return f;
       }(),
       "The firmware body runs past the end of the file.\nPlease check it."},
      {"body length 0xFFFFFFFF",
       [] {
         auto f = MakeFile({kAbc, kAbcCrc});
         Put32(f.data() + 148, 0xFFFFFFFF);
         return f;
       }(),
       "The firmware body runs past the end of the file.\nPlease check it."},
  };
  for (const auto& c : cases) {
    FirmwareRig rig;
    test::TempDir dir;
    const auto result = Load(rig, dir.Write("f.bin", c.bytes));
    EXPECT_EQ(result.boxes, (std::vector<Box>{{"Error", c.box, MessageIcon::Error}})) << c.name;
    EXPECT_FALSE(result.loaded) << c.name;
  }
}

TEST(FirmwareFile, FilesThatCannotBeReadOrAreTooLargeAreRefusedUnreadWithTheirReason) {
  const auto tooLarge = [](std::uintmax_t size) {
    return "The firmware file is too large: " + std::to_string(size) +
           " bytes, more than the 8388608 bytes of flash the controller can address.\n"
           "Please check it.";
  };
  struct Case {
    const char* name;
    std::uintmax_t size;  // of a sparse file; 0: no file is made
    std::function<std::filesystem::path(const test::TempDir&)> path;
    std::string box;
    std::error_code reason;
  };
  const auto sparse = [](const test::TempDir& d) { return d.path() / "big.bin"; };
  const std::vector<Case> cases = {
      {"missing", 0, [](const test::TempDir& d) { return d.path() / "missing.bin"; },
       "Fail to open firmware file", std::make_error_code(std::errc::no_such_file_or_directory)},
      {"a folder", 0, [](const test::TempDir& d) { return d.path(); }, "Fail to open firmware file",
       std::make_error_code(std::errc::is_a_directory)},
      {"one byte over 8 MiB", 0x800001, sparse, tooLarge(0x800001), {}},
      // Read whole, this one would take 64 GiB of memory.
      {"64 GiB", std::uintmax_t{64} << 30, sparse, tooLarge(std::uintmax_t{64} << 30), {}},
  };
  for (const auto& c : cases) {
    FirmwareRig rig;
    test::TempDir dir;
    const std::filesystem::path path = c.path(dir);
    if (c.size != 0) {
      dir.Write("big.bin", {});
      // Some file systems refuse a 64 GiB file even sparse (seen under
      // Wine); the 8 MiB case still stands for those.
      std::error_code made;
      std::filesystem::resize_file(path, c.size, made);
      if (made) {
        EXPECT_GT(c.size, std::uintmax_t{1} << 32) << c.name << ": " << made.message();
        continue;
      }
    }
    const std::error_code reason =
        LoadFirmwareFile(path, rig.records.ConfigRecord[0], rig.state, rig.panels, rig.messages);
    EXPECT_EQ(rig.messages.boxes(), (std::vector<Box>{{"Error", c.box, MessageIcon::Error}}))
        << c.name;
    EXPECT_EQ(reason, c.reason) << c.name << ": " << reason.message();
    EXPECT_EQ(rig.state.FirmwareLength(), 0U) << c.name;
  }
}

// A medium whose byte `failAt` cannot be read: the refill that would bring
// it fails the way a file buffer reports an I/O error.
class FailingMedium final : public std::streambuf {
 public:
  FailingMedium(std::vector<uint8_t> bytes, std::size_t failAt)
      : bytes_(std::move(bytes)), failAt_(failAt) {}

 protected:
  int_type underflow() override {
    if (next_ >= failAt_) {
      throw std::ios_base::failure("read error", std::error_code(EIO, std::generic_category()));
    }
    // Refills of 100 bytes, so the failure falls inside what one bulk read
    // would have asked for.
    const std::size_t end = std::min(failAt_, next_ + 100);
    char* data = reinterpret_cast<char*>(bytes_.data());
    setg(data, data + next_, data + end);
    next_ = end;
    return traits_type::to_int_type(*gptr());
  }

 private:
  std::vector<uint8_t> bytes_;
  std::size_t failAt_;
  std::size_t next_ = 0;
};

TEST(FirmwareFile, AReadErrorNamesTheFirstByteThatCouldNotBeRead) {
  for (const std::size_t failAt : {std::size_t{0}, std::size_t{1234}, std::size_t{61439}}) {
    FailingMedium medium(Pattern(61440), failAt);
    test::RecordingMessages messages;
    std::error_code reason;
    EXPECT_FALSE(ReadFirmwareBytes(medium, 61440, messages, &reason));
    EXPECT_EQ(
        messages.boxes(),
        (std::vector<Box>{{"GetASPISupportInfo:",
                           "Error read from Source file. ByteCount = " + std::to_string(failAt),
                           MessageIcon::Error}}));
    EXPECT_EQ(reason, std::error_code(EIO, std::generic_category())) << failAt;
  }
}

TEST(FirmwareFile, ASecondLoadDropsTheFirstImageWhateverItsOutcome) {
  struct Case {
    const char* name;
    std::function<std::filesystem::path(const test::TempDir&)> second;
    std::string box;
  };
  const std::vector<Case> cases = {
      {"bad CRC",
       [](const test::TempDir& d) {
         return d.Write("b.bin", MakeFile({kAbc, 1}));
       },
       kCrcError},
      {"missing file", [](const test::TempDir& d) { return d.path() / "missing.bin"; },
       "Fail to open firmware file"},
      {"a folder", [](const test::TempDir& d) { return d.path(); }, "Fail to open firmware file"},
  };
  for (const auto& c : cases) {
    FirmwareRig rig;
    test::TempDir dir;
    ASSERT_TRUE(Load(rig, dir.Write("a.bin", MakeFile({kAbc, kAbcCrc}))).loaded);
    const auto result = Load(rig, c.second(dir));
    EXPECT_FALSE(result.loaded) << c.name;
    EXPECT_EQ(result.boxes, (std::vector<Box>{{"Error", c.box, MessageIcon::Error}})) << c.name;
  }
}

TEST(FirmwareFile, LoadButtonHoldsTheBracketOnlyWhileTheDialogIsOpen) {
  FirmwareRig rig;
  test::TempDir dir;
  ASSERT_TRUE(Load(rig, dir.Write("a.bin", MakeFile({kAbc, kAbcCrc}))).loaded);
  bool busyInDialog = false;
  rig.work.LoadImage(EnclosureSlot{0}, [&] {
    busyInDialog = rig.flags.firmwareBusy;
    return std::optional<std::filesystem::path>();
  });
  EXPECT_TRUE(busyInDialog);
  EXPECT_FALSE(rig.flags.firmwareBusy);
  EXPECT_TRUE(rig.state.FirmwareLength() != 0) << "cancelling keeps the image";

  rig.flags.firmwareBusy = true;
  rig.work.LoadImage(EnclosureSlot{0}, [] {
    ADD_FAILURE() << "no dialog while a firmware operation runs";
    return std::optional<std::filesystem::path>();
  });
  EXPECT_TRUE(rig.flags.firmwareBusy);
}

}  // namespace
}  // namespace px
