// Where each MCU keeps its manufacturing fields in flash, and when a flash write has rewritten
// the start of the flash block that holds them.
#pragma once

#include <cstdint>

namespace kl {

struct Session;
struct Unit;

struct ManufacturingArea {
  uint32_t first = 0;
  uint32_t last = 0;
  uint32_t size = 0;
};

// The unit's area by its MCU type; any other MCU type ends the run.
ManufacturingArea ManufacturingFieldsArea(Session& s, const Unit& unit);

// A packet written at `address` starts the flash block that holds the fields: it lies in the
// fields' flash bank, within the first `flashPacketSize` bytes of that bank. Banks are
// addressed by their top byte, so the offset within one is the address's low 24 bits.
bool StartsFieldsBlock(const ManufacturingArea& area, int16_t flashPacketSize, uint32_t address);

}  // namespace kl
