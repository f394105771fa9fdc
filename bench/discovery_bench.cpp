// A full discovery and identification of a unit on COM33 at 115200 baud (ports 1 to 32 absent),
// in virtual time, next to the waits the path cannot avoid: the time-outs of the probes that
// nothing answers and the line time of every byte sent and received, counted at 115200.
// The blank-chip check reads until its 100 ms time-out has passed; a packet receive gives up at
// the first of its 10 ms steps after more than the time-out has passed, so each unanswered
// packet probe (boot loader at 9600 and 115200, $F0 at 19200 and 9600) costs 50 + 10 ms.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "connect/connection.h"
#include "connect/discovery.h"
#include "protocol/identification.h"
#include "site/simulated_site.h"
#include "transport/link_control.h"
#include "update/session.h"

namespace {

using namespace kl;

constexpr int kPort = 33;
constexpr uint32_t kBaud = 115200;
constexpr double kBitsPerByte = 11;
constexpr double kReceiveStepMs = 10;
constexpr double kUnansweredProbeMs = ReplyTimeoutNormal + 4.0 * (50 + kReceiveStepMs);
// Their requests go out inside those time-outs: "?", two boot-loader and two ping frames.
constexpr double kUnansweredProbeBytes = 1 + 2 * 6 + 2 * 4;

const char* const kUnit =
    "[unit display]\ncard = 653\ncircuit = 1\nversion = 6.10\nrelease = 40\nserial = 530100\nmodbus-address = 4\n"
    "information = Silo weigh station\nboot-loader = C4\nboot-release = 25\nbaud = 115200\nreply-delay-ms = 0\n";

struct DiscoveryRun {
  DiscoveryRun() {
    site.newSession();
    site.load(sim::parseScenario(kUnit, "bench.scn"));
  }

  bool run() {
    Session& s = site.s();
    FindPortAndUnit(s, s.unit);
    return ConnectToUnit(s, s.unit) && ReadExtendedInfo(s, s.unit) && ReadAdvancedInfo(s, s.unit);
  }

  SimulatedSite site{(std::filesystem::temp_directory_path() / "kestrelink-bench").string(), 1, kPort};
};

void DiscoveryAndIdentification(benchmark::State& state) {
  double virtualMs = 0;
  double mandatedMs = 0;
  for (auto _ : state) {
    DiscoveryRun run;
    const uint64_t startUs = run.site.platform.world.nowUs();
    if (!run.run()) {
      state.SkipWithError("the unit was not identified");
      return;
    }
    virtualMs = static_cast<double>(run.site.platform.world.nowUs() - startUs) / 1000.0;
    const double lineBytes =
        static_cast<double>(run.site.line.sentByPc().size() + run.site.line.sentByDevice().size()) -
        kUnansweredProbeBytes;
    mandatedMs = kUnansweredProbeMs + lineBytes * kBitsPerByte * 1000.0 / kBaud;
  }
  state.counters["virtual_ms"] = virtualMs;
  state.counters["mandated_ms"] = mandatedMs;
  state.counters["overhead_pct"] = mandatedMs > 0 ? (virtualMs - mandatedMs) * 100.0 / mandatedMs : 0;
}

BENCHMARK(DiscoveryAndIdentification)->Unit(benchmark::kMillisecond);

}  // namespace
