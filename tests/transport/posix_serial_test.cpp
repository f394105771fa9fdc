#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <set>

#include <memory>
#include <thread>

#include "update/session.h"
#include "platform/posix/posix_factories.h"
#include "platform/posix/posix_port_map.h"
#include "platform/sim/sim_platform.h"
#include "pty_pair.h"
#include "support/temp_dir.h"

namespace kl::test {
namespace {

TEST(PortMap, DefaultTableAndOverrides) {
  EXPECT_EQ(DevicePathForPort(1, ""), "/dev/ttyS0");
  EXPECT_EQ(DevicePathForPort(32, ""), "/dev/ttyS31");
  EXPECT_EQ(DevicePathForPort(33, ""), "/dev/ttyUSB0");
  EXPECT_EQ(DevicePathForPort(64, ""), "/dev/ttyUSB31");
  EXPECT_EQ(DevicePathForPort(65, ""), "/dev/ttyACM0");
  EXPECT_EQ(DevicePathForPort(96, ""), "/dev/ttyACM31");
  EXPECT_EQ(DevicePathForPort(97, ""), "");
  EXPECT_EQ(DevicePathForPort(99, ""), "");
  EXPECT_EQ(DevicePathForPort(0, ""), "");
  const std::string map = "3=/tmp/a;17 = /dev/pts/4 ;x=/bad;;97=/dev/ttyS9";
  EXPECT_EQ(DevicePathForPort(3, map), "/tmp/a");
  EXPECT_EQ(DevicePathForPort(17, map), "/dev/pts/4");
  EXPECT_EQ(DevicePathForPort(97, map), "/dev/ttyS9");
  EXPECT_EQ(DevicePathForPort(4, map), "/dev/ttyS3");
  EXPECT_EQ(DevicePathForPort(1, "13=/tmp/b"), "/dev/ttyS0") << "13 is not 1";
  const MappedPort tied = MapComPort(3, "3=/dev/pts/5 ,cts-high;4=/dev/pts/6");
  EXPECT_EQ(tied.path, "/dev/pts/5");
  EXPECT_TRUE(tied.ctsTiedHigh);
  EXPECT_FALSE(MapComPort(4, "3=/dev/pts/5,cts-high;4=/dev/pts/6").ctsTiedHigh);
}

// A device named on the command line takes the COM number the port map or the default table
// gives it (the same node under another name counts), or else the first free one from 100.
TEST(PortMap, ADeviceNamedByItsPathTakesItsNumber) {
  PtyPair pty;
  TempDir dir;
  const std::string link = dir.file("by-id-port0");
  ASSERT_EQ(::symlink(pty.slavePath().c_str(), link.c_str()), 0);
  writeFile(dir.file("regular"), "");
  struct Row {
    const char* name;
    std::string path;
    std::string map;
    std::set<int> taken;
    int number;
  };
  const Row rows[] = {
      {"a pseudo-terminal", pty.slavePath(), "", {}, 100},
      {"mapped", pty.slavePath(), "7=" + pty.slavePath(), {}, 7},
      {"mapped under another name", link, "12=" + pty.slavePath(), {}, 12},
      {"named through a link", pty.slavePath(), "12=" + link, {}, 12},
      {"unplugged, in the default table", "/dev/ttyUSB5", "", {}, 38},
      {"unplugged, its number mapped away", "/dev/ttyUSB5", "38=", {100}, 101},
      {"a regular file", dir.file("regular"), "", {}, 0},
      {"nothing outside /dev", dir.file("absent"), "", {}, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(ComNumberForDevice(row.path, row.map, row.taken), row.number);
  }
}

// A port this user may not open is no busy port and no missing one; the help names the group
// that may open it, or its owner when no group may.
TEST(PortMap, APortThisUserMayNotOpenIsExplained) {
  EXPECT_EQ(SerialOpenError(EACCES), oserr::PermissionDenied);
  EXPECT_EQ(SerialOpenError(EPERM), oserr::PermissionDenied);
  EXPECT_EQ(SerialOpenError(EBUSY), oserr::AccessDenied);
  EXPECT_EQ(SerialOpenError(ENOENT), oserr::FileNotFound);
  TempDir dir;
  const std::string node = dir.file("node");
  writeFile(node, "");
  const group* own = ::getgrgid(::getegid());
  ASSERT_NE(own, nullptr);
  const std::string name = own->gr_name;
  ASSERT_EQ(::chmod(node.c_str(), 0660), 0);
  EXPECT_EQ(DeviceAccessHelp(node), (std::vector<std::string>{node + " is open to the members of group " + name + ":",
                                                              "add the user to it (sudo usermod -aG " + name +
                                                                  " $USER) and log in again"}));
  ASSERT_EQ(::chmod(node.c_str(), 0600), 0);
  const passwd* owner = ::getpwuid(::geteuid());
  ASSERT_NE(owner, nullptr);
  ASSERT_EQ(DeviceAccessHelp(node).size(), 1u);
  EXPECT_EQ(DeviceAccessHelp(node)[0].rfind(node + " is open only to its owner " + owner->pw_name, 0), 0u);
  EXPECT_TRUE(DeviceAccessHelp(dir.file("absent")).empty());
}

constexpr int kPort = 5;

class PtyPort : public ::testing::Test {
 protected:
  PtyPort() {
    sim.environment.variables["KESTRELINK_PORTMAP"] =
        std::to_string(kPort) + "=" + pty.slavePath() + ";6=/nonexistent/tty;7=/dev/null;8=" + pty.slavePath() +
        ",cts-high";
    session = std::make_unique<Session>(platform);
    s().givenOptions().debug = true;
    s().portSettings.portNumber = kPort;
  }
  ~PtyPort() override { ClosePort(s()); }

  Session& s() { return *session; }
  std::string console() {
    s().out.flushConsole();
    return sim.console.output();
  }
  std::unique_ptr<SerialDevice> rawOpen(int number, uint32_t baud = 19200) {
    SerialSettings settings;
    settings.baud = baud;
    return serial->open(number, settings);
  }

  TempDir dir;
  PtyPair pty;
  SimPlatform sim{dir.path()};
  std::unique_ptr<SerialPorts> serial = MakePosixSerialPorts(sim.process, sim.environment);
  Platform platform{sim.clock, sim.console, sim.files, sim.environment, sim.registry, sim.processes, sim.process, *serial};
  std::unique_ptr<Session> session;
};

TEST_F(PtyPort, OpenCarriesBytesBothWaysAndCloses) {
  ASSERT_TRUE(OpenPort(s()));
  const uint8_t hello[] = {'h', 'e', 'l', 'l', 'o'};
  EXPECT_EQ(WriteCommPortOverlapped(s(), s().port, hello, 5), 5);
  EXPECT_EQ(pty.read(5, 2000), (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}));

  uint8_t in[8] = {};
  EXPECT_EQ(ReadCommPortOverlapped(s(), s().port, in, 8), 0) << "nothing waits: the read returns at once";
  pty.write({0x00, 0x0D, 0xFF});  // raw: no translation of CR, no stripping
  ASSERT_TRUE(s().port.handle->waitReadable(2000));
  long got = 0;
  for (int i = 0; i < 100 && got < 3; ++i) {
    s().port.handle->waitReadable(20);
    got += ReadCommPortOverlapped(s(), s().port, in + got, 8 - static_cast<uint32_t>(got));
  }
  ASSERT_EQ(got, 3);
  EXPECT_EQ(in[0], 0x00);
  EXPECT_EQ(in[1], 0x0D);
  EXPECT_EQ(in[2], 0xFF);
  EXPECT_FALSE(GetCommCTS(s(), s().port)) << "a pseudo-terminal has no modem lines";
  ClosePort(s());
  EXPECT_FALSE(IsPortOpen(s()));
  EXPECT_TRUE(rawOpen(8)->cts()) << "declared tied high in the port map";
}

TEST_F(PtyPort, SecondOpenIsBusyUntilTheFirstCloses) {
  ASSERT_TRUE(OpenPort(s()));
  EXPECT_EQ(rawOpen(kPort), nullptr);
  const int code = sim.process.lastError();
  EXPECT_TRUE(code == oserr::AccessDenied || code == oserr::SharingViolation) << code;
  ClosePort(s());
  EXPECT_NE(rawOpen(kPort), nullptr);
}

TEST_F(PtyPort, MissingAndUnusableDevicesAreAbsent) {
  for (int number : {97, 6, 7}) {
    EXPECT_EQ(rawOpen(number), nullptr) << number;
    EXPECT_EQ(sim.process.lastError(), oserr::FileNotFound) << number;
  }
  s().portSettings.portNumber = 6;
  EXPECT_FALSE(OpenPort(s()));
  EXPECT_NE(console().find("COM6 is not present on this computer"), std::string::npos);
}

TEST_F(PtyPort, EverySpeedIsSetWithTheFixedLineFormat) {
  for (uint32_t baud : {1200u, 2400u, 4800u, 9600u, 19200u, 38400u, 57600u, 115200u, 128000u, 230400u, 256000u,
                        460800u, 921600u}) {
    ASSERT_TRUE(OpenCommPortOverlapped(s(), s().port, kPort, baud, 2, false, false, false, 0)) << baud;
    const SlaveLine line = ReadSlaveLine(pty.master());
    EXPECT_EQ(line.speed, baud);
    EXPECT_TRUE(line.eightBits && line.twoStopBits && line.receiverOn && line.local) << baud;
    EXPECT_FALSE(line.ctsFlow);
    ASSERT_TRUE(SetCommPortSpeed(s(), s().port, 57600, 2, false, false, false));
    EXPECT_EQ(ReadSlaveLine(pty.master()).speed, 57600u) << "changed without closing";
    CloseCommPortOverlapped(s(), s().port);
  }
}

TEST_F(PtyPort, ParityAndCtsFlowAreAppliedAndAReadBackDifferenceIsNoFailure) {
  ASSERT_TRUE(OpenCommPortOverlapped(s(), s().port, kPort, 19200, 2, true, false, true, 0));
  SlaveLine line = ReadSlaveLine(pty.master());
  EXPECT_TRUE(line.oddParity);
  EXPECT_TRUE(line.ctsFlow);
  CloseCommPortOverlapped(s(), s().port);
  ASSERT_TRUE(OpenCommPortOverlapped(s(), s().port, kPort, 19200, 2, true, true, false, 0));
  line = ReadSlaveLine(pty.master());
  EXPECT_FALSE(line.oddParity);
  EXPECT_FALSE(line.ctsFlow);
}

TEST_F(PtyPort, LockFileLivesFromOpenToClose) {
  sim.environment.variables["BALVANTALOCKDIR"] = dir.path();
  const std::string lock = dir.file("lockBalvantaCommPort5");
  writeFile(lock, "stale");
  ASSERT_TRUE(OpenPort(s()));
  EXPECT_TRUE(sim.files.exists(lock));
  EXPECT_EQ(readFile(lock), "") << "an existing lock file is overwritten";
  ClosePort(s());
  EXPECT_FALSE(sim.files.exists(lock));
}

TEST_F(PtyPort, SixtyFourKilobytesGoOutInChunksThatFitTheRing) {
  ASSERT_TRUE(OpenPort(s()));
  s().out.diagnosticsLevel = 1;  // the write traces name every chunk
  std::vector<uint8_t> first(100, 0x11);
  std::vector<uint8_t> big(65536);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 13 + 1);
  std::vector<uint8_t> arrived;
  std::thread reader([&] { arrived = pty.read(first.size() + big.size(), 20000); });
  EXPECT_EQ(WriteCommPortOverlapped(s(), s().port, first.data(), 100), 100);
  EXPECT_EQ(WriteCommPortOverlapped(s(), s().port, big.data(), 65536), 65536);
  EXPECT_TRUE(FlushCommPortWrites(s(), s().port));
  reader.join();
  std::vector<uint8_t> expected = first;
  expected.insert(expected.end(), big.begin(), big.end());
  EXPECT_EQ(arrived, expected);

  const std::string text = console();
  const std::string label = "<WriteCommPortOverlapped(";
  long total = 0;
  int chunks = 0;
  for (size_t at = text.find(label); at != std::string::npos; at = text.find(label, at + 1)) {
    const long chunk = std::stol(text.substr(at + label.size()));
    EXPECT_LE(chunk, 65535);
    total += chunk;
    ++chunks;
  }
  EXPECT_EQ(total, 100 + 65536);
  EXPECT_GE(chunks, 3) << "64 KB after 100 bytes must wrap the ring";
}

TEST_F(PtyPort, DeviceThatDisappearsFailsReadsAndWritesWithoutHanging) {
  ASSERT_TRUE(OpenPort(s()));
  pty.closeMaster();
  EXPECT_TRUE(s().port.handle->waitReadable(60000)) << "returns at once with the error";
  uint8_t in[4];
  EXPECT_EQ(ReadCommPortOverlapped(s(), s().port, in, 4), -1);
  const std::vector<uint8_t> bytes(10000, 0x22);
  EXPECT_EQ(WriteCommPortOverlapped(s(), s().port, bytes.data(), 10000), -1);
  FlushCommPortWrites(s(), s().port);
  ClosePort(s());
  EXPECT_FALSE(IsPortOpen(s()));
}

}  // namespace
}  // namespace kl::test

namespace kl::test {
namespace {

TEST_F(PtyPort, OutputThatCannotDrainTimesOutInsteadOfHanging) {
  s().portSettings.baudRate = 921600;
  ASSERT_TRUE(OpenPort(s()));
  s().out.diagnosticsLevel = 1;
  const std::vector<uint8_t> bytes(256, 0x33);
  long result = 0;
  int writes = 0;
  // Nobody reads the far end: the pseudo-terminal fills up, then the ring.
  while (result >= 0 && writes < 5000) {
    result = WriteCommPortOverlapped(s(), s().port, bytes.data(), 256);
    ++writes;
  }
  EXPECT_EQ(result, -1);
  const std::string text = console();
  EXPECT_TRUE(text.find("Write error: TIMEOUT") != std::string::npos || sim.process.lastError() == 121)
      << text.substr(text.size() > 600 ? text.size() - 600 : 0);
  EXPECT_FALSE(FlushCommPortWrites(s(), s().port));
  ClosePort(s());
}

}  // namespace
}  // namespace kl::test
