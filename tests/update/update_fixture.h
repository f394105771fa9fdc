// Runs of the whole program against simulated units under virtual time, as a technician runs
// `kestrelink ... COM4`.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "connect/connection.h"
#include "images/catalogue.h"
#include "protocol/identification.h"
#include "sim/storage/image_records.h"
#include "support/in_order.h"
#include "support/installation_fixture.h"
#include "support/station_fields.h"
#include "transport/link_control.h"
#include "transport/serial_port.h"
#include "update/main_sequence.h"

namespace kl::test {

using Bytes = std::vector<uint8_t>;

inline std::string ScenarioText(const std::string& file) {
  return readFile(std::string(KESTRELINK_SOURCE_DIR) + "/sim/scenarios/" + file);
}

// The bundle file the build made for catalogue entry `entry`.
inline std::string BundleFile(size_t entry) {
  return (std::filesystem::path(KESTRELINK_BINARY).parent_path() / "bundle" / "synthetic" /
          catalogue::BundleFileName(entry))
      .string();
}

class UpdateRun : public InstallationTest {
 protected:
  UpdateRun() {
    std::filesystem::create_directories(dir.file("tmp"));
    std::filesystem::create_directories(dir.file("locks"));
    sim.environment.variables["TEMP"] = dir.file("tmp");
    sim.environment.variables["BALVANTALOCKDIR"] = dir.file("locks");
  }

  // A scenario of sim/scenarios/ with `extra` keys for its unit (later keys win).
  void load(const std::string& file, const std::string& extra = "") {
    loadScenario(ScenarioText(file) + extra, false);
  }

  // One run of the program with `arguments` and the port; `keys` are the operator's. Returns
  // the exit code. Each run is a new process: a new session, its own session log.
  int run(std::vector<std::string> arguments, const std::string& keys = {}) {
    ClosePort(s());
    session = std::make_unique<Session>(sim.platform);
    clearConsole();
    std::filesystem::remove_all(dir.file("bin/LogFiles"));
    sim.console.pressKeys(keys);
    arguments.insert(arguments.begin(), "kestrelink");
    arguments.push_back("COM" + std::to_string(kComPort));
    const std::optional<int> code = exitCodeOf([&] {
      const int returned = RunKestrelink(s(), arguments);
      sim.process.exit(returned);
    });
    advanceMs(5000);  // the unit settles into whatever it runs now
    return code.value_or(-1);
  }

  // The session log of the last run.
  std::string runLog() {
    for (const auto& entry : std::filesystem::directory_iterator(dir.file("bin/LogFiles"))) {
      if (entry.path().extension() == ".log") return readFile(entry.path().string());
    }
    return {};
  }
  bool shows(const std::string& text) { return (console() + "\r\n").find(text) != std::string::npos; }

  // Connected and identified as the driver hands a unit to a flow, without a run.
  void connect() {
    ClosePort(s());
    session = std::make_unique<Session>(sim.platform);
    s().givenOptions().yesToPrompts = true;
    s().givenOptions().debug = true;
    s().portSettings.portNumber = kComPort;
    s().portSettings.baudRate = portUnitBaud();
    s().portSettings.programmingBaud = s().givenOptions().programmingBaud = 921600;
    s().givenOptions().port = kComPort;
    ASSERT_TRUE(OpenPort(s()));
    s().currentUnitId = s().unit.address = 0xF0;
    s().unit.mode = modeBalvantaSoftware;
    SaveConnectionBaudRate(s());
    ASSERT_TRUE(ConnectToUnit(s(), s().unit));
    ReadExtendedInfo(s(), s().unit);
    ReadAdvancedInfo(s(), s().unit);
    clearConsole();
  }

  // A station's parameter file with these lines.
  std::string parameterFile(const std::string& lines) {
    const std::string path = dir.file("station.ini");
    writeFile(path, lines);
    return path;
  }

  // Every record of the carried image lies in the unit's flash.
  ::testing::AssertionResult flashHolds(size_t entry) {
    const std::optional<sim::RecordImage> image = sim::parseRecordImage(BundleImage(entry).bytes());
    if (!image) return ::testing::AssertionFailure() << "entry " << entry << " is no image";
    for (const sim::ImageRecord& r : image->records) {
      if (portUnit().state().flash.read(r.address, r.data.size()) != r.data) {
        return ::testing::AssertionFailure() << catalogue::BundleFileName(entry) << " differs at $" << std::hex
                                             << r.address;
      }
    }
    return ::testing::AssertionSuccess();
  }
  Bytes flashContents() { return portUnit().state().flash.image(); }
};

}  // namespace kl::test
