#include <gtest/gtest.h>

#include "driver/console_input.h"
#include "driver/diagnostics.h"
#include "driver/fatal_error.h"
#include "driver/runtime_errors.h"
#include "driver/session_log.h"
#include "transport/transfer_report.h"
#include "driver_fixture.h"

namespace kl::test {
namespace {

using ConsoleInput = DriverTest;

TEST_F(ConsoleInput, AskYesNoWithYesToPromptsWritesNothingAndReadsNoKey) {
  session.givenOptions().yesToPrompts = true;
  sim.console.pressKeys("n");
  EXPECT_TRUE(AskYesNo(session, "Update all units?"));
  EXPECT_EQ(console(), "");
  EXPECT_TRUE(sim.console.keyAvailable());
}

TEST_F(ConsoleInput, AskYesNoTakesOnlyYAsYes) {
  sim.console.pressKeys("YynJ");
  EXPECT_TRUE(AskYesNo(session, "Q1"));
  EXPECT_TRUE(AskYesNo(session, "Q2"));
  EXPECT_FALSE(AskYesNo(session, "Q3"));
  EXPECT_FALSE(AskYesNo(session, "Q4"));
  EXPECT_FALSE(AskYesNo(session, "Q5"));  // input has ended
  EXPECT_EQ(console(), "Q1 (y/n)\r\nQ2 (y/n)\r\nQ3 (y/n)\r\nQ4 (y/n)\r\nQ5 (y/n)\r\n");
}

TEST_F(ConsoleInput, PauseWaitsForOneKeyUnlessSkipped) {
  sim.console.pressKeys("ab");
  PauseForKey(session);
  EXPECT_EQ(console(), "Press Enter key to continue\r\n");
  session.run.manufacturingMode = true;
  PauseForKey(session);
  session.run.manufacturingMode = false;
  session.givenOptions().yesToPrompts = true;
  PauseForKey(session);
  EXPECT_EQ(sim.console.readKey(), 'b');
  EXPECT_EQ(console(), "Press Enter key to continue\r\n");
}

TEST_F(ConsoleInput, EscapePressedConsumesOnlyAWaitingKey) {
  EXPECT_FALSE(EscapePressed(session));
  sim.console.pressKeys("x\x1b");
  EXPECT_FALSE(EscapePressed(session));  // x is consumed
  EXPECT_TRUE(EscapePressed(session));
  EXPECT_FALSE(sim.console.keyAvailable());
  sim.console.pressKeys("\x1b", 5000000);  // pressed later: not waiting yet
  EXPECT_FALSE(EscapePressed(session));
  EXPECT_TRUE(sim.console.readKey() == 27);
}

TEST_F(ConsoleInput, ReadConsoleNumberReadsLikeTheCommandLine) {
  sim.console.pressKeys(" \t12\r-7x-\r4");
  EXPECT_EQ(ReadConsoleNumber(session), 12);
  EXPECT_EQ(ReadConsoleNumber(session), -7);
  EXPECT_EQ(ReadConsoleNumber(session), 0);   // "-" then Enter
  EXPECT_EQ(ReadConsoleNumber(session), 4);   // ends with the input
  EXPECT_EQ(ReadConsoleNumber(session), 0);
  EXPECT_EQ(console(), "12-7-4");             // what was taken shows as typed; blanks do not
  sim.console.pressKeys("99999999999\r");
  EXPECT_EQ(ReadConsoleNumber(session), INT32_MAX);
}

// Backspace (8) and DEL (127, what Linux terminals send for it) take back the last key shown;
// with nothing typed they do nothing, and never end the entry.
TEST_F(ConsoleInput, ReadConsoleNumberTakesBackAKeyOnBackspace) {
  struct Row {
    const char* keys;
    int32_t number;
    const char* shown;
  };
  const Row rows[] = {
      {"33\b\r", 3, "33\b \b"},
      {"33\x7f\r", 3, "33\b \b"},
      {"334\x7f\x7f" "5\r", 35, "334\b \b\b \b5"},
      {"\x7f\b7\r", 7, "7"},
      {"-\x7f 8\r", 8, "-\b \b8"},
      {"4\x7f\x7f\x7f", 0, "4\b \b"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.keys);
    sim.console.clearOutput();
    sim.console.pressKeys(row.keys);
    EXPECT_EQ(ReadConsoleNumber(session), row.number);
    EXPECT_EQ(console(), row.shown);
    sim.console.dropKeys();
  }
}

TEST_F(ConsoleInput, FatalErrorBeforeTheLogReachesOnlyTheConsole) {
  sim.console.pressKeys("\r");
  EXPECT_EQ(exitCodeOf([&] { FatalError(session, "Aborted"); }), 1);
  EXPECT_EQ(console(), "Fatal Error: Aborted\r\nPress Enter key to continue\r\n");
  EXPECT_TRUE(logNames().empty());
}

// Progress dots and the marks of a repeated packet stand on a line that has not ended.
TEST_F(ConsoleInput, FatalErrorAfterProgressStartsOnALineOfItsOwn) {
  session.givenOptions().yesToPrompts = true;
  ShowProgress(session, 4, 60);
  session.out(Channel::Console) << "!";
  EXPECT_EQ(exitCodeOf([&] { FatalError(session, "Unable to write new software"); }), 1);
  EXPECT_EQ(console(), "....!\r\nFatal Error: Unable to write new software");
  sim.console.clearOutput();
  // A line that has ended gets no blank line before the error.
  session.out(Channel::Console) << "Downloading programmer" << crlf;
  EXPECT_EQ(exitCodeOf([&] { FatalError(session, "Aborted"); }), 1);
  EXPECT_EQ(console(), "\r\nDownloading programmer\r\nFatal Error: Aborted");
}

TEST_F(ConsoleInput, FatalErrorWritesTheLogAndClosesIt) {
  session.givenOptions().yesToPrompts = true;
  session.arguments = {"kestrelink"};
  OpenSessionLog(session);
  EXPECT_EQ(exitCodeOf([&] { FatalError(session, "Unable to change baudrate"); }), 1);
  EXPECT_FALSE(session.out.log().isOpen());
  EXPECT_NE(logText().find("000000: Fatal Error: Unable to change baudrate\r\n000000: \r\n"), std::string::npos);
}

TEST_F(ConsoleInput, DiagnosticsReachTheLogOnlyWhileTheLevelIsRaised) {
  session.arguments = {"kestrelink"};
  OpenSessionLog(session);
  sim.console.clearOutput();
  ReportDiagnostic(session, "Error: dropped");
  ++session.out.diagnosticsLevel;
  ReportDiagnostic(session, "Error: logged");
  session.givenOptions().debug = true;
  ReportDiagnostic(session, "Error: shown");
  CloseSessionLog(session);
  const std::string log = logText();
  EXPECT_EQ(log.find("dropped"), std::string::npos);
  EXPECT_NE(log.find("Error: logged\r\n"), std::string::npos);
  EXPECT_NE(log.find("Error: shown\r\n"), std::string::npos);
  EXPECT_EQ(console().find("logged"), std::string::npos);
  EXPECT_NE(console().find("Error: shown"), std::string::npos);
}

TEST_F(ConsoleInput, DebugTraceLineHasStampThreadAndALimit) {
  sim.clock.sleep(2500);  // 2 500 000 us: the stamp is modulo 1 000 000
  sim.clock.sleep(1);
  DebugTrace(session, "WriteFile 12 bytes");
  ASSERT_EQ(sim.process.traces.size(), 1u);
  EXPECT_EQ(sim.process.traces[0], "501000 TID=1 WriteFile 12 bytes\r\n");
  DebugTrace(session, std::string(400, 'z'));
  EXPECT_EQ(sim.process.traces[1].size(), 255u);
  EXPECT_TRUE(sim.process.traces[1].ends_with("zz\r\n"));
}

TEST_F(ConsoleInput, RuntimeCheckWaitsForAKeyEvenWithYesAndExitsWithOne) {
  session.givenOptions().yesToPrompts = true;
  sim.console.pressKeys("k");
  EXPECT_EQ(exitCodeOf([&] { ReportRuntimeCheck(session, RuntimeCheck::IndexOutOfBounds, "PacketLink", 212); }), 1);
  // The pending line end goes out before the key is read.
  EXPECT_EQ(console(), "\r\nArray index out of bounds:PacketLink:212\r\n");
  EXPECT_FALSE(sim.console.keyAvailable());
  sim.console.clearOutput();
  EXPECT_EQ(exitCodeOf([&] { ReportRuntimeError(session, "Heap corrupt", "DynamicStrings", 9); }), 1);
  EXPECT_EQ(console(), "\r\nHeap corrupt:DynamicStrings:9\r\n");
}

}  // namespace
}  // namespace kl::test
