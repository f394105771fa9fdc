// `kestrelink -i` as a user runs it against simulated units on a pseudo-terminal.
#include <filesystem>

#include "e2e_fixture.h"

namespace kl::test {
namespace {

using InterrogationRun = EndToEnd;

// What a ZS4 transmitter (sim/scenarios/zs4.scn) shows about itself. The last line's end is
// written only when more output follows.
const std::vector<std::string> kTransmitterBlock = {
    "   Unit Type       : ZS4 Transmitter\r\n",
    "   Card            : c659r1A1\r\n",
    "   Software        : v6.10r40\r\n",
    "   Serial No       : 590007\r\n",
    "   Build time      : 2026-03-02 14:00:00\r\n",
    "   Build increment : 6\r\n",
    "   Modbus Address  : 14\r\n",
    "   Boot loader     : v4 r25\r\n",
    "   MCU Type        : LPC4337",
};

std::vector<std::string> Joined(std::vector<std::string> first, const std::vector<std::string>& then) {
  first.insert(first.end(), then.begin(), then.end());
  return first;
}

TEST_F(InterrogationRun, ScanFindsTheUnitShowsItAndRemembersThePort) {
  const std::string port = startSimulator("zs4.scn").port();
  ASSERT_FALSE(port.empty());
  // Ports 1 and 2 name absent devices: the scan passes over them without a word.
  const RunResult result =
      run({"-i", "-y"}, {{"KESTRELINK_PORTMAP", portMap({{1, dir.file("absent-1")}, {2, dir.file("absent-2")}, {3, port}})}});

  EXPECT_EQ(result.exitCode, 0) << result.console;
  EXPECT_TRUE(InOrder(result.console,
                      Joined({"Kestrelink 6.10r57\r\n", "   LogFile         : " + shown("bin/LogFiles/"),
                              "COM3 opened\r\n", "-- interrogating unit\r\n"},
                             kTransmitterBlock)));
  EXPECT_EQ(result.console.find("COM1"), std::string::npos) << result.console;
  EXPECT_EQ(result.console.find("COM2"), std::string::npos);
  // A single unit has no network: no list, no remote blocks, and it is not restarted.
  EXPECT_EQ(result.console.find("Balvanta Unit"), std::string::npos);
  EXPECT_EQ(result.log.find("RPC: Reset"), std::string::npos);
  EXPECT_EQ(rememberedPort(), "3");
  // The closing steps ran: no stop, no pause with -y, the port's lock released.
  EXPECT_EQ(result.console.find("-- stopped"), std::string::npos);
  EXPECT_EQ(result.console.find("Press Enter"), std::string::npos);
  EXPECT_TRUE(result.log.ends_with("\r\n"));
}

// What a Linux user types first: the device itself (a pseudo-terminal here, /dev/ttyUSB0 on a
// station), by its path or by its name under /dev. It is opened as named, and called by that
// name and the COM number the port map gives it, or else one of its own.
TEST_F(InterrogationRun, APortNamedByItsDeviceIsOpenedAsNamed) {
  if (target.underWine()) GTEST_SKIP() << "device paths name ports on Linux";
  const std::string port = startSimulator("zs4.scn").port();
  ASSERT_FALSE(port.empty());
  ASSERT_TRUE(port.starts_with("/dev/"));
  struct Row {
    const char* name;
    std::string argument;
    std::string portMap;
    std::string opened;
  };
  const Row rows[] = {
      {"its path", port, "", port + " (COM100) opened\r\n"},
      {"its name under /dev", port.substr(5), "", port + " (COM100) opened\r\n"},
      {"its path, mapped", port, portMap({{7, port}}), port + " (COM7) opened\r\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const RunResult result = run({"-i", "-y", row.argument}, {{"KESTRELINK_PORTMAP", row.portMap}});
    EXPECT_EQ(result.exitCode, 0) << result.console;
    EXPECT_TRUE(InOrder(result.console, Joined({row.opened, "-- interrogating unit\r\n"}, kTransmitterBlock)))
        << result.console;
    EXPECT_NE(result.log.find(": " + row.opened), std::string::npos) << result.log;
    EXPECT_FALSE(std::filesystem::exists(dir.file(row.argument))) << "no parameter file was made";
  }
}

// The operator types the port at the prompt on a terminal: the digits show as typed, and
// Backspace (DEL from a Linux terminal) takes one back.
TEST_F(InterrogationRun, ThePortTypedAtThePromptShowsAndBackspaceTakesADigitBack) {
  if (target.underWine()) GTEST_SKIP() << "a controlling terminal is POSIX's";
  const std::string port = startSimulator("zs4.scn").port();
  ASSERT_FALSE(port.empty());
  Terminal terminal;
  ASSERT_FALSE(terminal.slave().empty());
  // No port the search tries names a device: the unit is only where the operator says.
  std::string map;
  for (int number = 1; number <= 99; ++number) map += std::to_string(number) + "=;";
  map += "333=" + port;
  auto child = start({"-i", "-y"}, {{"KESTRELINK_PORTMAP", map}}, terminal.slave());
  const std::string prompt = "Please enter COM port number (1,2,3...): ";
  ASSERT_TRUE(child->waitForOutput(prompt, 60000)) << child->output();
  terminal.type("334");
  ASSERT_TRUE(child->waitForOutput(prompt + "334", 10000)) << child->output();
  terminal.type("\x7f" "3\r");
  EXPECT_EQ(child->wait(60000), 0) << child->output();
  EXPECT_TRUE(InOrder(child->output(), Joined({prompt + "334\b \b3\r\n", "COM333 opened\r\n", "-- interrogating unit\r\n"},
                                              kTransmitterBlock)))
      << child->output();
}

TEST_F(InterrogationRun, NextRunFindsTheUnitAtTheRememberedPortWithoutScanning) {
  const std::string port = startSimulator("zs4.scn").port();
  ASSERT_FALSE(port.empty());
  const RunResult first = run({"-i", "-y"}, {{"KESTRELINK_PORTMAP", portMap({{1, dir.file("absent")}, {3, port}})}});
  ASSERT_EQ(first.exitCode, 0) << first.console;
  ASSERT_EQ(rememberedPort(), "3");

  // Now port 1 leads to the unit as well: a scan would find it there first.
  const RunResult second = run({"-i", "-y", "-d"}, {{"KESTRELINK_PORTMAP", portMap({{1, port}, {3, port}})}});
  EXPECT_EQ(second.exitCode, 0) << second.console;
  EXPECT_TRUE(InOrder(second.console, Joined({"COM3 loaded from registry\r\n", "COM3 opened\r\n",
                                              "-- interrogating unit\r\n"},
                                             kTransmitterBlock)));
  EXPECT_EQ(second.console.find("COM1"), std::string::npos) << second.console;
  EXPECT_EQ(second.log.find("COM1"), std::string::npos);
  EXPECT_EQ(rememberedPort(), "3");
}

TEST_F(InterrogationRun, RememberedPortWithoutTheUnitGivesWayToTheScan) {
  const std::string port = startSimulator("zs4.scn").port();
  ASSERT_FALSE(port.empty());
  rememberPort("5");
  const RunResult result = run(
      {"-i", "-y"}, {{"KESTRELINK_PORTMAP", portMap({{1, dir.file("absent-1")}, {2, port}, {5, dir.file("absent-5")}})}});

  EXPECT_EQ(result.exitCode, 0) << result.console;
  // The remembered port is tried first and reported missing; the scan then finds the unit.
  EXPECT_TRUE(InOrder(result.console, Joined({"COM5 is not present on this computer\r\n", "COM2 opened\r\n",
                                              "-- interrogating unit\r\n"},
                                             kTransmitterBlock)));
  EXPECT_EQ(rememberedPort(), "2");
}

TEST_F(InterrogationRun, DisplayShowsItselfAndEveryUnitOnItsNetwork) {
  const std::string port = startSimulator("display-network.scn").port();
  ASSERT_FALSE(port.empty());
  const RunResult result = run({"-i", "-y"}, {{"BALVANTAPORTLIST", "COM5"}, {"KESTRELINK_PORTMAP", portMap({{5, port}})}});

  EXPECT_EQ(result.exitCode, 0) << result.console;
  EXPECT_TRUE(InOrder(result.console, {
                                          "COM5 opened\r\n",
                                          "-- interrogating unit\r\n",
                                          "   Unit Type       : ZA4/ZB4 Display\r\n",
                                          "   Card            : c653r1A2\r\n",
                                          "   Software        : v6.10r40\r\n",
                                          "   Product         : QV63\r\n",
                                          "   Serial No       : 530100\r\n",
                                          "   Information     : Silo weigh station\r\n",
                                          "   Modbus Address  : 4\r\n",
                                          "   MCU Type        : LPC4337\r\n",
                                          "Balvanta Unit(s) found: 2 7\r\n",
                                          "Balvanta Unit: 2\r\n",
                                          "   Unit Type       : ZS4 Transmitter\r\n",
                                          "   Serial No       : 590101\r\n",
                                          "   Information     : Silo 1 load cells\r\n",
                                          "   Modbus Address  : 2\r\n",
                                          "Balvanta Unit: 7\r\n",
                                          "   Unit Type       : ZC3 Remote I/O Unit\r\n",
                                          "   Card            : c649r2B1\r\n",
                                          "   Software        : v6.08r05\r\n",
                                          "   Serial No       : 490102\r\n",
                                          "   Modbus Address  : 7\r\n",
                                          "   Boot loader     : v3 r16\r\n",
                                          "   MCU Type        : LPC1768",
                                      }));
  EXPECT_TRUE(result.console.ends_with("   MCU Type        : LPC1768" + lastLineEnd()))
      << "the last unit's block ends the run";
  // The display showed itself in one call: it is neither rebooted nor restarted.
  EXPECT_EQ(result.log.find("RPC: GotoBootLoader"), std::string::npos);
  EXPECT_EQ(result.log.find("RPC: Reset"), std::string::npos);
  // The remote units were read through the display, each in its own calls.
  EXPECT_EQ(LinesWith(result.log, "RPC: ReadUnitInfo").size(), 3u) << result.log;
}

TEST_F(InterrogationRun, UnitInItsBootLoaderIsReadThroughItAndRestarted) {
  const std::string port = startSimulator("boot-loader.scn").port();
  ASSERT_FALSE(port.empty());
  const RunResult result = run({"-i", "-y"}, {{"BALVANTAPORTLIST", "7"}, {"KESTRELINK_PORTMAP", portMap({{7, port}})}});

  EXPECT_EQ(result.exitCode, 0) << result.console;
  EXPECT_TRUE(InOrder(result.console, {
                                          "COM7 opened\r\n",
                                          "-- interrogating unit\r\n",
                                          "Balvanta Unit: 1\r\n",
                                          "   Unit Type       : ZS3 Transmitter\r\n",
                                          "   Card            : c648r5\r\n",
                                          "   Boot loader     : v3 r16\r\n",
                                          "   MCU Type        : LPC1768",
                                      }));
  // Not running its application, it has no serial number to show. Already in its boot loader,
  // it is neither rebooted nor power-cycled.
  EXPECT_EQ(result.console.find("Serial No"), std::string::npos);
  EXPECT_EQ(result.log.find("RPC: GotoBootLoader"), std::string::npos);
  EXPECT_EQ(result.console.find("please turn the unit power off"), std::string::npos);
  EXPECT_TRUE(InOrder(result.log, {"-- interrogating unit", "Balvanta Unit: 1", "InitialiseForUpdate: Rebooting unit",
                                   "RPC: ReadBootLoaderRelease", "   Unit Type       : ZS3 Transmitter",
                                   "RPC: Reset\r\n", "COMPLETE\r\n"}));
  // With no application in flash the restart ends in the boot loader again.
  EXPECT_TRUE(simulatorLogsAfter("PC -> unit at 9600: 01 45 10 32", "zs3: boot loader", 5000)) << simulatorLog();
}

TEST_F(InterrogationRun, OlderSoftwareIsReadThroughTheBootLoaderAndTheUnitRestarted) {
  const std::string port = startSimulatorWith(
                               "[unit zs3]\ncard = 648\ncircuit = 5\nversion = 5.90\nserial = 480100\n"
                               "modbus-address = 6\nboot-loader = C3\nboot-release = 16\nboot-baud = 9600\n")
                               .port();
  ASSERT_FALSE(port.empty());
  const RunResult result = run({"-i", "-y"}, {{"BALVANTAPORTLIST", "8"}, {"KESTRELINK_PORTMAP", portMap({{8, port}})}});

  EXPECT_EQ(result.exitCode, 0) << result.console;
  EXPECT_TRUE(InOrder(result.console, {
                                          "COM8 opened\r\n",
                                          "-- interrogating unit\r\n",
                                          "Balvanta Unit: 6\r\n",
                                          "   Unit Type       : ZS3 Transmitter\r\n",
                                          "   Card            : c648r5\r\n",
                                          "   Software        : v5.90r00\r\n",
                                          "   Boot loader     : v3 r16\r\n",
                                          "   MCU Type        : LPC1768",
                                      }));
  // Software before 6.00 cannot describe itself in one call: the boot loader is asked, then
  // the unit is restarted into its application.
  EXPECT_TRUE(InOrder(result.log, {"-- interrogating unit", "Balvanta Unit: 6", "RPC: GotoBootLoader",
                                   "RPC: ReadBootLoaderRelease", "   Unit Type       : ZS3 Transmitter",
                                   "RPC: Reset\r\n", "COMPLETE\r\n"}));
  EXPECT_EQ(result.log.find("RPC: ReadAdvancedInfo"), std::string::npos);
  // The restart request (01 45 10 32) brings the unit back into its application.
  EXPECT_TRUE(simulatorLogsAfter("PC -> unit at 9600: 01 45 10 32", "zs3: application", 5000)) << simulatorLog();
}

TEST_F(InterrogationRun, BlankChipOutsideManufacturingModeCannotBeUpdated) {
  const std::string port = startSimulator("blank-lpc1768.scn").port();
  ASSERT_FALSE(port.empty());
  const RunResult result = run({"-i", "-y"}, {{"BALVANTAPORTLIST", "4"}, {"KESTRELINK_PORTMAP", portMap({{4, port}})}});

  EXPECT_EQ(result.exitCode, 1) << result.console;
  EXPECT_TRUE(InOrder(result.console, {"COM4 opened\r\n", "-- LPC chip firmware found\r\n",
                                       "Fatal Error: Cannot update this unit (blank mcu)\r\n\r\n-- stopped"}));
  EXPECT_EQ(result.console.find("-- interrogating unit"), std::string::npos);
  EXPECT_NE(result.log.find("Fatal Error: Cannot update this unit (blank mcu)\r\n"), std::string::npos);
}

TEST_F(InterrogationRun, InterrogationWinsOverLogExtraction) {
  const std::string port = startSimulator("za3-lpc2478.scn").port();
  ASSERT_FALSE(port.empty());
  const RunResult result =
      run({"-i", "-x", "-y"}, {{"BALVANTAPORTLIST", "6"}, {"KESTRELINK_PORTMAP", portMap({{6, port}})}});

  EXPECT_EQ(result.exitCode, 0) << result.console;
  EXPECT_TRUE(InOrder(result.console, {"-- interrogating unit\r\n", "   Unit Type       : ZA3/ZB3 Display\r\n",
                                       "   Serial No       : 470112\r\n"}));
  // The unit holds debug logs, yet none were asked for or copied.
  EXPECT_EQ(result.log.find("GetDebugLogs"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.file("bin/BalvantaLogFiles")));
  EXPECT_FALSE(std::filesystem::exists(target.stateFolder() + "/BalvantaLogFiles"));
}

TEST_F(InterrogationRun, LogHoldsEveryCallWhileTheConsoleShowsWhatTheChannelsAllow) {
  const std::string port = startSimulator("zs4.scn").port();
  ASSERT_FALSE(port.empty());
  const std::map<std::string, std::string> environment = {{"BALVANTAPORTLIST", "3"},
                                                          {"KESTRELINK_PORTMAP", portMap({{3, port}})}};

  // Silent: only Always reaches the console; the log has everything.
  const RunResult silent = run({"-i", "-y", "-s"}, environment);
  ASSERT_EQ(silent.exitCode, 0) << silent.console;
  EXPECT_TRUE(silent.console.ends_with("COM3 opened\r\n-- interrogating unit" + lastLineEnd())) << silent.console;
  EXPECT_EQ(silent.console.find("Unit Type"), std::string::npos) << silent.console;
  EXPECT_EQ(silent.console.find("RPC:"), std::string::npos);
  EXPECT_EQ(silent.console.find("<SEND"), std::string::npos);
  EXPECT_NE(silent.log.find("   Unit Type       : ZS4 Transmitter\r\n"), std::string::npos);
  for (const char* call : {"RPC: ReadUnitInfo", "RPC: ReadExtendedInfo", "RPC: ReadAdvancedInfo",
                           "RPC: ListRemoteUnits"})
    EXPECT_NE(silent.log.find(call), std::string::npos) << call;
  EXPECT_NE(silent.log.find("<SEND ("), std::string::npos) << "frames are traced in the log";

  // Debug: the calls show, the frames do not.
  const RunResult debug = run({"-i", "-y", "-d"}, environment);
  ASSERT_EQ(debug.exitCode, 0) << debug.console;
  EXPECT_NE(debug.console.find("RPC: ReadAdvancedInfo\r\n"), std::string::npos) << debug.console;
  EXPECT_EQ(debug.console.find("<SEND"), std::string::npos);

  // Detailed debug: the console shows every frame too, and the log holds the same calls.
  const RunResult detailed = run({"-i", "-y", "-dd"}, environment);
  ASSERT_EQ(detailed.exitCode, 0) << detailed.console;
  EXPECT_NE(detailed.console.find("<SEND ("), std::string::npos) << detailed.console;
  const std::vector<std::string> consoleCalls = LinesWith(detailed.console, "RPC:");
  EXPECT_FALSE(consoleCalls.empty());
  EXPECT_EQ(LinesWith(detailed.log, "RPC:"), consoleCalls);
  EXPECT_EQ(LinesWith(detailed.log, "<SEND ("), LinesWith(detailed.console, "<SEND ("));
}

}  // namespace
}  // namespace kl::test
