// The interrogation flow against simulated units under virtual time.
#include "update/interrogation.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "update/session.h"
#include "protocol/identification.h"
#include "support/installation_fixture.h"

namespace kl::test {
namespace {

class InterrogationFlow : public InstallationTest {
 protected:
  // The connected unit as the driver hands it over: found at its Modbus address and identified.
  void connectAt(uint8_t address) {
    s().unit.mode = modeBalvantaSoftware;
    s().unit.address = address;
    s().currentUnitId = address;
    s().portSettings.replyTimeout = 1000;
    ASSERT_TRUE(ReadUnitInfo(s(), s().unit));
    ReadExtendedInfo(s(), s().unit);
    clearConsole();
  }

  size_t lineIndex(const std::string& line) {
    const std::vector<std::string> lines = consoleLines();
    return static_cast<size_t>(std::find(lines.begin(), lines.end(), line) - lines.begin());
  }
  bool hasLine(const std::string& line) { return lineIndex(line) < consoleLines().size(); }
};

// The display runs the first software that lists its network.
constexpr const char* kNetwork = R"(
[unit display]
card = 653
circuit = 1
version = 6.00
release = 40
serial = 530100
modbus-address = 4
boot-release = 25
network = hung transmitter

[unit hung]
card = 649
circuit = 2
version = 6.08
serial = 490102
modbus-address = 3
fault-lose-reply-percent = 100

[unit transmitter]
card = 659
circuit = 1
version = 6.10
serial = 590101
modbus-address = 9
)";

TEST_F(InterrogationFlow, ListsTheNetworkAndShowsEveryUnitThatAnswers) {
  loadScenario(kNetwork);
  connectAt(4);
  InterrogateUnits(s(), s().unit);

  EXPECT_TRUE(hasLine("   Unit Type       : ZA4/ZB4 Display")) << console();
  const size_t list = lineIndex("Balvanta Unit(s) found: 3 9");
  const size_t hung = lineIndex("Balvanta Unit: 3");
  const size_t transmitter = lineIndex("Balvanta Unit: 9");
  const size_t transmitterType = lineIndex("   Unit Type       : ZS4 Transmitter");
  ASSERT_LT(transmitterType, consoleLines().size()) << console();
  EXPECT_LT(lineIndex("   Unit Type       : ZA4/ZB4 Display"), list);
  EXPECT_LT(list, hung);
  // The unit that does not answer gets its heading and nothing more.
  EXPECT_EQ(hung + 1, lineIndex("RPC: ReadUnitInfo")) << console();
  EXPECT_FALSE(hasLine("   Unit Type       : ZC3 Remote I/O Unit"));
  EXPECT_LT(hung, transmitter);
  EXPECT_LT(transmitter, transmitterType);
  EXPECT_TRUE(hasLine("   Serial No       : 590101"));
  // The connected unit ran its own description: nothing rebooted or restarted.
  EXPECT_FALSE(hasLine("RPC: GotoBootLoader"));
  EXPECT_FALSE(hasLine("RPC: Reset"));
  EXPECT_FALSE(hasLine("RPC: IsVComPort"));
  EXPECT_EQ(portUnit().mode(), sim::UnitMode::Application);
}

TEST_F(InterrogationFlow, OlderSoftwareIsReadThroughItsBootLoaderAndRestarted) {
  loadScenario(R"(
[unit zs3]
card = 648
circuit = 5
version = 5.90
serial = 480100
modbus-address = 6
boot-loader = C3
boot-release = 16
boot-baud = 9600
)");
  connectAt(6);
  InterrogateUnits(s(), s().unit);

  const size_t heading = lineIndex("Balvanta Unit: 6");
  ASSERT_LT(heading, consoleLines().size()) << console();
  // Software before 6.00 has no network list and no one-call description.
  EXPECT_FALSE(hasLine("RPC: ReadAdvancedInfo"));
  EXPECT_FALSE(hasLine("RPC: ListRemoteUnits"));
  EXPECT_LT(heading, lineIndex("RPC: GotoBootLoader"));
  EXPECT_LT(lineIndex("RPC: GotoBootLoader"), lineIndex("   Unit Type       : ZS3 Transmitter"));
  EXPECT_TRUE(hasLine("   Boot loader     : v3 r16")) << console();
  EXPECT_LT(lineIndex("   MCU Type        : LPC1768"), lineIndex("RPC: Reset"));
  EXPECT_EQ(s().unit.mode, modeUnknown) << "restarted";
  advanceMs(3000);
  EXPECT_EQ(portUnit().mode(), sim::UnitMode::Application) << "back in its application after the restart";
}

TEST_F(InterrogationFlow, UnitThatCannotBeTakenIntoItsBootLoaderEndsTheRun) {
  loadScenario(R"(
[unit zs3]
card = 648
circuit = 5
version = 5.90
modbus-address = 6
fault-silent-until-power-cycle = yes
)");
  s().unit.mode = modeBalvantaSoftware;
  s().unit.address = 6;
  s().unit.softwareVersion = 590;
  s().currentUnitId = 6;
  openLog();
  const std::optional<int> code = exitCodeOf([&] { InterrogateUnits(s(), s().unit); });
  EXPECT_EQ(code, 1);
  EXPECT_TRUE(console().ends_with("Fatal Error: Unable to initialise Balvanta unit")) << console();
  EXPECT_NE(logText().find(": Fatal Error: Unable to initialise Balvanta unit\r\n"), std::string::npos);
}

}  // namespace
}  // namespace kl::test
