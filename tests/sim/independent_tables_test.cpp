// The program and the simulator each keep their own memory maps and digest code, so that one
// side's mistake shows as a unit that misbehaves. Here both stand beside values written out
// from the chips' layouts, so neither can drift unnoticed.
#include <gtest/gtest.h>

#include "images/mcu_memory.h"
#include "images/software_digest.h"
#include "sim/storage/application_digest.h"
#include "sim/storage/mcu_map.h"
#include "wire/unit_codes.h"

namespace kl {
namespace {

struct Layout {
  uint8_t mcuType;
  uint32_t bank0First, bank0Size, bank1First, bank1Size;
  uint32_t fieldsFirst, fieldsSize;
  uint32_t applicationStart;
  uint32_t ramFirst, ramSize;
};

// Boot loaders take the first 16 KB of flash on every chip.
constexpr Layout kLayouts[] = {
    {wire::mcu::H8S2145, 0x000000, 0x20000, 0, 0, 0, 0, 0x4000, 0xFFB000, 0x2000},
    {wire::mcu::LPC2478, 0x0, 0x7E000, 0, 0, 0x300, 0x100, 0x4000, 0x40000200, 0xFE00},
    {wire::mcu::LPC4078, 0x0, 0x80000, 0, 0, 0x300, 0x100, 0x4000, 0x10000200, 0xFE00},
    {wire::mcu::LPC1768, 0x0, 0x80000, 0, 0, 0x300, 0x100, 0x4000, 0x2007C000, 0x8000},
    {wire::mcu::LPC4337, 0x1A000000, 0x80000, 0x1B000000, 0x80000, 0x1A000400, 0x200, 0x1A004000, 0x20000000, 0x10000},
    {wire::mcu::LPC4357, 0x1A000000, 0x80000, 0x1B000000, 0x80000, 0x1A000400, 0x200, 0x1A004000, 0x20000000, 0x10000},
};

template <typename Range>
void ExpectRange(const Range& range, uint32_t first, uint32_t size, const char* what) {
  SCOPED_TRACE(what);
  EXPECT_EQ(range.size, size);
  if (size != 0) {
    EXPECT_EQ(range.first, first);
  }
}

template <typename Map>
void ExpectLayout(const Map& map, const Layout& l) {
  ExpectRange(map.flashBanks[0], l.bank0First, l.bank0Size, "first bank");
  ExpectRange(map.flashBanks[1], l.bank1First, l.bank1Size, "second bank");
  ExpectRange(map.bootLoader, l.bank0First, 0x4000, "boot loader");
  ExpectRange(map.manufacturingFields, l.fieldsFirst, l.fieldsSize, "manufacturing fields");
  EXPECT_EQ(map.applicationStart, l.applicationStart);
  ExpectRange(map.programmerRam, l.ramFirst, l.ramSize, "programmer RAM");
}

TEST(IndependentTables, BothMemoryMapsMatchTheChips) {
  for (const Layout& layout : kLayouts) {
    SCOPED_TRACE(static_cast<int>(layout.mcuType));
    const auto program = MemoryOf(layout.mcuType);
    const auto simulator = sim::McuMapOf(layout.mcuType);
    ASSERT_TRUE(program && simulator);
    {
      SCOPED_TRACE("program");
      ExpectLayout(*program, layout);
    }
    {
      SCOPED_TRACE("simulator");
      ExpectLayout(*simulator, layout);
    }
  }
  EXPECT_FALSE(MemoryOf(0x7F));
  EXPECT_FALSE(sim::McuMapOf(0x7F));
}

// Checksum and CRC of the application area, worked out apart from both sides.
TEST(IndependentTables, BothDigestsMatchWorkedValues) {
  struct Case {
    uint8_t mcuType;
    bool pattern;  // bytes 0, 1, ..., 255 four times at the application's start; else all erased
    uint32_t checksum;
    uint16_t crc;
  };
  constexpr Case kCases[] = {
      {wire::mcu::LPC1768, false, 0xFFFE1000, 0x8FF1},
      {wire::mcu::LPC1768, true, 0x807D8F00, 0x911A},
      {wire::mcu::LPC4337, false, 0xFFFC1000, 0xC00A},  // both banks
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(static_cast<int>(c.mcuType) * 10 + c.pattern);
    sim::McuFlash flash(c.mcuType);
    std::vector<uint8_t> pattern(1024);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i);
    const uint32_t start = flash.memory()->applicationStart;
    if (c.pattern) flash.overwrite(start, pattern);

    const sim::ApplicationDigest simulator = sim::DigestOfApplication(flash);
    EXPECT_EQ(simulator.checksum, c.checksum);
    EXPECT_EQ(simulator.crc, c.crc);

    SoftwareDigestAccumulator program;
    for (const MemoryRange& area : ApplicationArea(*MemoryOf(c.mcuType))) {
      if (area.size != 0) program.add(flash.read(area.first, area.size));
    }
    EXPECT_EQ(program.result().checksum, c.checksum);
    EXPECT_EQ(program.result().crc, c.crc);
  }
}

}  // namespace
}  // namespace kl
