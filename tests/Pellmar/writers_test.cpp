#include <gtest/gtest.h>

#include "Pellmar/writers.h"

namespace kl {
namespace {

TEST(NumberText, WidthFillSignDecimalsAndGrouping) {
  NumberFormat zero6{.width = 6, .zeroFill = true};
  EXPECT_EQ(numberText(42, zero6), "000042");
  EXPECT_EQ(numberText(1234567, zero6), "1234567");  // never cut to the width
  EXPECT_EQ(numberText(-42, zero6), "-00042");

  NumberFormat blanks{.width = 5};
  EXPECT_EQ(numberText(-7, blanks), "   -7");

  NumberFormat plus{.sign = NumberFormat::Sign::Plus};
  EXPECT_EQ(numberText(3, plus), "+3");
  EXPECT_EQ(numberText(-3, plus), "-3");
  NumberFormat blank{.sign = NumberFormat::Sign::Blank};
  EXPECT_EQ(numberText(0, blank), " 0");

  NumberFormat two{.decimals = 2};
  EXPECT_EQ(numberText(610, two), "6.10");
  EXPECT_EQ(numberText(5, two), "0.05");
  EXPECT_EQ(numberText(-605, two), "-6.05");

  NumberFormat grouped{.grouping = true};
  EXPECT_EQ(numberText(1234567, grouped), "1,234,567");
  EXPECT_EQ(numberText(999, grouped), "999");

  NumberFormat wide{.width = 99};
  EXPECT_EQ(numberText(1, wide).size(), 35u);  // width is capped
}

TEST(NumberText, ExtremesDoNotOverflow) {
  EXPECT_EQ(decimalText(INT64_MIN), "-9223372036854775808");
  EXPECT_EQ(numberText(INT64_MIN, NumberFormat{}), "-9223372036854775808");
}

TEST(HexText, FixedDigitsFieldAndGroups) {
  EXPECT_EQ(hexText(0x1B, 2), "1B");
  EXPECT_EQ(hexText(0x1FB, 2), "FB");  // only the low digits
  EXPECT_EQ(hexText(0xAB, 4), "00AB");
  StringWriter w;
  writeHex(w, 0xDEADBEEF, 8, 0, true);
  writeChar(w, '|');
  writeHex(w, 0x5, 2, 5);
  EXPECT_EQ(w.text(), "DEAD BEEF|   05");
}

TEST(VersionText, MajorMinorRelease) {
  EXPECT_EQ(versionText(610, 57), "6.10r57");
  EXPECT_EQ(versionText(605, 3), "6.05r03");
}

TEST(LeadingDecimal, SkipsBlanksTakesOneMinusStopsAtNonDigit) {
  size_t used = 0;
  EXPECT_EQ(parseLeadingDecimal("  \t-42abc", &used), -42);
  EXPECT_EQ(used, 6u);
  EXPECT_EQ(parseLeadingDecimal("+5"), 0);
  EXPECT_EQ(parseLeadingDecimal("--5"), 0);
  EXPECT_EQ(parseLeadingDecimal(""), 0);
  EXPECT_GT(parseLeadingDecimal("99999999999999999999999"), 0);  // saturates, never wraps
}

}  // namespace
}  // namespace kl
