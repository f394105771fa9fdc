// The boot loader's RAM download and the RAM flash programmer, driven with hand-built frames:
// every reply byte for byte, a programmer that does not fit never runs, flash is data (a
// write over programmed bytes is refused), and what is written decides what the unit reports
// after its restart.
#include <string>

#include "sim_fixture.h"
#include "wire/image_identity.h"

namespace kl::sim::testing {
namespace {

constexpr uint32_t kRam = 0x2007C000;  // where an LPC1768 runs its programmer

constexpr const char* kTransmitter = R"(
[unit zs3]
card = 648
circuit = 5
version = 6.08
serial = 4242
modbus-address = 3
state = boot-loader
boot-loader = C4
boot-release = 24
buffer-size = 1024
boot-baud = 115200
)";

struct Step {
  const char* what;
  Bytes request;
  Bytes reply;           // without CRC; empty: no reply at all
  uint32_t pcBaud = 0;   // the PC's speed for this step (0: unchanged)
};

Bytes call(uint16_t command, const Bytes& arguments = {}) {
  Bytes b{0x01, 0x45};
  put16(b, command);
  return cat(b, arguments);
}
Bytes addressed(uint32_t address, const Bytes& rest) {
  Bytes b;
  put32(b, address);
  return cat(b, rest);
}
Bytes pattern(size_t n, uint8_t from = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(from + i);
  return b;
}

// A programmer block: its identity, then code.
Bytes programmer(wire::ImageIdentity id) {
  id.kind = wire::ImageKind::FlashProgrammer;
  const auto block = wire::EncodeIdentity(id);
  return cat(Bytes(block.begin(), block.end()), pattern(96, 0x40));
}

class ProgrammerTest : public SimUnitTest {
 protected:
  void run(const std::vector<Step>& steps) {
    for (const Step& s : steps) {
      if (s.pcBaud) setPcSpeed(s.pcBaud);
      EXPECT_EQ(request(s.request, 60), s.reply.empty() ? Bytes{} : withCrc(s.reply)) << s.what;
    }
  }
  // Downloads `block` and starts it; the unit's mode afterwards.
  UnitMode start(const Bytes& block, uint32_t entry = kRam + 32) {
    EXPECT_FALSE(request(call(0x1020, addressed(kRam, cat({static_cast<uint8_t>(block.size())}, block)))).empty());
    EXPECT_EQ(request(call(0x1022, addressed(entry, {}))), withCrc(call(0x1022)));
    return unit().mode();
  }
};

TEST_F(ProgrammerTest, BootLoaderDownloadsIntoRamAndReadsItBack) {
  load(kTransmitter, 115200);
  const Bytes large = pattern(300);
  run({
      {"speed for the download, unit table", call(0x1023, {6}), call(0x1023)},
      {"WriteRam", call(0x1020, addressed(kRam, {4, 0xAA, 0xBB, 0xCC, 0xDD})), call(0x1020, addressed(kRam, {4})),
       230400},
      {"WriteRamLarge", call(0x1024, addressed(kRam + 0x100, cat({0x01, 0x2C}, large))),
       call(0x1024, addressed(kRam + 0x100, {0x01, 0x2C}))},
      {"Examine", call(0x1021, addressed(kRam, {4})), call(0x1021, addressed(kRam, {4, 0xAA, 0xBB, 0xCC, 0xDD}))},
      {"Examine inside the large write", call(0x1021, addressed(kRam + 0x12A, {3})),
       call(0x1021, addressed(kRam + 0x12A, {3, 0x2A, 0x2B, 0x2C}))},
      {"WriteRamBlock", call(0x1038, {0x00, 0x02, 0x02, 0x11, 0x22}), call(0x1038, {0x00, 0x02, 0x00})},
      {"CommitRamBlock with a block missing", call(0x1039, addressed(kRam + 0x200, {0x00, 0x04})), {}},
      {"WriteRamBlock at the start", call(0x1038, {0x00, 0x00, 0x02, 0x33, 0x44}), call(0x1038, {0x00, 0x00, 0x00})},
      {"CommitRamBlock", call(0x1039, addressed(kRam + 0x200, {0x00, 0x04})),
       call(0x1039, addressed(kRam + 0x200, {0x00, 0x04}))},
      {"CommitRamBlock again, its reply lost", call(0x1039, addressed(kRam + 0x200, {0x00, 0x04})),
       call(0x1039, addressed(kRam + 0x200, {0x00, 0x04}))},
      {"Examine the committed blocks", call(0x1021, addressed(kRam + 0x200, {4})),
       call(0x1021, addressed(kRam + 0x200, {4, 0x33, 0x44, 0x11, 0x22}))},
      {"WriteRamBlock past the buffer", call(0x1038, {0x04, 0x00, 0x01, 0x55}), call(0x1038, {0x04, 0x00, 0x01})},
      {"WriteRam of more than 128 bytes", call(0x1020, addressed(kRam, cat({129}, pattern(129)))), {}},
      {"the old code of a release 24 boot loader", call(0x1090, {5}), {}},
      {"outside the RAM reads 0", call(0x1021, addressed(0x10000000, {2})), call(0x1021, addressed(0x10000000, {2, 0, 0}))},
  });
}

TEST_F(ProgrammerTest, BootLoaderSpeedTablesByRelease) {
  struct Row {
    int release;
    uint16_t command;
    uint8_t index;
    uint32_t speed;  // 0: not answered
  };
  for (const Row& r : {Row{24, 0x1023, 6, 230400}, Row{15, 0x1023, 9, 0}, Row{14, 0x1023, 6, 128000},
                       Row{14, 0x1023, 9, 921600}, Row{10, 0x1090, 5, 115200}, Row{10, 0x1023, 5, 0},
                       Row{24, 0x1023, 0, 0}}) {
    load(std::string(kTransmitter) + "boot-release = " + std::to_string(r.release) + "\n", 115200);
    const Bytes reply = request(call(r.command, {r.index}));
    EXPECT_EQ(reply, r.speed ? withCrc(call(r.command)) : Bytes{}) << r.release << " " << int(r.index);
    EXPECT_EQ(unit().port()->format().baud, r.speed ? r.speed : 115200u) << r.release << " " << int(r.index);
  }
}

TEST_F(ProgrammerTest, OnlyAProgrammerForThisUnitRuns) {
  using wire::ImageIdentity;
  auto id = [](uint8_t row, uint8_t mcu, uint8_t family, uint8_t generation, bool large) {
    ImageIdentity i;
    i.tableRow = row;
    i.mcuType = mcu;
    i.unitFamily = family;
    i.generation = generation;
    i.large = large;
    return i;
  };
  struct Row {
    const char* what;
    Bytes block;
    std::string extra = "";
    uint32_t entry = kRam + 32;
    UnitMode mode = UnitMode::Halted;
  };
  const ImageIdentity fits = id(16, 5, 2, 4, false);
  const std::vector<Row> rows{
      {"LPC1768 transmitter C4", programmer(fits), "", kRam + 32, UnitMode::FlashProgrammer},
      {"large variant with a large buffer", programmer(id(18, 5, 2, 4, true)), "", kRam + 32, UnitMode::FlashProgrammer},
      {"normal variant with a small buffer", programmer(fits), "buffer-size = 128\n", kRam + 32,
       UnitMode::FlashProgrammer},
      {"large variant with a small buffer", programmer(id(18, 5, 2, 4, true)), "buffer-size = 128\n"},
      {"remote I/O unit's programmer", programmer(id(28, 5, 3, 4, false))},
      {"another MCU", programmer(id(4, 3, 0, 4, false))},
      {"another generation", programmer(id(15, 5, 2, 3, false))},
      {"a block that contradicts its row", programmer(id(16, 5, 3, 4, false))},
      {"a boot loader image", cat(Bytes{'K', 'L', 'I', 'D', 1, 3}, pattern(100))},
      {"no identity", pattern(128)},
      {"entry outside the RAM", programmer(fits), "", 0x10000000},
  };
  for (const Row& r : rows) {
    load(std::string(kTransmitter) + r.extra, 115200);
    EXPECT_EQ(start(r.block, r.entry), r.mode) << r.what;
    advanceMs(10);
    EXPECT_EQ(request(call(0x1031)).empty(), r.mode != UnitMode::FlashProgrammer) << r.what;
    EXPECT_TRUE(request(call(0x1012)).empty() || r.mode == UnitMode::FlashProgrammer) << r.what << ": silent";
  }
}

// The running programmer, command by command.
TEST_F(ProgrammerTest, ProgrammerWritesFlashAsData) {
  load(kTransmitter, 115200);
  ASSERT_EQ(start(programmer([] {
              wire::ImageIdentity i;
              i.tableRow = 16, i.mcuType = 5, i.unitFamily = 2, i.generation = 4;
              return i;
            }())),
            UnitMode::FlashProgrammer);
  // Manufacturing fields the test enciphers itself: serial 777 XOR 5A3C96E1, CRCs high byte first.
  Bytes fields;
  put32(fields, 777u ^ 0x5A3C96E1u);
  put16(fields, referenceCrc(fields));
  const Bytes keys = pattern(32, 0x90);
  fields = cat(fields, keys);
  put16(fields, referenceCrc(keys));
  Bytes badSerial = fields, badKeys = fields;
  badSerial[0] ^= 1;
  badKeys[10] ^= 1;
  Bytes backup = cat(fields, Bytes(88, 0xFF));
  const Bytes four{1, 2, 3, 4};
  run({
      {"version: generation and row", call(0x1031), call(0x1031, {4, 16})},
      {"buffer of a normal programmer", call(0x101F), call(0x101F, {0x00, 0x80})},
      {"ConfigureProgrammer", call(0x103B, {1}), call(0x103B)},
      {"SetProgrammerBaudRate", call(0x1023, {7}), call(0x1023)},
      {"over the declared application", call(0x1040, addressed(0x4000, cat({4}, four))),
       call(0x1040, addressed(0x4000, {4, 2})), 460800},
      {"EraseRange", call(0x1035, addressed(0x4000, addressed(0x4FFF, {}))), call(0x1035)},
      {"plain write", call(0x1040, addressed(0x4000, cat({4}, four))), call(0x1040, addressed(0x4000, {4, 0}))},
      {"the same again", call(0x1040, addressed(0x4000, cat({4}, four))), call(0x1040, addressed(0x4000, {4, 0}))},
      {"other bits over it", call(0x1040, addressed(0x4000, {4, 0xFF, 0xFF, 0xFF, 0})),
       call(0x1040, addressed(0x4000, {4, 2}))},
      {"outside the flash", call(0x1040, addressed(0x80000, {1, 0})), call(0x1040, addressed(0x80000, {1, 1}))},
      {"large plain write", call(0x1042, addressed(0x4100, cat({0x00, 0xC8}, pattern(200)))),
       call(0x1042, addressed(0x4100, {0x00, 0xC8, 4}))},
      {"windowed, first chunk", call(0x1041, cat({0x80, 0x00}, addressed(0x4400, {2, 7, 7}))),
       call(0x1041, cat({0x80, 0x00}, addressed(0x4400, {2, 0})))},
      {"windowed 1", call(0x1041, cat({0x00, 0x01}, addressed(0x4402, {2, 8, 8}))),
       call(0x1041, cat({0x00, 0x01}, addressed(0x4402, {2, 0})))},
      {"windowed 1 sent again", call(0x1041, cat({0x00, 0x01}, addressed(0x4402, {2, 8, 8}))),
       call(0x1041, cat({0x00, 0x01}, addressed(0x4402, {2, 0})))},
      {"windowed 0 sent again: cumulative", call(0x1041, cat({0x80, 0x00}, addressed(0x4400, {2, 7, 7}))),
       call(0x1041, cat({0x00, 0x01}, addressed(0x4402, {2, 0})))},
      {"windowed 3 after a lost 2", call(0x1041, cat({0x00, 0x03}, addressed(0x4406, {2, 9, 9}))), {}},
      {"windowed 2", call(0x1041, cat({0x00, 0x02}, addressed(0x4404, {2, 9, 9}))),
       call(0x1041, cat({0x00, 0x02}, addressed(0x4404, {2, 0})))},
      {"windowed over programmed bytes", call(0x1041, cat({0x00, 0x03}, addressed(0x4000, {1, 0xFF}))),
       call(0x1041, cat({0x00, 0x03}, addressed(0x4000, {1, 2})))},
      {"buffered block", call(0x1038, {0x00, 0x00, 0x03, 5, 6, 7}), call(0x1038, {0x00, 0x00, 0x00})},
      {"buffered commit of missing bytes", call(0x103A, addressed(0x4600, {0x00, 0x04})),
       call(0x103A, addressed(0x4600, {0x00, 0x04, 4}))},
      {"buffered commit", call(0x103A, addressed(0x4600, {0x00, 0x03})), call(0x103A, addressed(0x4600, {0x00, 0x03, 0}))},
      {"buffered commit again, its reply lost", call(0x103A, addressed(0x4600, {0x00, 0x03})),
       call(0x103A, addressed(0x4600, {0x00, 0x03, 0}))},
      {"a new record's commit with a block missing", call(0x1038, {0x00, 0x01, 0x01, 5}),
       call(0x1038, {0x00, 0x01, 0x00})},
      {"... is still refused", call(0x103A, addressed(0x4700, {0x00, 0x03})),
       call(0x103A, addressed(0x4700, {0x00, 0x03, 4}))},
      {"fields with a bad serial CRC", call(0x1052, badSerial), call(0x1052, {8})},
      {"fields with a bad key CRC", call(0x1052, badKeys), call(0x1052, {9})},
      {"fields updated", call(0x1052, fields), call(0x1052, {0})},
      {"main copy", call(0x1051, addressed(0x300, {128})), call(0x1051, addressed(0x300, cat({128}, backup)))},
      {"secondary copy", call(0x1051, addressed(0x380, {128})), call(0x1051, addressed(0x380, cat({128}, backup)))},
      {"both valid and equal", call(0x1053, addressed(777, {})), call(0x1053, {0})},
      {"a write over the boot block erases its first sector", call(0x1040, addressed(0x0000, cat({4}, four))),
       call(0x1040, addressed(0x0000, {4, 0}))},
      {"... and the fields with it", call(0x1051, addressed(0x300, {4})),
       call(0x1051, addressed(0x300, {4, 0xFF, 0xFF, 0xFF, 0xFF}))},
      {"no valid fields", call(0x1053, addressed(777, {})), call(0x1053, {5})},
      {"backup block written back", call(0x1050, addressed(0x300, cat({128}, backup))),
       call(0x1050, addressed(0x300, {128, 0}))},
      {"secondary repaired from main", call(0x1053, addressed(777, {})), call(0x1053, {4})},
      {"not twice", call(0x1050, addressed(0x300, cat({128}, backup))), call(0x1050, addressed(0x300, {128, 0}))},
      {"a backup block over programmed bytes", call(0x1050, addressed(0x300, cat({128}, Bytes(128, 0xEE)))),
       call(0x1050, addressed(0x300, {128, 2}))},
      {"ResetProgrammer", call(0x1033), call(0x1033)},
      {"back at 115200", call(0x1031), call(0x1031, {4, 16}), 115200},
      {"sequence 0 starts a new run", call(0x1041, cat({0x00, 0x00}, addressed(0x4800, {1, 1}))),
       call(0x1041, cat({0x00, 0x00}, addressed(0x4800, {1, 0})))},
  });
  // A restart finds the application area half written: no application, the boot loader stays.
  // The boot block is no boot loader any more: the chip's own boot protocol answers.
  EXPECT_EQ(request(call(0x1032)), withCrc(call(0x1032)));
  advanceMs(1000);
  EXPECT_EQ(unit().mode(), UnitMode::BlankChip);
  EXPECT_EQ(unit().state().flash.read(0x4400, 6), (Bytes{7, 7, 8, 8, 9, 9}));
  EXPECT_EQ(unit().state().flash.read(0x4600, 3), (Bytes{5, 6, 7}));
}

}  // namespace
}  // namespace kl::sim::testing
