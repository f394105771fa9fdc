// The route through a test jig's proxy port to the product behind it.
#include "connect/connection.h"
#include "connect/discovery.h"
#include "connect_fixture.h"
#include "protocol/identification.h"
#include "protocol/link_speed.h"
#include "protocol/proxy_calls.h"
#include "transport/link_control.h"

namespace kl::test {
namespace {

constexpr int kCom = 3;
constexpr uint8_t kJig = 50;

class ProxyRouteTest : public ConnectTest {
 protected:
  ProxyRouteTest() {
    placeFile("zk7-test-jig.scn", kCom);
    s().givenOptions().port = kCom;
    FindPortAndUnit(s(), s().unit);
    EXPECT_TRUE(ConnectToUnit(s(), s().unit));
    EXPECT_EQ(s().unit.address, kJig);
  }

  // What the remote flows do to reach the unit behind the proxy.
  ProxySearchResult openRoute() {
    ProxySearchResult found;
    EXPECT_TRUE(OpenKestrelinkProxy(s(), kJig));
    EXPECT_TRUE(SearchKestrelinkProxy(s(), kJig, found));
    TurnProxyOn(s());
    s().portSettings.baudRate = found.baudRate;
    SaveConnectionBaudRate(s());
    s().currentUnitId = found.unitId;
    s().packet.proxyAddress = kJig;
    s().packet.proxyPort = found.port;
    return found;
  }
};

TEST_F(ProxyRouteTest, ProductBehindTheJigIsReachedAndTheRouteClosedAgain) {
  const ProxySearchResult found = openRoute();
  EXPECT_EQ(found.port, 2);
  EXPECT_EQ(found.baudRate, 115200u);
  EXPECT_EQ(found.unitId, 16);
  EXPECT_FALSE(found.bootLoader);
  EXPECT_TRUE(shows("RPC: OpenKestrelinkProxy\r\nCOMPLETE: Result=00\r\n"));
  EXPECT_TRUE(shows("RPC: SearchKestrelinkProxy\r\nCOMPLETE: Result=00 PortNumber=2 BaudRate=115200 UnitID=16 "
                    "BootLoader=0\r\n"));

  Unit product;
  product.mode = modeBalvantaSoftware;
  product.address = found.unitId;
  ASSERT_TRUE(ReadUnitInfo(s(), product));
  EXPECT_EQ(product.cardNumber, 648);
  EXPECT_EQ(ReplyTimeoutShort(s()), 100);

  TurnProxyOff(s());
  EXPECT_EQ(s().currentUnitId, kJig);
  EXPECT_EQ(s().portSettings.baudRate, 115200u);
  EXPECT_TRUE(CloseKestrelinkProxy(s(), kJig));
  EXPECT_TRUE(shows("RPC: CloseKestrelinkProxy\r\nCOMPLETE: Result=00\r\n"));
  EXPECT_TRUE(Ping(s(), kJig));
}

TEST_F(ProxyRouteTest, SpeedChangeBehindTheProxyGoesToTheProxyPort) {
  openRoute();
  const uint32_t pcBaud = line(kCom).pcSettings().baud;
  ASSERT_TRUE(ChangePacketBaudRate(s(), 57600, 0, ReplyTimeoutNormal, false));
  EXPECT_EQ(line(kCom).pcSettings().baud, pcBaud);
  EXPECT_EQ(s().portSettings.baudRate, 57600u);
  EXPECT_TRUE(s().packet.proxyOn);
}

TEST_F(ProxyRouteTest, ProxyCallsToAnAbsentAddressFail) {
  EXPECT_FALSE(OpenKestrelinkProxy(s(), 77));
  ProxySearchResult found;
  found.unitId = 99;
  EXPECT_FALSE(SearchKestrelinkProxy(s(), 77, found));
  EXPECT_EQ(found.unitId, 99);  // untouched without an accepted reply
  const std::string out = console();
  const size_t search = out.rfind("RPC: SearchKestrelinkProxy\r\n");
  ASSERT_NE(search, std::string::npos);
  EXPECT_NE(out.find("FAILED", search), std::string::npos);
  EXPECT_EQ(out.find("COMPLETE", search), std::string::npos);
}

}  // namespace
}  // namespace kl::test
