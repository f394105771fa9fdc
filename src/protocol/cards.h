// The cards the program knows: what each is called, which family it belongs to and which MCU
// it carries. The files a card gets are the image catalogue's (images/catalogue_tables.h).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "wire/unit_codes.h"

namespace kl {

struct CardRow {
  uint16_t number;
  std::string_view shortName;         // "ZA3"
  std::string_view typeName;          // "ZA3/ZB3 Display"
  std::string_view basicApplication;  // the application of product 0
  uint8_t unitFamily;
  // The MCU by circuit code: `mcuType` up to `mcuUpToCircuit`, `laterMcuType` from
  // `laterFromCircuit`; a code between the two exists with both, and the boot loader tells which.
  uint8_t mcuType;
  uint16_t mcuUpToCircuit = 0xFFFF;
  uint16_t laterFromCircuit = 0xFFFF;
  uint8_t laterMcuType = 0;
};

namespace card_rows {
namespace mcu = wire::mcu;
namespace family = wire::family;
inline constexpr std::array kCards{
    CardRow{611, "ZR20", "ZR20 Display", "Display", family::Display, mcu::H8S2145},
    CardRow{620, "ZS5100", "ZS5100 Transmitter", "Transmitter", family::Transmitter, mcu::H8S2145},
    CardRow{647, "ZA3", "ZA3/ZB3 Display", "Display", family::Display, mcu::LPC2478, 4, 6, mcu::LPC4357},
    CardRow{648, "ZS3", "ZS3 Transmitter", "Transmitter", family::Transmitter, mcu::LPC1768, 5, 6, mcu::LPC4078},
    CardRow{649, "ZC3", "ZC3 Remote I/O Unit", "Remote I/O Unit", family::RemoteIo, mcu::LPC1768},
    CardRow{652, "ZK7", "ZK7 Test Jig", "Test Jig", family::TestJig, mcu::LPC4357},
    CardRow{653, "ZA4", "ZA4/ZB4 Display", "Display", family::Display, mcu::LPC4337},
    CardRow{659, "ZS4", "ZS4 Transmitter", "Transmitter", family::Transmitter, mcu::LPC4337},
};
}  // namespace card_rows

// Nothing for a card the program does not know.
constexpr const CardRow* FindCard(uint16_t cardNumber) {
  for (const CardRow& card : card_rows::kCards)
    if (card.number == cardNumber) return &card;
  return nullptr;
}

// The card's MCU for a circuit code; `toldMcuType` (what the boot loader said) where the code
// exists with both.
constexpr uint8_t CardMcuType(const CardRow& card, uint16_t circuitCode, uint8_t toldMcuType) {
  if (circuitCode <= card.mcuUpToCircuit) return card.mcuType;
  if (circuitCode >= card.laterFromCircuit) return card.laterMcuType;
  return toldMcuType;
}

}  // namespace kl
