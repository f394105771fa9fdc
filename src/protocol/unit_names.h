// The names of MCU types and cards as the program shows them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kl {

// "LPC2478" and so on; empty for an unknown code.
std::string_view McuTypeName(uint8_t mcuType);
// "ZA3" and so on; "Card" and the number for an unknown card.
std::string CardShortName(uint16_t cardNumber);
// "ZA3/ZB3 Display" and so on; "Unsupported Card Number" for an unknown card.
std::string_view UnitTypeName(uint16_t cardNumber);
// The application a unit runs: "Weight Indicator" and so on; for product 0 the card's basic
// application ("Transmitter", or "No loadcell engine" for an unknown card); "QV" and the
// number for any other product.
std::string ProductName(uint16_t productNumber, uint16_t cardNumber);

}  // namespace kl
