#include "sim/scenario/installation.h"

namespace kl::sim {

Installation::Installation(const Scenario& scenario, Scheduler& scheduler) {
  uint64_t seed = scenario.seed;
  for (const UnitSpec& spec : scenario.units) {
    units_.push_back(std::make_unique<Unit>(spec.name, spec.state, spec.settings, seed++ * 7919));
  }
  for (size_t i = 0; i < scenario.units.size(); ++i) {
    const UnitSpec& spec = scenario.units[i];
    for (const std::string& name : spec.network) units_[i]->addNetworkUnit(*find(name), scheduler);
    if (!spec.proxyUnit.empty()) units_[i]->setProxyUnit(*find(spec.proxyUnit), scheduler);
  }
}

Unit* Installation::find(const std::string& name) {
  for (auto& unit : units_) {
    if (unit->name() == name) return unit.get();
  }
  return nullptr;
}

}  // namespace kl::sim
