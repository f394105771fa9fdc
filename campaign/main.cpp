// kestrelink-campaign: whole flows run in-process under virtual time against simulated units,
// one seed per run, with faults drawn from the seed; every run is checked against the
// invariants (no crash or hang; success only with every unit as it must be, otherwise a
// specified failure; after a failure a clean run on the same units succeeds).
#include <charconv>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "seed_processes.h"
#include "sweep.h"
#include "tally.h"

namespace {

using namespace kl::campaign;

constexpr const char* kUsage =
    "usage: kestrelink-campaign --flow <field-update|multi-unit|manufacturing|extract-logs|interrogate>\n"
    "                           --seeds N [--first-seed S] [--jobs J] [--by-fault] [--console]\n"
    "       kestrelink-campaign --sweep [--every K] [--jobs J] [--case N [--console]]\n"
    "  --by-fault  print the outcomes by fault before the last line\n"
    "  --console   run in this process and print each run's console (for replaying a seed)\n"
    "  --sweep     each MCU type's boot-loader update with a power cut, and with a programmer that\n"
    "              stops, at each packet of the boot-loader block and each request of the restore\n"
    "  --every K   the sweep takes every K-th boot-loader packet\n"
    "  --case N    the sweep's case N alone\n";

struct Options {
  Flow flow = Flow::FieldUpdate;
  uint64_t seeds = 0;
  uint64_t firstSeed = 1;
  int jobs = 1;
  bool byFault = false;
  bool console = false;
  bool sweep = false;
  uint64_t every = 1;
  std::optional<uint64_t> sweepCase;
};

std::optional<uint64_t> Number(std::string_view text) {
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<Options> Parse(const std::vector<std::string>& arguments) {
  Options options;
  bool flowGiven = false;
  bool seedsGiven = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& a = arguments[i];
    if (a == "--by-fault") {
      options.byFault = true;
      continue;
    }
    if (a == "--console") {
      options.console = true;
      continue;
    }
    if (a == "--sweep") {
      options.sweep = true;
      continue;
    }
    if (i + 1 >= arguments.size()) return std::nullopt;
    const std::string& value = arguments[++i];
    if (a == "--flow") {
      const auto flow = FlowNamed(value);
      if (!flow) return std::nullopt;
      options.flow = *flow;
      flowGiven = true;
      continue;
    }
    const std::optional<uint64_t> n = Number(value);
    if (!n) return std::nullopt;
    if (a == "--seeds") {
      options.seeds = *n;
      seedsGiven = true;
    } else if (a == "--first-seed") {
      options.firstSeed = *n;
    } else if (a == "--jobs" && *n >= 1 && *n <= 64) {
      options.jobs = static_cast<int>(*n);
    } else if (a == "--every" && *n >= 1) {
      options.every = *n;
    } else if (a == "--case") {
      options.sweepCase = *n;
    } else {
      return std::nullopt;
    }
  }
  if (options.sweep) return flowGiven || seedsGiven ? std::nullopt : std::optional<Options>(options);
  if (!flowGiven || !seedsGiven || options.every != 1 || options.sweepCase) return std::nullopt;
  return options;
}

void Report(const Options& options, const SeedResult& result) {
  if (!result.violation) return;
  std::cout << "seed " << result.seed << " (--flow " << FlowName(options.flow) << " --first-seed " << result.seed
            << " --seeds 1): " << OutcomeName(result.outcome) << ": " << result.detail << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Options> options = Parse(std::vector<std::string>(argv + 1, argv + argc));
  if (!options) {
    std::cerr << kUsage;
    return 2;
  }
  if (options->sweep) return RunSweep(SweepOptions{options->every, options->jobs, options->sweepCase, options->console});
  Tally tally;
  const auto done = [&](const SeedResult& result) {
    tally.add(result);
    Report(*options, result);
  };
  if (options->console) {
    for (uint64_t seed = options->firstSeed; seed < options->firstSeed + options->seeds; ++seed) {
      std::string consoles;
      const SeedResult result = RunSeed(options->flow, seed, &consoles);
      std::cout << consoles << "==== seed " << seed << ": " << OutcomeName(result.outcome) << " " << result.detail
                << std::endl;
      done(result);
    }
  } else {
    const Flow flow = options->flow;
    RunSeedsInProcesses(
        SeedBatch{[flow](uint64_t seed) { return RunSeed(flow, seed); }, options->firstSeed, options->seeds, options->jobs},
        done);
  }
  if (options->byFault) std::cout << tally.table();
  std::cout << tally.summary(FlowName(options->flow)) << std::endl;
  return tally.clean() ? 0 : 1;
}
