// A unit's manufacturing fields and boot loader through faults while the boot loader (and the
// block of the fields with it) is rewritten: whatever the run leaves, the next run on the same
// unit finishes the boot loader and puts the fields back from the copy kept on the PC, and a
// station's fields the unit refuses never cost it the ones it had.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "sim/storage/manufacturing_fields.h"
#include "sim/unit/flash_content.h"
#include "transfer/recovery_record.h"
#include "update_fixture.h"

namespace kl::test {
namespace {

constexpr const char* kOutdated = "version = 6.05\nrelease = 1\nbuild-increment = 0\nboot-release = 16\n";
constexpr const char* kNotRestored =
    "Fatal Error: Unable to restore the manufacturing fields (a copy is kept on this PC for the next run)\r\n";

class FieldsSafety : public UpdateRun {
 protected:
  std::optional<sim::FieldBytes> fields(sim::ManufacturingFields::Copy copy) {
    return sim::ManufacturingFields(portUnit().state().flash).valid(copy);
  }
  size_t recordsKept() {
    const std::string folder = dir.file("bin/Recovery");
    if (!std::filesystem::exists(folder)) return 0;
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(folder), {}));
  }
  // The maker's tool gives a blank chip the carried boot loader through the chip's own protocol.
  void giveBlankChipItsBootLoader() {
    const ImageRef bootLoader = ImageOf(*catalogue::FindBootLoader(mcu::LPC1768, family::RemoteIo));
    const auto image = sim::parseRecordImage(bootLoader.bytes());
    ASSERT_TRUE(image && sim::placeImage(portUnit().state(), *image));
    portUnit().powerCycle();
    advanceMs(3000);
  }
};

// The fault strikes after the first boot-loader packet erased the block of the fields, before
// they were written back. ZC3 (LPC1768, fields at 0x300): the programmer's requests before the
// boot loader are the backup read, the unit's verdict and the erase-free start; a programmer
// silent after its 12th request stops inside the first 768 bytes.
TEST_F(FieldsSafety, AFaultWhileTheBootLoaderIsRewrittenCostsNeitherFieldsNorBootLoader) {
  struct Row {
    const char* name;
    const char* fault;
    const char* fatal;
    bool blankChip;           // the unit is left a blank chip: the maker's tool is needed
    bool programmerKept;      // the next run finishes the boot loader with the programmer left running
  };
  const Row rows[] = {
      {"a block of fields the unit refuses", "fault-flash-fails-at = 0x300\n", kNotRestored, false, false},
      {"a power cut after the block was erased", "fault-power-cut-at-flash-byte = 700\n",
       "Fatal Error: Unable to write new software\r\n", true, false},
      {"the programmer stops before the fields went back", "fault-programmer-silent-after = 12\n",
       "Fatal Error: Unable to write new software\r\n", false, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::filesystem::remove_all(dir.file("bin/Recovery"));
    load("zc3.scn", std::string(kOutdated) + row.fault);
    const auto before = fields(sim::ManufacturingFields::Copy::Main);
    ASSERT_TRUE(before);
    EXPECT_EQ(run({"-y", "-l", "-r921600"}), 1);
    EXPECT_TRUE(shows(row.fatal)) << console();
    EXPECT_EQ(recordsKept(), 1u);

    portUnit().setFaults({});
    if (row.blankChip) {
      ASSERT_EQ(portUnit().mode(), sim::UnitMode::BlankChip);
      giveBlankChipItsBootLoader();
    }
    if (row.programmerKept) {
      ASSERT_EQ(portUnit().mode(), sim::UnitMode::FlashProgrammer);
      // An interrogation meanwhile must not restart it into a unit that cannot start.
      run({"-y", "-i", "-r921600"});
      EXPECT_TRUE(shows("-- an earlier update did not finish writing the boot loader: run the update again to "
                        "finish it\r\n"))
          << console();
      ASSERT_EQ(portUnit().mode(), sim::UnitMode::FlashProgrammer);
    }
    ASSERT_EQ(run({"-y", "-r921600"}), 0) << console();
    EXPECT_TRUE(shows("-- the manufacturing fields are written back from the copy kept on this PC (serial number"))
        << console();
    EXPECT_TRUE(shows("-- manufacturing fields restored\r\n"));
    EXPECT_EQ(shows("Using the flash programmer still running in the unit...\r\n"), row.programmerKept);
    EXPECT_TRUE(shows("Success: all operations are complete\r\n"));
    EXPECT_EQ(fields(sim::ManufacturingFields::Copy::Main), before);
    EXPECT_EQ(fields(sim::ManufacturingFields::Copy::Secondary), before);
    EXPECT_TRUE(flashHolds(catalogue::EntryOf(*catalogue::FindBootLoader(mcu::LPC1768, family::RemoteIo))));
    EXPECT_EQ(recordsKept(), 0u) << "removed once the unit vouched for the fields";
    // The copy goes into the unit once: with the boot loader, when that erases its block again.
    const std::string log = runLog();
    size_t writes = 0;
    for (size_t at = log.find("Writing backup fields"); at != std::string::npos; at = log.find("Writing backup fields", at + 1)) {
      ++writes;
    }
    EXPECT_EQ(writes, 1u);
  }
}

// A line that loses nearly every acknowledgement once the boot loader's write has begun: its
// packets are tried far longer than others, but the write gives up within its bound in time
// (5 minutes), and the next run finishes the boot loader with the programmer left running.
TEST_F(FieldsSafety, TheBootLoadersRetryingIsBoundedInTime) {
  load("zc3.scn", kOutdated);
  sim.console.onOutput = [&](std::string_view text) {
    if (text.find("Preparing to update Boot Loader...") == std::string_view::npos) return;
    sim::UnitFaults faults;
    faults.loseAckPercent = 90;
    portUnit().setFaults(faults);
  };
  const uint64_t start = nowMs();
  EXPECT_EQ(run({"-y", "-l", "-r921600"}), 1);
  EXPECT_TRUE(shows("Fatal Error: Unable to write new software\r\n")) << console();
  EXPECT_LT(nowMs() - start, 7 * 60 * 1000u);
  sim.console.onOutput = nullptr;
  portUnit().setFaults({});
  ASSERT_EQ(run({"-y", "-r921600"}), 0) << console();
  EXPECT_TRUE(shows("Using the flash programmer still running in the unit...\r\n"));
  EXPECT_TRUE(flashHolds(catalogue::EntryOf(*catalogue::FindBootLoader(mcu::LPC1768, family::RemoteIo))));
}

// Fields the unit cannot vouch for are said so, and a copy of another unit is never written in.
TEST_F(FieldsSafety, ErasedFieldsWithoutACopyOfThisUnitAreNamedAndLeftAlone) {
  load("zc3.scn", std::string(kOutdated) + "manufacturing-fields = erased\n");
  ASSERT_EQ(run({"-y", "-l", "-r921600"}), 0) << console();
  EXPECT_TRUE(shows("-- no valid manufacturing fields found in MCU flash\r\n")) << console();
  EXPECT_TRUE(shows("-- the unit has no valid manufacturing fields and this PC keeps no copy of them\r\n"));
  EXPECT_FALSE(fields(sim::ManufacturingFields::Copy::Main));
}

// The copy on the PC: private, replaced in one step, and no copy at all when it is damaged.
TEST_F(FieldsSafety, TheRecordReadsBackOnlyWhenWhole) {
  RecoveryRecord record;
  record.cardNumber = 649;
  record.circuitCode = 2;
  record.mcuType = mcu::LPC1768;
  record.serialNumber = 481999;
  record.phase = RecoveryRecord::Phase::BootLoader;
  record.fieldsHeld = true;
  record.areaFirst = 0x300;
  record.areaSize = 256;
  for (uint32_t i = 0; i < record.areaSize; ++i) record.area[i] = static_cast<uint8_t>(i * 7);
  const std::string text = RecoveryRecordText(record);
  const std::optional<RecoveryRecord> read = ParseRecoveryRecord(text);
  ASSERT_TRUE(read);
  EXPECT_EQ(RecoveryRecordText(*read), text);
  for (const size_t at : {text.find("Card=") + 5, text.find("Area=") + 9, text.size() - 3}) {
    std::string damaged = text;
    damaged[at] = damaged[at] == '1' ? '2' : '1';
    EXPECT_FALSE(ParseRecoveryRecord(damaged)) << at;
  }
  EXPECT_FALSE(ParseRecoveryRecord(text.substr(0, text.size() / 2)));
}

}  // namespace
}  // namespace kl::test
