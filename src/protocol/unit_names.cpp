#include "protocol/unit_names.h"

#include "Pellmar/writers.h"

namespace kl {

std::string_view McuTypeName(uint8_t mcuType) {
  switch (mcuType) {
    case 1: return "H8S2148";
    case 2: return "H8S2145";
    case 3: return "LPC2478";
    case 4: return "LPC4078";
    case 5: return "LPC1768";
    case 6: return "LPC4337";
    case 7: return "LPC4357";
    default: return "";
  }
}

std::string CardShortName(uint16_t cardNumber) {
  switch (cardNumber) {
    case 611: return "ZR20";
    case 620: return "ZS5100";
    case 647: return "ZA3";
    case 648: return "ZS3";
    case 649: return "ZC3";
    case 652: return "ZK7";
    case 653: return "ZA4";
    case 659: return "ZS4";
    default: return "Card" + decimalText(cardNumber);
  }
}

std::string_view UnitTypeName(uint16_t cardNumber) {
  switch (cardNumber) {
    case 611: return "ZR20 Display";
    case 620: return "ZS5100 Transmitter";
    case 647: return "ZA3/ZB3 Display";
    case 648: return "ZS3 Transmitter";
    case 649: return "ZC3 Remote I/O Unit";
    case 652: return "ZK7 Test Jig";
    case 653: return "ZA4/ZB4 Display";
    case 659: return "ZS4 Transmitter";
    default: return "Unsupported Card Number";
  }
}

std::string ProductName(uint16_t productNumber, uint16_t cardNumber) {
  switch (productNumber) {
    case 0: break;
    case 61: return "Weight Indicator";
    case 63: return "Weight Processor";
    case 64: return "Batch Weigher";
    case 65: return "Process Weigher";
    case 93: return "Weight Change";
    case 94: return "Impact Weigher";
    case 95: return "Belt Weigher";
    case 96: return "Weigh Feeder";
    default: return "QV" + decimalText(productNumber);
  }
  switch (cardNumber) {
    case 611:
    case 647:
    case 653: return "Display";
    case 620:
    case 648:
    case 659: return "Transmitter";
    case 649: return "Remote I/O Unit";
    case 652: return "Test Jig";
    default: return "No loadcell engine";
  }
}

}  // namespace kl
