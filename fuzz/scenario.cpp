// Scenario text of any kind through the simulator's parser; a scenario it accepts is built into
// its units, wired together. Lines that start with "fault-" are also given to a running unit as
// the operator's fault command does. Paths in the text are relative to the scratch folder.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "sim/scenario/installation.h"
#include "sim/scenario/scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kl;
  using namespace kl::fuzz;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  sim::ScenarioPaths paths;
  paths.directory = ScratchFolder();
  try {
    const sim::Scenario scenario = sim::parseScenario(text, "fuzz.scn", paths);
    Require(!scenario.units.empty(), "a scenario has a unit");
    World world(scenario.seed);
    sim::Installation installation(scenario, world);
    Require(&installation.portUnit() == installation.units().front().get(), "the first unit is on the port");
  } catch (const sim::ScenarioError& error) {
    Require(std::string_view(error.what()).rfind("fuzz.scn:", 0) == 0, "a scenario error names the file");
  }

  sim::UnitFaults faults;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string line(text.substr(start, end - start));
    if (line.rfind("fault-", 0) == 0) {
      try {
        sim::applyFaultSetting(faults, line);
      } catch (const sim::ScenarioError&) {
      }
    }
    start = end + 1;
  }
  return 0;
}
