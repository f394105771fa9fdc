// The manufacturing fields around MCU flash programming, on simulated units: a whole software
// update through the flash programmer on every MCU type that keeps fields (the boot loader
// write erases the sector that holds them; the backup read before it and written back during
// it leaves them unchanged), and new fields from a parameter file in manufacturing mode.
#include "sim/storage/manufacturing_fields.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "connect/connection.h"
#include "driver/parameter_file.h"
#include "sim/storage/image_records.h"
#include "support/installation_fixture.h"
#include "transfer/flash_writer.h"
#include "transfer/image_selection.h"
#include "transfer/manufacturing_fields.h"
#include "transfer/manufacturing_fields_area.h"
#include "transfer/programmer_download.h"
#include "transfer/unit_images.h"
#include "transport/link_control.h"
#include "transport/serial_port.h"

namespace kl {
namespace {

using Bytes = std::vector<uint8_t>;

class FieldsTest : public test::InstallationTest {
 protected:
  // A scenario of sim/scenarios/ with `extra` settings for its unit.
  void load(const std::string& scenarioFile, const std::string& extra = "") {
    ClosePort(s());
    s().unit = Unit{};
    clearConsole();
    loadScenario(test::readFile(std::string(KESTRELINK_SOURCE_DIR) + "/sim/scenarios/" + scenarioFile) + extra);
    s().portSettings.programmingBaud = 921600;
  }

  Bytes fieldsInUnit() {
    const FieldsArea area = ManufacturingFieldsArea(s(), s().unit);
    return portUnit().state().flash.read(area.first, area.size);
  }

  // Connects, brings the unit into its boot loader and starts the flash programmer.
  void startProgrammer() {
    Unit& unit = s().unit;
    s().currentUnitId = unit.address = 0xF0;
    SaveConnectionBaudRate(s());
    ASSERT_TRUE(ConnectToUnit(s(), unit));
    ASSERT_TRUE(InitialiseForUpdate(s(), unit));
    ASSERT_TRUE(SelectFlashProgrammer(s(), unit, images, false));
    ASSERT_TRUE(DownloadProgrammer(s(), unit, images.programmer, "programmer"));
    ASSERT_TRUE(SelectBootLoader(s(), unit, images));
    ASSERT_TRUE(SelectSoftware(s(), unit, images));
  }

  // The update sequence's steps for fields that stay: backup, boot loader and software with the
  // restore step (or without), preserve.
  void update(bool restore) {
    startProgrammer();
    ASSERT_FALSE(HasFatalFailure());
    Unit& unit = s().unit;
    before = fieldsInUnit();
    ASSERT_TRUE(ReadBackupFields(s(), unit));
    const RestoreStep step = restore ? RestoreStep(WriteBackupFields) : RestoreStep();
    for (const ImageRef& image : {images.bootLoader, images.software}) {
      ASSERT_TRUE(WriteMcuFlash(s(), unit, image, step));
      ASSERT_TRUE(ResetProgrammer(s(), unit));
    }
    ASSERT_TRUE(PreserveManufacturingFields(s(), unit, unit.serialNumber));
  }

  Bytes before;
  UnitImages images;
};

class EveryMcu : public FieldsTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(EveryMcu, KeepsItsFieldsAcrossASoftwareUpdate) {
  load(GetParam());
  update(true);
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_NE(before, Bytes(before.size(), 0xFF));
  EXPECT_EQ(fieldsInUnit(), before);
  EXPECT_NE(console().find("-- manufacturing fields are valid"), std::string::npos);
}

// One unit of each MCU type that keeps manufacturing fields.
INSTANTIATE_TEST_SUITE_P(FieldsTest, EveryMcu,
                         ::testing::Values("za3-lpc2478.scn", "zs3-lpc4078.scn", "zs3-lpc1768.scn", "za4.scn",
                                           "za3-lpc4357.scn"));

TEST_F(FieldsTest, WithoutTheRestoreTheBootLoaderWriteErasesThem) {
  load("zs3-lpc1768.scn");
  update(false);
  EXPECT_EQ(fieldsInUnit(), Bytes(before.size(), 0xFF));
}

TEST_F(FieldsTest, RestoreWithoutACompleteBackupWritesNothing) {
  load("zs3-lpc1768.scn");
  startProgrammer();
  ASSERT_FALSE(HasFatalFailure());
  before = fieldsInUnit();
  s().storage.backupFields = BackupFields{};
  EXPECT_FALSE(WriteBackupFields(s(), s().unit));
  EXPECT_EQ(fieldsInUnit(), before);
}

// A block of fields the unit refuses must not stop the boot loader half written: the unit could
// not start again.
TEST_F(FieldsTest, AFailedRestoreStillFinishesTheBootLoader) {
  load("zs3-lpc1768.scn", "fault-flash-fails-at = 0x300\n");
  startProgrammer();
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_TRUE(ReadBackupFields(s(), s().unit));
  bool restored = true;
  EXPECT_TRUE(WriteMcuFlash(
      s(), s().unit, images.bootLoader,
      [&](TransferContext& session, Unit& unit) { return restored = WriteBackupFields(session, unit); },
      FlashTarget::BootLoader));
  EXPECT_FALSE(restored);
  EXPECT_NE(console().find("Writing $00000380 (128)\r\nError:03\r\nFAILED"),
            std::string::npos)
      << console();
  const ImageRef image = images.bootLoader;
  const auto records = sim::parseRecordImage(image.bytes());
  ASSERT_TRUE(records);
  for (const sim::ImageRecord& r : records->records) {
    EXPECT_EQ(portUnit().state().flash.read(r.address, r.data.size()), r.data) << r.address;
  }
}

std::string HexOf(const uint8_t* bytes, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) text += hexText(bytes[i], 2);
  return text;
}

class ParameterFields : public FieldsTest {
 protected:
  // A station's parameter file with the four fields; `serialNo` replaces that value.
  void writeIni(const sim::FieldBytes& f, const std::string& serialNo) {
    ini = dir.file("station.ini");
    std::ofstream(ini) << "Ostrevan=1\r\nEncryptedSerialNo=" << serialNo << "\r\nEncryptedSerialNoCRC="
                       << HexOf(f.data() + 4, 2) << "\r\nEncryptedSecretKeys=" << HexOf(f.data() + 6, 32)
                       << "\r\nEncryptedSecretKeysCRC=" << HexOf(f.data() + 38, 2) << "\r\n";
    s().givenOptions().parameterFile = ini;
  }
  std::string ini;
};

TEST_F(ParameterFields, AreWrittenByTheProgrammerInManufacturingMode) {
  const sim::FieldBytes fields = sim::makeFields(777001);
  writeIni(fields, HexOf(fields.data(), 4) + "9");  // characters past the field are ignored
  load("za4.scn");
  LoadManufacturingFields(s(), s().storage.manufacturingFields);
  startProgrammer();
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_TRUE(UpdateManufacturingFields(s(), s().unit, s().storage.manufacturingFields));
  sim::ManufacturingFields inUnit(portUnit().state().flash);
  EXPECT_EQ(inUnit.valid(sim::ManufacturingFields::Copy::Main), fields);
  EXPECT_EQ(inUnit.valid(sim::ManufacturingFields::Copy::Secondary), fields);
  EXPECT_NE(console().find("-- manufacturing fields have been updated"), std::string::npos);
}

TEST_F(FieldsTest, TheApplicationComparesFieldsWithItsOwn) {
  load("za4.scn");
  Unit& unit = s().unit;
  unit.mode = modeBalvantaSoftware;
  unit.address = 0xF0;
  ManufacturingFields fields;
  const sim::FieldBytes own = sim::makeFields(portUnit().state().application.serialNumber);
  for (const int32_t serial : {portUnit().state().application.serialNumber, 1}) {
    const sim::FieldBytes f = sim::makeFields(serial);
    std::copy_n(f.begin(), 4, fields.EncryptedSerialNo.begin());
    std::copy_n(f.begin() + 4, 2, fields.EncryptedSerialNoCRC.begin());
    std::copy_n(f.begin() + 6, 32, fields.EncryptedSecretKeys.begin());
    std::copy_n(f.begin() + 38, 2, fields.EncryptedSecretKeysCRC.begin());
    bool different = true;
    ASSERT_TRUE(CheckManufacturingFields(s(), unit, fields, different));
    EXPECT_EQ(different, f != own);
  }
  EXPECT_NE(console().find("-- manufacturing fields in unit are correct (no update needed)"), std::string::npos);
  EXPECT_NE(console().find("-- manufacturing fields in unit are different (code=1)"), std::string::npos);
  unit.mode = modeFlashProgrammer;
  bool different = false;
  EXPECT_EQ(exitCodeOf([&] { CheckManufacturingFields(s(), unit, fields, different); }), 1);
  EXPECT_NE(console().find("Balvanta software is not running in the unit, cannot perform this operation"),
            std::string::npos);
}

TEST_F(ParameterFields, MissingOrMalformedValuesEndTheRun) {
  const sim::FieldBytes fields = sim::makeFields(1);
  const std::string good = HexOf(fields.data(), 4);
  useScriptedPeer();
  struct Case {
    std::string serialNo;
    std::string message;
  };
  for (const Case& c : {Case{"", "Missing EncryptedSerialNo"}, Case{good.substr(0, 7), "Field error: EncryptedSerialNo"},
                        Case{good.substr(0, 6) + "G1", "Field error: EncryptedSerialNo"},
                        Case{good.substr(0, 6) + "1 ", "Field error: EncryptedSerialNo"}}) {
    writeIni(fields, c.serialNo);
    EXPECT_EQ(exitCodeOf([&] { LoadManufacturingFields(s(), s().storage.manufacturingFields); }), 2);
    EXPECT_EQ(IniGetString(s(), ini, "Message"), c.message);
  }
  EXPECT_TRUE(takeSentByPc().empty());
}

}  // namespace
}  // namespace kl
