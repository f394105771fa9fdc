#include <gtest/gtest.h>

#include "driver/command_line.h"

namespace kl {
namespace {

struct Parsed {
  bool ok;
  RunOptions options;
};

Parsed parse(std::vector<std::string> arguments) {
  Parsed result{};
  result.ok = ParseCommandLine(arguments, result.options);
  return result;
}

TEST(CommandLine, NoArgumentsKeepTheDefaults) {
  Parsed p = parse({});
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.options.initialBaud, 19200);
  EXPECT_EQ(p.options.programmingBaud, 0);
  EXPECT_EQ(p.options.port, 0);
  EXPECT_TRUE(p.options.parameterFile.empty());
  EXPECT_FALSE(p.options.debug);
}

TEST(CommandLine, LettersOfAGroupAreReadOneByOneInAnyCase) {
  Parsed p = parse({"-iY", "/V", "+swF", "-lo"});
  ASSERT_TRUE(p.ok);
  EXPECT_TRUE(p.options.interrogate);
  EXPECT_TRUE(p.options.yesToPrompts);
  EXPECT_TRUE(p.options.verify);
  EXPECT_TRUE(p.options.silent);
  EXPECT_TRUE(p.options.writeAlways);
  EXPECT_TRUE(p.options.firstUnitOnly);
  EXPECT_TRUE(p.options.updateBootLoader);
  EXPECT_TRUE(p.options.overlappedWrites);
  EXPECT_FALSE(p.options.extractLogs);
  EXPECT_TRUE(parse({"-x"}).options.extractLogs);
}

TEST(CommandLine, DoubleDSetsDetailedDebugSingleDOnlyDebug) {
  Parsed dd = parse({"-dD"});
  EXPECT_TRUE(dd.options.debug);
  EXPECT_TRUE(dd.options.detailedDebug);
  Parsed d = parse({"/d"});
  EXPECT_TRUE(d.options.debug);
  EXPECT_FALSE(d.options.detailedDebug);
  // A third d is a new -d, not an error.
  Parsed ddd = parse({"-ddd"});
  ASSERT_TRUE(ddd.ok);
  EXPECT_TRUE(ddd.options.detailedDebug);
}

TEST(CommandLine, InitialBaudSetsProgrammingBaudToAtLeast115200) {
  EXPECT_EQ(parse({"-b9600"}).options.programmingBaud, 115200);
  EXPECT_EQ(parse({"-b9600"}).options.initialBaud, 9600);
  EXPECT_TRUE(parse({"-b9600"}).options.initialBaudGiven);
  EXPECT_EQ(parse({"-b460800"}).options.programmingBaud, 460800);
  EXPECT_EQ(parse({"-r230400", "-b9600"}).options.programmingBaud, 230400);
  EXPECT_EQ(parse({"-b9600", "-r921600"}).options.programmingBaud, 921600);
  EXPECT_EQ(parse({"-r", "128000"}).options.programmingBaud, 128000);
}

TEST(CommandLine, ValueComesFromTheRestOrTheNextArgumentAndEndsTheGroup) {
  Parsed joined = parse({"-u7"});
  Parsed separate = parse({"-u", "7"});
  ASSERT_TRUE(joined.ok);
  ASSERT_TRUE(separate.ok);
  EXPECT_EQ(joined.options.unitId, 7);
  EXPECT_EQ(separate.options.unitId, 7);
  EXPECT_TRUE(separate.options.unitIdGiven);
  // Letters after a value belong to it: -u5y reads 5 and y is not an option.
  Parsed tail = parse({"-iu5y"});
  ASSERT_TRUE(tail.ok);
  EXPECT_EQ(tail.options.unitId, 5);
  EXPECT_TRUE(tail.options.interrogate);
  EXPECT_FALSE(tail.options.yesToPrompts);
  // The next argument is taken as the value even when it looks like an option.
  Parsed taken = parse({"-u", "-y"});
  ASSERT_TRUE(taken.ok);
  EXPECT_FALSE(taken.options.yesToPrompts);
  EXPECT_EQ(taken.options.unitId, 0);
}

// Numbers beyond a field's range stop at its nearest value: -u300 must not address unit 44.
TEST(CommandLine, NumbersOutOfRangeStopAtTheFieldsLimit) {
  EXPECT_EQ(parse({"-u300"}).options.unitId, 255);
  EXPECT_EQ(parse({"-u-1"}).options.unitId, 0);
  EXPECT_EQ(parse({"-r99999999999999999999"}).options.programmingBaud, 2147483647);
  EXPECT_EQ(parse({"-b-99999999999"}).options.initialBaud, -2147483647 - 1);
  EXPECT_EQ(parse({"COM65541"}).options.port, 65535);
  EXPECT_EQ(parse({"99999"}).options.port, 65535);
}

TEST(CommandLine, ValueLetterWithNothingAfterItIsWrong) {
  EXPECT_FALSE(parse({"-u"}).ok);
  EXPECT_FALSE(parse({"-i", "-b"}).ok);
  EXPECT_FALSE(parse({"-R"}).ok);
}

TEST(CommandLine, ParityTakesOnlyZeroOrOne) {
  EXPECT_EQ(parse({"-p1"}).options.parity, 1);
  EXPECT_EQ(parse({"-p1", "-p0"}).options.parity, 0);
  EXPECT_TRUE(parse({"-p", "1"}).ok);
  EXPECT_FALSE(parse({"-p2"}).ok);
  EXPECT_FALSE(parse({"-p01"}).ok);
  EXPECT_FALSE(parse({"-p", "x"}).ok);
}

TEST(CommandLine, UnknownLetterIsWrong) {
  EXPECT_FALSE(parse({"-q"}).ok);
  EXPECT_FALSE(parse({"-iq"}).ok);
  EXPECT_FALSE(parse({"/?"}).ok);
}

TEST(CommandLine, NumbersSkipBlanksTakeOneMinusAndStopAtANonDigit) {
  EXPECT_EQ(parse({"-b", " \t9600baud"}).options.initialBaud, 9600);
  EXPECT_EQ(parse({"-b-5"}).options.initialBaud, -5);
  EXPECT_EQ(parse({"-b-5"}).options.programmingBaud, 115200);
  EXPECT_EQ(parse({"-bfast"}).options.initialBaud, 0);
}

TEST(CommandLine, PortFromComPrefixOrDigits) {
  EXPECT_EQ(parse({"COM5"}).options.port, 5);
  EXPECT_EQ(parse({"com12"}).options.port, 12);
  EXPECT_EQ(parse({"5"}).options.port, 5);
  // COMX is a port argument without digits: port 0, and no file.
  Parsed comx = parse({"COMX"});
  EXPECT_EQ(comx.options.port, 0);
  EXPECT_TRUE(comx.options.parameterFile.empty());
  // Three characters are not enough for a port: it is a file name.
  Parsed com = parse({"COM"});
  EXPECT_EQ(com.options.port, 0);
  EXPECT_EQ(com.options.parameterFile, "COM");
  EXPECT_EQ(parse({"5a"}).options.parameterFile, "5a");
}

TEST(CommandLine, LaterValuesWin) {
  Parsed p = parse({"COM3", "first.ini", "7", "second.ini"});
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.options.port, 7);
  EXPECT_EQ(p.options.parameterFile, "second.ini");
}

TEST(CommandLine, AbsolutePathIsAFileNameNotAnOptionGroup) {
  Parsed p = parse({"/home/station/unit.ini", "/iy"});
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.options.parameterFile, "/home/station/unit.ini");
  EXPECT_TRUE(p.options.interrogate);
  EXPECT_TRUE(p.options.yesToPrompts);
}

TEST(CommandLine, FileAtTheRootIsAFileNameWhenItExists) {
  RunOptions options;
  const FileExists exists = [](const std::string& path) { return path == "/batch.ini"; };
  ASSERT_TRUE(ParseCommandLine({"/batch.ini", "/b9600"}, options, exists));
  EXPECT_EQ(options.parameterFile, "/batch.ini");
  EXPECT_EQ(options.initialBaud, 9600);
}

TEST(CommandLine, FileNamedBeforeAFaultIsKept) {
  Parsed p = parse({"station.ini", "-z", "other.ini"});
  EXPECT_FALSE(p.ok);
  EXPECT_EQ(p.options.parameterFile, "station.ini");
}

}  // namespace
}  // namespace kl
