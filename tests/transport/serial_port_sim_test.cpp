#include "transport/serial_port.h"

#include <algorithm>
#include <filesystem>
#include <numeric>

#include "link_fixture.h"

namespace kl::test {
namespace {

class PortOnLine : public LinkTest {};

TEST_F(PortOnLine, LargeWriteNeverWrapsAChunkNorQueuesMoreThanTheRingHolds) {
  useBaud(921600);
  openLine();
  std::vector<uint8_t> first(100, 0xAA);
  std::vector<uint8_t> big(65536);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 31 + 7);
  ASSERT_EQ(WriteCommPortOverlapped(s(), s().port, first.data(), 100), 100);
  ASSERT_EQ(WriteCommPortOverlapped(s(), s().port, big.data(), 65536), 65536);
  ASSERT_TRUE(FlushCommPortWrites(s(), s().port));

  const uint8_t* ringStart = s().port.ring.data();
  std::vector<size_t> chunks;
  for (const auto& w : line.writes) {
    EXPECT_GE(w.bytes, ringStart);
    EXPECT_LE(w.bytes + w.count, ringStart + SerialPort::kRingSize) << "a chunk crosses the end of the ring";
    EXPECT_LE(w.outstandingBefore + w.count, 65535u);
    chunks.push_back(w.count);
  }
  EXPECT_EQ(chunks, (std::vector<size_t>{100, 65435, 1, 99, 1}));
  std::vector<uint8_t> expected(first.size() + big.size());
  std::copy(big.begin(), big.end(), std::copy(first.begin(), first.end(), expected.begin()));
  EXPECT_EQ(line.deliveredToDevice(), expected);
}

TEST_F(PortOnLine, ManySmallWritesKeepTheirOrderThroughTheSlotRing) {
  useBaud(9600);
  openLine();
  std::vector<uint8_t> expected;
  for (int i = 0; i < 600; ++i) {
    const uint8_t b = static_cast<uint8_t>(i);
    ASSERT_EQ(WriteCommPortOverlapped(s(), s().port, &b, 1), 1);
    expected.push_back(b);
    const uint32_t outstanding = (s().port.nextSlot + SerialPort::kSlots - s().port.oldestSlot) % SerialPort::kSlots;
    ASSERT_LE(outstanding, 255u);
  }
  ASSERT_TRUE(FlushCommPortWrites(s(), s().port));
  EXPECT_EQ(line.deliveredToDevice(), expected);
  // 600 bytes at 9600 baud cannot have been taken in less than their line time.
  EXPECT_GE(nowMs(), 600u * 11 * 1000 / 9600 - 1);
}

TEST_F(PortOnLine, WriteAndReadTracesReachDiagnosticsOnlyWhenRaised) {
  openLine();
  const std::vector<uint8_t> bytes(20, 0x42);
  WriteCommPortOverlapped(s(), s().port, bytes.data(), 4);
  EXPECT_EQ(console().find("<WriteCommPortOverlapped"), std::string::npos);
  s().out.diagnosticsLevel = 1;
  WriteCommPortOverlapped(s(), s().port, bytes.data(), 4);
  WriteCommPortOverlapped(s(), s().port, bytes.data(), 20);
  peer.send({0x06, 0x07});
  uint8_t in[8];
  EXPECT_EQ(ReadCommPortWithTimeout(s(), s().port, in, 2), 2);
  const std::string text = console();
  EXPECT_NE(text.find("<WriteCommPortOverlapped(4) 42 42 42 42>"), std::string::npos);
  EXPECT_NE(text.find("<WriteCommPortOverlapped(20) 42 42 42 42 42 42 42 42 42 42 42 42 42 42 42 42 42...>"),
            std::string::npos);
  EXPECT_NE(text.find("[ReadCommPortOverlapped(1) 06]"), std::string::npos) << text;
}

TEST_F(PortOnLine, ReadWithTimeoutGathersBytesAndStopsAtTheReplyTimeout) {
  openLine();
  peer.send({1, 2, 3}, 20000);
  uint8_t in[5] = {};
  const uint64_t began = nowMs();
  EXPECT_EQ(ReadCommPortWithTimeout(s(), s().port, in, 5), 3);
  EXPECT_EQ(in[2], 3);
  EXPECT_GE(nowMs() - began, 100u);
  EXPECT_LE(nowMs() - began, 115u);
}

TEST_F(PortOnLine, LineErrorOfAFailedReadIsNamed) {
  s().portSettings.evenParity = 1;  // the far end sends without parity
  openLine();
  s().out.diagnosticsLevel = 1;
  peer.send({0x03});  // even parity wants 0 where the receiver finds the stop bit
  uint8_t in[4];
  ASSERT_TRUE(s().port.handle->waitReadable(10));
  line.unplug();
  EXPECT_EQ(ReadCommPortOverlapped(s(), s().port, in, 4), -1);
  const std::string text = console();
  EXPECT_NE(text.find("Error: "), std::string::npos);
  EXPECT_NE(text.find("Comm port parity error"), std::string::npos) << text;
}

TEST_F(PortOnLine, EveryOpenWritesItsDebugTraceLine) {
  s().portSettings.evenParity = 1;
  openLine();
  ASSERT_FALSE(sim.process.traces.empty());
  const std::string& trace = sim.process.traces.back();
  EXPECT_NE(trace.find(" TID=1 COM3:Speed=19200 StopBits=2 Parity=1\r\n"), std::string::npos) << trace;
  EXPECT_EQ(trace.find(' '), 6u) << "six-digit microsecond stamp first";
  EXPECT_TRUE(line.pcSettings().parityOn && line.pcSettings().even);
  EXPECT_EQ(line.pcSettings().stopBits, 2);
}

TEST_F(PortOnLine, BusyPortGetsAHundredDotsAndNoOtherMessage) {
  s().givenOptions().debug = s().givenOptions().detailedDebug = false;  // only the dots reach the console
  sim.environment.variables["BALVANTALOCKDIR"] = dir.path();
  line.busyOpens = 1000;
  const uint64_t began = nowMs();
  EXPECT_FALSE(OpenPort(s()));
  const std::string text = console();
  EXPECT_EQ(text, std::string(100, '.'));
  EXPECT_EQ(text.find("is being used by another application"), std::string::npos);
  EXPECT_EQ(nowMs() - began, 9900u);
  EXPECT_TRUE(s().portSettings.lockFilePath.empty());
  EXPECT_FALSE(sim.files.exists(dir.file("lockBalvantaCommPort3")));
}

TEST_F(PortOnLine, AbsentPortIsReportedOnce) {
  s().portSettings.portNumber = 9;
  EXPECT_FALSE(OpenPort(s()));
  const std::string text = console();
  EXPECT_NE(text.find("COM9 is not present on this computer"), std::string::npos);
  EXPECT_EQ(text.find("OpenPort opening comm port: 9 19200"), text.rfind("OpenPort opening comm port: 9"));
}

TEST_F(PortOnLine, ProgrammingSpeedIsProvedByATestOpen) {
  s().portSettings.programmingBaud = 230400;
  openLine();
  const std::string text = console();
  EXPECT_NE(text.find("OpenPort using programmer baud rate 230400"), std::string::npos);
  EXPECT_NE(text.find("OpenPort closing comm port: 3"), std::string::npos);
  EXPECT_EQ(line.pcSettings().baud, 19200u);
  ASSERT_GE(sim.process.traces.size(), 2u);
  EXPECT_NE(sim.process.traces[sim.process.traces.size() - 2].find("Speed=230400"), std::string::npos);

  ClosePort(s());
  line.maxBaud = 115200;
  EXPECT_FALSE(OpenPort(s()));
  EXPECT_NE(console().find("COM3 does not support requested baud rate"), std::string::npos);

  s().portSettings.programmingBaud = 115200;
  sim.console.clearOutput();
  EXPECT_TRUE(OpenPort(s()));
  EXPECT_EQ(console().find("using programmer baud rate"), std::string::npos);
}

TEST_F(PortOnLine, ChangeBaudRateReopensWithTheNewSettings) {
  openLine();
  s().portSettings.baudRate = 57600;
  EXPECT_TRUE(ChangeBaudRate(s()));
  EXPECT_EQ(line.pcSettings().baud, 57600u);
  EXPECT_NE(console().find("ChangeBaudRate closing comm port: 3"), std::string::npos);

  s().portSettings.baudRate = 1000000;
  EXPECT_FALSE(ChangeBaudRate(s()));
  const std::string text = console();
  EXPECT_NE(text.find("Error re-opening port: COM3 does not support requested baud rate"), std::string::npos);
  EXPECT_EQ(text.find("ChangeBaudRate opening comm port: 3 1000000"),
            text.rfind("ChangeBaudRate opening comm port: 3 1000000"))
      << "one attempt only";
}

TEST_F(PortOnLine, ChangeBaudRateOnAPortThatStaysBusyEndsTheRun) {
  openLine();
  line.busyOpens = 1000;
  const uint64_t began = nowMs();
  try {
    ChangeBaudRate(s());
    FAIL() << "ChangeBaudRate returned";
  } catch (const ProcessExit& e) {
    EXPECT_EQ(e.code, 1);
  }
  const std::string text = console();
  size_t attempts = 0;
  for (size_t at = text.find("Error re-opening port: "); at != std::string::npos;
       at = text.find("Error re-opening port: ", at + 1)) {
    ++attempts;
  }
  EXPECT_EQ(attempts, 20u);
  EXPECT_NE(text.find("COM3 is being used by another application"), std::string::npos);
  EXPECT_NE(text.find("Fatal Error: Error: Access is denied."), std::string::npos);
  EXPECT_EQ(nowMs() - began, 19u * 25);
  EXPECT_FALSE(IsPortOpen(s()));
}

TEST_F(PortOnLine, LockFileIsCreatedOverwrittenAndDeleted) {
  sim.environment.variables["BALVANTALOCKDIR"] = dir.path() + "/";
  writeFile(dir.file("lockBalvantaCommPort3"), "left over");
  openLine();
  EXPECT_EQ(s().portSettings.lockFilePath, dir.file("lockBalvantaCommPort3"));
  EXPECT_EQ(readFile(dir.file("lockBalvantaCommPort3")), "");
  s().portSettings.baudRate = 9600;
  ASSERT_TRUE(ChangeBaudRate(s()));
  EXPECT_TRUE(sim.files.exists(dir.file("lockBalvantaCommPort3"))) << "a speed change keeps the lock";
  ClosePort(s());
  EXPECT_FALSE(sim.files.exists(dir.file("lockBalvantaCommPort3")));
  EXPECT_NE(console().find("ClosePort deleting lock file: " + dir.file("lockBalvantaCommPort3")), std::string::npos);
}

TEST_F(PortOnLine, LockFileThatCannotBeCreatedIsReportedAndSkipped) {
  sim.environment.variables["BALVANTALOCKDIR"] = dir.file("missing");
  openLine();
  EXPECT_NE(console().find("Cannot create lock file " + dir.file("missing/lockBalvantaCommPort3")),
            std::string::npos);
  EXPECT_TRUE(s().portSettings.lockFilePath.empty());
}

TEST_F(PortOnLine, CtsComesFromTheFarEndAndGatesOutput) {
  s().portSettings.hardwareHandshake = 1;
  openLine();
  EXPECT_FALSE(GetCommCTS(s(), s().port));
  const uint8_t bytes[3] = {1, 2, 3};
  ASSERT_EQ(WriteCommPortOverlapped(s(), s().port, bytes, 3), 3);
  sim.clock.sleep(50);
  EXPECT_TRUE(line.deliveredToDevice().empty()) << "output waits for CTS";
  line.farPort().setCts(true);
  EXPECT_TRUE(GetCommCTS(s(), s().port));
  ASSERT_TRUE(FlushCommPortWrites(s(), s().port));
  EXPECT_EQ(line.deliveredToDevice(), (std::vector<uint8_t>{1, 2, 3}));
}

}  // namespace
}  // namespace kl::test

namespace kl::test {
namespace {

TEST_F(PortOnLine, OutputHeldByCtsTimesOutInsteadOfHanging) {
  s().portSettings.hardwareHandshake = 1;
  openLine();
  s().out.diagnosticsLevel = 1;
  const std::vector<uint8_t> bytes(100, 0x44);
  // Something else keeps the world busy, so only the write's own limit can end the wait.
  std::function<void()> tick = [&] { sim.world.after(100000, tick); };
  tick();
  ASSERT_EQ(WriteCommPortOverlapped(s(), s().port, bytes.data(), 100), 100);
  ASSERT_EQ(WriteCommPortOverlapped(s(), s().port, bytes.data(), 10), 10);
  const uint64_t began = nowMs();
  EXPECT_FALSE(FlushCommPortWrites(s(), s().port));
  EXPECT_EQ(nowMs() - began, 1100u) << "100 bytes at 1 ms each and the 1 s grace";
  EXPECT_NE(console().find("Error: Error 121."), std::string::npos) << console();
  EXPECT_TRUE(line.deliveredToDevice().empty());

  line.farPort().setCts(true);
  ASSERT_EQ(WriteCommPortOverlapped(s(), s().port, bytes.data(), 5), 5);
  EXPECT_TRUE(FlushCommPortWrites(s(), s().port));
  EXPECT_EQ(line.deliveredToDevice().size(), 5u) << "timed-out bytes never go out later";
}

}  // namespace
}  // namespace kl::test
