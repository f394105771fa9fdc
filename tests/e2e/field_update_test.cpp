// The field update as a technician runs it: the built program against kestrelink-sim over a
// pseudo-terminal, then an interrogation showing the new release; and the maker's tool (the
// stand-in) started from a run on a real terminal, which it gets in its normal mode.
#include <termios.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <string>

#include "e2e_fixture.h"

namespace kl::test {
namespace {

class FieldUpdateEndToEnd : public EndToEnd {};

TEST_F(FieldUpdateEndToEnd, UpdatesAZs3AndASecondRunShowsTheNewRelease) {
  const std::string port = startSimulator("zs3-lpc1768.scn").port();
  ASSERT_FALSE(port.empty());
  const std::map<std::string, std::string> environment{{"KESTRELINK_PORTMAP", portMap({{2, port}})}};

  const RunResult update = run({"-y", "-r921600", "COM2"}, environment);
  ASSERT_EQ(update.exitCode, 0) << update.console;
  EXPECT_TRUE(InOrder(update.console, {"   Software        : v6.05r02\r\n", "-- balvanta software will be updated to 6.10r57\r\n",
                                       "Downloading programmer...\r\n",
                                       "Updating Balvanta software (do not turn off the power!)...\r\n",
                                       "Updating Balvanta file 19714 bytes\r\n", "restarting unit...\r\n",
                                       "Success: all operations are complete"}));
  // The log holds every step, the Debug lines included.
  EXPECT_TRUE(InOrder(update.log, {": FieldUpdateUnit\r\n", ": Keep unit from driving port\r\n",
                                   ": InitialiseForUpdate: Rebooting unit\r\n",
                                   ": -- selected flash programmer for ZS3 LPC1768 LARGE C3\r\n",
                                   ": -- updating balvanta software because it is different than the current version\r\n",
                                   ": -- balvanta software will be updated to 6.10r57\r\n", ": Downloading programmer...\r\n",
                                   ": Reading backup fields\r\n", ": Writing to MCU flash\r\n", ": RPC: ResetProgrammer\r\n",
                                   ": RPC: Preserve manufacturing fields\r\n", ": -- language file: $01E0(30027)\r\n",
                                   ": -- Balvanta file 01:01E0 is up to date\r\n", ": -- language file: $01E1(19714)\r\n",
                                   ": Updating Balvanta file 01:01E1 19714 bytes\r\n", ": -- language file: $01EA(599)\r\n",
                                   ": restarting unit...\r\n",
                                   ": Pausing to bypass boot loader and unit startup\r\n", ": Reconnecting to unit 11\r\n",
                                   ": Success: all operations are complete\r\n"}))
      << update.log;

  const RunResult shown = run({"-i", "-y", "COM2"}, environment);
  ASSERT_EQ(shown.exitCode, 0) << shown.console;
  EXPECT_NE(shown.console.find("   Software        : v6.10r57\r\n"), std::string::npos) << shown.console;
}

TEST_F(FieldUpdateEndToEnd, TheToolGetsTheTerminalInItsNormalModeAndTheFreePort) {
  if (target.underWine()) GTEST_SKIP() << "a controlling terminal is POSIX's, and the stand-in tool a POSIX program";
  const std::string port = startSimulator("blank-lpc1768.scn").port();
  ASSERT_FALSE(port.empty());
  const std::string locks = dir.file("locks");
  std::filesystem::create_directories(locks);
  const std::string ini = dir.file("station.ini");
  for (const char* toolExit : {"0", "3"}) {
    SCOPED_TRACE(toolExit);
    writeFile(ini, std::string("Ostrevan=1\r\nQuorranEXE=") + QUORRAN_STAND_IN + "\r\n");
    std::filesystem::remove(dir.file("tool.txt"));
    Terminal terminal;
    ASSERT_FALSE(terminal.slave().empty());
    auto child = start({ini, "COM3"},
                       {{"KESTRELINK_PORTMAP", portMap({{3, port}})},
                        {"BALVANTALOCKDIR", locks},
                        {"STANDIN_RECORD", dir.file("tool.txt")},
                        {"STANDIN_PORT_LOCK", locks + "/lockBalvantaCommPort3"},
                        {"STANDIN_EXIT", toolExit}},
                       terminal.slave());
    if (toolExit[0] == '0') {
      // The run goes on looking for the chip, reading keys raw again, until it is stopped.
      ASSERT_TRUE(child->waitForOutput("please turn the unit power off and on now", 30000)) << child->output();
      EXPECT_FALSE(terminal.localModes() & ICANON);
      child->interrupt();
      EXPECT_EQ(child->wait(10000), 1) << child->output();
    } else {
      EXPECT_EQ(child->wait(30000), 3) << child->output();
      EXPECT_NE(child->output().find("Quorran returned an error: 3\r\n"), std::string::npos) << child->output();
    }
    EXPECT_EQ(readFile(dir.file("tool.txt")),
              "arg: COM3\narg: -l\narg: -s\narg: -y\nterminal: normal\nport-lock: absent\n");
    EXPECT_TRUE(terminal.localModes() & ICANON) << "given back as found";
    // A chip synchronised once stays in its boot protocol until it is switched off and on.
    simulator->powerCycle();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  }
}

}  // namespace
}  // namespace kl::test
