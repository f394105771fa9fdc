#include "transfer/manufacturing_fields_area.h"

#include "driver/fatal_error.h"
#include "images/mcu_memory.h"
#include "protocol/unit.h"
#include "transfer/transfer_context.h"

namespace kl {

FieldsArea ManufacturingFieldsArea(TransferContext& s, const Unit& unit) {
  const auto memory = MemoryOf(unit.mcuType);
  if (!memory || memory->manufacturingFields.size == 0) {
    FatalError(s, "Kestrelink cannot update this unit: the software is not compatible with this CPU type L48");
  }
  const MemoryRange& range = memory->manufacturingFields;
  return FieldsArea{range.first, range.last(), range.size};
}

}  // namespace kl
