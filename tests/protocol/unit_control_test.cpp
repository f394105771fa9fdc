// Control calls against the simulated units, and against a scripted flash programmer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <utility>

#include "protocol/identification.h"
#include "protocol/unit_control.h"
#include "support/installation_fixture.h"

namespace kl {
namespace {

using test::Framed;
using ::testing::Contains;
using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

class Control : public test::InstallationTest {
 protected:
  Unit& unit() { return s().unit; }
  void application(uint8_t address = 0xF0, int16_t version = 610) {
    unit().mode = modeBalvantaSoftware;
    unit().address = address;
    unit().softwareVersion = version;
    s().currentUnitId = 0xF0;
  }
  void programmer(uint8_t mcuType = mcu::LPC2478) {
    useScriptedPeer();
    unit().mode = modeFlashProgrammer;
    unit().address = 1;
    unit().mcuType = mcuType;
    unit().bootLoaderRelease = 24;
  }
};

TEST_F(Control, GetModbusAddressOfASimulatedDisplay) {
  loadScenarioFile("za3-lpc2478.scn");
  application();
  uint8_t address = 0;
  ASSERT_TRUE(GetModbusAddress(s(), unit(), address));
  EXPECT_EQ(address, 2);
  EXPECT_EQ(consoleLines(), (Lines{"RPC: GetModbusAddress", "COMPLETE: ModbusAddress=2 (02)"}));
}

TEST_F(Control, GetModbusAddressBytesOnTheLineAndItsFailure) {
  useScriptedPeer();
  answerRequests(6, Bytes{0x05, 0x45, 0x10, 0x1B, 0x07});
  application(5);
  uint8_t address = 0;
  ASSERT_TRUE(GetModbusAddress(s(), unit(), address));
  EXPECT_EQ(address, 7);
  EXPECT_EQ(takeSentByPc(), Framed({0x05, 0x45, 0x10, 0x1B}));
  EXPECT_EQ(consoleLines(), (Lines{"RPC: GetModbusAddress", "COMPLETE: ModbusAddress=7 (07)"}));
  clearConsole();
  answerRequests(6, Bytes{});
  address = 0;
  EXPECT_FALSE(GetModbusAddress(s(), unit(), address));
  EXPECT_EQ(address, 0);
  EXPECT_EQ(takeSentByPc().size(), 4u * 6u);
  EXPECT_EQ(consoleLines().back(), "FAILED");
}

TEST_F(Control, IsVComPortOnlyAsksNewApplications) {
  loadScenarioFile("za4.scn");
  application(0xF0, 605);
  EXPECT_FALSE(IsVComPort(s(), unit()));
  unit().mode = modeBalvantaBootLoader;
  unit().softwareVersion = 610;
  EXPECT_FALSE(IsVComPort(s(), unit()));
  EXPECT_TRUE(line.sentByPc().empty());
  application(0xF0, 606);
  EXPECT_TRUE(IsVComPort(s(), unit()));
  EXPECT_EQ(consoleLines(), (Lines{"RPC: IsVComPort", "COMPLETE: Result=1"}));
}

TEST_F(Control, IsVComPortOfARealPort) {
  loadScenarioFile("za3-lpc2478.scn");
  application();
  EXPECT_FALSE(IsVComPort(s(), unit()));
  EXPECT_EQ(takeSentByPc(), Framed({0xF0, 0x45, 0x10, 0x1C}));
  EXPECT_EQ(consoleLines(), (Lines{"RPC: IsVComPort", "COMPLETE: Result=0"}));
}

class BufferSize : public Control {
 protected:
  void bootLoader(int release) {
    loadScenario("[unit u]\ncard = 648\ncircuit = 5\nstate = boot-loader\nboot-loader = C3\nbuffer-size = 2048\n"
                 "boot-release = " +
                 std::to_string(release) + "\n");
    unit().mode = modeBalvantaBootLoader;
    unit().address = 1;
    unit().mcuType = mcu::LPC1768;
    unit().bootLoaderRelease = static_cast<uint8_t>(release);
    unit().bufferSize = 77;
  }
};

TEST_F(BufferSize, ReleaseNineIsNotAsked) {
  bootLoader(9);
  EXPECT_TRUE(GetBufferSize(s(), unit()));
  EXPECT_EQ(unit().bufferSize, 128);
  EXPECT_TRUE(line.sentByPc().empty());
}

TEST_F(BufferSize, ReleaseTenUsesTheOldCommand) {
  bootLoader(10);
  EXPECT_TRUE(GetBufferSize(s(), unit()));
  EXPECT_EQ(takeSentByPc(), Framed({0x01, 0x45, 0x10, 0x91}));
  EXPECT_EQ(unit().bufferSize, 2048);
  EXPECT_EQ(consoleLines(), (Lines{"RPC: GetBufferSize", "COMPLETE: Size=2048"}));
}

TEST_F(BufferSize, ReleaseElevenUsesTheNewCommand) {
  bootLoader(11);
  EXPECT_TRUE(GetBufferSize(s(), unit()));
  EXPECT_EQ(takeSentByPc(), Framed({0x01, 0x45, 0x10, 0x1F}));
  EXPECT_EQ(unit().bufferSize, 2048);
}

TEST_F(BufferSize, NotAskedWithOverlappedWritesOnH8sOrOfAnApplication) {
  bootLoader(16);
  s().overlappedActive = true;
  EXPECT_TRUE(GetBufferSize(s(), unit()));
  s().overlappedActive = false;
  unit().mcuType = mcu::H8S2145;
  EXPECT_TRUE(GetBufferSize(s(), unit()));
  unit().mcuType = mcu::LPC1768;
  unit().mode = modeBalvantaSoftware;
  EXPECT_TRUE(GetBufferSize(s(), unit()));
  EXPECT_EQ(unit().bufferSize, 128);
  EXPECT_TRUE(line.sentByPc().empty());
}

TEST_F(Control, BufferSizeOfAProgrammerAndTwoSilentFailures) {
  programmer();
  unit().bootLoaderRelease = 9;  // a programmer is asked whatever its boot loader's release
  answerRequests(6, Bytes{0x01, 0x45, 0x10, 0x91, 0x01, 0x00});
  EXPECT_TRUE(GetBufferSize(s(), unit()));
  EXPECT_EQ(unit().bufferSize, 256);
  clearConsole();
  answerRequests(6, Bytes{0x01, 0x45, 0x10, 0x1F, 0x01, 0x00});  // echoes the other command
  EXPECT_FALSE(GetBufferSize(s(), unit()));
  EXPECT_EQ(unit().bufferSize, 128);
  EXPECT_EQ(requestsReceived(6), 3u);
  EXPECT_THAT(consoleLines(), ::testing::Not(Contains("FAILED")));
}

TEST_F(Control, ProgrammerVersionAndConfiguration) {
  programmer();
  answerRequests(6, Bytes{0x01, 0x45, 0x10, 0x31, 0x03, 0x11});
  EXPECT_TRUE(GetProgrammerVersion(s(), unit()));
  EXPECT_EQ(unit().programmerVersion, 3);
  EXPECT_EQ(unit().programmerRelease, 0x11);
  EXPECT_EQ(takeSentByPc(), Framed({0x01, 0x45, 0x10, 0x31}));
  answerRequests(7, Bytes{0x01, 0x45, 0x10, 0x3B});
  peer.received.clear();
  EXPECT_TRUE(ConfigureProgrammer(s(), unit(), 1));
  EXPECT_EQ(takeSentByPc(), Framed({0x01, 0x45, 0x10, 0x3B, 0x01}));
  EXPECT_EQ(consoleLines(), (Lines{"RPC: GetProgrammerVersion", "COMPLETE", "RPC: ConfigureProgrammer", "COMPLETE"}));
  clearConsole();
  answerRequests(7, Bytes{});
  EXPECT_FALSE(ConfigureProgrammer(s(), unit(), 1));
  EXPECT_EQ(requestsReceived(7), 9u);
  EXPECT_EQ(consoleLines(), (Lines{"RPC: ConfigureProgrammer", "[NO DATA]", "[NO DATA]", "[NO DATA]", "[NO DATA]",
                                   "[NO DATA]", "[NO DATA]", "[NO DATA]", "[NO DATA]", "FAILED"}));
}

TEST_F(Control, EraseRangeOnLpcOnly) {
  programmer();
  answerRequests(14, Bytes{0x01, 0x45, 0x10, 0x35});
  EXPECT_TRUE(EraseRange(s(), unit(), 0x4000, 0x7FFFF));
  EXPECT_EQ(takeSentByPc(), Framed({0x01, 0x45, 0x10, 0x35, 0x00, 0x00, 0x40, 0x00, 0x00, 0x07, 0xFF, 0xFF}));
  EXPECT_EQ(consoleLines(), (Lines{"RPC: EraseRange", "COMPLETE"}));
  unit().mcuType = mcu::H8S2145;
  EXPECT_TRUE(EraseRange(s(), unit(), 0x4000, 0x7FFFF));
  EXPECT_TRUE(takeSentByPc().empty());
}

TEST_F(Control, EraseFmsNeedsItsSelectorEchoedAndAnLpc) {
  programmer();
  answerRequests(10, Bytes{0x01, 0x45, 0x10, 0x36, 0x01, 0x05});
  EXPECT_TRUE(EraseFMS(s(), unit(), 1));
  EXPECT_EQ(takeSentByPc(), Framed({0x01, 0x45, 0x10, 0x36, 0x01, 'F', 'M', 'S'}));
  EXPECT_EQ(consoleLines(), (Lines{"RPC: EraseFMS", "COMPLETE: Result=05"}));
  peer.received.clear();
  answerRequests(10, Bytes{0x01, 0x45, 0x10, 0x36, 0x02, 0x00});
  EXPECT_FALSE(EraseFMS(s(), unit(), 1));
  EXPECT_EQ(requestsReceived(10), 8u);
  EXPECT_EQ(consoleLines().back(), "FAILED");
  unit().mcuType = mcu::H8S2145;
  EXPECT_EQ(exitCodeOf([&] { EraseFMS(s(), unit(), 1); }), 1);
  EXPECT_THAT(consoleLines(), Contains("Fatal Error: Only supported on LPC chips"));
}

TEST_F(Control, ResetOfTheConnectedApplicationForgetsItsMode) {
  loadScenarioFile("za3-lpc2478.scn");
  application();
  EXPECT_TRUE(Reset(s(), unit()));
  EXPECT_EQ(unit().mode, modeUnknown);
  EXPECT_EQ(takeSentByPc(), Framed({0xF0, 0x45, 0x10, 0x32}));
  EXPECT_EQ(consoleLines(), (Lines{"RPC: Reset", "COMPLETE"}));
  advanceMs(5);
  EXPECT_EQ(portUnit().mode(), sim::UnitMode::BootLoader);  // restarting through its boot loader window
}

TEST_F(Control, ResetOfAUnitAtAnotherAddressKeepsItsMode) {
  loadScenarioFile("za3-lpc2478.scn");
  application(2);
  EXPECT_TRUE(Reset(s(), unit()));
  EXPECT_EQ(unit().mode, modeBalvantaSoftware);
}

TEST_F(Control, AnUnansweredResetAnnouncesEveryAttempt) {
  useScriptedPeer();
  application();
  EXPECT_FALSE(Reset(s(), unit()));
  Lines expected;
  for (int i = 0; i < 8; ++i) expected.insert(expected.end(), {"RPC: Reset", "[NO DATA]"});
  expected.push_back("FAILED");
  EXPECT_EQ(consoleLines(), expected);
  EXPECT_EQ(unit().mode, modeUnknown);
}

TEST_F(Control, ResetOfABootLoaderOrProgrammer) {
  loadScenarioFile("boot-loader.scn");
  unit().mode = modeBalvantaBootLoader;
  unit().address = 0xF0;
  EXPECT_TRUE(Reset(s(), unit()));
  EXPECT_EQ(takeSentByPc(), Framed({0x01, 0x45, 0x10, 0x32}));
  EXPECT_EQ(unit().mode, modeUnknown);
}

TEST_F(Control, AnUnansweredProgrammerResetKeepsTheModeAfterFourAttempts) {
  programmer();
  EXPECT_FALSE(Reset(s(), unit()));
  EXPECT_EQ(requestsReceived(6), 4u);
  EXPECT_EQ(unit().mode, modeFlashProgrammer);
  EXPECT_EQ(consoleLines().back(), "FAILED");
  clearConsole();
  unit().mode = modeBlankMcu;
  EXPECT_FALSE(Reset(s(), unit()));
  EXPECT_EQ(consoleLines(), (Lines{"Unknown unit mode"}));
}

TEST_F(Control, ResetSystemOnlyOfAnApplication) {
  loadScenarioFile("za3-lpc2478.scn");
  application(2);
  EXPECT_TRUE(ResetSystem(s(), unit()));
  EXPECT_EQ(takeSentByPc(), Framed({0x02, 0x45, 0x10, 0x18}));
  EXPECT_EQ(consoleLines(), (Lines{"RPC: ResetSystem", "COMPLETE"}));
  EXPECT_EQ(unit().mode, modeUnknown);
  EXPECT_EQ(exitCodeOf([&] { ResetSystem(s(), unit()); }), 1);
  EXPECT_THAT(consoleLines(), Contains("Fatal Error: Unable to restart system"));
}

TEST_F(Control, ListRemoteUnitsOfANetwork) {
  loadScenarioFile("display-network.scn");
  s().currentUnitId = 4;
  std::vector<uint8_t> ids{99};
  ASSERT_TRUE(ListRemoteUnits(s(), ids));
  EXPECT_EQ(ids, (std::vector<uint8_t>{2, 7}));
  EXPECT_EQ(takeSentByPc(), Framed({0x04, 0x45, 0x10, 0x17}));
  EXPECT_EQ(consoleLines(), (Lines{"RPC: ListRemoteUnits", "COMPLETE: 2 unit(s) found"}));
}

Bytes UnitList(int count) {
  Bytes reply{0xF0, 0x45, 0x10, 0x17, static_cast<uint8_t>(count)};
  for (int i = 0; i < count; ++i) reply.push_back(static_cast<uint8_t>(i + 1));
  return reply;
}

TEST_F(Control, ListRemoteUnitsTakesAHundredButNotMore) {
  useScriptedPeer();
  s().currentUnitId = 0xF0;
  answerRequests(6, UnitList(100));
  std::vector<uint8_t> ids;
  ASSERT_TRUE(ListRemoteUnits(s(), ids));
  EXPECT_EQ(ids.size(), 100u);
  EXPECT_EQ(ids.back(), 100);
  peer.received.clear();
  clearConsole();
  answerRequests(6, UnitList(101));
  ids = {5};
  EXPECT_FALSE(ListRemoteUnits(s(), ids));
  EXPECT_EQ(ids, (std::vector<uint8_t>{5}));
  EXPECT_EQ(requestsReceived(6), 8u);
  EXPECT_EQ(consoleLines().front(), "RPC: ListRemoteUnits");
  EXPECT_EQ(consoleLines().back(), "FAILED");
}

// A reply read in two steps whose head never comes costs one reply time-out an attempt, no less
// and no more: the rest is not waited for.
TEST_F(Control, AnUnansweredTwoStepCallWaitsOneTimeOutAnAttempt) {
  useScriptedPeer();
  s().currentUnitId = 0xF0;
  s().portSettings.replyTimeout = 100;
  const uint64_t start = nowMs();
  std::vector<uint8_t> ids;
  EXPECT_FALSE(ListRemoteUnits(s(), ids));
  EXPECT_EQ(requestsReceived(6), 8u);
  EXPECT_GE(nowMs() - start, 8u * 100u);
  EXPECT_LT(nowMs() - start, 8u * 150u);
}

TEST_F(Control, DebugLogsOfADisplay) {
  loadScenarioFile("za3-lpc2478.scn");
  application();
  std::vector<uint16_t> ids;
  ASSERT_TRUE(GetDebugLogs(s(), unit(), ids));
  EXPECT_EQ(ids, (std::vector<uint16_t>{0x0101, 0x0102}));
  EXPECT_EQ(takeSentByPc(), Framed({0xF0, 0x45, 0x10, 0x34}));
  EXPECT_EQ(consoleLines(), (Lines{"RPC: GetDebugLogs", "COMPLETE: 2 id(s) found"}));
  unit().mode = modeBalvantaBootLoader;
  EXPECT_FALSE(GetDebugLogs(s(), unit(), ids));
  EXPECT_TRUE(takeSentByPc().empty());
  // Four attempts, the last of them counting.
  for (const auto& [lost, answered] : {std::pair{"1 2 3", true}, std::pair{"1 2 3 4", false}}) {
    SCOPED_TRACE(lost);
    loadScenario(test::readFile(std::string(KESTRELINK_SOURCE_DIR) + "/sim/scenarios/za3-lpc2478.scn") +
                 "fault-lose-replies = " + lost + "\n");
    application();
    EXPECT_EQ(GetDebugLogs(s(), unit(), ids), answered);
  }
}

// Replies read in two steps find their echo past a stray byte, and take their count from
// the real reply: one request each, nothing lost.
TEST_F(Control, StrayByteBeforeATwoStepReplyIsSkipped) {
  loadScenario(
      "[unit display]\ncard = 653\ncircuit = 1\nmodbus-address = 4\ndebug-logs = 0x0101 0x0102\n"
      "network = t\nfault-stray-byte-percent = 100\n[unit t]\ncard = 659\ncircuit = 1\nmodbus-address = 2\n");
  application(4);
  s().currentUnitId = 4;
  const std::pair<const char*, std::function<bool()>> calls[] = {
      {"GetDebugLogs",
       [&] {
         std::vector<uint16_t> ids;
         return GetDebugLogs(s(), unit(), ids) && ids == std::vector<uint16_t>{0x0101, 0x0102};
       }},
      {"ListRemoteUnits",
       [&] {
         std::vector<uint8_t> ids;
         return ListRemoteUnits(s(), ids) && ids == std::vector<uint8_t>{2};
       }},
      {"ReadAdvancedInfo", [&] { return ReadAdvancedInfo(s(), unit()) && unit().cardNumber == 653; }},
  };
  for (const auto& [name, call] : calls) {
    SCOPED_TRACE(name);
    takeSentByPc();
    EXPECT_TRUE(call());
    EXPECT_EQ(takeSentByPc().size(), 6u);  // one request of four bytes and its CRC
    advanceMs(20);
  }
}

TEST_F(Control, MoreThanThirtyTwoDebugLogsEndTheCallAtOnce) {
  useScriptedPeer();
  application();
  s().givenOptions().debug = false;
  Bytes reply{0xF0, 0x45, 0x10, 0x34, 33};
  for (int i = 0; i < 33; ++i) reply.insert(reply.end(), {0x01, static_cast<uint8_t>(i)});
  answerRequests(6, reply);
  std::vector<uint16_t> ids;
  EXPECT_FALSE(GetDebugLogs(s(), unit(), ids));
  EXPECT_TRUE(ids.empty());
  EXPECT_EQ(requestsReceived(6), 1u);
  EXPECT_EQ(console(), "Too many file ids");
  // The abandoned reply is not taken for the next call's.
  answerRequests(6, Bytes{0xF0, 0x45, 0x10, 0x34, 1, 0x02, 0x01});
  advanceMs(20);
  EXPECT_TRUE(GetDebugLogs(s(), unit(), ids));
  EXPECT_EQ(ids, (std::vector<uint16_t>{0x0201}));
}

TEST_F(Control, WaitForUnitPollsUntilTheApplicationIsReady) {
  // A cold start: the boot loader's window first, then the application starts up.
  loadScenario("[unit u]\ncard = 648\ncircuit = 5\nversion = 6.08\nstate = power-on\nboot-window-ms = 500\n"
               "ready-delay-ms = 1000\n");
  application(0xF0, 608);
  s().givenOptions().debug = false;
  WaitForUnit(s(), unit());
  const std::string text = console();
  ASSERT_TRUE(text.starts_with("Waiting for unit...\r\n.")) << text;
  EXPECT_EQ(text.find_first_not_of('.', 21), std::string::npos) << text;  // dots only; the line end is held back
  EXPECT_GE(nowMs(), 1500u);
  EXPECT_LT(nowMs(), 1500u + 400u);
  const Bytes poll = Framed({0xF0, 0x45, 0x10, 0x33});
  const Bytes sent = takeSentByPc();
  ASSERT_EQ(sent.size() % poll.size(), 0u);
  EXPECT_EQ(text.size() - 21, sent.size() / poll.size() - 1);  // a dot for every poll but the last
  EXPECT_TRUE(std::equal(poll.begin(), poll.end(), sent.end() - static_cast<std::ptrdiff_t>(poll.size())));
}

TEST_F(Control, WaitForUnitGivesUpAfterTenSeconds) {
  useScriptedPeer();
  application();
  openLog();
  clearConsole();
  s().givenOptions().debug = false;
  // Answered "not ready" twice, then silence.
  answerRequests(6, [](size_t request) -> Bytes {
    if (request < 2) return {0xF0, 0x45, 0x10, 0x33, 0x00};
    return {};
  });
  const uint64_t start = nowMs();
  WaitForUnit(s(), unit());
  const uint64_t elapsed = nowMs() - start;
  EXPECT_GE(elapsed, 10001u);
  EXPECT_LT(elapsed, 10001u + 400u);
  const std::string text = console();
  ASSERT_TRUE(text.starts_with("Waiting for unit...\r\n")) << text;
  EXPECT_EQ(text.find_first_not_of('.', 21), std::string::npos) << text;
  EXPECT_EQ(text.size() - 21, requestsReceived(6));  // one dot for every poll
  EXPECT_GT(requestsReceived(6), 30u);
  // On Debug, which here reaches the log only.
  EXPECT_NE(logText().find(".FAILED\r\n"), std::string::npos);
}

TEST_F(Control, WaitForUnitOnlyForNewApplications) {
  useScriptedPeer();
  answerRequests(6, Bytes{0xF0, 0x45, 0x10, 0x33, 0x01});  // ready at once
  struct Case {
    UnitMode mode;
    int16_t version;
    bool waits;
  };
  for (const Case& c : {Case{modeBalvantaSoftware, 599, false}, Case{modeBalvantaBootLoader, 610, false},
                        Case{modeBalvantaSoftware, 600, true}}) {
    SCOPED_TRACE(c.version);
    clearConsole();
    peer.received.clear();
    application(0xF0, c.version);
    unit().mode = c.mode;
    WaitForUnit(s(), unit());
    EXPECT_EQ(console().starts_with("Waiting for unit..."), c.waits);
    EXPECT_EQ(requestsReceived(6), c.waits ? 1u : 0u);
  }
}

TEST_F(Control, UpdateFileSupportByTheFirstRuleThatApplies) {
  struct Case {
    UnitMode mode;
    int16_t version;
    uint8_t release, mcuType, unitFlags;
    bool accepted;
    const char* line;
  };
  const Case cases[] = {
      {modeBalvantaBootLoader, 610, 24, 3, 1, false, "-- Balvanta software does not support update files"},
      {modeBalvantaSoftware, 599, 24, 3, 1, false, "-- Balvanta software does not support update files"},
      {modeBalvantaSoftware, 600, 13, 2, 1, false,
       "-- Boot loader does not support update files (needs boot loader release 14 or later)"},
      {modeBalvantaSoftware, 600, 14, 7, 1, true, "COMPLETE: unit will accept update files"},
      {modeBalvantaSoftware, 600, 14, 3, 0xFE, false, "-- Unit reports that it will not accept update files"},
      {modeBalvantaSoftware, 610, 24, 2, 1, false, "-- MCU does not support software update files"},
      {modeBalvantaSoftware, 610, 24, 8, 1, false, "-- MCU does not support software update files"},
  };
  for (const Case& c : cases) {
    clearConsole();
    unit().mode = c.mode;
    unit().softwareVersion = c.version;
    unit().bootLoaderRelease = c.release;
    unit().mcuType = c.mcuType;
    unit().unitFlags = c.unitFlags;
    EXPECT_EQ(CheckUpdateFileSupport(s(), unit()), c.accepted) << c.line;
    EXPECT_EQ(consoleLines(), (Lines{"Checking if unit will accept update files", c.line}));
  }
}

TEST(BootLoaderAge, OlderThanTheCarriedReleaseBelowTwentyFour) {
  Unit unit;
  unit.bootLoaderRelease = 23;
  EXPECT_TRUE(BootLoaderOlderThanNew(unit));
  unit.bootLoaderRelease = 24;
  EXPECT_FALSE(BootLoaderOlderThanNew(unit));
}

}  // namespace
}  // namespace kl
