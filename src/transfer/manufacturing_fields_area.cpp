#include "transfer/manufacturing_fields_area.h"

#include "driver/fatal_error.h"
#include "protocol/unit.h"
#include "wire/mcu_memory.h"

namespace kl {

FieldsArea ManufacturingFieldsArea(Session& s, const Unit& unit) {
  const auto memory = wire::MemoryOf(unit.mcuType);
  if (!memory || memory->manufacturingFields.size == 0) {
    FatalError(s, "Kestrelink cannot update this unit: the software is not compatible with this CPU type L48");
  }
  const wire::MemoryRange& range = memory->manufacturingFields;
  return FieldsArea{range.first, range.last(), range.size};
}

}  // namespace kl
