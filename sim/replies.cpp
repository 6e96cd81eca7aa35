#include "sim/replies.h"

#include <algorithm>
#include <cstring>

#include "common/bytes.h"
#include "device/knock.h"
#include "raid/records.h"

namespace px::sim {
namespace {

void StorePadded(uint8_t* field, std::size_t size, std::string_view text) {
  std::fill_n(field, size, static_cast<uint8_t>(' '));
  std::copy_n(text.begin(), std::min(size, text.size()), field);
}

void StorePort(const PortScenario& port, uint8_t* record) {
  record[reply::kPortState] = port.state;
  StoreAtaText({record + reply::kPortModel, status::kModelSize}, port.model);
  StoreAtaText({record + reply::kPortSerial, status::kSerialSize}, port.serial);
  StoreBigEndian(record + reply::kPortCapacity, status::kCapacitySize, port.capacitySectors);
}

}  // namespace

void StoreAtaText(std::span<uint8_t> field, std::string_view readable) {
  StorePadded(field.data(), field.size(), readable);
  for (std::size_t i = 0; i + 1 < field.size(); i += 2) std::swap(field[i], field[i + 1]);
}

Sector MakeReplySector(uint8_t status) {
  Sector reply{};
  std::memcpy(reply.data(), kReplyHeadSignature, 16);
  reply[kReplyStatusOffset] = status;
  std::memcpy(reply.data() + kReplyTailOffset, kReplyTailSignature, 16);
  return reply;
}

void FillIdentityReply(const ControllerScenario& scenario, Sector& reply) {
  StoreBigEndian(reply.data() + reply::kIdentityVersion, 4, scenario.firmwareVersion);
  reply[reply::kIdentityProduct] = scenario.productCode[0];
  reply[reply::kIdentityProduct + 1] = scenario.productCode[1];
  reply[94] = scenario.identityBytes94[0];
  reply[95] = scenario.identityBytes94[1];
  const uint8_t absent = scenario.revisionSupplied ? 0x00 : 0xFF;
  reply[config::kRevisionAbsent] = absent;
  reply[config::kRevisionAbsent + 1] = absent;
  std::copy(scenario.revision.begin(), scenario.revision.end(),
            reply.begin() + reply::kIdentityRevision);
}

void FillProgressReply(const ControllerScenario& scenario, Sector& reply) {
  const ProgressScenario& p = scenario.progress;
  reply[reply::kProgressPresent] = p.present ? reply::kProgressPresentValue : 0;
  StoreBigEndian(reply.data() + reply::kProgressTotal, 6, p.totalSectors);
  StoreBigEndian(reply.data() + reply::kProgressCurrent, 5, p.currentSector);
}

std::size_t P0RecordOffset(uint32_t firmwareVersion) {
  return (firmwareVersion & config::kPortOrderBit) != 0 ? reply::kPortRecordA : reply::kPortRecordB;
}

void FillStatusReply(const ControllerScenario& scenario, Sector& reply) {
  reply[reply::kMode] = scenario.modeByte;
  const std::size_t p0 = P0RecordOffset(scenario.firmwareVersion);
  const std::size_t p1 = p0 == reply::kPortRecordA ? reply::kPortRecordB : reply::kPortRecordA;
  StorePort(scenario.p0, reply.data() + p0);
  StorePort(scenario.p1, reply.data() + p1);
}

Sector MakeQueryReply(const ControllerScenario& scenario, uint8_t subCommand) {
  Sector reply = MakeReplySector(kStatusCarriedOut);
  switch (subCommand) {
    case kQueryPresence:
      break;
    case kQueryIdentity:
      FillIdentityReply(scenario, reply);
      break;
    case kQueryProgress:
      FillProgressReply(scenario, reply);
      break;
    case kQueryStatus:
      FillStatusReply(scenario, reply);
      break;
    default:
      reply = MakeReplySector(kStatusUnknownCommand);
      break;
  }
  return reply;
}

InquiryData MakeInquiryData(const InquiryScenario& inquiry) {
  InquiryData data{};
  data[0] = 0x00;  // direct-access block device, connected
  data[2] = 0x06;  // SPC-4
  data[3] = 0x02;  // response data format 2
  data[4] = static_cast<uint8_t>(kInquiryLength - 5);
  StorePadded(data.data() + 8, 8, inquiry.vendor);
  StorePadded(data.data() + 16, 16, inquiry.product);
  StorePadded(data.data() + 32, 4, inquiry.revision);
  return data;
}

uint16_t ControlSectorSum(std::span<const uint8_t, kSectorSize> sector) {
  uint32_t sum = 0;
  for (std::size_t i = 7; i < 510; ++i) sum += sector[i];
  return static_cast<uint16_t>(sum);
}

ControlWrite DecodeControlSector(std::span<const uint8_t, kSectorSize> sector) {
  ControlWrite w;
  std::copy(sector.begin(), sector.end(), w.sector.begin());
  w.signatureOk = sector[0] == 0x33 && sector[1] == 0x58;
  w.requestCode = sector[2];
  w.byte3 = sector[3];
  w.hostEvent = sector[4];
  w.scheduleBackup = sector[5];
  w.periodCode = sector[6];
  w.firstLba = LoadLittleEndian(sector.data() + 7, 5);
  w.lastLba = LoadLittleEndian(sector.data() + 13, 5);
  w.storedSum = static_cast<uint16_t>(LoadLittleEndian(sector.data() + 510, 2));
  w.computedSum = ControlSectorSum(sector);
  w.sumOk = w.storedSum == w.computedSum;
  return w;
}

}  // namespace px::sim
