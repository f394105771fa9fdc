// Finding the port and the unit on the simulated machine.
#include "connect/discovery.h"

#include "connect_fixture.h"
#include "driver/fatal_error.h"
#include "driver/settings.h"
#include "support/in_order.h"

namespace kl::test {
namespace {

const std::string kApplication19200 = "[unit zs3]\ncard = 648\ncircuit = 5\nserial = 480055\nmodbus-address = 11\nbaud = 19200\n";

std::string ApplicationAt(uint32_t baud, int modbusAddress) {
  return "[unit zs3]\ncard = 648\ncircuit = 5\nmodbus-address = " + std::to_string(modbusAddress) +
         "\nbaud = " + std::to_string(baud) + "\n";
}

class DiscoveryTest : public ConnectTest {
 protected:
  Unit& unit() { return s().unit; }
  std::string registryPort() { return sim.registry.get(std::string(kCommPortRegistryPath)); }
};

TEST_F(DiscoveryTest, PortListIsTriedInOrderAndTheFoundPortStaysOpen) {
  place(kApplication19200, 5);
  sim.environment.variables["BALVANTAPORTLIST"] = "COM3,com5;7";
  FindPortAndUnit(s(), unit());
  EXPECT_EQ(unit().mode, modeBalvantaSoftware);
  EXPECT_EQ(unit().address, 11);
  EXPECT_EQ(s().currentUnitId, 11);
  EXPECT_EQ(s().portSettings.portNumber, 5);
  EXPECT_TRUE(IsPortOpen(s()));
  EXPECT_EQ(s().link.savedBaudRate, 19200u);
  const std::string out = console();
  EXPECT_NE(out.find("   BALVANTAPORTLIST: COM3,com5;7\r\n"), std::string::npos);
  EXPECT_LT(out.find("COM3 is not present on this computer\r\n"), out.find("COM5 opened\r\n"));
  EXPECT_TRUE(shows("-- found unit ($F0)\r\n"));
  EXPECT_EQ(out.find("Searching all ports"), std::string::npos);
  EXPECT_EQ(registryPort(), "");  // only the scan remembers a port
}

TEST_F(DiscoveryTest, BlankAfterCommaEndsTheListAndTheScanFindsTheUnit) {
  place(kApplication19200, 5);
  sim.environment.variables["BALVANTAPORTLIST"] = "COM3, COM5";
  sim.environment.variables["BALVANTAPORT"] = "5";  // not used while the list is set
  FindPortAndUnit(s(), unit());
  const std::string out = console();
  EXPECT_EQ(out.find("BALVANTAPORT    :"), std::string::npos);
  EXPECT_TRUE(shows("Searching all ports"));
  EXPECT_EQ(s().portSettings.portNumber, 5);
  EXPECT_EQ(registryPort(), "5");
}

TEST_F(DiscoveryTest, SinglePortVariableIsUsedWithoutAList) {
  place(kApplication19200, 6);
  sim.environment.variables["BALVANTAPORT"] = "COM6";
  FindPortAndUnit(s(), unit());
  EXPECT_TRUE(shows("   BALVANTAPORT    : COM6\r\n"));
  EXPECT_EQ(s().portSettings.portNumber, 6);
  EXPECT_EQ(console().find("Searching all ports"), std::string::npos);
}

TEST_F(DiscoveryTest, RememberedPortIsTriedBeforeTheScan) {
  place(kApplication19200, 2);
  place(ApplicationAt(19200, 12), 12);
  sim.registry.put(std::string(kCommPortRegistryPath), "12");
  FindPortAndUnit(s(), unit());
  EXPECT_TRUE(shows("COM12 loaded from registry\r\n"));
  EXPECT_EQ(s().portSettings.portNumber, 12);
  EXPECT_EQ(unit().address, 12);
  EXPECT_EQ(console().find("COM2 opened"), std::string::npos);
}

TEST_F(DiscoveryTest, ScanPassesAbsentPortsSilentlyReportsBusyOnesAndRemembersTheFind) {
  place(ApplicationAt(19200, 9), 2);
  line(2).busyOpens = 1000;
  place(kApplication19200, 33);
  sim.registry.put(std::string(kCommPortRegistryPath), "40");  // remembered, but gone
  s().givenOptions().debug = s().givenOptions().detailedDebug = false;  // the console shows Always only
  FindPortAndUnit(s(), unit());
  const std::string out = console();
  EXPECT_TRUE(shows("COM40 is not present on this computer\r\n"));
  EXPECT_EQ(out.find("COM1 is not present"), std::string::npos);
  EXPECT_TRUE(shows("COM2 is being used by another application\r\n"));
  EXPECT_TRUE(shows("COM33 opened\r\n"));
  EXPECT_EQ(s().portSettings.portNumber, 33);
  EXPECT_EQ(registryPort(), "33");
}

TEST_F(DiscoveryTest, GivenUnitIdAnswersPingAfterTheBootLoaderProbe) {
  place(kApplication19200, 3);
  s().givenOptions().port = 3;
  s().givenOptions().unitId = 11;
  s().givenOptions().unitIdGiven = true;
  FindPortAndUnit(s(), unit());
  const std::string out = console();
  EXPECT_TRUE(shows("Checking Unit ID...\r\n"));
  EXPECT_TRUE(shows("RPC: Ping address $0B\r\nCOMPLETE\r\n"));
  EXPECT_TRUE(shows("-- found unit ID = 0B\r\n"));
  EXPECT_EQ(unit().mode, modeBalvantaSoftware);
  EXPECT_EQ(unit().address, 11);
  EXPECT_EQ(s().link.savedBaudRate, 19200u);
  EXPECT_EQ(out.find("Checking for LPC chip firmware"), std::string::npos);
}

TEST_F(DiscoveryTest, GivenUnitIdSurvivesAPortWithoutTheUnit) {
  placePeer(2, 19200);  // a port with nothing on it
  placeFile("display-network.scn", 5);
  sim.environment.variables["BALVANTAPORTLIST"] = "2,5";
  s().givenOptions().unitId = 2;
  s().givenOptions().unitIdGiven = true;
  s().givenOptions().initialBaud = 115200;
  s().givenOptions().initialBaudGiven = true;
  FindPortAndUnit(s(), unit());
  // Unit 2 sits behind the display; the display itself answers at $F0.
  EXPECT_EQ(s().portSettings.portNumber, 5);
  EXPECT_EQ(unit().address, 2);
  EXPECT_EQ(s().currentUnitId, 2);
  EXPECT_EQ(CountOf(line(5).deliveredToDevice(), {0xF0, 0x41}), 0);
  EXPECT_TRUE(shows("-- found unit ID = 02\r\n"));
}

// The probes of a given unit ID (four pings) and of a given speed (two) outlast replies the unit
// loses up to their last attempt; one lost reply more leaves the unit to the search at $F0.
TEST_F(DiscoveryTest, GivenIdAndSpeedProbesLastUntilTheirLastAttempt) {
  struct Case {
    bool idGiven;
    const char* lost;
    const char* shown;
    const char* absent;
  };
  const Case cases[] = {
      {true, "1 2 3", "RPC: Ping address $0B\r\nCOMPLETE\r\n", "Searching for unit ID..."},
      {true, "1 2 3 4", "Searching for unit ID...", "-- found unit ID"},
      {false, "1", "at specified baud rate\r\n[NO DATA]\r\nCOMPLETE\r\n", "Searching for unit ID..."},
      {false, "1 2", "Searching for unit ID...", "at specified baud rate\r\n[NO DATA]\r\nCOMPLETE"},
  };
  int com = 3;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lost);
    s().out.flushConsole();
    sim.console.clearOutput();
    place(kApplication19200 + "fault-lose-replies = " + c.lost + "\n", com);
    s().givenOptions().port = static_cast<uint16_t>(com++);
    s().givenOptions().unitId = 11;
    s().givenOptions().unitIdGiven = c.idGiven;
    s().givenOptions().initialBaud = 19200;
    s().givenOptions().initialBaudGiven = !c.idGiven;
    FindPortAndUnit(s(), unit());
    EXPECT_TRUE(shows(c.shown));
    EXPECT_FALSE(shows(c.absent));
    EXPECT_EQ(unit().address, 11);
    ClosePort(s());
  }
}

TEST_F(DiscoveryTest, UnitWithoutModbusAddressStaysAtF0) {
  place(ApplicationAt(19200, 0), 3);
  s().givenOptions().port = 3;
  FindPortAndUnit(s(), unit());
  EXPECT_TRUE(shows("COMPLETE: ModbusAddress=0 (00)\r\n"));
  EXPECT_EQ(unit().address, 0xF0);
  EXPECT_EQ(s().currentUnitId, 0xF0);
}

TEST_F(DiscoveryTest, SpeedFromTheEnvironmentIsProbedFirst) {
  place(ApplicationAt(38400, 14), 3);
  s().givenOptions().port = 3;
  sim.environment.variables["BALVANTABAUDRATE"] = "38400";
  FindPortAndUnit(s(), unit());
  const std::string out = console();
  EXPECT_TRUE(shows("   BALVANTABAUDRATE: 38400\r\n"));
  EXPECT_EQ(s().portSettings.programmingBaud, 115200u);
  EXPECT_TRUE(s().run.startSpeedGiven);
  EXPECT_TRUE(shows("RPC: Ping address $F0 at specified baud rate\r\nCOMPLETE\r\n"));
  EXPECT_EQ(out.find("Searching for unit ID..."), std::string::npos);
  EXPECT_EQ(unit().address, 14);
  EXPECT_EQ(s().portSettings.baudRate, 38400u);
}

TEST_F(DiscoveryTest, EnvironmentValuesThatNameNoPortOrSpeedArePassedOver) {
  place(kApplication19200, 5);
  sim.environment.variables["BALVANTAPORTLIST"] = "-3,5";
  sim.environment.variables["BALVANTABAUDRATE"] = "fast";
  FindPortAndUnit(s(), unit());
  EXPECT_TRUE(shows("COM-3 is not present on this computer\r\nOpenPort opening comm port: 5 19200"));
  EXPECT_EQ(console().find("BALVANTABAUDRATE"), std::string::npos);
  EXPECT_FALSE(s().run.startSpeedGiven);
  EXPECT_EQ(s().portSettings.portNumber, 5);
  EXPECT_EQ(unit().mode, modeBalvantaSoftware);
}

TEST_F(DiscoveryTest, CommandLineSpeedWinsOverTheEnvironment) {
  place(ApplicationAt(57600, 14), 3);
  s().givenOptions().port = 3;
  s().givenOptions().initialBaud = 57600;
  s().givenOptions().initialBaudGiven = true;
  s().givenOptions().programmingBaud = 115200;
  sim.environment.variables["BALVANTABAUDRATE"] = "9600";
  FindPortAndUnit(s(), unit());
  EXPECT_EQ(console().find("BALVANTABAUDRATE"), std::string::npos);
  EXPECT_TRUE(shows("RPC: Ping address $F0 at specified baud rate\r\nCOMPLETE\r\n"));
  EXPECT_EQ(s().link.savedBaudRate, 57600u);
}

TEST_F(DiscoveryTest, WithoutAGivenSpeedTheSpecifiedSpeedProbeIsSkipped) {
  place(kApplication19200, 3);
  s().givenOptions().port = 3;
  FindPortAndUnit(s(), unit());
  EXPECT_EQ(console().find("at specified baud rate"), std::string::npos);
  EXPECT_EQ(unit().mode, modeBalvantaSoftware);
}

TEST_F(DiscoveryTest, BootLoaderAtEitherSpeed) {
  for (const char* baud : {"9600", "115200"}) {
    SCOPED_TRACE(baud);
    const int com = std::string(baud) == "9600" ? 3 : 4;
    place(std::string("[unit zs3]\ncard = 648\ncircuit = 5\nstate = boot-loader\nboot-baud = ") + baud + "\n", com);
    s().givenOptions().port = static_cast<uint16_t>(com);
    FindPortAndUnit(s(), unit());
    EXPECT_EQ(unit().mode, modeBalvantaBootLoader);
    EXPECT_EQ(unit().address, 1);
    EXPECT_EQ(s().currentUnitId, 1);
    EXPECT_EQ(s().link.savedBaudRate, static_cast<uint32_t>(std::stoul(baud)));
    EXPECT_TRUE(shows("-- found unit (balvanta boot loader)\r\n"));
    ClosePort(s());
  }
}

TEST_F(DiscoveryTest, BlankChipIsRecognisedByItsHandshake) {
  placeFile("blank-lpc1768.scn", 3);
  s().givenOptions().port = 3;
  FindPortAndUnit(s(), unit());
  EXPECT_EQ(unit().mode, modeBlankMcu);
  EXPECT_EQ(s().link.savedBaudRate, 115200u);
  EXPECT_EQ(s().out.diagnosticsLevel, 0);
  const std::string out = console();
  EXPECT_TRUE(shows("-- LPC chip firmware found\r\n"));
  EXPECT_TRUE(shows("-- synchronization succeeded\r\n"));
}

TEST_F(DiscoveryTest, ChipThatDoesNotConfirmTheSynchronisationIsNotTakenForBlank) {
  sim::ScriptedPeer& chip = placePeer(3, 115200);
  chip.onByte = [](sim::ScriptedPeer& p, uint8_t byte) {
    if (byte == '?') p.send({'S', 'y', 'n', 'c', 'h', 'r', 'o', 'n', 'i', 'z', 'e', 'd', '\r', '\n'});
  };
  s().givenOptions().port = 3;
  s().givenOptions().debug = s().givenOptions().detailedDebug = false;  // both lines are for the operator
  FindPortAndUnit(s(), unit());
  EXPECT_TRUE(shows("-- LPC chip firmware found\r\n-- synchronization failed\r\n"));
  EXPECT_EQ(console().find("Checking for LPC chip firmware"), std::string::npos);
  // The other probes ran: the $F0 search pings it at 115200 in both of its rounds.
  EXPECT_EQ(CountOf(chip.received, {0xF0, 0x41}), 2);
  EXPECT_EQ(unit().mode, modeUnknown);
  EXPECT_EQ(s().out.diagnosticsLevel, 0);
}

class DefaultAddressSpeedTest : public DiscoveryTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(DefaultAddressSpeedTest, UnitIsFoundAtF0AndTakesItsModbusAddress) {
  place(ApplicationAt(GetParam(), 22), 3);
  s().givenOptions().port = 3;
  FindPortAndUnit(s(), unit());
  EXPECT_EQ(unit().mode, modeBalvantaSoftware);
  EXPECT_EQ(unit().address, 22);
  EXPECT_EQ(s().currentUnitId, 22);
  EXPECT_EQ(s().link.savedBaudRate, GetParam());
  EXPECT_TRUE(shows("Searching for unit ID...\r\nUnit ID=F0\r\n"));
  EXPECT_TRUE(shows("COMPLETE: ModbusAddress=22 (16)\r\n"));
}

INSTANTIATE_TEST_SUITE_P(FiveSpeeds, DefaultAddressSpeedTest, ::testing::Values(19200, 9600, 115200, 57600, 38400));

TEST_F(DiscoveryTest, AddressSearchGoesThroughItsSpeedsInOrderTwice) {
  placePeer(3, 19200);
  s().givenOptions().port = 3;
  FindPortAndUnit(s(), unit());
  const std::string out = console();
  std::vector<std::string> speeds;
  for (size_t at = out.find("Searching for unit ID"); (at = out.find("opening comm port: 3 ", at)) != std::string::npos;) {
    at += 21;
    speeds.push_back(out.substr(at, out.find('\r', at) - at));
  }
  const std::vector<std::string> once = {"19200", "9600", "115200", "57600", "38400"};
  std::vector<std::string> twice = once;
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_EQ(speeds, twice);
}

TEST_F(DiscoveryTest, EscapeDuringTheAddressSearchAborts) {
  placePeer(3, 19200);
  s().givenOptions().port = 3;
  sim.console.pressKeys("\x1b");
  int code = 0;
  EXPECT_TRUE(endsRun([&] { FindPortAndUnit(s(), unit()); }, &code));
  EXPECT_EQ(code, 1);
  EXPECT_TRUE(shows("Fatal Error: Aborted"));
}

TEST_F(DiscoveryTest, NothingFoundAsksForThePortAndTakesTheOperatorsAnswer) {
  // The operator plugs the unit in when asked, and types its port.
  sim.console.onOutput = [this](std::string_view text) {
    if (text.find("Please enter COM port number (1,2,3...): ") != std::string_view::npos) place(kApplication19200, 7);
  };
  sim.console.pressKeys("7\r");
  FindPortAndUnit(s(), unit());
  const std::string out = console();
  EXPECT_TRUE(shows("-- cannot find a Balvanta unit\r\nPlease enter COM port number (1,2,3...): "));
  EXPECT_TRUE(shows("-- COM7 entered by user\r\n"));
  EXPECT_TRUE(shows("COM7 opened\r\n"));
  EXPECT_EQ(unit().mode, modeBalvantaSoftware);
  EXPECT_EQ(s().portSettings.portNumber, 7);
}

TEST_F(DiscoveryTest, EndOfInputAtThePromptNamesNoPort) {
  FindPortAndUnit(s(), unit());
  EXPECT_TRUE(shows("COM0 is not present on this computer\r\n"));
  EXPECT_EQ(unit().mode, modeUnknown);
  EXPECT_FALSE(IsPortOpen(s()));
}

TEST_F(DiscoveryTest, ChosenPortThatIsBusyOrTooSlowEndsTheRun) {
  placePeer(3, 19200);
  line(3).busyOpens = 1000;
  line(3).busyCode = oserr::SharingViolation;
  s().givenOptions().port = 3;
  EXPECT_TRUE(endsRun([&] { FindPortAndUnit(s(), unit()); }));
  EXPECT_TRUE(shows("Fatal Error: COM3 is being used by another application"));
}

// A port that is not there names the device looked for and how COM numbers name devices,
// where they do; one the user may not open says so and what lets them, once a run.
TEST_F(DiscoveryTest, PortThatCannotBeOpenedSaysWhyAndWhatHelps) {
  const std::string denied = "ERROR: A required privilege is not held by the client.\r\n";
  const std::string help = "   /dev/ttyUSB7 is open to the members of group dialout:\r\n   add the user to it\r\n";
  struct Row {
    const char* name;
    bool devices;      // the system's ports are devices of its file tree
    bool denied;       // COM3 and COM4 refuse this user
    const char* list;  // BALVANTAPORTLIST; without one COM3 is chosen, else typed at the prompt
    std::vector<std::string> shown;
  };
  const Row rows[] = {
      {"absent, with devices", true, false, "",
       {"COM3 is not present on this computer\r\n   looked for /dev/ttyUSB7\r\n   COM1-32 are ...\r\n"
        "   KESTRELINK_PORTMAP ...\r\nFatal Error: Unable to connect"}},
      {"absent, COM names", false, false, "", {"COM3 is not present on this computer\r\nFatal Error: Unable to connect"}},
      {"absent in the port list", true, false, "4",
       {"COM4 is not present on this computer\r\n   COM4 names no device\r\n-- cannot find",
        "COM3 is not present on this computer\r\n   looked for /dev/ttyUSB7\r\n"}},
      {"not for this user", true, true, "", {help + "Fatal Error: COM3 " + denied}},
      {"not for this user, in the port list", true, true, "4,4",
       {"COM4 " + denied + help + "COM4 " + denied, "COM3 " + denied, "Fatal Error: COM3 " + denied}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    sim.console.clearOutput();
    sim.console.dropKeys();
    session = std::make_unique<Session>(sim.platform);
    sim.serial.deviceNumbers = {{"/dev/ttyUSB7", 3}};
    sim.serial.naming.clear();
    if (row.devices) sim.serial.naming = {"COM1-32 are ...", "KESTRELINK_PORTMAP ..."};
    sim.serial.access = {"/dev/ttyUSB7 is open to the members of group dialout:", "add the user to it"};
    for (int number : {3, 4}) {
      if (!row.denied) continue;
      placePeer(number, 19200);
      line(number).busyOpens = 1000;
      line(number).busyCode = oserr::PermissionDenied;
    }
    sim.environment.variables["BALVANTAPORTLIST"] = row.list;
    if (std::string_view(row.list).empty()) {
      s().givenOptions().port = 3;
    } else {
      sim.console.pressKeys("3\r");
    }
    EXPECT_TRUE(endsRun([&] {
      FindPortAndUnit(s(), unit());
      FatalError(s(), "Unable to connect");
    }));
    const std::string out = console();
    EXPECT_TRUE(InOrder(out + "\r\n", row.shown)) << out;
    EXPECT_EQ(out.find(help), out.rfind(help)) << "the help once a run";
  }
}

TEST_F(DiscoveryTest, ChosenPortThatCannotRunTheSpeedEndsTheRun) {
  placePeer(3, 19200);
  line(3).maxBaud = 9600;
  s().givenOptions().port = 3;
  EXPECT_TRUE(endsRun([&] { FindPortAndUnit(s(), unit()); }));
  EXPECT_TRUE(shows("Fatal Error: COM3 does not support requested baud rate"));
}

TEST_F(DiscoveryTest, PortThatVanishesDuringTheSearchIsReportedAndSkipped) {
  placePeer(2, 19200);  // answers nothing; its adapter is pulled while it is probed
  sim.world.after(150000, [this] { line(2).unplug(); });
  place(kApplication19200, 5);
  FindPortAndUnit(s(), unit());
  EXPECT_TRUE(shows("COM2 is not present on this computer\r\n"));
  EXPECT_EQ(s().portSettings.portNumber, 5);
  EXPECT_EQ(unit().mode, modeBalvantaSoftware);
}

TEST_F(DiscoveryTest, OverlappedWritesNeedCtsFromTheUnit) {
  place(kApplication19200 + "cts = no\n", 3);
  s().givenOptions().port = 3;
  s().givenOptions().overlappedWrites = true;
  FindPortAndUnit(s(), unit());
  const uint64_t afterSearch = nowMs();
  EXPECT_FALSE(s().overlappedActive);
  EXPECT_TRUE(shows("-- no CTS signal received from unit, overlapped mode disabled\r\n"));
  EXPECT_TRUE(ProbeCts(s()) == false);
  EXPECT_GE(nowMs() - afterSearch, 1000u);
}

TEST_F(DiscoveryTest, OverlappedWritesWithCts) {
  place(kApplication19200, 3);
  s().givenOptions().port = 3;
  s().givenOptions().overlappedWrites = true;
  FindPortAndUnit(s(), unit());
  EXPECT_TRUE(s().overlappedActive);
  EXPECT_TRUE(shows("-- CTS signal received from unit\r\n"));
}

}  // namespace
}  // namespace kl::test
