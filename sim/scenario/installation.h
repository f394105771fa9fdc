// The units of a scenario, built and wired together: the port's unit with the units on its
// network and behind its proxy port. A test or kestrelink-sim attaches `portUnit()` to the
// far end of its line (LineDevice::attach); the other units are attached to their own lines
// here.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/sim/scheduler.h"
#include "sim/scenario/scenario.h"
#include "sim/unit/unit.h"

namespace kl::sim {

class Installation {
 public:
  Installation(const Scenario& scenario, Scheduler& scheduler);

  Unit& portUnit() { return *units_.front(); }
  Unit* find(const std::string& name);
  const std::vector<std::unique_ptr<Unit>>& units() const { return units_; }

 private:
  std::vector<std::unique_ptr<Unit>> units_;
};

}  // namespace kl::sim
