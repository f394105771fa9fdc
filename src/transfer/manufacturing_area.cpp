#include "transfer/manufacturing_area.h"

#include "driver/fatal_error.h"
#include "protocol/unit.h"

namespace kl {

namespace {

constexpr uint32_t kBankOffsetMask = 0x00FFFFFF;

}  // namespace

ManufacturingArea ManufacturingFieldsArea(Session& s, const Unit& unit) {
  switch (unit.mcuType) {
    case mcu::LPC2478:
    case mcu::LPC4078:
    case mcu::LPC1768:
      return ManufacturingArea{768, 1023, 256};
    case mcu::LPC4337:
    case mcu::LPC4357:
      return ManufacturingArea{0x1A000400, 0x1A0005FF, 512};
    default:
      FatalError(s, "Kestrelink cannot update this unit: the software is not compatible with this CPU type L48");
  }
}

bool StartsFieldsBlock(const ManufacturingArea& area, int16_t flashPacketSize, uint32_t address) {
  const bool sameBank = (address & ~kBankOffsetMask) == (area.first & ~kBankOffsetMask);
  return sameBank && flashPacketSize > 0 && (address & kBankOffsetMask) < static_cast<uint32_t>(flashPacketSize);
}

}  // namespace kl
