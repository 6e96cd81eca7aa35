#include "common/goto_sector.h"

#include "common/number_text.h"

namespace px {

void SelectGotoUnit(GotoRequest& request, uint8_t unit) {
  request.GotoUnit = static_cast<uint8_t>(kGotoUnconfirmed | (unit & 0x0F));
}

void ConfirmGoto(GotoRequest& request, std::string_view text) {
  const uint32_t value = ParseNumberText(text);
  request.GotoValue = value;
  request.GotoUnit &= 0x0F;
}

void CancelGoto(GotoRequest& request) {
  request.GotoUnit = kGotoCancelled;
}

std::optional<uint32_t> GotoSectorFor(const GotoRequest& request) {
  switch (request.GotoUnit) {
    case kGotoByte:
      return (request.GotoValue >> 9) + 1;
    case kGotoWord:
      return (request.GotoValue >> 8) + 1;
    case kGotoSector:
      return request.GotoValue;
    default:
      return std::nullopt;
  }
}

}  // namespace px
