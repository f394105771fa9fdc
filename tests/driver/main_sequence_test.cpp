#include <gtest/gtest.h>

#include "driver/command_line.h"
#include "driver/fatal_error.h"
#include "driver/session_log.h"
#include "driver_fixture.h"

namespace kl::test {
namespace {

using MainSequence = DriverTest;

constexpr const char* kUsageStart =
    "Usage: Kestrelink [options] [Filename] [[COM]<port>]\r\n"
    "\r\n"
    "-i           Interrogate unit and show information, do not update\r\n";
constexpr const char* kUsageEnd =
    "[filename]   Parameter file\r\n"
    "\r\n"
    "port         1, 2, 3, 4...\r\n"
    "\r\n"
    "default setting for auto-search are 19200 baud, even parity.\r\n";

TEST_F(MainSequence, WrongCommandLineShowsUsageOnTheConsoleOnlyAndExitsWithOne) {
  sim.console.pressKeys("\r");
  EXPECT_EQ(run({"-q"}), 1);
  const std::string& out = console();
  EXPECT_EQ(out.rfind("Kestrelink 6.10r57\r\n", 0), 0u) << out;
  EXPECT_NE(out.find(std::string("\r\n") + kUsageStart), std::string::npos) << out;
  EXPECT_NE(out.find(std::string(kUsageEnd) + "Fatal Error: Incorrect arguments\r\nPress Enter key to continue"),
            std::string::npos)
      << out;
  // The clean-up was not armed yet, and no log was opened.
  EXPECT_EQ(out.find("-- stopped"), std::string::npos);
  EXPECT_TRUE(logNames().empty());
}

// What a Linux user types first: the usage text or the version, and a plain end (no pause, no
// log, no Message). Any other wrong argument stays wrong.
TEST_F(MainSequence, HelpAndVersionAreAnsweredAndEndWithZero) {
  struct Row {
    std::vector<std::string> arguments;
    int exitCode;
    bool usage;
  };
  const Row rows[] = {
      {{"--help"}, 0, true},          {{"-h"}, 0, true},           {{"-?"}, 0, true},
      {{"-i", "station.ini", "-h"}, 0, true}, {{"--version"}, 0, false}, {{"-H"}, 1, true},
      {{"/?"}, 1, true},              {{"-help"}, 1, true},
  };
  writeFile(dir.file("station.ini"), "Ostrevan=1\r\n");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.arguments.back());
    sim.console.clearOutput();
    sim.console.pressKeys("\r");
    std::vector<std::string> arguments = row.arguments;
    for (std::string& argument : arguments)
      if (argument == "station.ini") argument = dir.file(argument);
    Session fresh{sim.platform};
    int returned = -1;
    const int code = exitCodeOf([&] {
      arguments.insert(arguments.begin(), "kestrelink");
      returned = RunKestrelink(fresh, arguments);
      sim.process.exit(returned);
    });
    EXPECT_EQ(code, row.exitCode);
    fresh.out.flushConsole();
    const std::string& out = sim.console.output();
    EXPECT_EQ(out.rfind("Kestrelink 6.10r57", 0), 0u) << out;
    EXPECT_EQ(out.find(kUsageStart) != std::string::npos, row.usage) << out;
    EXPECT_EQ(out.find("Press Enter") == std::string::npos, row.exitCode == 0) << out;
    if (row.exitCode == 0) {
      EXPECT_EQ(out.find("Fatal Error"), std::string::npos) << out;
    }
    if (!row.usage) {
      EXPECT_EQ(out, "Kestrelink 6.10r57");
    }
    sim.console.dropKeys();
  }
  EXPECT_TRUE(logNames().empty());
  EXPECT_EQ(readFile(dir.file("station.ini")), "Ostrevan=1\r\n");
}

// A device named on the command line is the port, opened as named: never a parameter file,
// which would take a Message and be replaced by a regular file.
TEST_F(MainSequence, AnArgumentNamingADeviceIsThePort) {
  const std::string device = dir.file("ttyUSB0");
  sim.serial.deviceNumbers[device] = 33;
  EXPECT_EQ(run({"-y", "-i", device}), 1);
  EXPECT_TRUE(session.options.parameterFile.empty());
  EXPECT_EQ(session.portSettings.portNumber, 33);
  EXPECT_FALSE(std::filesystem::exists(device));
  EXPECT_NE(console().find(device + " (COM33) is not present on this computer\r\n"), std::string::npos) << console();
  EXPECT_NE(logText().find(device + " (COM33) is not present on this computer\r\n"), std::string::npos);
  // A later port argument wins, and is named as before.
  RunOptions options;
  const PortDevice bind = [&](const std::string& argument) { return sim.serial.bindDevice(argument); };
  ASSERT_TRUE(ParseCommandLine({device, "COM7"}, options, {}, bind));
  EXPECT_EQ(options.port, 7);
  EXPECT_FALSE(options.portIsDevice);
  EXPECT_TRUE(options.parameterFile.empty());
}

TEST_F(MainSequence, WrongCommandLineAfterAParameterFileExitsWithTwoAndStoresTheMessage) {
  const std::string ini = dir.file("station.ini");
  writeFile(ini, "Ostrevan=0\r\n");
  EXPECT_EQ(run({"-y", ini, "-p2"}), 2);
  EXPECT_EQ(readFile(ini), "Ostrevan=0\r\nMessage=Incorrect arguments\r\n");
  EXPECT_TRUE(logNames().empty());
}

TEST_F(MainSequence, RunWithoutAUnitEndsWithTheConnectFailureAfterTheLogIsWritten) {
  EXPECT_EQ(run({"-y", "-s"}), 1);
  const std::string& out = console();
  const std::string logPath = logDirectory() + "/2026-12-07 10-00-00.log";
  EXPECT_NE(out.find("   LogFile         : "), std::string::npos);
  EXPECT_NE(out.find("Fatal Error: Unable to connect to Balvanta unit\r\n\r\n-- stopped"), std::string::npos) << out;
  EXPECT_EQ(out.find("Press Enter"), std::string::npos);
  const std::string log = readFile(logPath);
  const std::string header = "kestrelink -y -s \r\n000000: COMPUTERNAME=\r\n000000: USERNAME=\r\n";
  EXPECT_EQ(log.substr(0, header.size()), header);
  // Every port is searched, then the operator is asked; at the end of input the answer is 0.
  EXPECT_NE(log.find("000000: COM99 is not present on this computer\r\n000000: -- cannot find a Balvanta unit\r\n"
                     "000000: -- COM0 entered by user\r\n"),
            std::string::npos);
  const std::string tail = "000000: Fatal Error: Unable to connect to Balvanta unit\r\n000000: \r\n";
  ASSERT_GE(log.size(), tail.size());
  EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
}

TEST_F(MainSequence, FatalErrorWithAParameterFileExitsWithTwo) {
  const std::string ini = dir.file("station.ini");
  writeFile(ini, "Message=old\r\nMessage=older\r\n");
  EXPECT_EQ(run({"-y", ini}), 2);
    // Every line of the key is replaced.
  EXPECT_EQ(readFile(ini), "Message=Unable to connect to Balvanta unit\r\nMessage=Unable to connect to Balvanta unit\r\n");
}

TEST_F(MainSequence, ManufacturingModeFromTheParameterFileSkipsTheClosingPause) {
  const std::string ini = dir.file("station.ini");
  writeFile(ini, "Ostrevan=True\r\n");
  EXPECT_EQ(run({ini}), 2);
  EXPECT_TRUE(session.run.manufacturingMode);
  EXPECT_EQ(console().find("Press Enter"), std::string::npos);
}

TEST_F(MainSequence, ParameterFileWithoutTheManufacturingKeyKeepsTheClosingPause) {
  const std::string ini = dir.file("station.ini");
  writeFile(ini, "Program=1\r\n");
  sim.console.pressKeys(" ");
  EXPECT_EQ(run({ini}), 2);
  EXPECT_FALSE(session.run.manufacturingMode);
  EXPECT_NE(console().find("Fatal Error: Unable to connect to Balvanta unit\r\nPress Enter key to continue"),
            std::string::npos);
  EXPECT_FALSE(sim.console.keyAvailable());
}

TEST_F(MainSequence, LogHeaderCarriesArgumentsAndTheMachineNames) {
  sim.environment.variables["COMPUTERNAME"] = "BENCH7";
  sim.environment.variables["USERNAME"] = "tech";
  EXPECT_EQ(run({"-y", "COM4"}), 1);
  EXPECT_EQ(logText().rfind("kestrelink -y COM4 \r\n000000: COMPUTERNAME=BENCH7\r\n000000: USERNAME=tech\r\n", 0), 0u);
}

TEST_F(MainSequence, PacketTraceIsRaisedForTheRunAndStopSignalsAreInstalled) {
  EXPECT_EQ(run({"-y"}), 1);
  EXPECT_EQ(session.out.packetTraceLevel, 1);
  EXPECT_TRUE(sim.process.stopSignalsInstalled);
}

TEST_F(MainSequence, StopHookRunsOnceAndClosesTheLog) {
  sim.console.pressKeys("\r");
  EXPECT_EQ(run({}), 1);  // the fatal error, then the pause, then the exit
  EXPECT_EQ(sim.process.exitRoutineRuns, 1);
  const std::string& out = console();
  EXPECT_EQ(out.find("-- stopped"), out.rfind("-- stopped"));
  EXPECT_FALSE(session.stopHookArmed);
}

// A stop key or signal in a station's run leaves an outcome the station can read, never an
// earlier run's; an outcome already stored stays, and other runs keep their files as they are.
TEST_F(MainSequence, AStopLeavesTheStationItsOutcome) {
  struct Row {
    const char* name;
    bool manufacturing;
    bool settled;
    const char* message;
  };
  const Row rows[] = {
      {"a station's run", true, false, "Message=Stopped before the end of the run\r\n"},
      {"after its outcome was stored", true, true, "Message=an earlier failure\r\n"},
      {"a technician's run with a file", false, false, "Message=an earlier failure\r\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string ini = dir.file("station.ini");
    writeFile(ini, "Ostrevan=1\r\nMessage=an earlier failure\r\n");
    Session station{sim.platform};
    station.givenOptions().parameterFile = ini;
    station.run.manufacturingMode = row.manufacturing;
    station.outcomeSettled = row.settled;
    sim.process.setExitRoutine([&station] { RunStopHook(station); });
    station.stopHookArmed = true;
    EXPECT_EQ(exitCodeOf([&] { sim.process.exit(1); }), 1);
    EXPECT_EQ(readFile(ini), std::string("Ostrevan=1\r\n") + row.message);
  }
}

TEST_F(MainSequence, StopHookWritesStoppedIntoAnOpenLog) {
  // An interrupt in the middle of the run: the log is still open when the exit comes.
  sim.process.setExitRoutine([this] { RunStopHook(session); });
  session.arguments = {"kestrelink"};
  OpenSessionLog(session);
  session.stopHookArmed = true;
  const std::string lockFile = dir.file("lockBalvantaCommPort3");
  writeFile(lockFile, "");
  session.portSettings.lockFilePath = lockFile;
  EXPECT_EQ(exitCodeOf([&] { sim.process.exit(1); }), 1);
  EXPECT_FALSE(session.out.log().isOpen());
  EXPECT_FALSE(std::filesystem::exists(lockFile));
  EXPECT_EQ(console().find("Press Enter"), std::string::npos);
  const std::string log = logText();
  EXPECT_NE(log.find("000000: \r\n000000: -- stopped\r\n000000: "), std::string::npos) << log;
  EXPECT_TRUE(log.ends_with("\r\n000000: \r\n")) << log;
  // A second exit does not run it again.
  EXPECT_EQ(exitCodeOf([&] { sim.process.exit(1); }), 1);
  EXPECT_EQ(sim.process.exitRoutineRuns, 1);
}

}  // namespace
}  // namespace kl::test
