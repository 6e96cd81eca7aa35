#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace px {

// Units of the GoTo dialog's GotoUnit. While the dialog is open the unit
// carries kGotoUnconfirmed as well, so a dialog closed by its close box reads
// the same as one that was cancelled.
inline constexpr uint8_t kGotoByte = 0x01;
inline constexpr uint8_t kGotoWord = 0x02;
inline constexpr uint8_t kGotoSector = 0x03;
inline constexpr uint8_t kGotoUnconfirmed = 0x10;
inline constexpr uint8_t kGotoCancelled = 0x00;

// What the GoTo dialog collects. Each opening starts from a fresh one: "Byte"
// selected, nothing confirmed.
struct GotoRequest {
  uint8_t GotoUnit = kGotoUnconfirmed | kGotoByte;
  uint32_t GotoValue = 0;
};

// A radio button click: kGotoByte, kGotoWord or kGotoSector, still unconfirmed.
void SelectGotoUnit(GotoRequest& request, uint8_t unit);

// "OK" or Enter. The text is parsed before anything changes, so a
// ConversionError leaves the request as it was and the dialog open.
void ConfirmGoto(GotoRequest& request, std::string_view text);

// "CANCEL".
void CancelGoto(GotoRequest& request);

// The sector to go to once the dialog has closed, or nothing when it was
// cancelled or closed unconfirmed. Byte and word offsets count from 0 and give
// sectors counted from 1; a sector number is taken as typed.
std::optional<uint32_t> GotoSectorFor(const GotoRequest& request);

}  // namespace px
