// `kestrelink -i` against every scenario the simulator ships, as a technician would meet each
// kind of unit: every run ends in seconds, and only a unit that answers nothing asks for a
// power cycle.
#include <filesystem>
#include <set>

#include "e2e_fixture.h"

namespace kl::test {
namespace {

struct ShippedUnit {
  const char* scenario;
  int exitCode;
  const char* shows;           // a line the console must show
  bool needsPowerCycle = false;  // the operator switches it off and on when asked
};

const ShippedUnit kShipped[] = {
    {"blank-lpc1768.scn", 1, "Fatal Error: Cannot update this unit (blank mcu)"},
    {"boot-loader.scn", 0, "   Unit Type       : ZS3 Transmitter\r\n"},
    {"display-network.scn", 0, "   Unit Type       : ZA4/ZB4 Display\r\n"},
    {"logs-network.scn", 0, "   Serial No       : 530777\r\n"},
    {"power-cycle.scn", 0, "   Unit Type       : ZC3 Remote I/O Unit\r\n", true},
    {"za3-lpc2478.scn", 0, "   Unit Type       : ZA3/ZB3 Display\r\n"},
    {"za3-lpc4357.scn", 0, "   Unit Type       : ZA3/ZB3 Display\r\n"},
    {"za4.scn", 0, "   Unit Type       : ZA4/ZB4 Display\r\n"},
    {"zc3.scn", 0, "   Unit Type       : ZC3 Remote I/O Unit\r\n"},
    {"zk7-test-jig.scn", 0, "   Information     : ZK7 control\r\n"},
    {"zr20-h8s2145.scn", 0, "   Unit Type       : ZR20 Display\r\n"},
    {"zs3-lpc1768.scn", 0, "   Unit Type       : ZS3 Transmitter\r\n"},
    {"zs3-lpc4078.scn", 0, "   Unit Type       : ZS3 Transmitter\r\n"},
    {"zs3-older-software.scn", 0, "   Software        : v5.90r00\r\n"},
    {"zs4.scn", 0, "   Unit Type       : ZS4 Transmitter\r\n"},
    {"zs4-current.scn", 0, "   Software        : v6.10r57\r\n"},
    {"zs5100-h8s2145.scn", 0, "   Unit Type       : ZS5100 Transmitter\r\n"},
};

constexpr const char* kPowerCyclePrompt = "please turn the unit power off and on now";

class EveryScenario : public EndToEnd, public ::testing::WithParamInterface<ShippedUnit> {};

TEST_P(EveryScenario, IsInterrogated) {
  const ShippedUnit& unit = GetParam();
  const std::string port = startSimulator(unit.scenario).port();
  ASSERT_FALSE(port.empty());
  // The port is named: a unit that answers nothing must not send the search over the machine.
  auto child = start({"-i", "-y", "COM1"}, {{"KESTRELINK_PORTMAP", portMap({{1, port}})}});
  if (unit.needsPowerCycle) {
    ASSERT_TRUE(child->waitForOutput(kPowerCyclePrompt, 30000)) << child->output();
    simulator->powerCycle();
  }
  child->closeInput();
  EXPECT_EQ(child->wait(30000), unit.exitCode) << child->output();
  EXPECT_NE(child->output().find(unit.shows), std::string::npos) << child->output();
  if (!unit.needsPowerCycle) {
    EXPECT_EQ(child->output().find(kPowerCyclePrompt), std::string::npos);
  }
  // A boot loader found, at whatever speed, is never asked to reboot (it would not answer).
  EXPECT_EQ(simulatorLog().find("PC -> unit at 115200: 01 45 10 11"), std::string::npos);
  EXPECT_EQ(simulatorLog().find("PC -> unit at 9600: 01 45 10 11"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Shipped, EveryScenario, ::testing::ValuesIn(kShipped), [](const auto& info) {
  std::string name = info.param.scenario;
  name = name.substr(0, name.find('.'));
  for (char& c : name) {
    if (c == '-') c = '_';
  }
  return name;
});

TEST(ShippedScenarios, EachHasAnInterrogationRun) {
  std::set<std::string> tested;
  for (const ShippedUnit& unit : kShipped) tested.insert(unit.scenario);
  for (const auto& entry : std::filesystem::directory_iterator(std::string(KESTRELINK_SOURCE_DIR) + "/sim/scenarios")) {
    if (entry.path().extension() == ".scn") {
      EXPECT_TRUE(tested.count(entry.path().filename().string())) << entry.path();
    }
  }
}

// A port that holds no unit must not leave another address in place of the operator's -u.
TEST_F(EndToEnd, GivenUnitIdIsFoundBehindTheDisplayAfterAnEmptyPort) {
  writeFile(dir.file("nothing.scn"), "[unit off]\ncard = 648\ncircuit = 5\nstate = off\n");
  Simulator empty(dir.file("nothing.scn"), dir.file("empty-sim.log"));
  ASSERT_FALSE(empty.port().empty());
  const std::string port = startSimulator("display-network.scn").port();
  ASSERT_FALSE(port.empty());
  const RunResult result = run({"-i", "-y", "-u2", "-b115200"},
                               {{"BALVANTAPORTLIST", "2,5"}, {"KESTRELINK_PORTMAP", portMap({{2, empty.port()}, {5, port}})}});
  EXPECT_EQ(result.exitCode, 0) << result.console;
  EXPECT_TRUE(InOrder(result.console, {"COM2 opened\r\n", "COM5 opened\r\n", "-- interrogating unit\r\n",
                                       "   Unit Type       : ZS4 Transmitter\r\n", "   Modbus Address  : 2\r\n"}));
  EXPECT_EQ(result.console.find("ZA4/ZB4 Display"), std::string::npos) << result.console;
}

}  // namespace
}  // namespace kl::test
