// The production station's run against simulated units under virtual time: the unit of every
// BasicProductCode found on the port, behind a test jig and on a network; the run that
// updates it wherever it is; and the inputs that stop a run, each with its message in the
// parameter file and no unit changed.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "sim/storage/manufacturing_fields.h"
#include "update/manufacturing_update.h"
#include "update_fixture.h"

namespace kl::test {
namespace {

constexpr int32_t kSerial = 700001;
constexpr const char* kProductKeys = "version = 6.08\nserial = 700001\nmodbus-address = 21\nunit-flags = 0x01\n";
constexpr const char* kControlDisplay =
    "[unit control]\ncard = 647\ncircuit = 6\nversion = 6.10\nserial = 652002\nmodbus-address = 60\n"
    "information = ZK7 control\n";

// A test jig at 50 with its control display on its network, and `more` keys.
std::string Jig(const std::string& more) {
  return "[unit jig]\ncard = 652\ncircuit = 1\nversion = 6.10\nmodbus-address = 50\n" + more + kControlDisplay;
}

enum class Place { OnThePort, BehindTheJig, OnTheNetwork };

// The installation with the product (`product` keys, named "product") where it is placed.
std::string Installation(Place place, const std::string& product) {
  const std::string unit = "[unit product]\n" + product + kProductKeys;
  switch (place) {
    case Place::OnThePort: return unit;
    case Place::BehindTheJig: return Jig("network = control\nproxy-unit = product\nrelay-timeout-ms = 1000\n") + unit;
    case Place::OnTheNetwork: return Jig("network = control product\n") + unit;
  }
  return {};
}

class ProductionStation : public UpdateRun {
 protected:
  std::string station(const std::string& lines) { return parameterFile("Ostrevan=1\r\nProgram=1\r\n" + lines); }
  std::string message() {
    const std::string text = readFile(dir.file("station.ini"));
    const size_t at = text.find("Message=");
    return at == std::string::npos ? "" : text.substr(at + 8, text.find("\r\n", at) - at - 8);
  }
  sim::UnitState& product() { return installation->find("product")->state(); }
};

TEST_F(ProductionStation, EveryProductCodeIsFoundOnThePortBehindTheJigAndOnTheNetwork) {
  struct Row {
    int32_t code;
    const char* product;
    const char* notOnTheNetwork;  // units that take no update files are found but cannot be built there
  };
  const Row rows[] = {
      {41, "card = 620\n", "Cannot find an ZS1x, ZS5x, ZS7x or ZS9x TRANSMITTER"},
      {45, "card = 620\n", "Cannot find an ZS1x, ZS5x, ZS7x or ZS9x TRANSMITTER"},
      {46, "card = 611\n", "Cannot find an ZR20 DISPLAY"},
      {47, "card = 648\ncircuit = 5\n", nullptr},
      {49, "card = 649\ncircuit = 2\n", nullptr},
      {51, "card = 648\ncircuit = 6\n", nullptr},
      {52, "card = 649\ncircuit = 2\n", nullptr},
      {53, "card = 647\ncircuit = 4\n", nullptr},
      {54, "card = 647\ncircuit = 6\n", nullptr},
      {56, "card = 653\n", nullptr},
      {57, "card = 653\n", nullptr},
      {58, "card = 653\n", nullptr},
      {59, "card = 659\n", nullptr},
  };
  // The unit CheckUnitType settles on, or the exit code when it ended the run.
  const auto check = [&](const std::string& installation, int32_t code, UnitTypeCheck& found) {
    loadScenario(installation, false);
    connect();
    s().run.manufacturingMode = true;
    s().givenOptions().parameterFile = station("SerialNo=700001\r\nBasicProductCode=" + std::to_string(code) + "\r\n");
    return exitCodeOf([&] { found = CheckUnitType(s(), s().unit); });
  };
  for (const Row& row : rows) {
    for (const Place place : {Place::OnThePort, Place::BehindTheJig, Place::OnTheNetwork}) {
      SCOPED_TRACE(testing::Message() << "code " << row.code << ", place " << static_cast<int>(place));
      UnitTypeCheck found;
      const std::optional<int> exit = check(Installation(place, row.product), row.code, found);
      // A serial-number search never looks behind the jig.
      const char* fatal = place == Place::BehindTheJig && row.code == 49 ? "No matching serial number for key"
                          : place == Place::OnTheNetwork                  ? row.notOnTheNetwork
                                                                          : nullptr;
      if (fatal) {
        EXPECT_EQ(exit, 2);
        EXPECT_TRUE(shows(std::string("Fatal Error: ") + fatal + "\r\n")) << console();
        continue;
      }
      ASSERT_EQ(exit, std::nullopt) << console();
      EXPECT_EQ(s().unit.serialNumber, kSerial);
      EXPECT_EQ(found.viaProxy, place == Place::BehindTheJig);
      EXPECT_EQ(s().transfer.bufferedProtocol, place == Place::BehindTheJig);
      EXPECT_EQ(found.useUpdateFiles, place == Place::OnTheNetwork);
      if (place == Place::OnTheNetwork) {
        EXPECT_TRUE(shows("-- found matching remote unit: 21\r\n"));
      }
    }
  }
  // A jig's display on the port that lacks the serial number is not the ZA3 being built.
  UnitTypeCheck found;
  const std::string display = "[unit display]\ncard = 647\ncircuit = 4\nversion = 6.10\nserial = 652002\n"
                              "modbus-address = 60\nnetwork = product\n";
  ASSERT_EQ(check(display + "[unit product]\ncard = 647\ncircuit = 4\n" + kProductKeys, 53, found), std::nullopt);
  EXPECT_EQ(s().unit.serialNumber, kSerial);
  EXPECT_TRUE(found.useUpdateFiles);
  // A test jig that carries the serial number looked for is never the product.
  ASSERT_EQ(check(Jig("serial = 700001\nnetwork = control product\n") + "[unit product]\ncard = 649\ncircuit = 2\n" +
                      kProductKeys,
                  49, found),
            std::nullopt)
      << console();
  EXPECT_EQ(s().unit.cardNumber, 649);
  EXPECT_TRUE(found.useUpdateFiles);
}

// Only jig software after 6.05 can search its second port for the product.
TEST_F(ProductionStation, OnlyAJigAfterSixOhFiveIsSearchedThrough) {
  for (const auto& [version, found] : {std::pair{"6.05", false}, std::pair{"6.06", true}}) {
    SCOPED_TRACE(version);
    loadScenario(Jig(std::string("version = ") + version + "\nnetwork = control\nproxy-unit = product\n") +
                     "[unit product]\ncard = 648\ncircuit = 6\n" + kProductKeys,
                 false);
    connect();
    s().run.manufacturingMode = true;
    s().givenOptions().parameterFile = station("SerialNo=700001\r\nBasicProductCode=51\r\n");
    UnitTypeCheck check;
    EXPECT_EQ(exitCodeOf([&] { check = CheckUnitType(s(), s().unit); }).has_value(), !found) << console();
    EXPECT_EQ(check.viaProxy, found);
  }
}

// From 4.40 on the unit's application checks the fields itself: fields that are the station's
// already are not written again (nor is the boot loader, which is current).
TEST_F(ProductionStation, FieldsAlreadyTheStationsAreNotWrittenAgain) {
  loadScenario("[unit product]\ncard = 648\ncircuit = 6\n" + std::string(kProductKeys) +
                   "version = 4.40\nboot-release = 24\n",
               false);
  ASSERT_EQ(run({"-y", "-d", "-r921600",
                 station("SerialNo=700001\r\nBasicProductCode=51\r\n" + StationFieldLines(kSerial))}),
            0)
      << console();
  EXPECT_TRUE(shows("-- manufacturing fields in unit are correct (no update needed)\r\n")) << console();
  EXPECT_FALSE(shows("-- manufacturing fields will be updated"));
  EXPECT_EQ(product().application.softwareVersion, 610);
}

TEST_F(ProductionStation, TheUnitIsUpdatedWhereverItIsAndTheOutcomeStored) {
  for (const Place place : {Place::OnThePort, Place::BehindTheJig, Place::OnTheNetwork}) {
    SCOPED_TRACE(static_cast<int>(place));
    loadScenario(Installation(place, "card = 648\ncircuit = 6\nmanufacturing-fields = erased\n"), false);
    const std::string file = station("SerialNo=700001\r\nBasicProductCode=51\r\nMessage=an earlier failure\r\n" +
                                     StationFieldLines(kSerial));
    ASSERT_EQ(run({"-y", "-d", "-r921600", file}), 0) << console();
    EXPECT_TRUE(InOrder(console(), {"-- manufacturing fields will be updated\r\n", "restarting unit...\r\n",
                                    "Success: all operations are complete"}))
        << console();
    EXPECT_EQ(product().application.softwareVersion, 610);
    EXPECT_EQ(product().application.softwareRelease, 57);
    EXPECT_EQ(sim::ManufacturingFields(product().flash).current(), sim::makeFields(kSerial));
    EXPECT_EQ(message(), "");
    // The jig's proxy is closed and the connected unit is back at the speed it was found at.
    EXPECT_EQ(shows("RPC: CloseKestrelinkProxy\r\nCOMPLETE: Result=00\r\n"), place == Place::BehindTheJig);
    EXPECT_FALSE(shows("Unable to change baud rate"));
    EXPECT_EQ(portUnit().applicationFormat().baud, 115200u);
  }
}

// Update files take effect at the unit's restart, where it may refuse the station's fields
// (here their CRC is wrong): the station must not read that as a success.
TEST_F(ProductionStation, FieldsTheUnitRefusesAtItsRestartAreAFailure) {
  loadScenario(Installation(Place::OnTheNetwork, "card = 648\ncircuit = 6\nmanufacturing-fields = erased\n"), false);
  std::string fields = StationFieldLines(kSerial);
  const size_t crc = fields.find("EncryptedSerialNoCRC=") + 21;
  fields[crc] = fields[crc] == '0' ? '1' : '0';
  EXPECT_EQ(run({"-y", "-r921600", station("SerialNo=700001\r\nBasicProductCode=51\r\n" + fields)}), 2) << console();
  EXPECT_TRUE(InOrder(console(), {"restarting unit...\r\n", "\aFAILURE: unable to update unit!"})) << console();
  EXPECT_FALSE(shows("Success"));
  EXPECT_EQ(message(), "FAILURE: unable to update unit!");
  EXPECT_EQ(product().application.softwareVersion, 610);
  EXPECT_NE(sim::ManufacturingFields(product().flash).current(), sim::makeFields(kSerial));
}

// A unit in its boot loader takes no speed change (only its application does): it is built all
// the same, its programmer download taking it to the programming speed.
TEST_F(ProductionStation, AUnitWaitingInItsBootLoaderIsBuilt) {
  loadScenario(Installation(Place::OnThePort, "card = 648\ncircuit = 6\nstate = boot-loader\n"), false);
  ASSERT_EQ(run({"-y", "-r921600", station("SerialNo=700001\r\nBasicProductCode=51\r\n" + StationFieldLines(kSerial))}),
            0)
      << console();
  EXPECT_TRUE(shows("Success: all operations are complete"));
  EXPECT_EQ(product().application.softwareVersion, 610);
  EXPECT_EQ(sim::ManufacturingFields(product().flash).current(), sim::makeFields(kSerial));
}

// A station script on Linux writes LF line ends: the file is read line by line all the same
// (manufacturing mode seen, not a field update), and the message goes in as a line of its own.
TEST_F(ProductionStation, AParameterFileWithLfLineEndsIsAStationsFile) {
  loadScenario(Installation(Place::OnThePort, "card = 649\ncircuit = 2\n"), false);
  const std::string file = parameterFile("Ostrevan=1\nProgram=1\nSerialNo=700001\nBasicProductCode=52\n");
  EXPECT_EQ(run({"-y", file}), 2) << console();
  EXPECT_TRUE(shows("Fatal Error: Missing EncryptedSerialNo\r\n")) << console();
  EXPECT_EQ(readFile(file),
            "Ostrevan=1\nProgram=1\nSerialNo=700001\nBasicProductCode=52\nMessage=Missing EncryptedSerialNo\n");
}

// Fields the unit refuses (a station's file with a wrong CRC) must not cost it the ones it had:
// those stay in flash until new ones are taken, and the station reads the unit's verdict.
TEST_F(ProductionStation, RefusedFieldsLeaveTheUnitItsEarlierOnes) {
  std::string fields = StationFieldLines(kSerial);
  const size_t crc = fields.find("EncryptedSecretKeysCRC=") + 23;
  fields[crc] = fields[crc] == '0' ? '1' : '0';
  const std::string refused =
      "The unit refused the new manufacturing fields (invalid key); its earlier fields are kept";
  for (const Place place : {Place::OnThePort, Place::BehindTheJig}) {
    SCOPED_TRACE(static_cast<int>(place));
    loadScenario(Installation(place, "card = 648\ncircuit = 6\n"), false);
    const auto before = sim::ManufacturingFields(product().flash).current();
    ASSERT_EQ(before, sim::makeFields(kSerial));
    EXPECT_EQ(run({"-y", "-r921600", station("SerialNo=700001\r\nBasicProductCode=51\r\n" + fields)}), 2);
    EXPECT_TRUE(shows("Fatal Error: " + refused + "\r\n")) << console();
    EXPECT_EQ(message(), refused);
    sim::ManufacturingFields inUnit(product().flash);
    EXPECT_EQ(inUnit.valid(sim::ManufacturingFields::Copy::Main), before);
    EXPECT_EQ(inUnit.valid(sim::ManufacturingFields::Copy::Secondary), before);
  }
}

TEST_F(ProductionStation, BadInputStopsTheRunWithItsMessageAndChangesNoUnit) {
  const std::string zc3 = "card = 649\ncircuit = 2\n";
  const std::string twoZc3 = Jig("network = control product other\n") + "[unit product]\n" + zc3 + kProductKeys +
                             "[unit other]\n" + zc3 + "version = 6.08\nserial = 700002\nmodbus-address = 22\n"
                             "unit-flags = 0x01\n";
  struct Row {
    const char* name;
    std::string installation;
    std::string station;
    std::vector<std::string> shown;
    std::string message;
  };
  const std::string fields = StationFieldLines(kSerial);
  const Row rows[] = {
      {"two units match", twoZc3, "SerialNo=700001\r\nBasicProductCode=52\r\n",
       {"-- found matching remote unit: 21\r\n"},
       "Found more than one unit that matches the product type, unable to complete update"},
      {"no SerialNo", Installation(Place::OnThePort, zc3), "BasicProductCode=52\r\n", {}, "Missing SerialNo"},
      {"product code 48", Installation(Place::OnThePort, zc3), "SerialNo=700001\r\nBasicProductCode=48\r\n", {},
       "Unknown Basic Product code"},
      {"product code 50", Installation(Place::OnThePort, zc3), "SerialNo=700001\r\nBasicProductCode=50\r\n", {},
       "Unknown Basic Product code"},
      {"product code 55", Installation(Place::OnThePort, zc3), "SerialNo=700001\r\nBasicProductCode=55\r\n", {},
       "Unknown Basic Product code"},
      {"a unit that cannot take update files", Installation(Place::OnTheNetwork, zc3 + "boot-release = 13\n"),
       "SerialNo=700001\r\nBasicProductCode=52\r\n",
       {"-- found matching remote unit: 21\r\n",
        "Balvanta Unit 21 must have boot loader release 14 or later for remote software update. Please use Quorran "
        "to update boot loader (requires direct connection to COM1 RS232 port of unit).\r\n",
        "Cannot update Balvanta unit 21\r\n"},
       "Cannot find an ZC3 I/O Unit"},
      {"a unit that stops answering mid-update", Installation(Place::OnTheNetwork, zc3 + "fault-stop-after-frames = 40\n"),
       "SerialNo=700001\r\nBasicProductCode=52\r\n", {"Sending software update to unit...\r\n"},
       "Unable to update unit"},
      {"a later build on the unit", Installation(Place::OnThePort, zc3 + "release = 57\nbuild-increment = 2\n"),
       "SerialNo=700001\r\nBasicProductCode=52\r\n",
       {"The software cannot be downgraded to 6.10r57\r\n", "\aFAILURE: unable to update unit!"},
       "FAILURE: unable to update unit!"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    loadScenario(row.installation, false);
    std::vector<Bytes> before;
    for (const auto& unit : installation->units()) before.push_back(unit->state().flash.image());
    EXPECT_EQ(run({"-y", "-r921600", station(row.station + fields)}), 2) << console();
    std::vector<std::string> shown = row.shown;
    if (!row.message.starts_with("FAILURE")) shown.push_back("Fatal Error: " + row.message);
    EXPECT_TRUE(InOrder(console(), shown)) << console();
    EXPECT_EQ(message(), row.message);
    // The connected unit is back at the speed it was found at; a product code that is not
    // known is refused before its speed is changed at all.
    EXPECT_EQ(portUnit().applicationFormat().baud, 115200u);
    EXPECT_EQ(runLog().find("Changing Balvanta baud rate") == std::string::npos,
              row.message == "Unknown Basic Product code" || row.message == "Missing SerialNo");
    // Whatever reached a unit, none takes it: every unit starts as it was.
    installation->units().front()->restartSystem();
    if (installation->find("jig")) installation->find("product")->restart(false);
    advanceMs(5000);
    for (size_t i = 0; i < before.size(); ++i) EXPECT_EQ(installation->units()[i]->state().flash.image(), before[i]) << i;
  }
}

}  // namespace
}  // namespace kl::test
