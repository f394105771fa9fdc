// A simulated site: a PC under virtual time (its files under a given folder) whose COM port is
// a simulated line to the units of a scenario, a session of the program on it, and the person
// at the PC. The tests, the campaign, the benchmarks and the fuzz harnesses all run the
// program this way.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/sim_platform.h"
#include "sim/scenario/installation.h"
#include "sim/scenario/scenario.h"
#include "sim/sim_line.h"

namespace kl {

struct Session;

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

class SimulatedSite {
 public:
  static constexpr int kComPort = 4;
  // How long the units of an earlier load are given to finish what they had scheduled.
  static constexpr uint64_t kRetireUs = 10'000'000;

  // The line is on COM `comPort`.
  explicit SimulatedSite(const std::string& root, uint64_t seed = 1, int comPort = kComPort);
  ~SimulatedSite();
  SimulatedSite(const SimulatedSite&) = delete;
  SimulatedSite& operator=(const SimulatedSite&) = delete;

  // The units of `scenario` on the line (the first one on the port), with its line faults both
  // ways; those of an earlier load first run out what they had scheduled.
  sim::Unit& load(const sim::Scenario& scenario);

  // A fresh session of the program; an earlier one's port is closed first.
  Session& newSession();
  Session& s() { return *session; }

  int comPort() const { return comPort_; }

  // One run of the program with `arguments` (the port is added), as `person` runs it, ended by
  // its own exit or by the virtual-time limit. The units then settle for a few seconds.
  RunEnd run(std::vector<std::string> arguments, const Operator& person, uint64_t limitUs);
  // Time passes with nobody at the PC.
  void settle(uint64_t us) { platform.world.advanceTo(platform.world.nowUs() + us); }

  sim::Unit& portUnit() { return installation->portUnit(); }
  // What the unit on the port listens at now: its boot loader's speed while it waits there.
  uint32_t portUnitBaud();

  SimPlatform platform;
  sim::SimLine line;
  sim::Scenario scenario;
  std::unique_ptr<sim::Installation> installation;
  std::unique_ptr<Session> session;

 private:
  void watchConsole(const Operator& person);

  int comPort_;
  size_t consoleSeen_ = 0;
  uint64_t runNumber_ = 0;  // what the operator does for a run ends with it
  size_t answersGiven_ = 0;
};

}  // namespace kl
