#include "sim/unit/flash_content.h"

#include "sim/storage/application_digest.h"
#include "sim/storage/manufacturing_fields.h"
#include "sim/unit/programmer_table.h"

namespace kl::sim {

namespace {

bool overlaps(const MemoryRange& range, uint32_t first, uint32_t last) {
  return range.size != 0 && first <= range.last() && last >= range.first;
}

// Stand-in bytes for contents the scenario only names: programmed, so never writable as such.
void fillProgrammed(McuFlash& flash, uint32_t first, uint32_t count, uint32_t seed) {
  std::vector<uint8_t> bytes(count);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : bytes) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>((x >> 24) & 0x7F);  // never 0xFF: every byte is programmed
  }
  flash.overwrite(first, bytes);
}

}  // namespace

void fillDeclaredFlash(UnitState& state, FieldsCondition condition) {
  McuFlash& flash = state.flash;
  if (!flash.memory() || state.blank) return;
  const McuMap& memory = *flash.memory();
  const uint32_t seed = state.application.cardNumber * 131u + static_cast<uint32_t>(state.application.serialNumber);
  fillProgrammed(flash, memory.bootLoader.first, memory.bootLoader.size, seed);
  ManufacturingFields fields(flash);
  if (fields.present()) {
    flash.overwrite(fields.area().first, std::vector<uint8_t>(fields.area().size, 0xFF));
    FieldBytes valid = makeFields(state.application.serialNumber);
    FieldBytes damaged = valid;
    damaged[1] ^= 0x5A;
    if (condition != FieldsCondition::Erased) {
      fields.store(ManufacturingFields::Copy::Main, condition == FieldsCondition::MainDamaged ? damaged : valid);
      fields.store(ManufacturingFields::Copy::Secondary,
                   condition == FieldsCondition::SecondaryDamaged ? damaged : valid);
    }
  }
  if (state.applicationPresent) {
    const MemoryRange first = ApplicationArea(memory)[0];
    fillProgrammed(flash, first.first, std::min(first.size, kDeclaredApplicationBytes), seed + 1);
  }
}

bool placeImage(UnitState& state, const RecordImage& image) {
  McuFlash& flash = state.flash;
  for (const ImageRecord& r : image.records) {
    if (!flash.contains(r.address, r.data.size())) return false;
  }
  if (image.records.empty() || !flash.memory()) return false;
  ManufacturingFields fields(flash);
  const auto kept = fields.present() ? flash.read(fields.area().first, fields.area().size) : std::vector<uint8_t>{};
  flash.eraseRange(image.firstAddress(), image.lastAddress());
  for (const ImageRecord& r : image.records) flash.overwrite(r.address, r.data);
  if (fields.present()) flash.overwrite(fields.area().first, kept);
  touchFlash(state, image.firstAddress(), image.lastAddress());
  sealFlash(state);
  return true;
}

void touchFlash(UnitState& state, uint32_t first, uint32_t last) {
  if (!state.flash.memory()) return;
  const McuMap& memory = *state.flash.memory();
  const MemoryRange& fields = memory.manufacturingFields;
  if (fields.size != 0 && first >= fields.first && last <= fields.last()) return;
  if (overlaps(memory.bootLoader, first, last)) state.bootContent = RegionContent::Unsealed;
  for (const MemoryRange& area : ApplicationArea(memory)) {
    if (overlaps(area, first, last)) state.applicationContent = RegionContent::Unsealed;
  }
}

void sealFlash(UnitState& state) {
  if (state.bootContent == RegionContent::Unsealed) state.bootContent = RegionContent::Sealed;
  if (state.applicationContent == RegionContent::Unsealed) state.applicationContent = RegionContent::Sealed;
}

void refreshIdentity(UnitState& state) {
  const McuFlash& flash = state.flash;
  if (!flash.memory()) return;
  const McuMap& memory = *flash.memory();
  ApplicationIdentity& app = state.application;
  const uint8_t family = cardFamily(app.cardNumber);
  auto identityAt = [&](uint32_t address) { return wire::DecodeIdentity(flash.read(address, wire::kIdentityBlockSize)); };

  if (state.bootContent != RegionContent::Declared) {
    const auto boot = identityAt(memory.bootLoader.first);
    const bool valid = state.bootContent == RegionContent::Sealed && boot && boot->kind == wire::ImageKind::BootLoader &&
                       boot->mcuType == app.mcuType && (boot->unitFamily == 0 || boot->unitFamily == family);
    state.blank = !valid;
    if (valid) {
      state.bootLoader.generation = boot->generation;
      state.bootLoader.release = boot->bootLoaderRelease;
    }
  }
  if (state.applicationContent != RegionContent::Declared) {
    const auto software = identityAt(memory.applicationStart);
    state.applicationPresent = state.applicationContent == RegionContent::Sealed && software &&
                               software->kind == wire::ImageKind::Software && software->mcuType == app.mcuType &&
                               (software->unitFamily == 0 || software->unitFamily == family);
    if (state.applicationPresent) {
      app.softwareVersion = software->softwareVersion;
      app.softwareRelease = software->softwareRelease;
      app.buildIncrement = software->buildIncrement;
      const ApplicationDigest digest = DigestOfApplication(flash);
      app.softwareChecksum = digest.checksum;
      app.softwareCrc = digest.crc;
    }
  }
  ManufacturingFields fields(state.flash);
  if (fields.present()) {
    const auto current = fields.current();
    app.serialNumber = current ? fieldsSerial(*current) : 0;
  }
}

}  // namespace kl::sim
