// The application model answers every identity and control call byte for byte, and stays
// silent for requests that are not for it or did not arrive intact.
#include <string>

#include "sim_fixture.h"
#include "wire/commands.h"

namespace kl::sim::testing {
namespace {

std::string displayScenario(const std::string& extra = "") {
  return R"(# a ZA3 display with two units on its network
[unit display]
card = 647
circuit = 4
board-revision = B
board-issue = 2
product = 63
version = 6.10
release = 3
build-increment = 7
build-time = 2024-03-15 14:30:09
serial = 123456
modbus-address = 5
information = "Silo 3\nA"
ft-mask = 0x1234
rt-mask = 0x5678
new-mask = 0x9ABC
unit-flags = 0x01
software-checksum = 0xDEADBEEF
software-crc = 0xCAFE
boot-loader = C4
boot-release = 24
boot-info = 0x11
buffer-size = 2048
baud = 115200
boot-baud = 9600
vcom = yes
debug-logs = 0x0101, 0x0102
ready-delay-ms = 2000
boot-window-ms = 500
network = scale1 scale2
network-baud = 57600
)" + extra + R"(
[unit scale1]
card = 648
circuit = 5
version = 6.08
modbus-address = 7
serial = 1001
[unit scale2]
card = 649
version = 6.08
modbus-address = 9
serial = 1002
)";
}

class ApplicationTest : public SimUnitTest {
 protected:
  void SetUp() override { load(displayScenario(), 115200); }
};

TEST_F(ApplicationTest, PingAnswersAtTheDefaultAndTheModbusAddress) {
  EXPECT_EQ(sendRaw({0xF0, 0x41, 0x85, 0x80}), (Bytes{0xF0, 0x42, 0xC5, 0x81}));
  EXPECT_EQ(request({0x05, 0x41}), withCrc({0x05, 0x42}));
  EXPECT_TRUE(request({0x06, 0x41}).empty());
}

TEST_F(ApplicationTest, IdentityRepliesCarryEveryField) {
  EXPECT_EQ(request({0x05, 0x45, 0x10, 0x10}),
            withCrc({0x05, 0x45, 0x10, 0x10, 0x02, 0x87, 0x00, 0x04, 0x02, 0x62, 0x07, 0x00}));
  EXPECT_EQ(request({0x05, 0x45, 0x10, 0x15}),
            withCrc({0x05, 0x45, 0x10, 0x15, 24, 0x01, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0x00, 0x01, 0xE2, 0x40,
                     0, 0, 0, 0, 0, 0, 0, 0x18, 0x03, 0x0F, 0x0E, 0x1E, 0x09, 0x08}));
  EXPECT_EQ(request({0x05, 0x45, 0x10, 0x16}),
            withCrc({0x05, 0x45, 0x10, 0x16, 'S', 'i', 'l', 'o', ' ', '3', 0x0A, 'A'}));
  EXPECT_EQ(request({0x05, 0x45, 0x10, 0x1B}), (Bytes{0x05, 0x45, 0x10, 0x1B, 0x05, 0x36, 0x3A}));
  EXPECT_EQ(request({0x05, 0x45, 0x10, 0x1C}), withCrc({0x05, 0x45, 0x10, 0x1C, 0x01}));
  EXPECT_EQ(request({0x05, 0x45, 0x10, 0x34}), withCrc({0x05, 0x45, 0x10, 0x34, 0x02, 0x01, 0x01, 0x01, 0x02}));
}

Bytes advancedHead() {
  return {0x05, 0x45, 0x10, 0x14, 0, 0x00, 0x03, 0x04, 0x18, 0x02, 0x87, 0x00, 0x04, 0x02, 0x02, 0x02, 0x62, 0x03,
          0x07, 0x18, 0x03, 0x0F, 0x0E, 0x1E, 0x09, 0xDE, 0xAD, 0xBE, 0xEF, 0xCA, 0xFE, 0x00, 0x01, 0xE2, 0x40, 0x00, 0x3F};
}

TEST_F(ApplicationTest, AdvancedInfoHasTheConfiguredLength) {
  Bytes full = advancedHead();
  full[4] = 35;
  full.push_back(0x05);
  full.push_back(0x01);
  EXPECT_EQ(request({0x05, 0x45, 0x10, 0x14}), withCrc(full));
}

TEST(AdvancedInfoLengths, ShortAndLongForms) {
  for (int length : {33, 34, 40}) {
    struct Case : SimUnitTest {
      void TestBody() override {}
      using SimUnitTest::load;
      using SimUnitTest::request;
    } test;
    test.load(displayScenario("advanced-length = " + std::to_string(length) + "\n"), 115200);
    Bytes expected = advancedHead();
    expected[4] = static_cast<uint8_t>(length);
    if (length >= 34) expected.push_back(0x05);
    if (length >= 35) expected.push_back(0x01);
    expected.resize(4 + static_cast<size_t>(length), 0);
    EXPECT_EQ(test.request({0x05, 0x45, 0x10, 0x14}), withCrc(expected)) << "L = " << length;
  }
}

TEST_F(ApplicationTest, RequestsThatAreNotForItOrSpoiledGetNoReply) {
  EXPECT_TRUE(request({0x06, 0x45, 0x10, 0x10}).empty()) << "another address";
  EXPECT_TRUE(request({0x05, 0x45, 0x10, 0x10, 0x00}).empty()) << "one byte too many";
  EXPECT_TRUE(request({0x05, 0x45, 0x10, 0x99}).empty()) << "unknown command";
  Bytes corrupted = encodeFrame({0x05, 0x45, 0x10, 0x10}, false);
  corrupted[2] ^= 0x04;
  EXPECT_TRUE(sendRaw(corrupted).empty()) << "bad CRC";
  setPcSpeed(19200);
  EXPECT_TRUE(request({0x05, 0x45, 0x10, 0x10}).empty()) << "wrong speed";
  EXPECT_TRUE(request({0xF0, 0x41}).empty()) << "wrong speed";
  setPcSpeed(115200, Parity::Even);
  EXPECT_TRUE(request({0xF0, 0x41}).empty()) << "wrong parity";
  setPcSpeed(115200);
  // After garbage and a pause the unit finds the next frame.
  sendRaw({0x13, 0x37, 0x00}, 5);
  EXPECT_EQ(request({0xF0, 0x41}), withCrc({0xF0, 0x42}));
}

TEST_F(ApplicationTest, BackToBackRequestsAreSeparatedByTheirLength) {
  Bytes both = encodeFrame({0xF0, 0x41}, false);
  const Bytes second = encodeFrame({0x05, 0x45, 0x10, 0x1B}, false);
  both.insert(both.end(), second.begin(), second.end());
  Bytes expected = withCrc({0xF0, 0x42});
  const Bytes secondReply = withCrc({0x05, 0x45, 0x10, 0x1B, 0x05});
  expected.insert(expected.end(), secondReply.begin(), secondReply.end());
  EXPECT_EQ(sendRaw(both), expected);
  // A damaged frame of known length ends there: the one right behind it is still answered.
  both[2] ^= 0x01;
  EXPECT_EQ(sendRaw(both), secondReply);
}

TEST_F(ApplicationTest, RequestsSentOneAfterTheOtherKeepTheirBytesInOrderOnALateClock) {
  world_.lagStepUs = 20;  // a fifth of a byte time at 115200, at every look
  pc_.send(encodeFrame({0x05, 0x45, 0x10, 0x1B}, false));
  pc_.send(encodeFrame({0xF0, 0x41}, false));
  advanceMs(100);
  EXPECT_EQ(pc_.received, cat(withCrc({0x05, 0x45, 0x10, 0x1B, 0x05}), withCrc({0xF0, 0x42})));
}

TEST_F(ApplicationTest, LengthFramedRequestGetsALengthFramedReply) {
  EXPECT_EQ(request({0x05, 0x45, 0x10, 0x1B}, 100, true), (Bytes{0xF1, 0x07, 0x05, 0x45, 0x10, 0x1B, 0x05, 0x36, 0x3A}));
}

TEST_F(ApplicationTest, NetworkUnitsAnswerThroughTheDisplay) {
  EXPECT_EQ(request({0x05, 0x45, 0x10, 0x17}), withCrc({0x05, 0x45, 0x10, 0x17, 0x02, 0x07, 0x09}));
  EXPECT_EQ(request({0x07, 0x45, 0x10, 0x10}),
            withCrc({0x07, 0x45, 0x10, 0x10, 0x02, 0x88, 0x00, 0x05, 0x02, 0x60, 0x00, 0x00}));
  EXPECT_EQ(request({0x09, 0x41}), withCrc({0x09, 0x42}));
  // The relay costs the network hop both ways.
  const uint64_t direct = replyTimeUs({0x05, 0x41});
  const uint64_t relayed = replyTimeUs({0x09, 0x41});
  EXPECT_GT(relayed, direct + 2 * 4 * 11 * 1000000ull / 57600);
  // A unit that is off is neither listed nor reachable.
  unit("scale1").powerOff();
  EXPECT_EQ(request({0x05, 0x45, 0x10, 0x17}), withCrc({0x05, 0x45, 0x10, 0x17, 0x01, 0x09}));
  EXPECT_TRUE(request({0x07, 0x41}).empty());
}

TEST_F(ApplicationTest, SetUnitBaudRateRepliesAtTheOldSpeedThenSwitches) {
  EXPECT_EQ(request({0x05, 0x45, 0x10, 0x30, 0x00, 0x00, 0x25, 0x80}),
            withCrc({0x05, 0x45, 0x10, 0x30}));
  EXPECT_TRUE(request({0x05, 0x41}).empty());
  setPcSpeed(9600);
  EXPECT_EQ(request({0x05, 0x41}), withCrc({0x05, 0x42}));
  // A speed outside the table is acknowledged but not taken.
  EXPECT_EQ(request({0x05, 0x45, 0x10, 0x30, 0x00, 0x00, 0x01, 0x2C}), withCrc({0x05, 0x45, 0x10, 0x30}));
  EXPECT_EQ(request({0x05, 0x41}), withCrc({0x05, 0x42}));
}

// After GotoBootLoader the boot loader waits at its own speed for its window (the scenario's
// goto-boot-window-ms); spoken to there it stays, otherwise the application comes back at
// its configured speed, not the one SetUnitBaudRate set before the reboot.
TEST_F(ApplicationTest, GotoBootLoaderWindowHoldsOnlyABootLoaderSpokenToAtItsSpeed) {
  struct Case {
    const char* what;
    uint32_t pcSpeed;  // the speed the PC asks the boot loader at; 0: nobody asks
    UnitMode after;
  };
  for (const Case& c : {Case{"spoken to at its speed", 9600, UnitMode::BootLoader},
                        Case{"spoken to at another speed", 115200, UnitMode::Application},
                        Case{"not spoken to", 0, UnitMode::Application}}) {
    load(displayScenario("goto-boot-window-ms = 800\n"), 115200);
    EXPECT_EQ(request({0x05, 0x45, 0x10, 0x30, 0x00, 0x00, 0x96, 0x00}), withCrc({0x05, 0x45, 0x10, 0x30}));
    setPcSpeed(38400);
    EXPECT_EQ(request({0xF0, 0x45, 0x10, 0x11}), withCrc({0xF0, 0x45, 0x10, 0x11})) << c.what;
    EXPECT_EQ(unit().mode(), UnitMode::BootLoader) << c.what;
    if (c.pcSpeed != 0) {
      setPcSpeed(c.pcSpeed);
      const Bytes reply = request({0x01, 0x45, 0x10, 0x12}, 600);
      EXPECT_EQ(reply.empty(), c.pcSpeed != 9600) << c.what;
    }
    advanceMs(800);
    EXPECT_EQ(unit().mode(), c.after) << c.what;
    setPcSpeed(c.after == UnitMode::BootLoader ? 9600 : 115200);
    EXPECT_EQ(request(c.after == UnitMode::BootLoader ? Bytes{0x01, 0x45, 0x10, 0x12} : Bytes{0x05, 0x41}).empty(),
              false)
        << c.what;
  }
}

TEST_F(ApplicationTest, ResetRestartsThroughTheBootWindowAndIsNotReadyAtFirst) {
  EXPECT_EQ(request({0x05, 0x45, 0x10, 0x33}), withCrc({0x05, 0x45, 0x10, 0x33, 0x01}));
  EXPECT_EQ(request({0x05, 0x45, 0x10, 0x32}), withCrc({0x05, 0x45, 0x10, 0x32}));
  EXPECT_EQ(unit().mode(), UnitMode::BootLoader);
  advanceMs(500);
  EXPECT_EQ(unit().mode(), UnitMode::Application);
  EXPECT_EQ(request({0x05, 0x45, 0x10, 0x33}), withCrc({0x05, 0x45, 0x10, 0x33, 0x00}));
  advanceMs(2000);
  EXPECT_EQ(request({0x05, 0x45, 0x10, 0x33}), withCrc({0x05, 0x45, 0x10, 0x33, 0x01}));
}

TEST_F(ApplicationTest, ResetSystemRestartsTheNetworkToo) {
  EXPECT_EQ(request({0x05, 0x45, 0x10, 0x18}), withCrc({0x05, 0x45, 0x10, 0x18}));
  EXPECT_EQ(unit("scale2").mode(), UnitMode::BootLoader);
  advanceMs(600);
  EXPECT_EQ(unit("scale2").mode(), UnitMode::Application);
  EXPECT_EQ(request({0x09, 0x41}), withCrc({0x09, 0x42}));
}

TEST(OlderApplications, AnswerOnlyWhatTheirVersionKnows) {
  struct Case : SimUnitTest {
    void TestBody() override {}
    using SimUnitTest::load;
    using SimUnitTest::request;
  } test;
  test.load("[unit old]\ncard = 620\nversion = 5.99\nproduct = 61\nbaud = 9600\n", 9600);
  EXPECT_EQ(test.request({0xF0, 0x45, 0x10, 0x10}),
            withCrc({0xF0, 0x45, 0x10, 0x10, 0x02, 0x6C, 0x00, 0x00, 0x02, 0x57, 0x00, 0x3D}));
  EXPECT_TRUE(test.request({0xF0, 0x45, 0x10, 0x14}).empty());
  EXPECT_TRUE(test.request({0xF0, 0x45, 0x10, 0x17}).empty());
  EXPECT_TRUE(test.request({0xF0, 0x45, 0x10, 0x1C}).empty());
  EXPECT_FALSE(test.request({0xF0, 0x45, 0x10, 0x15}).empty());
}

}  // namespace
}  // namespace kl::sim::testing
