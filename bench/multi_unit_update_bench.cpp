// The multi-unit update of a network of n remote units (1, 10, 100) in virtual time, as
// FieldUpdateUnit runs it after the driver connected: a ZK7 test jig on the port (listed as
// ignored, never updated) relays to n ZC3 remote I/O units with older software, which each
// get the carried software and flash programmer as update files, then the system restart.
// Reported (virtual time):
//   s_per_unit    the update's time divided by the number of remote units;
//   vs_1_unit     s_per_unit against that of a network of one unit, measured alongside;
//                 linear scaling keeps it within 1 +/- 0.10 up to 100 units.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <vector>

#include "connect/connection.h"
#include "protocol/identification.h"
#include "protocol/unit_control.h"
#include "site/simulated_site.h"
#include "transport/link_control.h"
#include "transport/serial_port.h"
#include "update/multi_unit_update.h"
#include "update/session.h"

namespace {

using namespace kl;

constexpr int kPort = 1;
constexpr uint32_t kBaud = 921600;

// The jig at Modbus address 250 and n ZC3 units at 2 to n + 1 on its network.
std::string Network(int units) {
  std::string names;
  std::string sections;
  for (int i = 1; i <= units; ++i) {
    const std::string name = "io" + std::to_string(i);
    names += " " + name;
    sections += "[unit " + name + "]\ncard = 649\ncircuit = 2\nversion = 6.05\nserial = " + std::to_string(490000 + i) +
                "\nmodbus-address = " + std::to_string(i + 1) +
                "\nunit-flags = 0x01\nboot-loader = C3\nboot-release = 16\n";
  }
  return "[unit jig]\ncard = 652\ncircuit = 1\nversion = 6.10\nmodbus-address = 250\nnetwork =" + names + "\n" +
         sections;
}

class NetworkRun {
 public:
  explicit NetworkRun(int units) {
    Session& s = site.newSession();
    site.load(sim::parseScenario(Network(units), "network.scn"));
    s.givenOptions().yesToPrompts = true;
    s.givenOptions().programmingBaud = kBaud;
    s.givenOptions().port = kPort;
    s.portSettings.portNumber = kPort;
    s.portSettings.baudRate = site.portUnit().settings().applicationFormat.baud;
    s.portSettings.programmingBaud = kBaud;
  }

  // Connected as the driver leaves it, then the update; the error, or empty.
  std::string run() {
    Session& s = site.s();
    Unit& unit = s.unit;
    if (!OpenPort(s)) return "port did not open";
    s.currentUnitId = unit.address = 0xF0;
    unit.mode = modeBalvantaSoftware;
    SaveConnectionBaudRate(s);
    if (!ConnectToUnit(s, unit)) return "no unit";
    ReadExtendedInfo(s, unit);
    ReadAdvancedInfo(s, unit);
    const uint64_t start = site.platform.world.nowUs();
    std::vector<uint8_t> listed;
    bool someFailed = true;
    try {
      if (!ListRemoteUnits(s, listed)) return "no network";
      someFailed = MultiUnitUpdate(s, unit, listed);
    } catch (const ProcessExit&) {
      return "the update ended the run";
    }
    seconds = static_cast<double>(site.platform.world.nowUs() - start) / 1e6;
    if (someFailed) return "a unit was not updated";
    site.settle(5'000'000);
    for (const auto& remote : site.installation->units()) {
      if (remote.get() != &site.portUnit() && remote->state().application.softwareVersion != 610) {
        return "a unit did not restart with 6.10";
      }
    }
    return {};
  }

  double seconds = 0;

  SimulatedSite site{(std::filesystem::temp_directory_path() / "kestrelink-bench").string(), 1, kPort};
};

void MultiUnitUpdate(benchmark::State& state) {
  const int units = static_cast<int>(state.range(0));
  NetworkRun one(1);
  const std::string baselineError = one.run();
  if (!baselineError.empty()) {
    state.SkipWithError(baselineError.c_str());
    return;
  }
  double perUnit = 0;
  for (auto _ : state) {
    NetworkRun network(units);
    const std::string error = network.run();
    if (!error.empty()) {
      state.SkipWithError(error.c_str());
      return;
    }
    state.SetIterationTime(network.seconds);
    perUnit = network.seconds / units;
  }
  state.counters["s_per_unit"] = perUnit;
  state.counters["vs_1_unit"] = perUnit / one.seconds;
}

BENCHMARK(MultiUnitUpdate)->Arg(1)->Arg(10)->Arg(100)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
