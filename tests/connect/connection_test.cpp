// Connecting to a found unit, waiting for its boot loader, and finding it again after a restart.
#include "connect/connection.h"

#include "connect/discovery.h"
#include "connect_fixture.h"
#include "protocol/identification.h"

namespace kl::test {
namespace {

constexpr int kCom = 3;
const std::string kZs3 =
    "[unit zs3]\ncard = 648\ncircuit = 5\nversion = 6.05\nrelease = 2\nserial = 480055\nmodbus-address = 11\n"
    "boot-loader = C3\nboot-release = 13\nboot-baud = 9600\nbaud = 38400\n";

class ConnectionTest : public ConnectTest {
 protected:
  Unit& unit() { return s().unit; }
  void findOn(int com) {
    s().givenOptions().port = static_cast<uint16_t>(com);
    FindPortAndUnit(s(), unit());
  }
  // The operator switches the unit off and on when asked to.
  void operatorCyclesPowerOnRequest(sim::Unit& simUnit, int times = 1) {
    sim.console.onOutput = [this, &simUnit, times](std::string_view text) mutable {
      if (times > 0 && text.find("please turn the unit power off and on now") != std::string_view::npos) {
        --times;
        ++powerCycles;
        sim.world.after(300000, [&simUnit] { simUnit.powerCycle(); });
      }
    };
  }
  int powerCycles = 0;
};

TEST_F(ConnectionTest, RunningUnitIsIdentifiedAndLeftAtTheLongTimeout) {
  place(kZs3, kCom);
  findOn(kCom);
  ASSERT_TRUE(ConnectToUnit(s(), unit()));
  EXPECT_EQ(unit().cardNumber, 648);
  EXPECT_EQ(unit().mcuType, mcu::LPC1768);
  EXPECT_EQ(unit().softwareVersion, 605);
  EXPECT_TRUE(s().newFileProtocol);
  EXPECT_EQ(s().portSettings.baudRate, 38400u);
  EXPECT_EQ(s().portSettings.replyTimeout, 1000u);
  EXPECT_TRUE(shows("Connecting to Balvanta unit...\r\n"));
}

TEST_F(ConnectionTest, OlderSoftwareKeepsTheOldFileProtocol) {
  int com = kCom;
  for (const auto& [version, newProtocol] : {std::pair{"6.03", false}, std::pair{"6.04", true}}) {
    SCOPED_TRACE(version);
    place(std::string("[unit zs3]\ncard = 648\ncircuit = 5\nmodbus-address = 11\nbaud = 19200\nversion = ") + version +
              "\n",
          com);
    findOn(com++);
    ASSERT_TRUE(ConnectToUnit(s(), unit()));
    EXPECT_EQ(s().newFileProtocol, newProtocol);
    ClosePort(s());
  }
}

TEST_F(ConnectionTest, HungUnitIsReachedInItsBootLoaderAfterThePowerCycle) {
  sim::Unit& simUnit = placeFile("power-cycle.scn", kCom);
  findOn(kCom);
  ASSERT_EQ(unit().mode, modeUnknown);
  operatorCyclesPowerOnRequest(simUnit);
  ASSERT_TRUE(WaitForBootLoader(s(), unit()));
  EXPECT_EQ(powerCycles, 1);
  EXPECT_EQ(unit().mode, modeBalvantaBootLoader);
  EXPECT_EQ(unit().address, 1);
  EXPECT_EQ(s().currentUnitId, 1);
  EXPECT_EQ(s().link.savedBaudRate, 9600u);
  EXPECT_TRUE(shows("Attempting to connect to boot loader, please turn the unit power off and on now\r\n"));
  EXPECT_TRUE(shows("\r\n-- Found Unit (balvanta boot loader)\r\n"));
  EXPECT_EQ(console().find("at 115200 baud"), std::string::npos);
}

TEST_F(ConnectionTest, HungUnitConnectsThroughItsBootLoaderAfterOnePowerCycle) {
  sim::Unit& simUnit = placeFile("power-cycle.scn", kCom);
  findOn(kCom);
  operatorCyclesPowerOnRequest(simUnit, 5);
  ASSERT_TRUE(ConnectToUnit(s(), unit()));
  EXPECT_EQ(powerCycles, 1);
  EXPECT_EQ(unit().mode, modeBalvantaBootLoader);
  EXPECT_EQ(unit().cardNumber, 649);
  EXPECT_EQ(unit().bootLoaderRelease, 16);
}

TEST_F(ConnectionTest, BootLoaderThatCannotTellItsIdentityIsAskedForAPowerCycleOnlyOnce) {
  // A boot loader that answers its version but not ReadBasicInfo.
  sim::Unit& simUnit =
      place(readFile(std::string(KESTRELINK_SOURCE_DIR) + "/sim/scenarios/power-cycle.scn") + "boot-basic-info = no\n", kCom);
  findOn(kCom);
  operatorCyclesPowerOnRequest(simUnit, 5);
  EXPECT_FALSE(ConnectToUnit(s(), unit()));
  EXPECT_EQ(powerCycles, 1);
}

TEST_F(ConnectionTest, SilentUnitFailsAfterBothPowerCycleWaits) {
  placePeer(kCom, 19200);
  findOn(kCom);
  const uint64_t start = nowMs();
  EXPECT_FALSE(ConnectToUnit(s(), unit()));
  const uint64_t waited = nowMs() - start;
  EXPECT_GE(waited, 90000u);
  EXPECT_LT(waited, 120000u);
  EXPECT_TRUE(shows("Attempting to connect to boot loader at 115200 baud, please turn the unit power off and on now\r\n"));
}

TEST_F(ConnectionTest, EscapeDuringThePowerCycleWaitAborts) {
  placePeer(kCom, 19200);
  findOn(kCom);
  sim.console.pressKeys("\x1b", sim.world.nowUs() + 2000000);
  EXPECT_TRUE(endsRun([&] { WaitForBootLoader(s(), unit()); }));
  EXPECT_TRUE(shows("Fatal Error: Aborted"));
}

TEST_F(ConnectionTest, NoOpenPortFailsAtOnce) {
  const uint64_t start = nowMs();
  EXPECT_FALSE(ConnectToUnit(s(), unit()));
  EXPECT_EQ(nowMs(), start);
}

TEST_F(ConnectionTest, DirectUnitIsFoundAgainAfterARestart) {
  sim::Unit& simUnit = place(kZs3, kCom);
  findOn(kCom);
  ASSERT_TRUE(ConnectToUnit(s(), unit()));
  simUnit.powerCycle();
  unit().mode = modeUnknown;
  ASSERT_TRUE(ReconnectToUnit(s(), unit()));
  EXPECT_EQ(unit().mode, modeBalvantaSoftware);
  EXPECT_EQ(unit().serialNumber, 480055);
  EXPECT_EQ(s().portSettings.replyTimeout, 1000u);
  EXPECT_TRUE(shows("Reconnecting to unit 11\r\n"));
  EXPECT_TRUE(shows("RPC: Ping and ReadBasicInfo\r\n"));
}

TEST_F(ConnectionTest, DirectUnitThatComesBackAtAnotherSpeedIsSearchedFor) {
  sim::Unit& simUnit = place(kZs3, kCom);
  findOn(kCom);
  ASSERT_TRUE(ConnectToUnit(s(), unit()));
  simUnit.setApplicationFormat({115200, sim::Parity::None});
  ASSERT_TRUE(ReconnectToUnit(s(), unit()));
  EXPECT_EQ(s().link.savedBaudRate, 115200u);
  EXPECT_EQ(unit().softwareVersion, 605);
}

TEST_F(ConnectionTest, DirectUnitThatNeverComesBackFailsAfterAMinute) {
  sim::Unit& simUnit = place(kZs3, kCom);
  findOn(kCom);
  ASSERT_TRUE(ConnectToUnit(s(), unit()));
  simUnit.powerOff();
  const uint64_t start = nowMs();
  EXPECT_FALSE(ReconnectToUnit(s(), unit()));
  EXPECT_GE(nowMs() - start, 60000u);
  EXPECT_TRUE(console().ends_with("."));  // the line of dots, ended by the next output
}

// The transmitter behind the display of the display-network scenario.
class RemoteReconnectTest : public ConnectionTest {
 protected:
  RemoteReconnectTest() {
    placeFile("display-network.scn", kCom);
    findOn(kCom);
    EXPECT_TRUE(ConnectToUnit(s(), unit()));  // the display, address 4
    remote.mode = modeBalvantaSoftware;
    remote.address = 2;
    EXPECT_TRUE(ReadUnitInfo(s(), remote));
    EXPECT_TRUE(ReadExtendedInfo(s(), remote));
    EXPECT_EQ(remote.unitFamily, family::Transmitter);
    s().out.flushConsole();
    sim.console.clearOutput();
  }
  bool ConnectToRemote() { return ReconnectToUnit(s(), remote); }
  sim::Unit& transmitter() { return *installation(kCom).find("transmitter"); }
  sim::Unit& io() { return *installation(kCom).find("io"); }
  Unit remote;
};

TEST_F(RemoteReconnectTest, RemoteUnitAtItsAddressIsReadAgain) {
  transmitter().restart(false);
  ASSERT_TRUE(ConnectToRemote());
  EXPECT_EQ(remote.serialNumber, 590101);
  EXPECT_EQ(remote.unitFamily, family::Transmitter);
  EXPECT_EQ(remote.address, 2);
  EXPECT_EQ(s().currentUnitId, 4);
}

// A restarted unit is looked for at its own address for ten seconds before it is searched for
// by its kind.
TEST_F(RemoteReconnectTest, RemoteUnitBackAtItsAddressWithinTenSecondsIsNotSearchedFor) {
  transmitter().powerOff();
  sim.world.after(3000000, [this] { transmitter().powerOn(); });
  ASSERT_TRUE(ConnectToRemote());
  EXPECT_EQ(remote.address, 2);
  EXPECT_FALSE(shows("-- found matching unit"));
}

TEST_F(RemoteReconnectTest, RemoteUnitUnderANewAddressIsFoundByItsKind) {
  remote.programmerVersion = 9;  // not part of the identity: stays
  transmitter().state().application.modbusAddress = 9;
  transmitter().restart(false);
  ASSERT_TRUE(ConnectToRemote());
  EXPECT_EQ(remote.address, 9);
  EXPECT_EQ(remote.serialNumber, 590101);
  EXPECT_EQ(remote.programmerVersion, 9);
  EXPECT_TRUE(shows("Checking Balvanta Unit: 9\r\n"));
  EXPECT_TRUE(shows("-- found matching unit: 9\r\n"));
  EXPECT_EQ(console().find("Warning: serial number does not match!"), std::string::npos);
}

TEST_F(RemoteReconnectTest, ReplacedUnitIsTakenWithAWarning) {
  transmitter().state().application.modbusAddress = 9;
  transmitter().state().application.serialNumber = 591111;
  ASSERT_TRUE(ConnectToRemote());
  EXPECT_TRUE(shows("\r\nWarning: serial number does not match!\r\n"));
  EXPECT_EQ(remote.serialNumber, 591111);
}

TEST_F(RemoteReconnectTest, SerialNumberZeroNeverWarns) {
  transmitter().state().application.modbusAddress = 9;
  remote.serialNumber = 0;
  ASSERT_TRUE(ConnectToRemote());
  EXPECT_EQ(console().find("Warning: serial number does not match!"), std::string::npos);
}

TEST_F(RemoteReconnectTest, TwoUnitsOfTheSameKindEndTheRun) {
  transmitter().state().application.modbusAddress = 9;
  sim::ApplicationIdentity twin = transmitter().state().application;
  twin.modbusAddress = 7;
  twin.serialNumber = 590202;
  io().state().application = twin;
  EXPECT_TRUE(endsRun([&] { ConnectToRemote(); }));
  EXPECT_TRUE(shows("Fatal Error: Found more than one unit that matches the product type, unable to complete update"));
}

TEST_F(ConnectionTest, ControlDisplayOfATestJigIsNotTakenForTheProduct) {
  placeFile("zk7-test-jig.scn", kCom);
  findOn(kCom);
  ASSERT_TRUE(ConnectToUnit(s(), unit()));  // the jig, address 50
  Unit display;  // gone from address 61; the jig's own display at 60 is of the same kind
  display.mode = modeBalvantaSoftware;
  display.address = 60;
  ASSERT_TRUE(ReadUnitInfo(s(), display));
  ASSERT_EQ(display.unitFamily, family::Display);
  display.address = 61;
  display.serialNumber = 999;
  const uint64_t start = nowMs();
  EXPECT_FALSE(ReconnectToUnit(s(), display));
  EXPECT_TRUE(shows("-- TestJig control display (ignored)\r\n"));
  EXPECT_EQ(display.address, 61);
  EXPECT_GE(nowMs() - start, 60000u);
}

}  // namespace
}  // namespace kl::test
