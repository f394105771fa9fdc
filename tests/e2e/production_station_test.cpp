// A production station's run of the built program against kestrelink-sim over a
// pseudo-terminal: the product behind the test jig is found through the jig's proxy and
// built, and the station reads the outcome from the parameter file and the exit code. The
// product is a ZC3 remote I/O unit (the test jig scenario's product made one), which carries
// no files besides its software.
#include <string>

#include "e2e_fixture.h"
#include "support/station_fields.h"

namespace kl::test {
namespace {

constexpr int32_t kProduct = 481999;  // the serial number of the unit behind the jig

class ProductionStationEndToEnd : public EndToEnd {
 protected:
  // The station's parameter file, with an earlier run's message in it.
  std::string station() {
    const std::string path = dir.file("station.ini");
    writeFile(path, "Ostrevan=1\r\nProgram=1\r\nSerialNo=" + std::to_string(kProduct) +
                        "\r\nBasicProductCode=52\r\nMessage=an earlier failure\r\n" + StationFieldLines(kProduct));
    return path;
  }
  std::string message() {
    const std::string text = readFile(dir.file("station.ini"));
    const size_t at = text.find("Message=");
    return at == std::string::npos ? "(none)" : text.substr(at + 8, text.find("\r\n", at) - at - 8);
  }
  RunResult runStation(const std::string& port) {
    return run({"-d", "-r115200", station(), "COM2"}, {{"KESTRELINK_PORTMAP", portMap({{2, port}})}});
  }
  // The test jig scenario with `product` keys for the unit behind it (later keys win).
  Simulator& startJig(const std::string& product) {
    const std::string jig = readFile(std::string(KESTRELINK_SOURCE_DIR) + "/sim/scenarios/zk7-test-jig.scn");
    return startSimulatorWith(jig + "card = 649\ncircuit = 2\n" + product);
  }
};

TEST_F(ProductionStationEndToEnd, TheUnitBehindTheTestJigIsBuiltAndTheOutcomeStored) {
  const std::string port = startJig("").port();
  ASSERT_FALSE(port.empty());
  const RunResult built = runStation(port);
  ASSERT_EQ(built.exitCode, 0) << built.console;
  EXPECT_TRUE(InOrder(built.console, {"   Software        : v6.08r20\r\n", "   Serial No       : 481999\r\n",
                                      "-- balvanta software will be updated to 6.10r57\r\n",
                                      "Updating Balvanta software (do not turn off the power!)...\r\n",
                                      "restarting unit...\r\n", "Success: all operations are complete"}))
      << built.console;
  // Found through the jig's proxy, written in the buffered protocol, the proxy closed again.
  EXPECT_TRUE(InOrder(built.log, {": ManufacturingUpdateUnit\r\n", ": SearchForMatchingProxyUnit\r\n",
                                  ": -- found unit ID = 10\r\n", ": -- found\r\n", ": -- using buffered protocol\r\n",
                                  ": Reconnecting to unit 16\r\n", ": RPC: CloseKestrelinkProxy\r\n"}))
      << built.log;
  EXPECT_EQ(message(), "");
}

TEST_F(ProductionStationEndToEnd, AUnitThatCannotBeUpdatedIsAFailureForTheStation) {
  const std::string port = startJig("version = 6.10\nrelease = 57\nbuild-increment = 2\n").port();
  ASSERT_FALSE(port.empty());
  const RunResult refused = runStation(port);
  EXPECT_EQ(refused.exitCode, 2) << refused.console;
  EXPECT_TRUE(InOrder(refused.console, {"The software cannot be downgraded to 6.10r57\r\n",
                                        "\aFAILURE: unable to update unit!"}))
      << refused.console;
  EXPECT_EQ(message(), "FAILURE: unable to update unit!");
}

}  // namespace
}  // namespace kl::test
