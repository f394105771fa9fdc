// The field update of a display relaying to remote units, against simulated units under
// virtual time: the table in address order, both answers to the restart question, -y, a
// declined update, units that cannot take update files, and a connected test jig.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "update_fixture.h"

namespace kl::test {
namespace {

// A ZA4 at Modbus address 4 relaying to a ZS4 (2) and a ZC3 (7), all with older software (the
// ZA4 and the ZS4 the first that list a network and take update files), a ZS3 (9) whose boot
// loader cannot apply update files, and a ZS3 (11) that stops answering once it has been
// listed. The ZS4 and the ZC3 have no information text: the table names them by their product.
constexpr const char* kInstallation = R"(
[unit display]
card = 653
circuit = 1
product = 63
version = 6.00
release = 12
serial = 530200
modbus-address = 4
information = Silo weigh station
unit-flags = 0x01
buffer-size = 4096
network = transmitter io old silent
[unit transmitter]
card = 659
circuit = 1
product = 61
version = 6.00
serial = 590200
modbus-address = 2
unit-flags = 0x01
[unit io]
card = 649
circuit = 2
version = 6.08
serial = 490200
modbus-address = 7
unit-flags = 0x01
boot-loader = C3
boot-release = 16
[unit old]
card = 648
circuit = 5
version = 6.02
serial = 480200
modbus-address = 9
information = Hopper
unit-flags = 0x01
boot-loader = C3
boot-release = 13
[unit silent]
card = 648
circuit = 5
version = 6.08
serial = 480201
modbus-address = 11
information = Weigh belt
unit-flags = 0x01
fault-stop-after-frames = 3
)";

class MultiUnitUpdate : public UpdateRun {
 protected:
  const sim::UnitState& unit(const std::string& name) { return installation->find(name)->state(); }
  bool runs(const std::string& name, int version, int release) {
    const sim::ApplicationIdentity& app = unit(name).application;
    return app.softwareVersion == version && app.softwareRelease == release;
  }
  bool softwareWaiting(const std::string& name) { return unit(name).drives.find(1, 0x0103) != nullptr; }
  // The operator answers each yes/no question as it is asked, with the next of `keys`.
  void answer(std::string keys) {
    sim.console.onOutput = [this, keys = std::move(keys), next = size_t{0}](std::string_view text) mutable {
      if (text.find("(y/n)") != std::string_view::npos && next < keys.size()) {
        sim.console.pressKeys(std::string(1, keys[next++]));
      }
    };
  }
};

TEST_F(MultiUnitUpdate, EveryUnitIsDownloadedAndRestartedWhenTheOperatorSays) {
  enum class After { Restarted, Waiting, Untouched };
  struct Row {
    const char* name;
    std::vector<std::string> arguments;
    const char* keys;
    int exitCode;
    std::vector<std::string> shown;
    After after;
  };
  const std::vector<std::string> downloaded = {
      "Balvanta Unit: 2 updated\r\n", "Balvanta Unit: 4 updated\r\n", "Balvanta Unit: 7 updated\r\n",
      "Balvanta Unit 9 must have boot loader release 14 or later for remote update.\r\n\r\n"
      "IMPORTANT: Please connect the serial port to the COM1 RS232 port on the unit and run Kestrelink again to "
      "update unit 9\r\n\r\n",
      "Unable to update Balvanta Unit: 9\r\n\r\n", "Unable to update Balvanta Unit: 11\r\n\r\n"};
  const auto then = [&downloaded](std::vector<std::string> closing) {
    std::vector<std::string> lines = downloaded;
    lines.insert(lines.end(), closing.begin(), closing.end());
    return lines;
  };
  const Row rows[] = {
      {"restart at once", {"-r921600"}, "yy", 0, then({"Complete: some units could not be updated"}),
       After::Restarted},
      {"restart later", {"-r921600"}, "yn", 0,
       then({"Software update will be applied the next time Balvanta is restarted\r\n",
             "Complete: some units could not be updated"}),
       After::Waiting},
      {"-y", {"-y", "-r921600"}, "", 0, then({"Complete: some units could not be updated"}), After::Restarted},
      {"declined", {"-r921600"}, "n", 1, {"Do you wish to update the software in these Balvanta units? (y/n)\r\n"},
       After::Untouched},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    loadScenario(kInstallation, false);
    answer(row.keys);
    EXPECT_EQ(run(row.arguments), row.exitCode) << console();
    EXPECT_TRUE(InOrder(console(), {"Balvanta Unit(s) found:\r\nAddress  Information\r\n      2  Weight Indicator\r\n"
                                    "      4  Silo weigh station\r\n      7  Remote I/O Unit\r\n      9  Hopper\r\n"
                                    "     11  Weigh belt\r\n\r\n"}))
        << console();
    EXPECT_TRUE(InOrder(console(), row.shown)) << console();
    EXPECT_EQ(shows("Software update will be applied the next time"), row.after == After::Waiting);
    for (const char* name : {"display", "transmitter", "io"}) {
      SCOPED_TRACE(name);
      EXPECT_EQ(runs(name, 610, 57), row.after == After::Restarted);
      EXPECT_EQ(softwareWaiting(name), row.after == After::Waiting);
    }
    EXPECT_TRUE(runs("old", 602, 0));
    EXPECT_FALSE(softwareWaiting("old"));
    EXPECT_FALSE(softwareWaiting("silent"));
    // Unless the units restarted, the display is back at the speed it was found at.
    if (row.after != After::Restarted) {
      EXPECT_EQ(portUnit().applicationFormat().baud, 115200u);
    }
    if (row.after == After::Waiting) {
      installation->find("display")->restartSystem();
      advanceMs(5000);
      for (const char* name : {"display", "transmitter", "io"}) EXPECT_TRUE(runs(name, 610, 57)) << name;
    }
  }
}

// One unit that fails is that unit's failure alone: the others are updated and the display is
// put back at the speed it was found at. A packet damaged
// on the line yet passing its CRC leaves a wrong byte in an update file, which the unit's
// checksums of the file show; a unit can stop answering in the middle of its download; a card
// tester's software cannot be updated from the field.
TEST_F(MultiUnitUpdate, AUnitThatFailsLeavesTheOthersUpdatedAndTheDisplayAtItsSpeed) {
  struct Row {
    const char* name;
    const char* transmitter;  // keys of the ZS4 at 2, the first to be updated
    int exitCode;
    std::vector<std::string> shown;
  };
  const std::vector<std::string> othersUpdated = {
      "Sending software update to unit...\r\n", "-- Unable to update unit\r\n",
      "Unable to update Balvanta Unit: 2\r\n",   "Balvanta Unit: 4 updated\r\n",
      "Balvanta Unit: 7 updated\r\n",            "Complete: some units could not be updated"};
  const Row rows[] = {
      {"an update file stored damaged", "fault-file-write-damaged = 1\n", 0, othersUpdated},
      {"a unit that stops answering mid-download", "fault-stop-after-frames = 40\n", 0, othersUpdated},
      {"a card tester's software", "unit-flags = 0x81\n", 0,
       {"-- Cannot update this unit (pre-production board)\r\n", "Unable to update Balvanta Unit: 2\r\n",
        "Complete: some units could not be updated"}},
      // Its boot loader could apply them: it is not the boot loader that is named.
      {"a unit that does not take update files", "unit-flags = 0x00\nboot-release = 14\n", 0,
       {"Balvanta Unit 2 does not support remote software update.\r\n", "Unable to update Balvanta Unit: 2\r\n",
        "Complete: some units could not be updated"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string scenario = kInstallation;
    scenario.insert(scenario.find("[unit io]"), row.transmitter);
    loadScenario(scenario, false);
    answer("yn");
    EXPECT_EQ(run({"-r921600"}), row.exitCode) << console();
    EXPECT_TRUE(InOrder(console(), row.shown)) << console();
    EXPECT_FALSE(shows("Fatal Error: Unable to update unit"));
    EXPECT_FALSE(shows("Balvanta Unit: 2 updated"));
    EXPECT_EQ(portUnit().applicationFormat().baud, 115200u);
    // Restarted, the others take their update and the failed unit keeps its software.
    installation->find("display")->restartSystem();
    advanceMs(5000);
    EXPECT_TRUE(runs("transmitter", 600, 0));
    EXPECT_EQ(runs("display", 610, 57), row.exitCode == 0);
    EXPECT_EQ(runs("io", 610, 57), row.exitCode == 0);
  }
}

// After the restart every updated unit must be seen running the carried software: one whose
// update file was refused when it restarted (damaged after it was checked) is named.
TEST_F(MultiUnitUpdate, AUnitNotRunningTheNewSoftwareAfterTheRestartIsNamed) {
  // Every other unit can be updated: the one not running the new software alone fails the run.
  std::string scenario = std::string(kInstallation).substr(0, std::string(kInstallation).find("[unit old]"));
  scenario.replace(scenario.find("network = transmitter io old silent"), 35, "network = transmitter io");
  loadScenario(scenario, false);
  sim.console.onOutput = [this](std::string_view text) {
    if (text != "ResetSystem") return;
    sim::DriveFile* software = installation->find("transmitter")->state().drives.find(1, 0x0103);
    if (software) software->bytes[100] ^= 0x01;
  };
  EXPECT_EQ(run({"-y", "-d", "-r921600"}), 0) << console();
  EXPECT_TRUE(runs("transmitter", 600, 0));
  EXPECT_TRUE(runs("display", 610, 57));
  EXPECT_TRUE(InOrder(console(), {"Balvanta Unit: 2 is not running 6.10r57 after the restart\r\n",
                                  "Complete: some units could not be updated"}))
      << console();
  EXPECT_FALSE(shows("Success"));
  EXPECT_FALSE(shows("Balvanta Unit: 4 is not running"));
  EXPECT_FALSE(shows("Balvanta Unit: 7 is not running"));
}

// The units are given a minute to come back from their restart: one whose boot loader waits
// twenty seconds before its application starts is seen running the new software.
TEST_F(MultiUnitUpdate, AUnitSlowToComeBackIsWaitedFor) {
  std::string scenario = kInstallation;
  scenario.insert(scenario.find("[unit io]"), "boot-window-ms = 20000\n");
  loadScenario(scenario, false);
  EXPECT_EQ(run({"-y", "-r921600"}), 0) << console();
  EXPECT_TRUE(runs("transmitter", 610, 57));
  EXPECT_FALSE(shows("Balvanta Unit: 2 did not answer after the restart"));
}

TEST_F(MultiUnitUpdate, AConnectedTestJigIsNeverUpdated) {
  // The jig's control display has a current boot loader but does not take update files.
  load("zk7-test-jig.scn");
  const Bytes before = unit("jig").flash.image();
  ASSERT_EQ(run({"-y", "-d"}), 0) << console();
  EXPECT_TRUE(InOrder(console(), {"-- ZK7 at address 50 ignored\r\n", "     60  ZK7 control\r\n",
                                  "-- Unit reports that it will not accept update files\r\n",
                                  "Balvanta Unit 60 does not support remote software update.\r\n\r\nIMPORTANT: ",
                                  "Unable to update Balvanta Unit: 60\r\n",
                                  "Complete: some units could not be updated"}))
      << console();
  EXPECT_FALSE(shows("     50  "));
  EXPECT_EQ(unit("jig").flash.image(), before);
  EXPECT_EQ(unit("jig").drives.find(1, 0x0103), nullptr);
  EXPECT_FALSE(softwareWaiting("control"));
}

}  // namespace
}  // namespace kl::test
