// A test jig relays requests with the proxy header to the unit on its second port.
#include "sim_fixture.h"

namespace kl::sim::testing {
namespace {

constexpr const char* kJig = R"(
[unit jig]
card = 652
version = 6.10
release = 40
modbus-address = 60
baud = 115200
proxy-unit = product
proxy-port = 2
[unit product]
card = 648
circuit = 6
version = 6.08
modbus-address = 4
serial = 777
baud = 38400
boot-baud = 9600
)";

class ProxyTest : public SimUnitTest {
 protected:
  void SetUp() override { load(kJig, 115200); }
  // A request to the product through the jig, framed with the proxy header.
  Bytes proxied(const Bytes& payload) {
    return encodeFrame(payload, true, std::array<uint8_t, 5>{60, 0x47, 0x3E, 2, static_cast<uint8_t>(payload.size())});
  }
};

TEST_F(ProxyTest, ProxyHeaderLayout) {
  EXPECT_EQ(encodeFrame({0x01, 0x45, 0x10, 0x1B}, true, std::array<uint8_t, 5>{5, 0x47, 0x3E, 2, 4}),
            (Bytes{0xF1, 0x0B, 0x05, 0x47, 0x3E, 0x02, 0x04, 0x01, 0x45, 0x10, 0x1B, 0x02, 0x75}));
}

TEST_F(ProxyTest, OpenSearchRelayAndClose) {
  EXPECT_TRUE(sendRaw(proxied({0x04, 0x41})).empty()) << "not relayed before the proxy is open";
  EXPECT_EQ(request({60, 0x45, 0x10, 0x3E}), withCrc({60, 0x45, 0x10, 0x3E, 0x00}));
  EXPECT_EQ(request({60, 0x45, 0x10, 0x3C}),
            withCrc({60, 0x45, 0x10, 0x3C, 0x00, 0x02, 0x00, 0x00, 0x96, 0x00, 0x04, 0x00}));
  EXPECT_EQ(sendRaw(proxied({0x04, 0x41})),
            encodeFrame({0x04, 0x42}, true, std::array<uint8_t, 5>{60, 0x47, 0x3F, 2, 2}));
  EXPECT_EQ(sendRaw(proxied({0x04, 0x45, 0x10, 0x1B})),
            (encodeFrame({0x04, 0x45, 0x10, 0x1B, 0x04}, true, std::array<uint8_t, 5>{60, 0x47, 0x3F, 2, 5})));
  // The second port's speed follows SetProxyBaudRate; the product stays at its own speed.
  EXPECT_EQ(request({60, 0x45, 0x10, 0x3D, 0x02, 0x00, 0x01, 0xC2, 0x00}),
            withCrc({60, 0x45, 0x10, 0x3D, 0x02, 0x00, 0x01, 0xC2, 0x00, 0x00}));
  EXPECT_TRUE(sendRaw(proxied({0x04, 0x41})).empty()) << "second port at 115200, product at 38400";
  EXPECT_EQ(request({60, 0x45, 0x10, 0x3D, 0x03, 0x00, 0x00, 0x96, 0x00}),
            withCrc({60, 0x45, 0x10, 0x3D, 0x03, 0x00, 0x00, 0x96, 0x00, 0x03})) << "no port 3";
  EXPECT_EQ(request({60, 0x45, 0x10, 0x3F}), withCrc({60, 0x45, 0x10, 0x3F, 0x00}));
  EXPECT_TRUE(sendRaw(proxied({0x04, 0x41})).empty()) << "closed";
}

TEST_F(ProxyTest, SearchReportsAProductInItsBootLoader) {
  request({60, 0x45, 0x10, 0x3E});
  unit("product").restart(true);
  EXPECT_EQ(request({60, 0x45, 0x10, 0x3C}),
            withCrc({60, 0x45, 0x10, 0x3C, 0x00, 0x02, 0x00, 0x00, 0x25, 0x80, 0x01, 0x01}));
  EXPECT_EQ(sendRaw(proxied({0x01, 0x45, 0x10, 0x12})),
            encodeFrame({0x01, 0x45, 0x10, 0x12, 0x44}, true, std::array<uint8_t, 5>{60, 0x47, 0x3F, 2, 5}));
  unit("product").powerOff();
  EXPECT_EQ(request({60, 0x45, 0x10, 0x3C}),
            withCrc({60, 0x45, 0x10, 0x3C, 0x02, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

// A reply goes out at the speed the product had when it sent it: a speed change or a restart
// that follows the reply spoils none of it, even on a clock that runs late.
TEST_F(ProxyTest, ARepliesBytesKeepTheSpeedTheyWereSentAtOnALateClock) {
  const auto fromProduct = [](const Bytes& payload) {
    return encodeFrame(payload, true, std::array<uint8_t, 5>{60, 0x47, 0x3F, 2, static_cast<uint8_t>(payload.size())});
  };
  request({60, 0x45, 0x10, 0x3E});
  world_.lagStepUs = 20;
  EXPECT_EQ(sendRaw(proxied({0x04, 0x45, 0x10, 0x30, 0x00, 0x00, 0x4B, 0x00})), fromProduct({0x04, 0x45, 0x10, 0x30}))
      << "SetUnitBaudRate, then the switch to 19200";
  EXPECT_EQ(request({60, 0x45, 0x10, 0x3D, 0x02, 0x00, 0x00, 0x4B, 0x00}),
            withCrc({60, 0x45, 0x10, 0x3D, 0x02, 0x00, 0x00, 0x4B, 0x00, 0x00}));
  EXPECT_EQ(sendRaw(proxied({0x04, 0x45, 0x10, 0x11})), fromProduct({0x04, 0x45, 0x10, 0x11}))
      << "GotoBootLoader, then the boot loader at 9600";
  EXPECT_EQ(unit("product").mode(), UnitMode::BootLoader);
}

TEST(ProxyCalls, UnitsWithoutASecondPortDoNotAnswerThem) {
  struct Case : SimUnitTest {
    void TestBody() override {}
    using SimUnitTest::load;
    using SimUnitTest::request;
  } test;
  test.load("[unit display]\ncard = 653\nversion = 6.10\nbaud = 115200\n", 115200);
  EXPECT_TRUE(test.request({0xF0, 0x45, 0x10, 0x3E}).empty());
}

}  // namespace
}  // namespace kl::sim::testing
