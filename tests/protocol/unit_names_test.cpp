#include <gtest/gtest.h>

#include "protocol/unit.h"
#include "protocol/unit_names.h"

namespace kl {
namespace {

TEST(UnitNames, McuTypesByCodeAndNothingForOthers) {
  EXPECT_EQ(McuTypeName(mcu::H8S2148), "H8S2148");
  EXPECT_EQ(McuTypeName(mcu::LPC4078), "LPC4078");
  EXPECT_EQ(McuTypeName(mcu::LPC4357), "LPC4357");
  EXPECT_EQ(McuTypeName(0), "");
  EXPECT_EQ(McuTypeName(8), "");
}

TEST(UnitNames, CardsByNumberAndAFallbackForOthers) {
  EXPECT_EQ(CardShortName(647), "ZA3");
  EXPECT_EQ(CardShortName(652), "ZK7");
  EXPECT_EQ(CardShortName(659), "ZS4");
  EXPECT_EQ(CardShortName(650), "Card650");
  EXPECT_EQ(UnitTypeName(649), "ZC3 Remote I/O Unit");
  EXPECT_EQ(UnitTypeName(653), "ZA4/ZB4 Display");
  EXPECT_EQ(UnitTypeName(0), "Unsupported Card Number");
}

TEST(UnitNames, ProductsByNumberAndTheBasicApplicationOfTheCard) {
  EXPECT_EQ(ProductName(95, 653), "Belt Weigher");
  EXPECT_EQ(ProductName(0, 649), "Remote I/O Unit");
  EXPECT_EQ(ProductName(0, 650), "No loadcell engine");
  EXPECT_EQ(ProductName(62, 648), "QV62");
}

TEST(UnitRecord, AClearedRecordKnowsNothing) {
  const Unit unit;
  EXPECT_EQ(unit.mode, modeUnknown);
  EXPECT_EQ(unit.flashPacketSize, 0);
  EXPECT_TRUE(unit.informationText.empty());
}

}  // namespace
}  // namespace kl
