// Runs the benchmarks and, after the usual report, compares implementations of the same
// operation. A benchmark named "Operation/Implementation/argument..." is compared with the one
// whose implementation part is "std::string" and whose other parts are the same. The usual
// report takes Google Benchmark's own flags (--benchmark_format, --benchmark_out...); with a
// machine-readable format on standard output the comparison goes to standard error, so that
// the output stays one document.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace {

constexpr const char* kBaseline = "std::string";

// The display format the command line asks for, as the library reads it.
std::string FormatFlag(int argc, char** argv) {
  constexpr std::string_view kFlag = "--benchmark_format=";
  std::string format = "console";
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument.substr(0, kFlag.size()) == kFlag) format = std::string(argument.substr(kFlag.size()));
  }
  return format;
}

std::unique_ptr<benchmark::BenchmarkReporter> DisplayReporterFor(const std::string& format) {
  if (format == "json") return std::make_unique<benchmark::JSONReporter>();
  return std::make_unique<benchmark::ConsoleReporter>();
}

class ComparingReporter : public benchmark::BenchmarkReporter {
 public:
  ComparingReporter(std::unique_ptr<BenchmarkReporter> display, std::FILE* comparisons)
      : display_(std::move(display)), comparisons_(comparisons) {}

  bool ReportContext(const Context& context) override { return display_->ReportContext(context); }

  void ReportRuns(const std::vector<Run>& runs) override {
    display_->ReportRuns(runs);
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
    display_->Finalize();
    bool header = false;
    for (const auto& [key, byImplementation] : times_) {
      const auto baseline = byImplementation.find(kBaseline);
      if (baseline == byImplementation.end()) continue;
      for (const auto& [implementation, seconds] : byImplementation) {
        if (implementation == kBaseline) continue;
        if (!header) {
          std::fprintf(comparisons_, "\n%-28s %-16s %12s %12s %8s\n", "operation/argument", "implementation",
                       "time ns", "std::string", "ratio");
          header = true;
        }
        std::fprintf(comparisons_, "%-28s %-16s %12.1f %12.1f %8.2f\n", key.c_str(), implementation.c_str(),
                     seconds * 1e9, baseline->second * 1e9, seconds / baseline->second);
      }
    }
    std::fflush(comparisons_);
  }

 private:
  std::unique_ptr<BenchmarkReporter> display_;
  std::FILE* comparisons_;
  std::map<std::string, std::map<std::string, double>> times_;
};

}  // namespace

int main(int argc, char** argv) {
  const std::string format = FormatFlag(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (format == "csv") {
    // The library's own (deprecated) CSV report, without the comparison.
    benchmark::RunSpecifiedBenchmarks();
  } else {
    ComparingReporter reporter(DisplayReporterFor(format), format == "console" ? stdout : stderr);
    // No file reporter given: --benchmark_out writes in its own --benchmark_out_format.
    benchmark::RunSpecifiedBenchmarks(&reporter);
  }
  benchmark::Shutdown();
  return 0;
}
