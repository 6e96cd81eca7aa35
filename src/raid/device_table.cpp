#include "raid/device_table.h"

namespace px {

void BeginFirmwareOperation(AppFlags& flags) {
  flags.firmwareBusy = true;
}

void EndFirmwareOperation(AppFlags& flags, DeviceTable& devices) {
  devices.UpgradeSlot = kNoSlot;
  flags.firmwareBusy = false;
}

}  // namespace px
