// The field update of the unit on the port through its boot loader and the flash programmer:
// every card and MCU, found running older software, waiting in its boot loader, or without
// an application.
#include <algorithm>

#include "draws.h"
#include "flow_case.h"
#include "unit_checks.h"

namespace kl::campaign {

namespace {

struct CardScenario {
  const char* file;
  int bootRelease;
};

const std::vector<CardScenario> kCards = {
    {"za3-lpc2478.scn", 18}, {"za3-lpc4357.scn", 24}, {"za4.scn", 25}, {"zc3.scn", 16},
    {"zs3-lpc1768.scn", 13}, {"zs3-lpc4078.scn", 24}, {"zs4.scn", 25},
};

class FieldUpdateCase : public FlowCase {
 public:
  explicit FieldUpdateCase(std::mt19937_64& random) {
    const CardScenario& card = Pick(random, kCards);
    // Older software (build increment 0: never a later build of the carried release).
    std::string keys = "version = 5.90\nrelease = " + std::to_string(Between(random, 0, 9)) + "\nbuild-increment = 0\n";
    switch (Between(random, 0, 5)) {
      case 0:
      case 1:
        // Before 6.00 no network is listed: the unit is updated through its boot loader.
        break;
      case 2:
      case 3:
        keys = "version = 6.05\nrelease = 1\nbuild-increment = 0\n";
        options_.push_back("-f");
        break;
      case 4:
        keys += "state = boot-loader\n";
        break;
      default:
        keys += "software = none\n";
        break;
    }
    installation_ = ShippedScenario(card.file) + keys;
    if (card.bootRelease < 24 && Chance(random, 0.5)) options_.push_back("-l");
    if (Chance(random, 0.5)) options_.push_back("-o");
    if (Chance(random, 0.15)) options_.push_back("-v");
    options_.push_back(DrawSpeed(random));
    // A unit left with the new software but not all of its files would take the multi-unit
    // path next time, which needs a boot loader that applies update files: the technician
    // finishes the job on this unit alone.
    if (std::find(options_.begin(), options_.end(), "-f") == options_.end()) followUpOptions_.push_back("-f");
    targets_ = FaultTargets{1, true};
  }

  bool portUnitAnywhere() const override { return true; }

  void remember(Site& site) override {
    bootBlock_ = BootBlock(site.unit(0));
    fields_ = Fields(site.unit(0));
  }

  Verdict judge(Site& site, const RunEnd& end) override {
    if (end.exitCode == 0 && Shows(end, "Success: all operations are complete")) {
      sim::Unit& unit = site.unit(0);
      for (const Problem& problem :
           {CarriedReleaseProblem(unit), BootBlockProblem(unit, bootBlock_), FieldsProblem(unit, fields_)}) {
        if (problem) return Violated("success, but " + *problem);
      }
      return Succeeded();
    }
    if (std::optional<Verdict> stop = JudgeStop(end, "")) return *stop;
    return Violated("ended with exit code " + std::to_string(end.exitCode.value_or(-1)) +
                    ", neither its success line nor a failure message");
  }

 private:
  std::vector<uint8_t> bootBlock_;
  std::optional<sim::FieldBytes> fields_;
};

}  // namespace

std::unique_ptr<FlowCase> DrawFieldUpdate(std::mt19937_64& random) {
  return std::make_unique<FieldUpdateCase>(random);
}

}  // namespace kl::campaign
