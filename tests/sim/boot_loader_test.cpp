// The boot loader model, power cycles, and the blank chip's text handshake.
#include <string>

#include "sim_fixture.h"

namespace kl::sim::testing {
namespace {

constexpr const char* kBootLoaderUnit = R"(
[unit zs3]
card = 648
circuit = 5
version = 6.08
modbus-address = 3
software-checksum = 0x01020304
state = boot-loader
boot-loader = C4
boot-release = 24
boot-flags = 0x82
boot-info = 0x11
buffer-size = 2048
boot-baud = 115200
)";

class BootLoaderTest : public SimUnitTest {};

TEST_F(BootLoaderTest, AnswersVersionReleaseAndBufferSize) {
  load(kBootLoaderUnit, 115200);
  EXPECT_EQ(request({0x01, 0x45, 0x10, 0x12}), withCrc({0x01, 0x45, 0x10, 0x12, 0x54}));
  EXPECT_EQ(request({0x01, 0x45, 0x10, 0x13, 0x01}),
            withCrc({0x01, 0x45, 0x10, 0x13, 0x11, 0x05, 0x04, 24, 0x01, 0x02, 0x03, 0x04, 0x82}));
  EXPECT_EQ(request({0x01, 0x45, 0x10, 0x1F}), withCrc({0x01, 0x45, 0x10, 0x1F, 0x08, 0x00}));
  EXPECT_TRUE(request({0x01, 0x45, 0x10, 0x91}).empty()) << "release 24 knows only the new code";
  EXPECT_TRUE(request({0xF0, 0x41}).empty()) << "no application runs";
  EXPECT_TRUE(request({0x02, 0x45, 0x10, 0x12}).empty()) << "another address";
}

TEST_F(BootLoaderTest, OldReleasesUseTheOldBufferSizeCode) {
  load(std::string(kBootLoaderUnit) + "boot-release = 10\n", 115200);
  EXPECT_EQ(request({0x01, 0x45, 0x10, 0x91}), withCrc({0x01, 0x45, 0x10, 0x91, 0x08, 0x00}));
  EXPECT_TRUE(request({0x01, 0x45, 0x10, 0x1F}).empty());
}

TEST_F(BootLoaderTest, OlderGenerationsDoNotAnswerTheReleaseQuery) {
  load(std::string(kBootLoaderUnit) + "boot-loader = C2\nboot-release = 2\nboot-baud = 9600\n", 9600);
  EXPECT_EQ(request({0x01, 0x45, 0x10, 0x12}), withCrc({0x01, 0x45, 0x10, 0x12, 0x52}));
  EXPECT_TRUE(request({0x01, 0x45, 0x10, 0x13, 0x01}).empty());
}

TEST_F(BootLoaderTest, MissingApplicationIsFlaggedAndKeepsTheUnitInItsBootLoader) {
  load(std::string(kBootLoaderUnit) + "application-present = no\nstate = power-on\n", 115200);
  advanceMs(5000);
  EXPECT_EQ(unit().mode(), UnitMode::BootLoader);
  const Bytes reply = request({0x01, 0x45, 0x10, 0x13, 0x01});
  ASSERT_EQ(reply.size(), 15u);
  EXPECT_EQ(reply[12], 0x83);
}

TEST_F(BootLoaderTest, ResetStartsTheApplicationAfterTheWindow) {
  load(kBootLoaderUnit, 115200);
  EXPECT_EQ(request({0x01, 0x45, 0x10, 0x32}, 10), withCrc({0x01, 0x45, 0x10, 0x32}));
  EXPECT_EQ(unit().mode(), UnitMode::BootLoader);
  advanceMs(600);
  EXPECT_EQ(unit().mode(), UnitMode::Application);
  EXPECT_EQ(request({0x03, 0x41}), withCrc({0x03, 0x42}));
}

// A unit whose application hangs answers only after a power cycle, and a boot loader that
// is spoken to within its window stays.
TEST_F(BootLoaderTest, PowerCycleRecoversAHungUnitThroughItsBootWindow) {
  load(R"(
[unit stuck]
card = 649
version = 6.08
baud = 38400
boot-baud = 9600
fault-silent-until-power-cycle = yes
power-off-ms = 800
boot-window-ms = 300
)", 38400);
  EXPECT_TRUE(request({0xF0, 0x41}).empty());
  unit().powerCycle();
  setPcSpeed(9600);
  Bytes reply;
  for (int attempt = 0; attempt < 40 && reply.empty(); ++attempt) reply = request({0x01, 0x45, 0x10, 0x12}, 50);
  EXPECT_EQ(reply, withCrc({0x01, 0x45, 0x10, 0x12, 0x54}));
  EXPECT_GE(world_.nowUs(), 800000u);
  advanceMs(1000);
  EXPECT_EQ(unit().mode(), UnitMode::BootLoader) << "held by the request in its window";
  request({0x01, 0x45, 0x10, 0x32}, 10);
  advanceMs(400);
  setPcSpeed(38400);
  EXPECT_EQ(request({0xF0, 0x41}), withCrc({0xF0, 0x42})) << "no longer hung";
}

TEST_F(BootLoaderTest, ScheduledPowerEventsAndPowerCutAtAByte) {
  load(std::string(kBootLoaderUnit) + "power-off-at-ms = 100\npower-on-at-ms = 300\n", 115200);
  advanceMs(150);
  EXPECT_EQ(unit().mode(), UnitMode::Off);
  EXPECT_TRUE(request({0x01, 0x45, 0x10, 0x12}, 20).empty());
  advanceMs(200);
  EXPECT_EQ(unit().mode(), UnitMode::BootLoader);

  load(std::string(kBootLoaderUnit) + "fault-power-cut-at-byte = 10\n", 115200);
  EXPECT_FALSE(request({0x01, 0x45, 0x10, 0x12}, 20).empty());
  EXPECT_TRUE(request({0x01, 0x45, 0x10, 0x12}, 20).empty()) << "power cut at its 10th byte";
  EXPECT_EQ(unit().mode(), UnitMode::Off);
}

TEST_F(BootLoaderTest, BlankChipHandshake) {
  load("[unit chip]\nstate = blank\nmcu = LPC1768\nisp-baud = 115200\n", 115200);
  auto text = [](const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); };
  EXPECT_EQ(text(sendRaw({'?'}, 10)), "Synchronized\r\n");
  const std::string sync = "Synchronized\r\n";
  EXPECT_EQ(text(sendRaw(Bytes(sync.begin(), sync.end()), 10)), "Synchronized\r\nOK\r\n");
  EXPECT_EQ(text(sendRaw({'1', '2', '0', '0', '0', '\r', '\n'}, 10)), "12000\r\nOK\r\n");
  EXPECT_EQ(text(sendRaw({'A', ' ', '0', '\r', '\n'}, 10)), "A 0\r\n0\r\n");
  EXPECT_EQ(text(sendRaw({'J', '\r', '\n'}, 10)), "0\r\n637615927\r\n");
  EXPECT_EQ(text(sendRaw({'Q', '\r', '\n'}, 10)), "1\r\n");
}

TEST_F(BootLoaderTest, BlankChipIgnoresOtherSpeeds) {
  load("[unit chip]\nstate = blank\nmcu = LPC1768\n", 9600);
  EXPECT_TRUE(sendRaw({'?'}, 10).empty());
}

}  // namespace
}  // namespace kl::sim::testing
