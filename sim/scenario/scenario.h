// A scenario: the units on one simulated port, written as a plain text file. See the
// README's "Simulator scenarios" section for the format.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "sim/unit/unit_state.h"

namespace kl::sim {

// An image a scenario puts into a unit's flash, and where it came from (for messages).
struct ScenarioImage {
  std::vector<uint8_t> bytes;
  std::string origin;
  int line = 0;
};

struct UnitSpec {
  std::string name;
  int line = 0;  // where the unit's section starts
  UnitState state;
  UnitSettings settings;
  std::vector<std::string> network;  // names of the units on its network
  std::string proxyUnit;             // name of the unit on its second (proxy) port
  bool baudGiven = false;
  bool proxyBaudGiven = false;
  std::optional<ScenarioImage> software;   // in flash instead of the declared application
  std::optional<ScenarioImage> bootImage;  // in flash instead of the declared boot loader
};

// Faults of the line between the PC and the port's unit.
struct ScenarioLineFaults {
  uint32_t bitFlipPerMillion = 0;
  uint32_t dropPerMillion = 0;
};

struct Scenario {
  std::string source;
  std::vector<UnitSpec> units;  // the first one is on the port
  ScenarioLineFaults line;
  uint64_t seed = 1;
};

// A malformed scenario; the message names the file and line.
class ScenarioError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The firmware bundle of the build that made the simulator.
std::string buildBundleDir();

// Where a scenario's files are found: paths in it are relative to `directory`; firmware bundle
// files come from `bundle` when given, else from the scenario's own bundle-dir, else from
// `defaultBundle`.
struct ScenarioPaths {
  std::string directory = ".";
  std::string bundle;
  std::string defaultBundle = buildBundleDir();
};

Scenario parseScenario(std::string_view text, const std::string& sourceName, const ScenarioPaths& paths = {});
// Paths in the file are relative to its folder.
Scenario loadScenario(const std::string& path, ScenarioPaths paths = {});
// Changes one fault of a unit while it runs: "fault-KEY = VALUE" as in a scenario; throws
// ScenarioError for a malformed one.
void applyFaultSetting(UnitFaults& faults, const std::string& setting);

}  // namespace kl::sim
