// The identification the program runs on a connected unit, followed by its printout.
#include <gtest/gtest.h>

#include "protocol/identification.h"
#include "support/installation_fixture.h"

namespace kl {
namespace {

using Lines = std::vector<std::string>;

class IdentifyAndPrint : public test::InstallationTest {
 protected:
  Unit& unit() { return s().unit; }
  // Connection's calls for an application, then the driver's.
  Lines identifyApplication() {
    unit().mode = modeBalvantaSoftware;
    unit().address = 0xF0;
    EXPECT_TRUE(ReadUnitInfo(s(), unit()));
    ReadExtendedInfo(s(), unit());
    ReadAdvancedInfo(s(), unit());
    clearConsole();
    PrintUnitInfo(s(), unit(), false);
    return consoleLines();
  }
};

TEST_F(IdentifyAndPrint, AnLpcDisplay) {
  loadScenarioFile("za4.scn");
  EXPECT_EQ(identifyApplication(), (Lines{"   Unit Type       : ZA4/ZB4 Display",
                                          "   Card            : c653r1A2",
                                          "   Software        : v6.10r40",
                                          "   Product         : QV95",
                                          "   Masks           : ft$0000  rt$0000  new$0000",
                                          "   Serial No       : 530420",
                                          "   Build time      : 2026-03-01 08:30:00",
                                          "   Build increment : 11",
                                          "   Information     : Belt 7",
                                          "   Modbus Address  : 4",
                                          "   Boot loader     : v4 r25",
                                          "   MCU Type        : LPC4337",
                                          "   Checksum        : 00A4A4A4 7777"}));
  EXPECT_EQ(unit().unitFamily, family::Display);
  EXPECT_EQ(UnitLabel(unit()), "04 QV95 ZA4 530420");
}

TEST_F(IdentifyAndPrint, AnH8sDisplayBeforeSixNought) {
  loadScenarioFile("zr20-h8s2145.scn");
  EXPECT_EQ(identifyApplication(), (Lines{"   Unit Type       : ZR20 Display",
                                          "   Card            : 611",
                                          "   Circuit code    : 2",
                                          "   Software        : v5.40",
                                          "   Product         : QV61",
                                          "   Masks           : ft$0003  rt$0000  new$0000",
                                          "   Serial No       : 20311",
                                          "   Build time      : 2009-06-30 11:02:45",
                                          "   Build increment : 0",
                                          "   Information     : Line 2 hopper",
                                          "   MCU Type        : H8S2145"}));
  // No advanced information before 6.00.
  const std::vector<uint8_t>& sent = line.sentByPc();
  for (size_t i = 0; i + 3 < sent.size(); ++i) {
    EXPECT_FALSE(sent[i] == 0xF0 && sent[i + 1] == 0x45 && sent[i + 2] == 0x10 && sent[i + 3] == 0x14);
  }
}

TEST_F(IdentifyAndPrint, AnH8sBootLoaderOfTheSecondGeneration) {
  loadScenario("[unit zr20]\ncard = 611\ncircuit = 2\nversion = 5.40\nstate = boot-loader\nboot-loader = C2\n"
               "boot-release = 2\nboot-baud = 9600\n");
  unit().mode = modeBalvantaBootLoader;
  unit().address = 1;
  ASSERT_TRUE(ReadBootLoaderVersion(s(), unit()));
  EXPECT_FALSE(ReadBootLoaderRelease(s(), unit()));  // the second generation does not know the query
  EXPECT_EQ(unit().mcuType, mcu::H8S2145);
  EXPECT_EQ(unit().bootLoaderVersion, 2);
  EXPECT_EQ(unit().bootLoaderRelease, 2);
  clearConsole();
  PrintUnitInfo(s(), unit(), true);
  EXPECT_EQ(consoleLines(), (Lines{"   Unit Type       : Unsupported Card Number", "   Card            : 0",
                                   "   Circuit code    : 0", "   MCU Type        : H8S2145"}));
}

}  // namespace
}  // namespace kl
