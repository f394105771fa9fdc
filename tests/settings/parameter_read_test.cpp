#include <filesystem>
#include <string>

#include "driver/parameter_file.h"
#include "settings/settings_fixture.h"

namespace kl {
namespace {

using test::SettingsTest;
using test::writeFile;

class ParameterRead : public SettingsTest {
 protected:
  std::string ini = path("station.ini");
};

TEST_F(ParameterRead, NoFileNameOrNoFileReadsEmpty) {
  EXPECT_EQ(IniGetString(s, "", "Program"), "");
  EXPECT_EQ(IniGetString(s, path("absent.ini"), "Program"), "");
  EXPECT_FALSE(IniGetBool(s, path("absent.ini"), "Program"));
  EXPECT_EQ(IniGetInt(s, path("absent.ini"), "SerialNo"), 0);
}

TEST_F(ParameterRead, FirstOfSeveralMatchingLinesWins) {
  writeFile(ini, "Program=1\r\nProgram=0\r\n");
  EXPECT_TRUE(IniGetBool(s, ini, "Program"));
  writeFile(ini, "Program=0\r\nProgram=1\r\n");
  EXPECT_FALSE(IniGetBool(s, ini, "Program"));
}

TEST_F(ParameterRead, BooleanIsOneOrTrueInAnyCase) {
  const std::pair<const char*, bool> cases[] = {
      {"True", true}, {"TRUE", true}, {"tRuE", true}, {"1", true},   {" 1", false},
      {"yes", false}, {"", false},    {"0", false},   {"1 ", false}, {"TRUEX", false},
  };
  for (auto [value, expected] : cases) {
    writeFile(ini, std::string("Ostrevan=") + value + "\r\n");
    EXPECT_EQ(IniGetBool(s, ini, "Ostrevan"), expected) << '"' << value << '"';
  }
}

TEST_F(ParameterRead, IntegerTakesLeadingDecimalOnly) {
  const std::pair<const char*, int32_t> cases[] = {
      {"  -42abc", -42}, {"+5", 0}, {"\t17", 17}, {"", 0}, {"abc", 0}, {"--3", 0},
      {"2147483647", 2147483647}, {"99999999999", 2147483647}, {"-99999999999", -2147483647 - 1},
  };
  for (auto [value, expected] : cases) {
    writeFile(ini, std::string("SerialNo=") + value + "\r\n");
    EXPECT_EQ(IniGetInt(s, ini, "SerialNo"), expected) << '"' << value << '"';
  }
}

TEST_F(ParameterRead, KeysAreExactAndNothingIsTrimmed) {
  writeFile(ini, "Program =1\r\nprogram=1\r\n[Section]\r\n;Program=1\r\nMessage=a=b\r\nName= spaced \r\n");
  EXPECT_EQ(IniGetString(s, ini, "Program"), "");
  EXPECT_EQ(IniGetString(s, ini, "Program "), "1");
  EXPECT_EQ(IniGetString(s, ini, "Message"), "a=b");
  EXPECT_EQ(IniGetString(s, ini, "Name"), " spaced ");
  EXPECT_EQ(IniGetString(s, ini, ";Program"), "1");
}

TEST_F(ParameterRead, LineWithoutEqualsIsAllKeyWithEmptyValue) {
  writeFile(ini, "Program\r\nProgram=1\r\n");
  EXPECT_EQ(IniGetString(s, ini, "Program"), "");
  EXPECT_FALSE(IniGetBool(s, ini, "Program"));
}

TEST_F(ParameterRead, LineEndsAtCrAndLineFeedsAreIgnored) {
  writeFile(ini, "A=1\rB=2\r\nC=3\n\rD=x\ny\rE=5");
  EXPECT_EQ(IniGetString(s, ini, "B"), "2");
  EXPECT_EQ(IniGetString(s, ini, "C"), "3");
  EXPECT_EQ(IniGetString(s, ini, "D"), "xy");
  EXPECT_EQ(IniGetString(s, ini, "E"), "5");  // last line without CR counts
}

// A file as Linux tools write it (no CR at all) has LF line ends; a byte-order mark before the
// first key is not part of it. With a CR anywhere in the file, LF is ignored as ever.
TEST_F(ParameterRead, LfEndsTheLinesOfAFileWithoutCr) {
  writeFile(ini, "\xEF\xBB\xBFOstrevan=1\nSerialNo=7\n\nProgram=1");
  EXPECT_TRUE(IniGetBool(s, ini, "Ostrevan"));
  EXPECT_EQ(IniGetInt(s, ini, "SerialNo"), 7);
  EXPECT_TRUE(IniGetBool(s, ini, "Program"));
  writeFile(ini, "Program=1\nSerialNo=7\r\n");
  EXPECT_EQ(IniGetString(s, ini, "Program"), "1SerialNo=7");
}

TEST_F(ParameterRead, LongLineIsReadInPiecesOf32001) {
  // The second piece of an over-long line counts as a line of its own.
  writeFile(ini, std::string(32001, 'x') + "Program=1\r\n");
  EXPECT_TRUE(IniGetBool(s, ini, "Program"));
  writeFile(ini, std::string(32000, 'x') + "Program=1\r\n");
  EXPECT_FALSE(IniGetBool(s, ini, "Program"));
  EXPECT_EQ(IniGetString(s, ini, std::string(32000, 'x') + "P"), "");
  // A value is cut at the end of the first piece.
  const std::string value(40000, 'v');
  writeFile(ini, "Message=" + value + "\r\nNext=2\r\n");
  EXPECT_EQ(IniGetString(s, ini, "Message"), value.substr(0, 32001 - 8));
  EXPECT_EQ(IniGetString(s, ini, "Next"), "2");
}

TEST_F(ParameterRead, LineOfExactlyOnePieceIsOneLine) {
  // 32001 characters then CR: no empty piece follows that could match an empty key.
  writeFile(ini, std::string(32001, 'x') + "\r\n=found\r\n");
  EXPECT_EQ(IniGetString(s, ini, ""), "found");
  writeFile(ini, std::string(32001, 'x') + "\r\n");
  EXPECT_EQ(IniGetString(s, ini, ""), "");
}

TEST_F(ParameterRead, BinaryContentDoesNotStopTheSearch) {
  std::string junk;
  for (int i = 0; i < 256; ++i) {
    if (i != '\r') junk.push_back(static_cast<char>(i));
  }
  writeFile(ini, junk + "\r" + std::string("\0=\0\r", 4) + "Program=TRUE\r\n" + junk);
  EXPECT_TRUE(IniGetBool(s, ini, "Program"));
  EXPECT_EQ(IniGetString(s, ini, std::string(1, '\0')), std::string("\0", 1));
}

TEST_F(ParameterRead, MultiMegabyteFileIsStreamed) {
  std::string contents;
  for (int i = 0; i < 200000; ++i) contents += "Key" + std::to_string(i) + "=value of key " + std::to_string(i) + "\r\n";
  contents += "SerialNo=123456\r\n";
  ASSERT_GT(contents.size(), 5u << 20);
  writeFile(ini, contents);
  EXPECT_EQ(IniGetInt(s, ini, "SerialNo"), 123456);
  EXPECT_EQ(IniGetString(s, ini, "Key199999"), "value of key 199999");
}

TEST_F(ParameterRead, DirectoryInPlaceOfTheFileIsARuntimeError) {
  ASSERT_TRUE(sim.files.createDirectory(ini));
  EXPECT_EQ(exitCodeOf([&] { IniGetString(s, ini, "Program"); }), 1);
  EXPECT_NE(console().find("\r\nCannot open file " + ini), std::string::npos) << console();
}

TEST_F(ParameterRead, ReadFailureMidFileIsARuntimeError) {
  writeFile(ini, std::string(100000, 'x') + "\r\nProgram=1\r\n");
  files.readFailsAfter = 70000;
  EXPECT_EQ(exitCodeOf([&] { IniGetBool(s, ini, "Program"); }), 1);
  EXPECT_NE(console().find("Cannot read file " + ini), std::string::npos) << console();
}

}  // namespace
}  // namespace kl
