// The program's picture of one unit: the directly connected one for the whole run, or a
// temporary record for a unit behind a proxy. Plain data; the identification calls fill it.
#pragma once

#include <array>
#include <cstdint>

#include "Pellmar/dynamic_string.h"
#include "wire/unit_codes.h"

namespace kl {

// MCU type codes (`mcuType`) and unit families (`unitFamily`).
namespace mcu = wire::mcu;
namespace family = wire::family;

enum UnitMode : uint8_t {
  modeUnknown = 0,             // nothing identified yet, or the mode is not known
  modeBalvantaSoftware = 1,    // the application answers
  modeBalvantaBootLoader = 2,  // the boot loader answers
  modeFlashProgrammer = 3,     // a downloaded RAM flash programmer runs
  modeBlankMcu = 4,            // only the chip's own serial boot protocol answers
};

// Bits of `bootFlags`.
namespace bootflag {
inline constexpr uint8_t NoSoftware = 0x01;
inline constexpr uint8_t ChecksumEnabled = 0x02;
inline constexpr uint8_t ChecksumFailed = 0x04;
inline constexpr uint8_t RamTestFailed = 0x08;
inline constexpr uint8_t JtagUnlocked = 0x40;
inline constexpr uint8_t PreProduction = 0x80;
}  // namespace bootflag

// Bits of `unitFlags`.
namespace unitflag {
inline constexpr uint8_t JtagActive = 0x40;
inline constexpr uint8_t CardTester = 0x80;
}  // namespace unitflag

struct Unit {
  UnitMode mode = modeUnknown;
  uint8_t address = 0;        // packet address: 0xF0 when nothing better is known, 1 for a boot loader
  uint8_t modbusAddress = 0;  // 0: not known
  uint16_t cardNumber = 0;
  uint16_t circuitCode = 0;
  uint8_t boardRevision = 0;  // 1 is the letter A; 0: none
  uint8_t boardIssue = 0;
  uint16_t productNumber = 0;
  int16_t softwareVersion = 0;  // version x 100
  uint8_t softwareRelease = 0;
  uint8_t buildIncrement = 0;
  int32_t serialNumber = 0;
  bool serialNumberRead = false;  // the unit reported it (0 is a unit's own, erased, value)
  uint8_t unitFlags = 0;
  std::array<uint8_t, 6> buildTime{};  // year (two digits), month, day, hour, minute, second
  DynamicString informationText;  // empty, and tied to no heap, until the unit reports one
  uint8_t bootLoaderInfo = 0;
  uint8_t bootLoaderVersionByte = 0;  // MCU type in the high nibble, version in the low nibble
  uint8_t bootLoaderVersion = 0;      // generation 2, 3 or 4 (C2, C3, C4)
  uint8_t bootLoaderRelease = 0;
  bool bootLoaderReleaseRead = false;  // the unit reported it: until then the 0 above is no release
  uint8_t bootFlags = 0;
  uint32_t softwareChecksum = 0;
  uint16_t softwareCrc = 0;
  uint8_t mcuType = 0;
  uint8_t unitFamily = 0;
  uint8_t programmerVersion = 0;
  uint8_t programmerRelease = 0;
  int32_t bufferSize = 0;       // largest block the boot loader or programmer accepts
  int16_t flashPacketSize = 0;  // 0 until a boot loader is selected
  bool hasManufacturingFields = false;
  uint16_t ftMask = 0;
  uint16_t rtMask = 0;
  uint16_t newMask = 0;
};

}  // namespace kl
