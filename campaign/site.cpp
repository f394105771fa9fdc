#include "site.h"

#include <filesystem>

namespace kl::campaign {

Site::Site(const std::string& scenarioText, uint64_t seed) : site_(folder_.path(), seed) {
  for (const char* folder : {"bin", "tmp", "locks"}) std::filesystem::create_directories(folder_.file(folder));
  site_.platform.environment.variables["TEMP"] = folder_.file("tmp");
  site_.platform.environment.variables["BALVANTALOCKDIR"] = folder_.file("locks");
  sim::Scenario scenario = sim::parseScenario(scenarioText, "campaign.scn");
  scenario.seed = seed;
  site_.load(scenario);
}

}  // namespace kl::campaign
