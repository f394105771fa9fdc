// One seed's simulated site: a PC under virtual time (its files in a temporary folder) with
// the units of an installation on its COM port, and the program run on it in-process as a
// technician or a production station runs it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/sim_platform.h"
#include "sim/scenario/installation.h"
#include "sim/sim_line.h"
#include "support/temp_dir.h"

namespace kl {
struct Session;
}

namespace kl::campaign {

// The person at the site during a run.
struct Operator {
  std::string answers;             // one key for each "(y/n)" question in turn; none left: no key
  uint64_t answerDelayUs = 0;      // from a question to its key
  uint64_t powerCycleDelayUs = 0;  // from the request to switch the unit off and on until it is done
};

struct RunEnd {
  std::optional<int> exitCode;  // none: the run passed its time limit
  std::string console;
  std::string answers;  // the keys the operator gave to questions
  uint64_t durationUs = 0;
};

class Site {
 public:
  static constexpr int kComPort = 4;

  Site(const std::string& scenarioText, uint64_t seed);
  ~Site();
  Site(const Site&) = delete;
  Site& operator=(const Site&) = delete;

  // One run of the program with `arguments` (the port is added), ended by its own exit or by
  // the virtual-time limit. The units then settle for a few seconds.
  RunEnd run(std::vector<std::string> arguments, const Operator& person, uint64_t limitUs);
  // Time passes with nobody at the PC.
  void settle(uint64_t us);

  sim::Unit& unit(size_t index) { return *installation_->units()[index]; }
  size_t unitCount() const { return installation_->units().size(); }
  sim::SimLine& line() { return line_; }
  World& world() { return platform_.world; }
  // A file of the site's PC.
  std::string file(const std::string& name) const { return folder_.file(name); }
  const std::string& root() const { return folder_.path(); }

 private:
  void watchConsole(const Operator& person);

  test::TempDir folder_;
  SimPlatform platform_;
  sim::SimLine line_;
  std::unique_ptr<sim::Installation> installation_;
  std::unique_ptr<Session> session_;
  size_t consoleSeen_ = 0;
  uint64_t runNumber_ = 0;  // what the operator does for a run ends with it
  size_t answersGiven_ = 0;
};

}  // namespace kl::campaign
