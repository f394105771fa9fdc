// One seed's simulated site: the units of an installation on the COM port of a PC whose files
// are in a temporary folder, the program run on it in-process as a technician or a production
// station runs it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "site/simulated_site.h"
#include "support/temp_dir.h"

namespace kl::campaign {

class Site {
 public:
  static constexpr int kComPort = SimulatedSite::kComPort;

  Site(const std::string& scenarioText, uint64_t seed);

  RunEnd run(std::vector<std::string> arguments, const Operator& person, uint64_t limitUs) {
    return site_.run(std::move(arguments), person, limitUs);
  }
  void settle(uint64_t us) { site_.settle(us); }

  sim::Unit& unit(size_t index) { return *site_.installation->units()[index]; }
  size_t unitCount() const { return site_.installation->units().size(); }
  sim::SimLine& line() { return site_.line; }
  World& world() { return site_.platform.world; }
  // A file of the site's PC.
  std::string file(const std::string& name) const { return folder_.file(name); }
  const std::string& root() const { return folder_.path(); }

 private:
  test::TempDir folder_;
  SimulatedSite site_;
};

}  // namespace kl::campaign
