// kestrelink-sim: runs a scenario's units in real time on a pseudo-terminal.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "sim/realtime/dumps.h"
#include "sim/realtime/event_loop.h"
#include "sim/realtime/pty_line.h"
#include "sim/realtime/realtime_scheduler.h"
#include "sim/realtime/sim_options.h"
#include "sim/scenario/installation.h"
#include "sim/scenario/scenario.h"

namespace {

std::string stamp(uint64_t us) {
  char text[32];
  std::snprintf(text, sizeof text, "[%10.3f] ", static_cast<double>(us) / 1000.0);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kl::sim;
  SimOptions options;
  if (auto error = parseSimOptions(std::vector<std::string>(argv + 1, argv + argc), options)) {
    std::cerr << "kestrelink-sim: " << *error << "\n\n" << simUsage();
    return 2;
  }
  if (options.help) {
    std::cout << simUsage();
    return 0;
  }
  Scenario scenario;
  try {
    ScenarioPaths paths;
    paths.bundle = options.bundle;
    scenario = loadScenario(options.scenario, paths);
  } catch (const ScenarioError& error) {
    std::cerr << "kestrelink-sim: " << error.what() << "\n";
    return 2;
  }
  if (options.seed) scenario.seed = *options.seed;

  std::ofstream logFile;
  if (!options.logFile.empty()) {
    logFile.open(options.logFile, std::ios::out | std::ios::trunc);
    if (!logFile) {
      std::cerr << "kestrelink-sim: cannot write " << options.logFile << "\n";
      return 2;
    }
  }
  blockLoopSignals();
  RealTimeScheduler scheduler;
  auto log = [&](const std::string& text) {
    const std::string line = stamp(scheduler.nowUs()) + text + "\n";
    if (options.trace) std::cerr << line << std::flush;
    if (logFile.is_open()) logFile << line << std::flush;
  };

  try {
    PtyLine line(scheduler, scenario.line, scenario.seed);
    Installation installation(scenario, scheduler);
    for (const auto& dump : options.flashDumps) {
      if (!installation.find(dump.first)) {
        std::cerr << "kestrelink-sim: --dump-flash: no unit named '" << dump.first << "'\n";
        return 2;
      }
    }
    const bool tracing = options.trace || logFile.is_open();
    if (tracing) {
      line.trace = log;
      for (const auto& unit : installation.units()) {
        unit->onEvent = [&log](const Unit& u, const std::string& what) { log(u.name() + ": " + what); };
      }
    }
    line.connect(installation.portUnit());

    std::error_code ignored;
    if (!options.link.empty()) {
      if (std::filesystem::is_symlink(options.link, ignored)) std::filesystem::remove(options.link, ignored);
      std::error_code error;
      std::filesystem::create_symlink(line.path(), options.link, error);
      if (error) {
        std::cerr << "kestrelink-sim: cannot create the link " << options.link << ": " << error.message() << "\n";
        return 2;
      }
    }
    std::cout << line.path() << std::endl;
    log("scenario " + scenario.source + " on " + line.path());

    const int code = runEventLoop(scheduler, line, installation, options.commands, log);
    int dumped = 0;
    for (const auto& [unit, file] : options.flashDumps) {
      const std::string outcome = dumpFlash(installation, unit, file);
      log(outcome);
      if (outcome.rfind("wrote ", 0) != 0) {
        std::cerr << "kestrelink-sim: " << outcome << "\n";
        dumped = 1;
      }
    }
    if (!options.link.empty()) std::filesystem::remove(options.link, ignored);
    return code != 0 ? code : dumped;
  } catch (const std::exception& error) {
    std::cerr << "kestrelink-sim: " << error.what() << "\n";
    return 1;
  }
}
