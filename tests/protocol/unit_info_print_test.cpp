// The unit information printout, line by line, and the short texts made from a Unit.
#include <gtest/gtest.h>

#include "protocol/identification.h"
#include "support/installation_fixture.h"

namespace kl {
namespace {

using Lines = std::vector<std::string>;

class PrintUnit : public test::InstallationTest {
 protected:
  // An LPC display running its application, everything known.
  Unit display() {
    Unit u;
    u.mode = modeBalvantaSoftware;
    u.cardNumber = 647;
    u.circuitCode = 5;
    u.boardRevision = 2;
    u.boardIssue = 2;
    u.mcuType = mcu::LPC2478;
    u.softwareVersion = 610;
    u.softwareRelease = 3;
    u.productNumber = 63;
    u.ftMask = 0x0003;
    u.rtMask = 0x0A0B;
    u.newMask = 0;
    u.serialNumber = 470112;
    u.serialNumberRead = true;
    u.buildTime = {25, 11, 4, 9, 15, 0};
    u.buildIncrement = 3;
    u.informationText = s().text("Packing line 1");
    u.modbusAddress = 2;
    u.bootLoaderVersion = 3;
    u.bootLoaderRelease = 18;
    u.softwareChecksum = 0x0047A1C3;
    u.softwareCrc = 0x5E21;
    u.bootFlags = 0x02;
    u.unitFlags = 0x01;
    return u;
  }
  Lines print(const Unit& u, bool brief = false) {
    clearConsole();
    PrintUnitInfo(s(), u, brief);
    return consoleLines();
  }
};

TEST_F(PrintUnit, AnApplicationWithEverythingKnown) {
  EXPECT_EQ(print(display()), (Lines{"   Unit Type       : ZA3/ZB3 Display",
                                     "   Card            : c647r5B2",
                                     "   Software        : v6.10r03",
                                     "   Product         : QV63",
                                     "   Masks           : ft$0003  rt$0A0B  new$0000",
                                     "   Serial No       : 470112",
                                     "   Build time      : 2025-11-04 09:15:00",
                                     "   Build increment : 3",
                                     "   Information     : Packing line 1",
                                     "   Modbus Address  : 2",
                                     "   Boot loader     : v3 r18",
                                     "   MCU Type        : LPC2478",
                                     "   Checksum        : 0047A1C3 5E21"}));
}

TEST_F(PrintUnit, MasksAndChecksumAreDebugLines) {
  s().givenOptions().debug = false;
  const Lines lines = print(display());
  EXPECT_EQ(lines.size(), 11u);
  for (const std::string& line : lines) {
    EXPECT_EQ(line.find("Masks"), std::string::npos);
    EXPECT_EQ(line.find("Checksum"), std::string::npos);
  }
}

TEST_F(PrintUnit, OptionalLinesOnlyWithTheirValues) {
  Unit u = display();
  u.productNumber = 0;
  u.informationText = DynamicString();
  u.modbusAddress = 0;
  u.boardRevision = 0;
  u.boardIssue = 0;
  u.softwareVersion = 605;
  u.buildTime = {9, 1, 2, 3, 4, 5};
  EXPECT_EQ(print(u), (Lines{"   Unit Type       : ZA3/ZB3 Display", "   Card            : c647r5-0",
                             "   Software        : v6.05r03", "   Masks           : ft$0003  rt$0A0B  new$0000",
                             "   Serial No       : 470112", "   Build time      : 2009-01-02 03:04:05",
                             "   Build increment : 3", "   Boot loader     : v3 r18", "   MCU Type        : LPC2478",
                             "   Checksum        : 0047A1C3 5E21"}));
}

TEST_F(PrintUnit, OutsideTheApplicationNoBoardRevisionAndNoApplicationLines) {
  Unit u = display();
  u.mode = modeBalvantaBootLoader;
  EXPECT_EQ(print(u), (Lines{"   Unit Type       : ZA3/ZB3 Display", "   Card            : c647r5",
                             "   Software        : v6.10r03", "   Product         : QV63",
                             "   Masks           : ft$0003  rt$0A0B  new$0000", "   Boot loader     : v3 r18",
                             "   MCU Type        : LPC2478", "   Checksum        : 0047A1C3 5E21"}));
}

TEST_F(PrintUnit, BriefStopsAfterTheCardWithTheMcu) {
  EXPECT_EQ(print(display(), true), (Lines{"   Unit Type       : ZA3/ZB3 Display", "   Card            : c647r5B2",
                                           "   MCU Type        : LPC2478"}));
}

TEST_F(PrintUnit, AnH8sUnitHasCardAndCircuitLinesAndNoBootLoaderLine) {
  Unit u;
  u.mode = modeBalvantaSoftware;
  u.cardNumber = 611;
  u.circuitCode = 2;
  u.mcuType = mcu::H8S2145;
  u.softwareVersion = 540;
  u.productNumber = 61;
  u.serialNumber = 20311;
  u.serialNumberRead = true;
  u.buildTime = {9, 6, 30, 11, 2, 45};
  u.bootLoaderVersion = 2;
  u.bootLoaderRelease = 2;
  EXPECT_EQ(print(u), (Lines{"   Unit Type       : ZR20 Display", "   Card            : 611",
                             "   Circuit code    : 2", "   Software        : v5.40", "   Product         : QV61",
                             "   Masks           : ft$0000  rt$0000  new$0000", "   Serial No       : 20311",
                             "   Build time      : 2009-06-30 11:02:45", "   Build increment : 0",
                             "   MCU Type        : H8S2145"}));
  EXPECT_EQ(print(u, true), (Lines{"   Unit Type       : ZR20 Display", "   Card            : 611",
                                   "   Circuit code    : 2", "   MCU Type        : H8S2145"}));
}

TEST_F(PrintUnit, SerialNumberOneBeforeSixNoughtHidesBootLoaderAndMcu) {
  Unit u = display();
  u.serialNumber = 1;
  u.softwareVersion = 599;
  u.bootLoaderRelease = 3;
  const Lines lines = print(u);
  EXPECT_EQ(lines.back(), "   Modbus Address  : 2");
  u.softwareVersion = 600;
  EXPECT_EQ(print(u).back(), "   MCU Type        : LPC2478");
  EXPECT_EQ(print(u).end()[-2], "   Boot loader     : v3");  // no release below 4, no checksum
}

TEST_F(PrintUnit, PreProductionBoardsAreNamed) {
  Unit u = display();
  u.bootFlags = 0x82;
  u.unitFlags = 0x41;
  Lines lines = print(u);
  EXPECT_EQ(Lines(lines.end() - 2, lines.end()),
            (Lines{"                     Test software present (pre-production board)",
                   "                     - pre-production boot loader"}));
  u.bootFlags = 0x02;
  u.unitFlags = 0x80;
  lines = print(u);
  EXPECT_EQ(Lines(lines.end() - 3, lines.end()),
            (Lines{"   Checksum        : 0047A1C3 5E21", "                     Test software present (pre-production board)",
                   "                     - card tester software"}));
  u.bootFlags = 0x80;
  lines = print(u);
  EXPECT_EQ(Lines(lines.end() - 2, lines.end()),
            (Lines{"                     - pre-production boot loader", "                     - card tester software"}));
}

TEST_F(PrintUnit, AnActiveJtagInterfaceRingsTheBell) {
  Unit u = display();
  u.bootFlags = 0x42;
  EXPECT_EQ(print(u).back(), "                     WARNING: JTAG interface is active!\a");
  u.bootFlags = 0x02;
  u.unitFlags = 0x41;
  EXPECT_EQ(print(u).back(), "                     WARNING: JTAG interface is active!\a");
  u.bootLoaderRelease = 3;  // flags of boot loaders before release 4 are not shown
  EXPECT_EQ(print(u).back(), "   MCU Type        : LPC2478");
}

TEST_F(PrintUnit, ASerialNumberTheUnitDidNotReportIsUnknownNotNought) {
  Unit u = display();
  u.serialNumber = 0;
  u.serialNumberRead = false;
  EXPECT_EQ(print(u)[5], "   Serial No       : unknown");
  u.serialNumberRead = true;
  EXPECT_EQ(print(u)[5], "   Serial No       : 0");
}

TEST_F(PrintUnit, InformationLinesGoToInfoAndAreSilencedWithIt) {
  s().givenOptions().silent = true;
  s().givenOptions().debug = false;
  EXPECT_TRUE(print(display()).empty());
}

TEST(UnitTexts, VersionTextAndLabel) {
  Unit u;
  u.softwareVersion = 605;
  u.softwareRelease = 7;
  u.mcuType = mcu::LPC1768;
  EXPECT_EQ(SoftwareVersionText(u), "6.05r07");
  u.mcuType = mcu::H8S2145;
  EXPECT_EQ(SoftwareVersionText(u), "6.05");
  u.modbusAddress = 7;
  u.productNumber = 61;
  u.cardNumber = 647;
  u.serialNumber = 12345;
  EXPECT_EQ(UnitLabel(u), "07 QV61 ZA3 12345");
  u.modbusAddress = 120;
  u.cardNumber = 700;
  EXPECT_EQ(UnitLabel(u), "120 QV61 Card700 12345");
}

}  // namespace
}  // namespace kl
