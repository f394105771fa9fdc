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
  FieldUpdateCase(const std::string& installation, std::vector<std::string> options) {
    installation_ = installation;
    options_ = std::move(options);
    finish();
  }

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
    // Now and then a later build of a release (6.00 on, build increment above 1): the program
    // must leave it as it is and say that the unit could not be updated.
    if (Chance(random, 0.08)) {
      keys = "version = 6.0" + std::to_string(Between(random, 0, 9)) + "\nrelease = " +
             std::to_string(Between(random, 0, 57)) + "\nbuild-increment = " + std::to_string(Between(random, 2, 9)) +
             "\n";
      refused_ = true;
    }
    installation_ = ShippedScenario(card.file) + keys;
    if (card.bootRelease < 24 && Chance(random, 0.5)) options_.push_back("-l");
    if (Chance(random, 0.5)) options_.push_back("-o");
    if (Chance(random, 0.15)) options_.push_back("-v");
    options_.push_back(DrawSpeed(random));
    finish();
  }

  bool portUnitAnywhere() const override { return true; }

  void remember(Site& site) override {
    bootBlock_ = BootBlock(site.unit(0));
    fields_ = Fields(site.unit(0));
    flash_ = site.unit(0).state().flash.image();
  }

  Verdict judge(Site& site, const RunEnd& end) override {
    if (refused_) return judgeRefused(site, end);
    if (end.exitCode == 0 && Shows(end, "Success: all operations are complete")) return judgeSuccess(site);
    if (std::optional<Verdict> stop = JudgeStop(end, "")) return *stop;
    return Violated("ended with exit code " + std::to_string(end.exitCode.value_or(-1)) +
                    ", neither its success line nor a failure message");
  }

 private:
  Verdict judgeSuccess(Site& site) const {
    sim::Unit& unit = site.unit(0);
    for (const Problem& problem :
         {CarriedReleaseProblem(unit), BootBlockProblem(unit, bootBlock_), FieldsProblem(unit, fields_)}) {
      if (problem) return Violated("success, but " + *problem);
    }
    return Succeeded();
  }

  // The unit's table showed a build increment above 1.
  void finish() {
    // A unit left with the new software but not all of its files would take the multi-unit
    // path next time, which needs a boot loader that applies update files: the technician
    // finishes the job on this unit alone.
    if (std::find(options_.begin(), options_.end(), "-f") == options_.end()) followUpOptions_.push_back("-f");
    targets_ = FaultTargets{1, true};
  }

  // The end of a run on a unit the program must refuse: nothing written to it, and the run
  // says that a unit could not be updated. That is all any run can do for it.
  Verdict judgeRefused(Site& site, const RunEnd& end) {
    if (end.exitCode == 0 && Shows(end, "Success: all operations are complete")) {
      // A unit caught in its boot loader (after a power cycle the run asked for) tells no build
      // increment: the program cannot know the build it holds, and bringing it to the carried
      // release whole is sound. One that told it must be refused.
      if (ShowsLaterBuild(end)) return Violated("success, but the program was told the unit's later build");
      refused_ = false;
      if (Verdict v = judgeSuccess(site); v.ending != Ending::Success) return v;
      return Succeeded();
    }
    if (end.exitCode == 0 && Shows(end, "Complete: some units could not be updated")) {
      if (Problem p = UnchangedProblem(site.unit(0), flash_)) return Violated("refused, but " + *p);
      return Succeeded();
    }
    if (std::optional<Verdict> stop = JudgeStop(end, "")) return *stop;
    return Violated("ended with exit code " + std::to_string(end.exitCode.value_or(-1)) +
                    ", neither \"Complete: some units could not be updated\" nor a failure message");
  }

  bool refused_ = false;
  std::vector<uint8_t> bootBlock_;
  std::optional<sim::FieldBytes> fields_;
  std::vector<uint8_t> flash_;
};

}  // namespace

std::unique_ptr<FlowCase> DrawFieldUpdate(std::mt19937_64& random) {
  return std::make_unique<FieldUpdateCase>(random);
}

std::unique_ptr<FlowCase> FieldUpdateOf(const std::string& installation, std::vector<std::string> options) {
  return std::make_unique<FieldUpdateCase>(installation, std::move(options));
}

}  // namespace kl::campaign
