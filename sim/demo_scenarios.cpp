#include "sim/demo_scenarios.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "common/bytes.h"
#include "device/checksum.h"
#include "sim/virtual_bus.h"

namespace px::sim {
namespace {

constexpr uint64_t kTwoTerabyteSectors = 3907029168;
// The content patterns of the demo's firmware file and of the firmware the
// enclosures hold, so that the two never pass for each other.
constexpr std::size_t kFileStride = 37;
constexpr std::size_t kInstalledStride = 53;
// Partitions start 1 MiB into the disk, as every current partitioning tool
// places them.
constexpr uint64_t kPartitionStart = 1024 * 1024;

ControllerScenario Enclosure(uint8_t rawMode, InquiryScenario inquiry) {
  ControllerScenario scenario;
  scenario.modeByte = rawMode;
  scenario.inquiry = std::move(inquiry);
  return scenario;
}

// A mirror's volume is as large as one member; the controller reports it as
// the progress reply's total even while no rebuild runs.
ControllerScenario MirrorBase() {
  ControllerScenario scenario = Enclosure(kRawModeMirror, {"PX", "RAID1 Dual Bay", "0100"});
  scenario.progress.totalSectors = kOneTerabyteSectors;
  return scenario;
}

void AddVolume(VirtualBus& bus, char letter, unsigned drive, uint64_t sectors) {
  bus.AddVolume({letter, kDriveFixed, drive, kPartitionStart,
                 sectors * kSectorSize - kPartitionStart, false, false});
}

void AddSystemDisk(VirtualBus& bus) {
  bus.AttachPlainDisk(kSystemDiskDrive, {"ATA", "Host SSD 512GB", "1.00"});
  AddVolume(bus, 'C', kSystemDiskDrive, 1000215216);
}

// The image-kind GUID in the platform's binary layout.
constexpr std::array<uint8_t, 16> kImageKindGuid{0xEF, 0x6D, 0x16, 0xAE, 0xDC, 0x6F, 0x4C, 0x47,
                                                 0x9B, 0xA4, 0xB6, 0xAA, 0xE4, 0xB6, 0x9A, 0x84};
constexpr std::size_t kDescriptorOffset = 128;
constexpr std::size_t kBodyOffset = 176;

// A firmware image as the loader takes it: the "QKRZ" descriptor, the
// image-kind GUID, the body's length and CRC-32, `version` and the product
// code, around recognisable content that is not uniform (a verify that
// compared the wrong pages would notice) and differs with `stride`.
std::vector<uint8_t> FirmwareImage(uint32_t version, std::array<uint8_t, 2> product,
                                   std::size_t stride) {
  std::vector<uint8_t> file(kDemoFirmwareSize);
  for (std::size_t i = 0; i < file.size(); ++i) {
    file[i] = static_cast<uint8_t>((i * stride + (i >> 8)) & 0xFF);
  }
  uint8_t* descriptor = file.data() + kDescriptorOffset;
  std::memcpy(descriptor, "QKRZ", 4);
  std::copy(kImageKindGuid.begin(), kImageKindGuid.end(), descriptor + 4);
  const auto bodyLength = static_cast<uint32_t>(file.size() - kBodyOffset);
  StoreBigEndian(descriptor + 20, 4, bodyLength);
  StoreBigEndian(descriptor + 24, 4, RecordChecksum(file.data() + kBodyOffset, bodyLength));
  StoreBigEndian(descriptor + 28, 4, version);
  descriptor[32] = product[0];
  descriptor[33] = product[1];
  return file;
}

// What a demo enclosure's flash holds when it is plugged in: the firmware of
// the version it reports, which a backup reads and a restore writes back.
void AttachWithFirmware(VirtualBus& bus, unsigned drive, ControllerScenario scenario) {
  std::vector<uint8_t> flash =
      FirmwareImage(scenario.firmwareVersion, scenario.productCode, kInstalledStride);
  bus.AttachEnclosure(drive, std::move(scenario))->SetFlash(0, flash);
}

void AddMirror(VirtualBus& bus, ControllerScenario scenario) {
  AttachWithFirmware(bus, kMirrorDrive, std::move(scenario));
  AddVolume(bus, kMirrorLetter, kMirrorDrive, kOneTerabyteSectors);
}

void BuildHealthyMirror(VirtualBus& bus) {
  AddSystemDisk(bus);
  AddMirror(bus, HealthyMirrorScenario());
}

void BuildRebuildingMirror(VirtualBus& bus) {
  AddSystemDisk(bus);
  AddMirror(bus, RebuildingMirrorScenario(40));
}

void BuildFailedMember(VirtualBus& bus) {
  AddSystemDisk(bus);
  AddMirror(bus, FailedMemberScenario());
}

void BuildTwoEnclosures(VirtualBus& bus) {
  AddSystemDisk(bus);
  AddMirror(bus, HealthyMirrorScenario());
  PlugStripeEnclosure(bus);
}

void BuildNoEnclosure(VirtualBus& bus) {
  AddSystemDisk(bus);
}

constexpr std::array kScenarios{
    DemoScenario{"healthy-mirror", "one mirror enclosure, both members ready", &BuildHealthyMirror},
    DemoScenario{"rebuilding-mirror", "one mirror enclosure rebuilding P1, 40% done",
                 &BuildRebuildingMirror},
    DemoScenario{"failed-member", "one mirror enclosure whose P1 member failed",
                 &BuildFailedMember},
    DemoScenario{"two-enclosures", "a healthy mirror and a striped pair beside the host's disk",
                 &BuildTwoEnclosures},
    DemoScenario{"no-enclosure", "only the host's own disk", &BuildNoEnclosure},
};

}  // namespace

ProgressScenario RebuildProgress(uint64_t totalSectors, uint8_t percent) {
  return {true, totalSectors, (totalSectors * percent + 99) / 100};
}

ControllerScenario HealthyMirrorScenario() {
  return MirrorBase();
}

ControllerScenario RebuildingMirrorScenario(uint8_t percent) {
  ControllerScenario scenario = MirrorBase();
  scenario.p1.state = kPortStateBusy;
  scenario.progress = RebuildProgress(kOneTerabyteSectors, percent);
  return scenario;
}

ControllerScenario FailedMemberScenario() {
  ControllerScenario scenario = MirrorBase();
  scenario.p1.state = kPortStateFailed;
  return scenario;
}

ControllerScenario StripingScenario() {
  ControllerScenario scenario = Enclosure(kRawModeStriping, {"PX", "RAID0 Dual Bay", "0100"});
  scenario.p0 = {kPortStateReady, "ST2000DM008-2FR102", "ZFL0A001", kTwoTerabyteSectors};
  scenario.p1 = {kPortStateReady, "ST2000DM008-2FR102", "ZFL0A002", kTwoTerabyteSectors};
  return scenario;
}

void PlugStripeEnclosure(VirtualBus& bus) {
  AttachWithFirmware(bus, kStripeDrive, StripingScenario());
  AddVolume(bus, kStripeLetter, kStripeDrive, 2 * kTwoTerabyteSectors);
}

void UnplugStripeEnclosure(VirtualBus& bus) {
  bus.RemoveVolume(kStripeLetter);
  bus.Detach(kStripeDrive);
}

std::span<const DemoScenario> DemoScenarios() {
  return kScenarios;
}

const DemoScenario* FindDemoScenario(std::string_view name) {
  const auto found = std::find_if(kScenarios.begin(), kScenarios.end(),
                                  [name](const DemoScenario& s) { return s.name == name; });
  return found == kScenarios.end() ? nullptr : &*found;
}

std::vector<uint8_t> DemoFirmwareFile() {
  return FirmwareImage(kDemoFirmwareVersion, HealthyMirrorScenario().productCode, kFileStride);
}

}  // namespace px::sim
