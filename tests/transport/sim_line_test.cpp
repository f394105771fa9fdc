#include "sim/sim_line.h"

#include "link_fixture.h"

namespace kl::test {
namespace {

class Line : public LinkTest {
 protected:
  std::vector<uint8_t> sendAndCollect(const std::vector<uint8_t>& bytes) {
    WriteCommPortOverlapped(s(), s().port, bytes.data(), static_cast<uint32_t>(bytes.size()));
    EXPECT_TRUE(FlushCommPortWrites(s(), s().port));
    sim.clock.sleep(5);
    return peer.received;
  }
};

TEST_F(Line, BytesTakeElevenBitTimesEachAtTheSendersSpeed) {
  useBaud(9600);
  openLine();
  const std::vector<uint8_t> bytes(96, 0x5A);
  WriteCommPortOverlapped(s(), s().port, bytes.data(), 96);
  ASSERT_TRUE(FlushCommPortWrites(s(), s().port));
  EXPECT_EQ(sim.world.nowUs(), 110000u);  // 96 bytes x 11 bits at 9600 baud
  EXPECT_EQ(peer.received, bytes);

  peer.send(std::vector<uint8_t>(10, 1));
  uint8_t in[10];
  EXPECT_TRUE(s().port.handle->waitReadable(100));
  EXPECT_EQ(sim.world.nowUs(), 110000u + 1146u) << "the first byte arrives after one byte time";
  EXPECT_EQ(ReadCommPortOverlapped(s(), s().port, in, 10), 1) << "only what has fully arrived";
}

TEST_F(Line, MismatchedSpeedGarblesOrLosesBytes) {
  openLine();
  line.farPort().setFormat(sim::LineFormat{115200, sim::Parity::None});
  std::vector<uint8_t> bytes(200);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
  sendAndCollect(bytes);
  EXPECT_LT(line.deliveredToDevice().size(), bytes.size());
  EXPECT_GT(peer.damagedBytes, 0);
  EXPECT_NE(peer.received, bytes);
}

TEST_F(Line, MismatchedParityFlagsDamage) {
  s().portSettings.evenParity = 1;
  openLine();
  line.farPort().setFormat(sim::LineFormat{19200, sim::Parity::Odd});
  sendAndCollect({0x01, 0x02, 0x03});
  EXPECT_EQ(peer.damagedBytes, 3);
  EXPECT_TRUE(peer.received.empty());

  line.farPort().setFormat(sim::LineFormat{19200, sim::Parity::Even});
  sendAndCollect({0x01, 0x02, 0x03});
  EXPECT_EQ(peer.received, (std::vector<uint8_t>{1, 2, 3})) << "matching parity is clean";
}

TEST_F(Line, FaultsAreSeededAndRepeatable) {
  auto run = [](uint64_t seed) {
    TempDir d;
    SimPlatform machine(d.path(), seed);
    sim::SimLine l(machine.world, machine.process);
    sim::ScriptedPeer p;
    l.connect(p);
    l.towardsDevice.bitFlipRate = 0.1;
    l.towardsDevice.dropRate = 0.1;
    auto device = l.open(SerialSettings{});
    std::vector<uint8_t> bytes(300, 0x00);
    const long id = device->startWrite(bytes.data(), bytes.size());
    EXPECT_EQ(device->finishWrite(id, UINT32_MAX), 300);
    machine.clock.sleep(5);
    return l.deliveredToDevice();
  };
  const auto first = run(7);
  EXPECT_EQ(first, run(7));
  EXPECT_NE(first, run(8));
  EXPECT_LT(first.size(), 300u);
  EXPECT_GT(std::count_if(first.begin(), first.end(), [](uint8_t b) { return b != 0; }), 0);
}

TEST_F(Line, DelayAndStrayBytesPrecedeAReply) {
  openLine();
  line.towardsPc.delayUs = 30000;
  line.towardsPc.strayRate = 1.0;
  peer.send({0x10, 0x20});
  uint8_t in[3];
  s().portSettings.replyTimeout = 200;
  ASSERT_EQ(ReadCommPortWithTimeout(s(), s().port, in, 3), 3);
  EXPECT_EQ(in[1], 0x10);
  EXPECT_EQ(in[2], 0x20);
  EXPECT_GE(nowMs(), 30u);
  EXPECT_EQ(line.sentByDevice(), (std::vector<uint8_t>{0x10, 0x20})) << "the stray byte is the line's, not the device's";
}

TEST_F(Line, SecondOpenIsBusyAndAnUnpluggedPortIsAbsent) {
  openLine();
  EXPECT_EQ(sim.serial.open(kLinePort, SerialSettings{}), nullptr);
  EXPECT_EQ(sim.process.lastError(), oserr::SharingViolation);
  line.unplug();
  uint8_t b = 0;
  EXPECT_EQ(s().port.handle->read(&b, 1), -1);
  EXPECT_TRUE(s().port.handle->waitReadable(1000)) << "a gone device does not make the caller wait";
  ClosePort(s());
  EXPECT_EQ(sim.serial.open(kLinePort, SerialSettings{}), nullptr);
  EXPECT_EQ(sim.process.lastError(), oserr::FileNotFound);
}

}  // namespace
}  // namespace kl::test
