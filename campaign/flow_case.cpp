#include "flow_case.h"

#include <array>

#include "draws.h"
#include "support/temp_dir.h"

namespace kl::campaign {

namespace {

constexpr std::array<const char*, 5> kFlowNames = {"field-update", "multi-unit", "manufacturing", "extract-logs",
                                                   "interrogate"};

}  // namespace

std::optional<Flow> FlowNamed(std::string_view name) {
  for (size_t i = 0; i < kFlowNames.size(); ++i) {
    if (name == kFlowNames[i]) return static_cast<Flow>(i);
  }
  return std::nullopt;
}

const char* FlowName(Flow flow) { return kFlowNames[static_cast<size_t>(flow)]; }

std::string FlowCase::parameterFile(const Site& site) const {
  return station_.empty() ? std::string() : site.file("station.ini");
}

std::vector<std::string> FlowCase::arguments(const Site& site, bool yes, bool followUp) const {
  std::vector<std::string> arguments = options_;
  if (followUp) arguments.insert(arguments.end(), followUpOptions_.begin(), followUpOptions_.end());
  if (yes) arguments.insert(arguments.begin(), "-y");
  if (!station_.empty()) {
    // Each run starts from the station's file as the station wrote it.
    test::writeFile(parameterFile(site), station_);
    arguments.push_back(parameterFile(site));
  }
  return arguments;
}

Operator FlowCase::person(bool faulty, std::mt19937_64& random) const {
  if (!faulty) return Operator{"yyyy", 2'000'000, 3'000'000};
  Operator person;
  for (int i = 0; i < 4; ++i) person.answers += Chance(random, 0.8) ? 'y' : 'n';
  // Anything from at once to five minutes at the keyboard; up to a minute and a half to
  // find the power switch (the program waits 60 s at 9600 baud, then 30 s at 115200).
  person.answerDelayUs = Between<uint64_t>(random, 0, 300'000'000);
  person.powerCycleDelayUs = Between<uint64_t>(random, 0, 100'000'000);
  return person;
}

void FlowCase::rememberFields(Site& site) {
  fieldsBefore_.clear();
  for (size_t i = 0; i < site.unitCount(); ++i) fieldsBefore_.push_back(Fields(site.unit(i)));
}

Problem FlowCase::fieldsProblem(Site& site, bool) const {
  for (size_t i = 0; i < site.unitCount() && i < fieldsBefore_.size(); ++i) {
    if (Problem p = FieldsProblem(site.unit(i), fieldsBefore_[i])) return p;
  }
  return std::nullopt;
}

std::unique_ptr<FlowCase> DrawCase(Flow flow, std::mt19937_64& random) {
  switch (flow) {
    case Flow::FieldUpdate: return DrawFieldUpdate(random);
    case Flow::MultiUnit: return DrawMultiUnit(random);
    case Flow::Manufacturing: return DrawManufacturing(random);
    case Flow::ExtractLogs: return DrawExtractLogs(random);
    case Flow::Interrogate: return DrawInterrogate(random);
  }
  return nullptr;
}

std::string ShippedScenario(const std::string& name) {
  return test::readFile(std::string(KESTRELINK_SOURCE_DIR) + "/sim/scenarios/" + name);
}

std::string DrawSpeed(std::mt19937_64& random) {
  return "-r" + Pick<std::string>(random, {"115200", "230400", "460800", "921600"});
}

std::string VersionText(int version, int release) {
  auto two = [](int n) { return (n < 10 ? "0" : "") + std::to_string(n); };
  return std::to_string(version / 100) + "." + two(version % 100) + "r" + two(release);
}

}  // namespace kl::campaign
