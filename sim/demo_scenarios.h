#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "sim/scenario.h"

namespace px::sim {

class VirtualBus;

// Port states as the controller reports them (status reply, byte 0 of a port
// record). Any value but 0, 1, 6 and 9 means no disk; the demo uses 0xFF.
inline constexpr uint8_t kPortStateReady = 0;
inline constexpr uint8_t kPortStateBusy = 1;  // ready, and a rebuild runs towards this port
inline constexpr uint8_t kPortStateInserted = 6;
inline constexpr uint8_t kPortStateFailed = 9;
inline constexpr uint8_t kPortStateOff = 0xFF;

// Raw mode bytes of the status reply.
inline constexpr uint8_t kRawModeStriping = 1;
inline constexpr uint8_t kRawModeMirror = 2;

// Where the named set-ups put their drives: the host's own disk first, as on
// a real machine, then the enclosures.
inline constexpr unsigned kSystemDiskDrive = 0;
inline constexpr unsigned kMirrorDrive = 1;
inline constexpr unsigned kStripeDrive = 2;
inline constexpr char kMirrorLetter = 'E';
inline constexpr char kStripeLetter = 'F';

// Enclosure scenarios. Every one reports the product code and a firmware
// version that DemoFirmwareFile() is accepted for.
ControllerScenario HealthyMirrorScenario();
// P1 being rebuilt from P0, `percent` done.
ControllerScenario RebuildingMirrorScenario(uint8_t percent);
// P1 failed, P0 carries the volume alone.
ControllerScenario FailedMemberScenario();
// Two 2 TB disks striped.
ControllerScenario StripingScenario();

// The striped enclosure of "two-enclosures" with its volume, plugged in or
// pulled out; each fires the bus's device-change callback.
void PlugStripeEnclosure(VirtualBus& bus);
void UnplugStripeEnclosure(VirtualBus& bus);

// The progress reply of a rebuild `percent` done. The current sector is
// rounded up so that the host's current * 100 / total gives `percent` back.
ProgressScenario RebuildProgress(uint64_t totalSectors, uint8_t percent);

// A named set-up of the whole bus: the demo starts from "two-enclosures",
// and the command-line tool offers every name for its virtual bus. Each
// enclosure's flash holds a firmware image of the version it reports (not
// DemoFirmwareFile()'s), so that a backup and a restore can be tried.
struct DemoScenario {
  std::string_view name;
  std::string_view summary;
  void (*build)(VirtualBus& bus);
};

std::span<const DemoScenario> DemoScenarios();
// Null for an unknown name.
const DemoScenario* FindDemoScenario(std::string_view name);

// A firmware file the demo enclosures take: kDemoFirmwareSize bytes (the whole
// upgraded flash range) with the "QKRZ" descriptor, the image-kind GUID, the
// body's length and CRC-32, kDemoFirmwareVersion and the enclosures' product
// code.
inline constexpr std::size_t kDemoFirmwareSize = 61440;
inline constexpr uint32_t kDemoFirmwareVersion = 0x14090215;
std::vector<uint8_t> DemoFirmwareFile();

}  // namespace px::sim
