// The manufacturing fields as a simulated unit keeps them: 40 bytes (enciphered serial number,
// its CRC, enciphered secret keys, their CRC) stored twice in the manufacturing-field area of
// its flash, the main copy at the start of the area and the secondary copy halfway through.
// A copy is valid when both CRCs (CRC-16/MODBUS of the field, stored high byte first) match.
// The unit's serial number is the one enciphered in its valid fields: the 32-bit big-endian
// value serial XOR kSerialCipher.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "sim/storage/mcu_flash.h"

namespace kl::sim {

inline constexpr size_t kFieldsSize = 40;
inline constexpr uint32_t kSerialCipher = 0x5A3C96E1;
using FieldBytes = std::array<uint8_t, kFieldsSize>;

// Valid fields for a serial number, with secret keys derived from it.
FieldBytes makeFields(int32_t serial);
enum class FieldsCheck { Valid, BadSerial, BadKeys };
FieldsCheck checkFields(std::span<const uint8_t> fields);
inline bool fieldsValid(std::span<const uint8_t> fields) { return checkFields(fields) == FieldsCheck::Valid; }
int32_t fieldsSerial(const FieldBytes& fields);

class ManufacturingFields {
 public:
  enum class Copy { Main, Secondary };

  explicit ManufacturingFields(McuFlash& flash);

  bool present() const { return area_.size != 0; }
  const MemoryRange& area() const { return area_; }
  // The copy's 40 bytes when they are valid.
  std::optional<FieldBytes> valid(Copy copy) const;
  // The fields the unit goes by: the main copy, else the secondary one.
  std::optional<FieldBytes> current() const;
  // Rewrites one copy in place (the programmer reworks the area itself); false when the flash
  // page does not take it.
  bool store(Copy copy, const FieldBytes& fields);

 private:
  uint32_t address(Copy copy) const { return copy == Copy::Main ? area_.first : area_.first + area_.size / 2; }

  McuFlash& flash_;
  MemoryRange area_;
};

}  // namespace kl::sim
