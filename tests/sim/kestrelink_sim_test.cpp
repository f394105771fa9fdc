// kestrelink-sim as a user runs it: a standard LPC ISP host tool recognises the blank chip
// over the pseudo-terminal, the program reports malformed scenarios by line, and what a run
// writes stays for the next run and can be written out.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

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
  kl::test::writeFile(dir.file("commands"),
                      "off\ncycle io\nspin\non nobody\nfault io fault-lose-ack-percent = 30\nfault io speed = 1\n"
                      "line 20 0\nline 5\nquit\n");
  const std::string command = quoted(simBinary()) + " --commands --log " + quoted(dir.file("log")) + " " +
                              quoted(std::string(KESTRELINK_SOURCE_DIR) + "/sim/scenarios/display-network.scn") +
                              " < " + quoted(dir.file("commands")) + " > /dev/null";
  EXPECT_EQ(std::system(command.c_str()), 0);
  const std::string log = kl::test::readFile(dir.file("log"));
  EXPECT_NE(log.find("display: power off"), std::string::npos) << log;
  EXPECT_NE(log.find("io: power off"), std::string::npos) << log;
  EXPECT_NE(log.find("unknown command 'spin' (off, on, cycle, fault, line, dump-flash, dump-file, quit)"), std::string::npos) << log;
  EXPECT_NE(log.find("io: fault-lose-ack-percent = 30"), std::string::npos) << log;
  EXPECT_NE(log.find("command:1: 'speed' is not a fault setting"), std::string::npos) << log;
  EXPECT_NE(log.find("no unit named 'nobody'"), std::string::npos) << log;
  EXPECT_NE(log.find("line: 20 bit flips and 0 dropped bytes per million"), std::string::npos) << log;
  EXPECT_NE(log.find("usage: line FLIPS DROPS"), std::string::npos) << log;
}

}  // namespace

namespace {

using Bytes = std::vector<uint8_t>;

Bytes framed(Bytes payload, bool lengthHeader = false) {
  uint16_t crc = 0xFFFF;
  for (uint8_t b : payload) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
  }
  const size_t count = payload.size() + 2;
  payload.push_back(static_cast<uint8_t>(crc & 0xFF));
  payload.push_back(static_cast<uint8_t>(crc >> 8));
  if (lengthHeader) payload.insert(payload.begin(), {0xF1, static_cast<uint8_t>(count)});
  return payload;
}
std::string octal(const Bytes& bytes) {
  std::string out;
  char text[8];
  for (uint8_t b : bytes) {
    std::snprintf(text, sizeof text, "\\%03o", b);
    out += text;
  }
  return out;
}
std::string hex(const std::vector<Bytes>& frames) {
  std::string out = " ";
  char text[8];
  for (const Bytes& f : frames) {
    for (uint8_t b : f) {
      std::snprintf(text, sizeof text, "%02x ", b);
      out += text;
    }
  }
  return out;
}

// Two program runs against one simulator: what the first writes to a flash drive, the second
// reads back; at the end the simulator writes the unit's flash and the file out.
TEST(KestrelinkSim, KeepsWhatWasWrittenForItsLifeAndDumpsIt) {
  ASSERT_TRUE(std::filesystem::exists(simBinary())) << simBinary();
  kl::test::TempDir dir;
  kl::test::writeFile(dir.file("units.scn"),
                      "[unit zc3]\ncard = 649\nmodbus-address = 21\nsoftware = bundle software-07.bin\n");
  const Bytes create = {21, 0x45, 0x10, 0x29, 1, 0x05, 0x00};
  const Bytes write = {21, 0x47, '2', 1, 0x05, 0x00, 0, 0, 0, 0, 3, 'a', 'b', 'c'};
  const Bytes close = {21, 0x45, 0x10, 0x2C, 1, 0x05, 0x00};
  const Bytes read = {21, 0x45, 0x10, 0x27, 1, 0x05, 0x00, 0, 0, 0, 0, 128};
  auto session = [&](const std::vector<Bytes>& requests, const std::string& reply) {
    std::string s = "exec 3<>\"$path\" && stty -F \"$path\" 115200 raw -echo";
    for (const Bytes& r : requests) s += " && printf '" + octal(r) + "' >&3 && sleep 0.2";
    return s + " && timeout 1 dd bs=1 count=200 <&3 2>/dev/null | od -An -tx1 | tr -s ' \\n' '  ' > " + reply +
           "; exec 3>&-; ";
  };
  const std::string script =
      "cd " + quoted(dir.path()) + " && mkfifo out commands && { " + quoted(simBinary()) +
      " --commands --dump-flash zc3 flash.bin units.scn < commands > out 2> sim.err & pid=$!; } && exec 4>commands && " +
      "read -r path < out && " +
      session({framed(create), framed(write, true), framed(close)}, "first") + session({framed(read)}, "second") +
      "echo 'dump-file zc3 1:0x0500 file.bin' >&4; echo quit >&4; exec 4>&-; wait $pid";
  kl::test::writeFile(dir.file("run.sh"), script);
  ASSERT_EQ(std::system(("sh " + quoted(dir.file("run.sh"))).c_str()), 0) << kl::test::readFile(dir.file("sim.err"));

  EXPECT_EQ(kl::test::readFile(dir.file("first")),
            hex({framed({21, 0x45, 0x10, 0x29, 1, 0x05, 0x00, 0}),
                 framed({21, 0x47, '3', 1, 0x05, 0x00, 0, 0, 0, 0, 0, 0}, true), framed({21, 0x45, 0x10, 0x2C, 1, 0x05, 0x00, 0})}));
  EXPECT_EQ(kl::test::readFile(dir.file("second")),
            hex({framed({21, 0x45, 0x10, 0x27, 1, 0x05, 0x00, 0, 0, 0, 0, 3, 'a', 'b', 'c'})}));
  EXPECT_EQ(kl::test::readFile(dir.file("file.bin")), "abc");
  // The flash image holds the software where its records put it (LPC1768 flash starts at 0).
  const std::string flash = kl::test::readFile(dir.file("flash.bin"));
  ASSERT_EQ(flash.size(), 0x80000u);
  const std::string image = kl::test::readFile(
      (std::filesystem::path(KESTRELINK_BINARY).parent_path() / "bundle" / "synthetic" / "software-07.bin").string());
  size_t checked = 0;
  for (size_t at = 8; at + 4 <= image.size();) {
    auto be = [&](size_t i, int n) {
      uint32_t v = 0;
      for (int k = 0; k < n; ++k) v = v << 8 | static_cast<uint8_t>(image[i + static_cast<size_t>(k)]);
      return v;
    };
    const uint32_t address = be(at, 4);
    if (address == 0xFFFFFFFF) break;
    const uint32_t count = be(at + 4, 2);
    ASSERT_EQ(flash.substr(address, count), image.substr(at + 6, count)) << "record at " << address;
    checked += count;
    at += 6 + count;
  }
  EXPECT_GT(checked, 170000u);
}

}  // namespace
