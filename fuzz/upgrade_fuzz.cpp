// The four-stage upgrade over the virtual enclosure, with faults striking
// whenever the input says. Whatever happens, the upgrade never says
// "completed" unless the flash holds the image; an image too short for the
// flash range is refused before anything is erased; an upgrade nothing
// disturbs completes; and every way out ends the firmware bracket, lets
// go of the enclosure and of the machine's sleep, and leaves the image
// loaded.
//
// Input: the image (a byte: low bits how long, 0 the flash range, 1 longer,
// 2 shorter by the next 2 bytes, 3 the flash range with an empty page at
// the next byte; then a byte its contents grow from), a byte the flash's
// old contents grow from, then up to 16 faults: each is the number of SPI
// commands the controller has carried when it strikes (2 bytes), what it
// is (a byte) and four bytes it may need.

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "support.h"
#include "unit/firmware/firmware_rig.h"

namespace px::fuzz {
namespace {

using test::FirmwareRig;

// Another program on the same machine that knocks at the enclosure.
struct OtherProgram {
  explicit OtherProgram(sim::VirtualBus& bus) : access(bus, panels) {}
  sim::FakeClock clock;
  test::RecordingPanels panels;
  DeviceAccess access;
  AppFlags flags;
  CommandChannel channel{access, clock, nullptr, flags};
};

struct Fault {
  uint16_t at = 0;
  uint8_t kind = 0;
  std::array<uint8_t, 4> args{};
};

void Strike(const Fault& fault, FirmwareRig& rig, OtherProgram& other) {
  sim::VirtualController& enclosure = *rig.enclosure;
  const auto page = static_cast<uint16_t>((unsigned{fault.args[1]} << 8 | fault.args[2]) %
                                          (kFlashSize / kSpiPageSize));
  switch (fault.kind % 10) {
    case 0: {  // some commands answered with a status, or not at all
      static constexpr uint8_t kSteps[] = {0x20, 0x23, 0x25};
      const uint8_t c0 = kSteps[fault.args[0] % 3];
      const uint16_t at = c0 == 0x23 ? static_cast<uint16_t>(page / 32 * 32) : page;
      std::optional<uint8_t> status;
      if (fault.args[3] != 0xFF) status = fault.args[3];
      enclosure.AddCommandFault({c0, at, 1U + fault.args[0] % 12, status});
      break;
    }
    case 1:
      enclosure.UpdateFaults(
          [](sim::ControllerFaults& f) { f.wrongTailSignature = !f.wrongTailSignature; });
      break;
    case 2:
      enclosure.UpdateFaults([&](sim::ControllerFaults& f) {
        f.flippedBit = sim::FlippedBit{page * kSpiPageSize + fault.args[0] % kSpiPageSize,
                                       static_cast<uint8_t>(fault.args[3] | 1U)};
      });
      break;
    case 3:
      enclosure.UpdateFaults(
          [&](sim::ControllerFaults& f) { f.replyAfterPolls = fault.args[0] % 8; });
      break;
    case 4:
      enclosure.UpdateFaults([](sim::ControllerFaults& f) { f.noReply = !f.noReply; });
      break;
    case 5:
      enclosure.UpdateFaults([&](sim::ControllerFaults& f) {
        if (f.status) {
          f.status.reset();
        } else {
          f.status = fault.args[3];
        }
      });
      break;
    case 6:
      rig.bus.Detach(FirmwareRig::kDrive);
      break;
    case 7: {  // another program's status query
      Reply reply{};
      other.channel.QueryController(PhysicalDrive(FirmwareRig::kDrive), kQueryStatus, reply);
      break;
    }
    case 8:
      enclosure.ClearFaults();
      break;
    default:
      rig.bus.FailCommandsAfter(fault.args[0]);
      break;
  }
}

}  // namespace
}  // namespace px::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace px;
  using namespace px::fuzz;
  Input in(data, size);
  const uint8_t shape = in.Byte() % 4;
  std::size_t length = kFlashSize;
  if (shape == 1) length += 1 + in.Byte();
  if (shape == 2) length -= 1 + in.U16() % kFlashSize;
  const uint8_t emptyPage = shape == 3 ? in.Byte() : 0;
  std::vector<uint8_t> image = test::Pattern(length, in.Byte());
  if (shape == 3) {
    std::fill_n(image.begin() + (emptyPage % (kFlashSize / kSpiPageSize)) * kSpiPageSize,
                kSpiPageSize, (emptyPage & 1U) != 0 ? 0xFF : 0x00);
  }
  const std::vector<uint8_t> oldFlash = test::Pattern(kFlashSize, in.Byte());
  std::vector<Fault> faults;
  while (!in.empty() && faults.size() < 16) {
    Fault fault;
    fault.at = in.U16();
    fault.kind = in.Byte();
    for (uint8_t& b : fault.args) b = in.Byte();
    faults.push_back(fault);
  }
  std::sort(faults.begin(), faults.end(),
            [](const Fault& a, const Fault& b) { return a.at < b.at; });

  FirmwareRig rig;
  OtherProgram other(rig.bus);
  rig.state.ReplaceImage(image);
  rig.enclosure->SetFlash(0, oldFlash);
  std::size_t next = 0;
  rig.onPump = [&] {
    while (next < faults.size() && rig.enclosure->CommandCount() >= faults[next].at)
      Strike(faults[next++], rig, other);
  };
  rig.Upgrade(EnclosureSlot{0});

  const auto boxes = rig.messages.boxes();
  Expect(!boxes.empty(), "an upgrade ended without a box");
  const bool completed = boxes.back().title == "Firmware Upgrade Message";
  const std::vector<uint8_t> flash = rig.Flash(0, kFlashSize);
  if (completed) {
    Expect(std::equal(flash.begin(), flash.end(), image.begin()),
           "\"completed\" with the flash different from the image");
    Expect(rig.progress.position == 975, "a completed upgrade's bar");
  } else {
    Expect(boxes.back().title == "Message" &&
               boxes.back().text == rig.panels.Last(StatusPanels::kMessagePanel),
           "a failed upgrade's box repeats the message panel");
  }
  if (length < kFlashSize) {
    Expect(!completed && flash == oldFlash, "an image too short was written");
    for (const auto& [c0, page] : rig.SpiCommands())
      Expect(c0 != 0x23 && c0 != 0x25, "an image too short got as far as the erase");
  } else if (faults.empty() || next == 0) {
    Expect(completed, "an upgrade nothing disturbed did not complete: " + boxes.back().text);
  }
  Expect(rig.state.FirmwareImage == image, "the image did not stay loaded");
  Expect(!rig.flags.firmwareBusy, "the firmware bracket is still held");
  Expect(rig.devices.UpgradeSlot == kNoSlot, "the upgrade slot is not back at none");
  Expect(rig.bus.OpenHandleCount() == 0, "a disk was left open");
  Expect(rig.bus.TryClaimDrive(PhysicalDrive(FirmwareRig::kDrive), ClaimPurpose::Commands) !=
             kClaimRefused,
         "the enclosure was not let go");
  const auto& sleep = rig.sleepInhibitor.events;
  const auto acquired = std::count_if(
      sleep.begin(), sleep.end(), [](const std::string& e) { return e.rfind("acquire", 0) == 0; });
  Expect(acquired <= 1 && static_cast<std::size_t>(acquired) * 2 == sleep.size(),
         "the machine's sleep was not let go, or held twice");
  return 0;
}
