// kestrelink-sim as a user runs it: a standard LPC ISP host tool recognises the blank chip
// over the pseudo-terminal, and the program reports malformed scenarios by line.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace {

std::string simBinary() {
  return (std::filesystem::path(KESTRELINK_BINARY).parent_path() / "kestrelink-sim").string();
}

std::string quoted(const std::string& text) { return "'" + text + "'"; }

bool lpc21ispInstalled() { return std::system("command -v lpc21isp >/dev/null 2>&1") == 0; }

TEST(KestrelinkSim, LpcIspToolIdentifiesTheBlankChip) {
  if (!lpc21ispInstalled()) GTEST_SKIP() << "lpc21isp is not installed";
  ASSERT_TRUE(std::filesystem::exists(simBinary())) << simBinary();
  kl::test::TempDir dir;
  const std::string link = dir.file("port");
  const std::string scenario = std::string(KESTRELINK_SOURCE_DIR) + "/sim/scenarios/blank-lpc1768.scn";
  // The simulator prints its terminal's path once it is ready; reading that line through a
  // fifo waits for it without polling.
  const std::string script =
      "cd " + quoted(dir.path()) + " && mkfifo out && { " + quoted(simBinary()) + " --link " + quoted(link) +
      " --log sim.log " + quoted(scenario) + " > out 2> sim.err & pid=$!; } && read -r path < out && " +
      "echo \"$path\" > path && readlink " + quoted(link) + " > link; " +
      "timeout 60 lpc21isp -detectonly " + quoted(link) + " 115200 12000 > lpc.out 2>&1; echo $? > lpc.rc; " +
      "kill -TERM $pid; wait $pid";
  ASSERT_EQ(std::system(("sh -c " + quoted(script)).c_str()), 0);

  const std::string lpc = kl::test::readFile(dir.file("lpc.out"));
  EXPECT_NE(lpc.find("LPC1768"), std::string::npos) << lpc;
  EXPECT_NE(lpc.find("0x26013F37"), std::string::npos) << lpc;
  EXPECT_EQ(kl::test::readFile(dir.file("lpc.rc")), "0\n") << lpc;
  EXPECT_EQ(kl::test::readFile(dir.file("link")), kl::test::readFile(dir.file("path")));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link))) << "the link is removed at exit";
  const std::string log = kl::test::readFile(dir.file("sim.log"));
  EXPECT_NE(log.find("PC -> unit at 115200: 3F"), std::string::npos) << log;
  EXPECT_NE(log.find("stopped by signal 15"), std::string::npos) << log;
}

TEST(KestrelinkSim, MalformedScenarioIsReportedWithItsLine) {
  ASSERT_TRUE(std::filesystem::exists(simBinary())) << simBinary();
  kl::test::TempDir dir;
  kl::test::writeFile(dir.file("bad.scn"), "[unit a]\ncard = 649\nspeed = 9600\n");
  const std::string command = quoted(simBinary()) + " " + quoted(dir.file("bad.scn")) + " > " +
                              quoted(dir.file("out")) + " 2> " + quoted(dir.file("err"));
  const int status = std::system(command.c_str());
  EXPECT_NE(status, 0);
  EXPECT_EQ(kl::test::readFile(dir.file("err")),
            "kestrelink-sim: " + dir.file("bad.scn") + ":3: unknown setting 'speed'\n");
  EXPECT_EQ(kl::test::readFile(dir.file("out")), "");
}

}  // namespace

namespace {

// Runs the simulator on `scenario`, opens its terminal at `baud`, writes `request` (octal
// escapes for printf) and returns the reply bytes as hexadecimal text.
std::string exchangeOverPty(const std::string& scenario, int baud, const std::string& request,
                            const std::string& extra = "") {
  kl::test::TempDir dir;
  const std::string script =
      "cd " + quoted(dir.path()) + " && mkfifo out && { " + quoted(simBinary()) + " " + extra + " " +
      quoted(std::string(KESTRELINK_SOURCE_DIR) + "/sim/scenarios/" + scenario) +
      " > out 2> sim.err & pid=$!; } && read -r path < out && exec 3<>\"$path\" && " +
      "stty -F \"$path\" " + std::to_string(baud) + " raw -echo && printf '" + request + "' >&3 && " +
      "timeout 1 dd bs=1 count=64 <&3 2>/dev/null | od -An -tx1 | tr -s ' \\n' '  ' > reply; " +
      "exec 3>&-; kill -TERM $pid; wait $pid";
  kl::test::writeFile(dir.file("run.sh"), script);
  if (std::system(("sh " + quoted(dir.file("run.sh"))).c_str()) != 0) return "simulator did not end cleanly";
  return kl::test::readFile(dir.file("reply"));
}

TEST(KestrelinkSim, UnitAnswersOnlyAtItsOwnSpeed) {
  ASSERT_TRUE(std::filesystem::exists(simBinary())) << simBinary();
  // Ping F0 with its CRC.
  EXPECT_EQ(exchangeOverPty("za4.scn", 115200, "\\360\\101\\205\\200"), " f0 42 c5 81 ");
  EXPECT_EQ(exchangeOverPty("za4.scn", 9600, "\\360\\101\\205\\200"), "");
}

}  // namespace

namespace {

TEST(KestrelinkSim, OperatorCommandsSwitchThePower) {
  ASSERT_TRUE(std::filesystem::exists(simBinary())) << simBinary();
  kl::test::TempDir dir;
  kl::test::writeFile(dir.file("commands"), "off\ncycle io\nspin\non nobody\nquit\n");
  const std::string command = quoted(simBinary()) + " --commands --log " + quoted(dir.file("log")) + " " +
                              quoted(std::string(KESTRELINK_SOURCE_DIR) + "/sim/scenarios/display-network.scn") +
                              " < " + quoted(dir.file("commands")) + " > /dev/null";
  EXPECT_EQ(std::system(command.c_str()), 0);
  const std::string log = kl::test::readFile(dir.file("log"));
  EXPECT_NE(log.find("display: power off"), std::string::npos) << log;
  EXPECT_NE(log.find("io: power off"), std::string::npos) << log;
  EXPECT_NE(log.find("unknown command 'spin' (off, on, cycle, quit)"), std::string::npos) << log;
  EXPECT_NE(log.find("no unit named 'nobody'"), std::string::npos) << log;
}

}  // namespace
