// Runs the benchmarks and, after the usual table, compares implementations of the same
// operation. A benchmark named "Operation/Implementation/argument..." is compared with the one
// whose implementation part is "std::string" and whose other parts are the same.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>

namespace {

constexpr const char* kBaseline = "std::string";

class ComparingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      const std::string name = run.benchmark_name();
      const std::size_t first = name.find('/');
      if (first == std::string::npos) continue;
      const std::size_t second = name.find('/', first + 1);
      const std::string implementation = name.substr(first + 1, second - first - 1);
      const std::string key = name.substr(0, first) + (second == std::string::npos ? "" : name.substr(second));
      const double seconds = run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      times_[key][implementation] = seconds;
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    bool header = false;
    for (const auto& [key, byImplementation] : times_) {
      const auto baseline = byImplementation.find(kBaseline);
      if (baseline == byImplementation.end()) continue;
      for (const auto& [implementation, seconds] : byImplementation) {
        if (implementation == kBaseline) continue;
        if (!header) {
          std::printf("\n%-28s %-16s %12s %12s %8s\n", "operation/argument", "implementation", "time ns",
                      "std::string", "ratio");
          header = true;
        }
        std::printf("%-28s %-16s %12.1f %12.1f %8.2f\n", key.c_str(), implementation.c_str(), seconds * 1e9,
                    baseline->second * 1e9, seconds / baseline->second);
      }
    }
  }

 private:
  std::map<std::string, std::map<std::string, double>> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  ComparingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
