#include "protocol/unit_names.h"

#include <array>

#include "Pellmar/writers.h"
#include "protocol/cards.h"

namespace kl {

namespace {

// By MCU type code, from 1.
constexpr std::array<std::string_view, 7> kMcuNames{"H8S2148", "H8S2145", "LPC2478", "LPC4078",
                                                    "LPC1768", "LPC4337", "LPC4357"};

struct ProductRow {
  uint16_t number;
  std::string_view name;
};

constexpr std::array kProducts{
    ProductRow{61, "Weight Indicator"}, ProductRow{63, "Weight Processor"}, ProductRow{64, "Batch Weigher"},
    ProductRow{65, "Process Weigher"},  ProductRow{93, "Weight Change"},    ProductRow{94, "Impact Weigher"},
    ProductRow{95, "Belt Weigher"},     ProductRow{96, "Weigh Feeder"},
};

}  // namespace

std::string_view McuTypeName(uint8_t mcuType) {
  if (mcuType == 0 || mcuType > kMcuNames.size()) return "";
  return kMcuNames[mcuType - 1];
}

std::string CardShortName(uint16_t cardNumber) {
  const CardRow* card = FindCard(cardNumber);
  return card ? std::string(card->shortName) : "Card" + decimalText(cardNumber);
}

std::string_view UnitTypeName(uint16_t cardNumber) {
  const CardRow* card = FindCard(cardNumber);
  return card ? card->typeName : "Unsupported Card Number";
}

std::string ProductName(uint16_t productNumber, uint16_t cardNumber) {
  if (productNumber != 0) {
    for (const ProductRow& product : kProducts)
      if (product.number == productNumber) return std::string(product.name);
    return "QV" + decimalText(productNumber);
  }
  const CardRow* card = FindCard(cardNumber);
  return card ? std::string(card->basicApplication) : "No loadcell engine";
}

}  // namespace kl
