// Speed, time-out and proxy control of the link.
#include "transport/link_control.h"

#include "connect_fixture.h"
#include "protocol/identification.h"
#include "protocol/link_speed.h"
#include "protocol/proxy_calls.h"
#include "wire/commands.h"

namespace kl::test {
namespace {

constexpr int kCom = 4;

class LinkSpeedTest : public ConnectTest {
 protected:
  LinkSpeedTest() : peer(placePeer(kCom, 19200)) {}
  sim::ScriptedPeer& peer;
};

TEST_F(LinkSpeedTest, ReopeningChangeTracesAndAppliesTheNewSpeedAndParity) {
  openAt(kCom, 19200);
  ASSERT_TRUE(ChangePacketBaudRate(s(), 9600, 1, 100, false));
  EXPECT_EQ(line(kCom).pcSettings().baud, 9600u);
  EXPECT_TRUE(line(kCom).pcSettings().parityOn);
  EXPECT_EQ(s().portSettings.replyTimeout, 100u);
  EXPECT_TRUE(shows("ChangePacketBaudRate: re-opening comm port to change baud rate\r\n"
                           "ChangeBaudRate closing comm port: 4"));
  EXPECT_TRUE(shows("baud rate = 9600 timeout=100ms (even parity)\r\n"));
}

TEST_F(LinkSpeedTest, SameSpeedWithOtherParityDoesNotReopen) {
  openAt(kCom, 19200);
  ASSERT_TRUE(ChangePacketBaudRate(s(), 19200, 1, 50, false));
  EXPECT_EQ(s().portSettings.evenParity, 1);
  EXPECT_FALSE(line(kCom).pcSettings().parityOn);  // takes effect at the next re-open
  EXPECT_TRUE(shows("baud rate = 19200 (no change) timeout=50ms\r\n"));
  EXPECT_EQ(console().find("ChangeBaudRate closing"), std::string::npos);
}

TEST_F(LinkSpeedTest, DirectChangeSetsTheOpenPort) {
  openAt(kCom, 19200);
  ASSERT_TRUE(ChangePacketBaudRate(s(), 115200, 0, 50, true));
  EXPECT_EQ(line(kCom).pcSettings().baud, 115200u);
  EXPECT_TRUE(shows("ChangePacketBaudRate: direct call to comm port\r\n"
                           "baud rate = 115200 timeout=50ms (direct baud rate setting)\r\n"));
  EXPECT_EQ(console().find("ChangeBaudRate closing"), std::string::npos);
  ASSERT_TRUE(ChangePacketBaudRate(s(), 115200, 0, 100, true));
  EXPECT_TRUE(shows("baud rate = 115200 (no change) timeout=100ms\r\n"));
}

TEST_F(LinkSpeedTest, SetReplyTimeoutKeepsTheSpeed) {
  openAt(kCom, 19200);
  SetReplyTimeout(s(), 1000);
  EXPECT_EQ(s().portSettings.replyTimeout, 1000u);
  EXPECT_TRUE(shows("baud rate = 19200 (no change) timeout=1000ms\r\n"));
}

TEST_F(LinkSpeedTest, ProxyChangeAsksTheProxyWithoutRelayHeaderAndKeepsThePcSpeed) {
  openAt(kCom, 19200);
  s().currentUnitId = 7;
  TurnProxyOn(s());
  EXPECT_EQ(ReplyTimeoutShort(s()), 100);
  s().packet.proxyAddress = 0x21;
  s().packet.proxyPort = 2;
  const std::vector<uint8_t> request = {0x21, 0x45, 0x10, 0x3D, 0x02, 0x00, 0x00, 0xE1, 0x00};
  peer.onByte = [&](sim::ScriptedPeer& p, uint8_t) {
    if (p.received.size() == request.size() + 2) {
      std::vector<uint8_t> reply = request;
      reply.push_back(0);  // result
      p.send(Framed(reply));
    }
  };
  ASSERT_TRUE(ChangePacketBaudRate(s(), 57600, 0, 100, false));
  EXPECT_EQ(peer.received, Framed(request));  // no F1 length header, no proxy header
  EXPECT_TRUE(s().packet.proxyOn);
  EXPECT_EQ(line(kCom).pcSettings().baud, 19200u);
  EXPECT_TRUE(shows("ChangePacketBaudRate: using proxy to change baud rate\r\n"));
  EXPECT_TRUE(shows("proxy baud rate = 57600 timeout=100ms\r\n"));

  ASSERT_TRUE(ChangePacketBaudRate(s(), 57600, 0, 100, false));
  EXPECT_TRUE(shows("proxy baud rate = 57600 (no change) timeout=100ms\r\n"));

  TurnProxyOff(s());
  EXPECT_EQ(s().portSettings.baudRate, 19200u);
  EXPECT_EQ(s().currentUnitId, 7);
  EXPECT_EQ(ReplyTimeoutShort(s()), 50);
  EXPECT_FALSE(s().packet.proxyOn);
}

TEST_F(LinkSpeedTest, ProxySpeedChangeWithWrongEchoFailsAfterEightAttempts) {
  openAt(kCom, 19200);
  // The speed echoed wrong, then the port.
  for (const uint8_t port : {2, 3}) {
    SCOPED_TRACE(port);
    peer.received.clear();
    const uint8_t speed = port == 2 ? 0x96 : 0xE1;
    peer.onByte = [port, speed](sim::ScriptedPeer& p, uint8_t) {
      if (p.received.size() % 11 == 0) p.send(Framed({0x21, 0x45, 0x10, 0x3D, port, 0x00, 0x00, speed, 0x00, 0x00}));
    };
    EXPECT_FALSE(SetProxyBaudRate(s(), 0x21, 2, 57600));
    EXPECT_EQ(peer.received.size(), 8u * 11u);
    EXPECT_TRUE(shows("FAILED\r\n"));
  }
}

// Opening, closing and searching through the proxy succeed only on an answer of success, and
// opening is tried twice.
TEST_F(LinkSpeedTest, ProxyCallsTakeOnlyAnAnswerOfSuccess) {
  openAt(kCom, 19200);
  using Bytes = std::vector<uint8_t>;
  const Bytes open = {0x21, 0x45, 0x10, 0x3E}, close = {0x21, 0x45, 0x10, 0x3F}, search = {0x21, 0x45, 0x10, 0x3C};
  const auto with = [](Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  const auto opening = [&] { return OpenKestrelinkProxy(s(), 0x21); };
  ProxySearchResult found;
  const auto searching = [&] { return SearchKestrelinkProxy(s(), 0x21, found); };
  struct Case {
    const char* name;
    std::vector<Bytes> replies;  // to each request in turn; empty: none
    std::function<bool()> call;
    bool done;
  };
  const Case cases[] = {
      {"open refused", {with(open, {1})}, opening, false},
      {"open answered the second time", {{}, with(open, {0})}, opening, true},
      {"open unanswered twice", {{}, {}, with(open, {0})}, opening, false},
      {"close refused", {with(close, {1})}, [&] { return CloseKestrelinkProxy(s(), 0x21); }, false},
      {"search finds nothing", {with(search, {1, 2, 0, 0, 0xE1, 0, 5, 0})}, searching, false},
      {"search finds the product", {with(search, {0, 2, 0, 0, 0xE1, 0, 5, 0})}, searching, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    peer.received.clear();
    peer.onByte = [&c](sim::ScriptedPeer& p, uint8_t) {
      const size_t request = p.received.size() / 6;
      if (p.received.size() % 6 == 0 && request <= c.replies.size() && !c.replies[request - 1].empty()) {
        p.send(Framed(c.replies[request - 1]));
      }
    };
    EXPECT_EQ(c.call(), c.done);
  }
  peer.onByte = nullptr;
  EXPECT_EQ(found.unitId, 5);
}

TEST_F(LinkSpeedTest, RestoreThatCannotReopenEndsTheRun) {
  openAt(kCom, 230400);
  SaveConnectionBaudRate(s());
  EXPECT_TRUE(shows("-- saved connection baud rate = 230400\r\n"));
  ASSERT_TRUE(ChangePacketBaudRate(s(), 9600, 0, 100, false));
  line(kCom).maxBaud = 115200;
  int code = 0;
  EXPECT_TRUE(endsRun([&] { RestoreConnectionBaudRate(s(), 100); }, &code));
  EXPECT_EQ(code, 1);
  EXPECT_TRUE(shows("-- restoring saved connection baud rate = 230400\r\n"));
  EXPECT_TRUE(shows("Fatal Error: Unable to change baudrate"));
}

// A flash programmer stand-in at a fixed speed: it answers a well-formed speed request and may
// switch to the new speed after its reply.
class ProgrammerSpeedTest : public ConnectTest {
 protected:
  ProgrammerSpeedTest() : peer(placePeer(kCom, 9600)) {}

  void answerSpeedRequest(uint16_t command, uint8_t index, uint32_t switchTo = 0) {
    const std::vector<uint8_t> head = {0x01, 0x45, static_cast<uint8_t>(command >> 8), static_cast<uint8_t>(command)};
    std::vector<uint8_t> request = head;
    request.push_back(index);
    expected = Framed(request);
    peer.onByte = [this, head, switchTo](sim::ScriptedPeer& p, uint8_t) {
      if (p.received.size() < expected.size()) return;
      if (!std::equal(expected.begin(), expected.end(), p.received.end() - static_cast<long>(expected.size()))) return;
      ++requestsSeen;
      p.send(Framed(head));
      if (switchTo != 0) {
        p.port()->scheduler().after(5000, [&p, switchTo] { p.port()->setFormat({switchTo, sim::Parity::None}); });
      }
    };
  }

  sim::ScriptedPeer& peer;
  std::vector<uint8_t> expected;
  int requestsSeen = 0;
};

TEST_F(ProgrammerSpeedTest, CyclesThePcSpeedUntilTheProgrammerHears) {
  openAt(kCom, 115200);
  Unit unit;
  unit.bootLoaderRelease = 16;
  answerSpeedRequest(wire::cmd::SetProgrammerBaudRate, 6);
  ASSERT_TRUE(SetProgrammerBaudRate(s(), unit, 230400, false));
  EXPECT_EQ(requestsSeen, 1);
  EXPECT_EQ(s().portSettings.baudRate, 230400u);
  EXPECT_EQ(line(kCom).pcSettings().baud, 230400u);
  EXPECT_EQ(s().portSettings.replyTimeout, 1000u);
  EXPECT_TRUE(shows("Programmer baud rate 230400 specified\r\n"));
  EXPECT_TRUE(shows("Changing programmer baud rate to 230400\r\n"));
}

TEST_F(ProgrammerSpeedTest, OldBootLoaderTakesTheOldCommandAndExtendedTableIndex) {
  openAt(kCom, 9600);
  Unit unit;
  unit.bootLoaderRelease = 10;
  answerSpeedRequest(wire::cmd::SetProgrammerBaudRateOld, 6);
  ASSERT_TRUE(SetProgrammerBaudRate(s(), unit, 128000, true));
  EXPECT_EQ(requestsSeen, 1);
  EXPECT_EQ(s().portSettings.baudRate, 128000u);
  unit.bootLoaderRelease = 11;  // the new command from release 11 on
  answerSpeedRequest(wire::cmd::SetProgrammerBaudRate, 6);
  ASSERT_TRUE(SetProgrammerBaudRate(s(), unit, 230400, false));
  EXPECT_EQ(requestsSeen, 2);
}

TEST_F(ProgrammerSpeedTest, RateMissingFromTheUnitTableFallsBackTo115200) {
  openAt(kCom, 9600);
  Unit unit;
  unit.bootLoaderRelease = 16;
  answerSpeedRequest(wire::cmd::SetProgrammerBaudRate, 5);
  ASSERT_TRUE(SetProgrammerBaudRate(s(), unit, 128000, false));
  EXPECT_TRUE(shows("Unknown baudrate: 128000\r\nAvailable baudrates are: 9600 19200 38400 57600 115200 "
                           "230400 460800 921600\r\nUsing 115200\r\n"));
  EXPECT_EQ(s().portSettings.baudRate, 115200u);
}

TEST_F(ProgrammerSpeedTest, SurvivesALostReplyWhenTheProgrammerHasSwitched) {
  openAt(kCom, 9600);
  Unit unit;
  unit.bootLoaderRelease = 16;
  answerSpeedRequest(wire::cmd::SetProgrammerBaudRate, 7, 460800);
  line(kCom).towardsPc.dropRate = 1.0;  // the first reply is lost
  sim.world.after(30000, [this] { line(kCom).towardsPc.dropRate = 0; });
  ASSERT_TRUE(SetProgrammerBaudRate(s(), unit, 460800, false));
  EXPECT_EQ(requestsSeen, 2);  // the second at the new speed
  EXPECT_EQ(line(kCom).pcSettings().baud, 460800u);
}

TEST_F(ProgrammerSpeedTest, SameSpeedSendsNothing) {
  openAt(kCom, 115200);
  Unit unit;
  ASSERT_TRUE(SetProgrammerBaudRate(s(), unit, 115200, false));
  EXPECT_TRUE(line(kCom).sentByPc().empty());
  EXPECT_EQ(s().portSettings.replyTimeout, 1000u);
  EXPECT_TRUE(shows("No change - already at the specified baud rate 115200\r\n"));
}

TEST_F(ProgrammerSpeedTest, SilentProgrammerFailsAfterSixteenAttempts) {
  openAt(kCom, 115200);
  Unit unit;
  unit.bootLoaderRelease = 16;
  int frames = 0;
  peer.onByte = [&](sim::ScriptedPeer& p, uint8_t) { frames = static_cast<int>(CountOf(p.received, {0x01, 0x45, 0x10, 0x23})); };
  EXPECT_FALSE(SetProgrammerBaudRate(s(), unit, 230400, false));
  EXPECT_EQ(frames, 4);  // heard only at 9600: attempts 3, 7, 11, 15
  EXPECT_TRUE(shows("FAILED\r\n"));
}

// The application's speed change against a simulated unit.
class UnitSpeedTest : public ConnectTest {
 protected:
  sim::Unit& placeUnit(const std::string& extra, uint32_t baud, int com = kCom) {
    sim::Unit& u = place("[unit zs3]\ncard = 648\ncircuit = 5\nmodbus-address = 11\nbaud = " + std::to_string(baud) +
                             "\n" + extra,
                         com);
    openAt(com, baud);
    SaveConnectionBaudRate(s());
    unit.mode = modeBalvantaSoftware;
    unit.address = 11;
    unit.mcuType = mcu::LPC1768;
    return u;
  }
  Unit unit;
};

TEST_F(UnitSpeedTest, LimitsBySoftwareVersionAndMcu) {
  sim::Unit& simUnit = placeUnit("version = 6.05\n", 38400);
  unit.softwareVersion = 605;
  ASSERT_TRUE(SetUnitBaudRate(s(), unit, 460800));
  EXPECT_TRUE(shows("Balvanta baud rate 230400 specified\r\nChanging Balvanta baud rate to 230400\r\n"));
  EXPECT_EQ(simUnit.applicationFormat().baud, 230400u);
  EXPECT_EQ(line(kCom).pcSettings().baud, 230400u);
  EXPECT_EQ(s().portSettings.replyTimeout, 1000u);
  EXPECT_TRUE(Ping(s(), 11));

  unit.softwareVersion = 606;
  unit.softwareRelease = 35;
  ASSERT_TRUE(SetUnitBaudRate(s(), unit, 460800));
  EXPECT_EQ(simUnit.applicationFormat().baud, 460800u);

  unit.mcuType = mcu::H8S2145;
  ASSERT_TRUE(SetUnitBaudRate(s(), unit, 921600));
  EXPECT_EQ(simUnit.applicationFormat().baud, 115200u);
}

TEST_F(UnitSpeedTest, UnknownRateIsListedAndReplacedBy115200) {
  sim::Unit& simUnit = placeUnit("", 38400);
  unit.softwareVersion = 610;
  ASSERT_TRUE(SetUnitBaudRate(s(), unit, 300));
  EXPECT_TRUE(shows("Unknown baudrate: 300\r\nAvailable baudrates are: 9600 19200 38400 57600 115200 230400 "
                           "460800 921600\r\nUsing 115200\r\n"));
  EXPECT_EQ(simUnit.applicationFormat().baud, 115200u);
}

TEST_F(UnitSpeedTest, CurrentRateSendsNothingAndLengthensTheTimeout) {
  placeUnit("", 115200);
  ASSERT_TRUE(SetUnitBaudRate(s(), unit, 0));
  EXPECT_TRUE(line(kCom).sentByPc().empty());
  EXPECT_EQ(s().portSettings.replyTimeout, 1000u);
  EXPECT_TRUE(shows("No change - already at the specified baud rate\r\n"));
  unit.mode = modeBalvantaBootLoader;
  EXPECT_FALSE(SetUnitBaudRate(s(), unit, 9600));
}

TEST_F(UnitSpeedTest, SurvivesALostReplyByAlternatingSpeeds) {
  sim::Unit& simUnit = placeUnit("", 38400);
  unit.softwareVersion = 610;
  line(kCom).towardsPc.dropRate = 1.0;  // the unit's first acknowledgement is lost; it switches anyway
  sim.world.after(30000, [this] { line(kCom).towardsPc.dropRate = 0; });
  ASSERT_TRUE(SetUnitBaudRate(s(), unit, 9600));
  EXPECT_EQ(CountOf(line(kCom).deliveredToDevice(), {0x0B, 0x45, 0x10, 0x30}), 2);
  EXPECT_EQ(simUnit.applicationFormat().baud, 9600u);
  EXPECT_TRUE(Ping(s(), 11));
}

// Eight speed requests (alternating speeds: a unit that switched hears only every other one)
// and four pings at the new speed, each lasting until its last attempt.
TEST_F(UnitSpeedTest, RequestsAndPingsLastUntilTheirLastAttempt) {
  struct Case {
    const char* lost;  // replies of the unit
    bool changed;
    bool fellBack;
  };
  int com = kCom;
  for (const Case& c : {Case{"1 2 3 4", true, false}, Case{"1 2 3 4 5", false, false}, Case{"2 3 4", true, false},
                        Case{"2 3 4 5", false, true}}) {
    SCOPED_TRACE(c.lost);
    s().out.flushConsole();
    sim.console.clearOutput();
    placeUnit(std::string("fault-lose-replies = ") + c.lost + "\n", 38400, ++com);
    unit.softwareVersion = 610;
    EXPECT_EQ(SetUnitBaudRate(s(), unit, 9600), c.changed);
    EXPECT_EQ(shows("-- could not connect at 9600 - falling back to 115200"), c.fellBack);
    ClosePort(s());
  }
}

TEST_F(UnitSpeedTest, UnreachableNewSpeedFallsBackTo115200) {
  sim::Unit& simUnit = placeUnit("version = 6.06\nrelease = 35\nmax-baud = 230400\n", 115200);
  unit.softwareVersion = 606;
  unit.softwareRelease = 35;
  ASSERT_TRUE(SetUnitBaudRate(s(), unit, 460800));
  EXPECT_TRUE(shows("-- could not connect at 460800 - falling back to 115200\r\n"));
  EXPECT_EQ(simUnit.applicationFormat().baud, 115200u);
  EXPECT_EQ(s().portSettings.baudRate, 115200u);
  EXPECT_TRUE(Ping(s(), 11));
}

}  // namespace
}  // namespace kl::test
