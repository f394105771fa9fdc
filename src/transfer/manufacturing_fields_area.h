// Where each MCU type keeps its manufacturing fields in MCU flash.
#pragma once

#include <cstdint>

namespace kl {

struct TransferContext;
struct Unit;

struct FieldsArea {
  uint32_t first = 0;
  uint32_t last = 0;
  uint32_t size = 0;
};

// Ends the run for an MCU type that keeps no fields.
FieldsArea ManufacturingFieldsArea(TransferContext& s, const Unit& unit);

}  // namespace kl
