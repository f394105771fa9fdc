// Scenario faults and speed settings change what reaches the PC, and nothing else.
#include "sim_fixture.h"

namespace kl::sim::testing {
namespace {

constexpr const char* kUnit = "[unit zs4]\ncard = 659\nversion = 6.10\nmodbus-address = 14\nbaud = 57600\n";

class FaultTest : public SimUnitTest {
 protected:
  void with(const std::string& extra, uint32_t pcBaud = 57600) { load(std::string(kUnit) + extra, pcBaud); }
};

TEST_F(FaultTest, LostRepliesAreNeverSent) {
  with("fault-lose-reply-percent = 100\n");
  EXPECT_TRUE(request({0xF0, 0x41}).empty());
}

TEST_F(FaultTest, CountedRepliesAreLostWhateverTheyAnswer) {
  with("fault-lose-replies = 2 3\n");
  EXPECT_FALSE(request({0xF0, 0x41}).empty());
  EXPECT_TRUE(request({0x0E, 0x41}).empty());
  EXPECT_TRUE(request({0x0E, 0x45, 0x10, 0x1B}).empty());
  EXPECT_FALSE(request({0xF0, 0x41}).empty());
}

TEST_F(FaultTest, StrayByteComesBeforeAnIntactReply) {
  with("fault-stray-byte-percent = 100\n");
  const Bytes reply = request({0xF0, 0x41});
  ASSERT_EQ(reply.size(), 5u);
  EXPECT_EQ(Bytes(reply.begin() + 1, reply.end()), withCrc({0xF0, 0x42}));
}

TEST_F(FaultTest, ExtraDelayHoldsTheReply) {
  with("reply-delay-ms = 0.5\nfault-reply-delay-ms = 40\n");
  EXPECT_TRUE(request({0xF0, 0x41}, 30).empty());
  advanceMs(20);
  EXPECT_EQ(pc_.received, withCrc({0xF0, 0x42}));
}

TEST_F(FaultTest, StopsAnsweringAfterSomeFrames) {
  with("fault-stop-after-frames = 2\n");
  EXPECT_FALSE(request({0xF0, 0x41}).empty());
  EXPECT_FALSE(request({0x0E, 0x41}).empty());
  EXPECT_TRUE(request({0xF0, 0x41}).empty());
}

TEST_F(FaultTest, SpeedAboveTheUnitsLimitIsNotTaken) {
  with("max-baud = 115200\n");
  EXPECT_EQ(request({0x0E, 0x45, 0x10, 0x30, 0x00, 0x03, 0x84, 0x00}), withCrc({0x0E, 0x45, 0x10, 0x30}));
  EXPECT_EQ(request({0xF0, 0x41}), withCrc({0xF0, 0x42})) << "still at 57600";
  EXPECT_EQ(request({0x0E, 0x45, 0x10, 0x30, 0x00, 0x01, 0xC2, 0x00}), withCrc({0x0E, 0x45, 0x10, 0x30}));
  setPcSpeed(115200);
  EXPECT_EQ(request({0xF0, 0x41}), withCrc({0xF0, 0x42}));
}

TEST_F(FaultTest, EvenParityUnitNeedsEvenParity) {
  with("parity = even\n");
  EXPECT_TRUE(request({0xF0, 0x41}).empty());
  setPcSpeed(57600, Parity::Even);
  EXPECT_EQ(request({0xF0, 0x41}), withCrc({0xF0, 0x42}));
}

TEST_F(FaultTest, BootLoaderInheritsTheApplicationSpeedAfterGotoBootLoader) {
  with("boot-baud = inherit\n");
  request({0x0E, 0x45, 0x10, 0x30, 0x00, 0x00, 0x25, 0x80});
  setPcSpeed(9600);
  EXPECT_EQ(request({0x0E, 0x45, 0x10, 0x11}), withCrc({0x0E, 0x45, 0x10, 0x11}));
  EXPECT_EQ(request({0x01, 0x45, 0x10, 0x12}), withCrc({0x01, 0x45, 0x10, 0x12, 0x64}));
}

TEST_F(FaultTest, OffUnitAnswersOnlyOnceSwitchedOn) {
  with("state = off\nboot-baud = 9600\n");
  EXPECT_TRUE(request({0xF0, 0x41}).empty());
  unit().powerOn();
  EXPECT_EQ(unit().mode(), UnitMode::BootLoader);
  advanceMs(600);
  EXPECT_EQ(request({0xF0, 0x41}), withCrc({0xF0, 0x42}));
}

}  // namespace
}  // namespace kl::sim::testing
