#include "seed_run.h"

#include <algorithm>
#include <cmath>

#include "carried_release.h"
#include "draws.h"
#include "sim/storage/image_records.h"
#include "sim/unit/flash_content.h"
#include "unit_checks.h"

namespace kl::campaign {

namespace {

constexpr uint64_t kTechnicianPauseUs = 3'000'000;

// What a clean run of the case takes: the bytes the port's unit receives and the time.
struct CleanRun {
  size_t bytes = 0;
  uint64_t durationUs = 0;
};

CleanRun MeasureCleanRun(FlowCase& flowCase, uint64_t seed, std::mt19937_64& random) {
  Site site(flowCase.installation(), seed);
  flowCase.beforeRun(site);
  const RunEnd end = site.run(flowCase.arguments(site, true), flowCase.person(false, random), kRunLimitUs);
  return {site.line().deliveredToDevice().size(), end.durationUs};
}

void ApplyFaults(Site& site, const FaultPlan& plan, const CleanRun& clean) {
  site.line().towardsPc = plan.towardsPc;
  site.line().towardsDevice = plan.towardsDevice;
  for (size_t i = 0; i < plan.unitFaults.size() && i < site.unitCount(); ++i) site.unit(i).setFaults(plan.unitFaults[i]);
  if (plan.hungPortUnit) {
    sim::UnitFaults hung;
    hung.silentUntilPowerCycle = true;
    site.unit(0).setFaults(hung);
  }
  const auto momentUs = [&](double fraction) {
    return site.world().nowUs() + static_cast<uint64_t>(fraction * static_cast<double>(clean.durationUs));
  };
  if (plan.powerCut) {
    sim::Unit& unit = site.unit(plan.powerCut->unit);
    if (plan.powerCut->unit == 0) {
      sim::UnitFaults cut;
      cut.powerCutAtByte = std::max(1, static_cast<int>(plan.powerCut->fraction * static_cast<double>(clean.bytes)));
      unit.setFaults(cut);
    } else {
      site.world().at(momentUs(plan.powerCut->fraction), [&unit] { unit.powerCycle(); });
    }
  }
  if (plan.programmerStops) {
    // From then on the programmer (running now, or the next one started) answers no more.
    sim::Unit& unit = site.unit(0);
    site.world().at(momentUs(*plan.programmerStops), [&unit] {
      sim::UnitFaults stop;
      stop.programmerSilentAfter = 1;
      unit.setFaults(stop);
    });
  }
  if (plan.vanish) {
    sim::Unit& unit = site.unit(plan.vanish->unit);
    site.world().at(momentUs(plan.vanish->fraction), [&unit] { unit.powerOff(); });
  }
}

// Before the follow-up: the faults are gone, and the technician switches off and on what shows
// no sign of its application: a unit that is off, halted, hung by the plan, left in its boot
// loader or programmer, or left at a raised speed (found at none of the usual ones; the program
// would ask for the power cycle and then hold the unit in its boot loader). The unit on the
// port of a field update is the exception: wherever a run left it, the next run must find it.
// Now and then the technician cycles every unit.
void PrepareFollowUp(Site& site, const FaultPlan& plan, bool portUnitAnywhere, bool cycleEverything) {
  site.line().towardsPc = {};
  site.line().towardsDevice = {};
  for (size_t i = 0; i < site.unitCount(); ++i) {
    sim::Unit& unit = site.unit(i);
    unit.setFaults({});
    const bool dead = unit.mode() == sim::UnitMode::Halted || (i == 0 && (plan.programmerStops || plan.hungPortUnit));
    const bool away = unit.mode() != sim::UnitMode::Application ||
                      unit.applicationFormat().baud != unit.settings().applicationFormat.baud;
    if (!unit.powered()) {
      unit.powerOn();
    } else if (dead || cycleEverything || (away && !(i == 0 && portUnitAnywhere))) {
      unit.powerCycle();
    }
  }
  site.settle(kTechnicianPauseUs);
}

// A unit that lost power (or its programmer) while its boot loader was rewritten starts only
// the chip's own boot protocol. The technician takes it to the production line, where the
// maker's tool writes the carried boot loader through that protocol, and nothing else: the
// manufacturing fields, if they went too, are the program's to put back from what it kept on
// the PC. Then it is switched on. True when some unit needed the tool.
bool RestoreBlankChips(Site& site) {
  bool done = false;
  for (size_t i = 0; i < site.unitCount(); ++i) {
    sim::Unit& unit = site.unit(i);
    if (unit.mode() != sim::UnitMode::BlankChip) continue;
    const std::vector<uint8_t> bootLoader =
        BundleBytes(CarriedBootLoaderName(unit.state().application.mcuType, unit.family()));
    if (bootLoader.empty()) continue;
    const std::optional<sim::RecordImage> image =
        sim::parseRecordImage(std::span(bootLoader.data(), bootLoader.size()));
    if (!image || !sim::placeImage(unit.state(), *image)) continue;
    unit.powerCycle();
    done = true;
  }
  if (done) site.settle(kTechnicianPauseUs);
  return done;
}

std::string Describe(const RunEnd& end) {
  if (!end.exitCode) return "passed its time limit";
  if (const auto message = FatalMessage(end)) return "\"" + *message + "\"";
  return "exit code " + std::to_string(*end.exitCode);
}

}  // namespace

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::Ok: return "ok";
    case Outcome::Recovered: return "recovered";
    case Outcome::Bricked: return "bricked";
    case Outcome::Hang: return "hang";
    case Outcome::Crash: return "crash";
  }
  return "?";
}

SeedResult RunSeed(Flow flow, uint64_t seed, std::string* consoles) {
  std::mt19937_64 random(seed * 0x9E3779B97F4A7C15ull + static_cast<uint64_t>(flow));
  std::unique_ptr<FlowCase> flowCase = DrawCase(flow, random);
  CaseFaults faults;
  faults.plan = DrawFaults(random, flowCase->targets());
  faults.person = flowCase->person(faults.plan.kind == FaultKind::Operator, random);
  faults.cycleEverything = Chance(random, 0.5);
  const CleanRun clean = faults.plan.needsCalibration() ? MeasureCleanRun(*flowCase, seed, random) : CleanRun{};
  faults.apply = [&faults, clean](Site& site) { ApplyFaults(site, faults.plan, clean); };
  return RunCase(*flowCase, faults, seed, consoles);
}

SeedResult RunCase(FlowCase& flowCase, const CaseFaults& faults, uint64_t seed, std::string* consoles) {
  const FaultPlan& plan = faults.plan;
  const bool operatorFault = plan.kind == FaultKind::Operator;
  std::mt19937_64 random(seed);  // a follow-up's operator is never faulty: nothing is drawn
  SeedResult result;
  result.seed = seed;
  result.category = plan.category();
  const std::string faultText = " [" + plan.description + "]";

  Site site(flowCase.installation(), seed);
  flowCase.remember(site);
  flowCase.rememberFields(site);
  faults.apply(site);
  // A replay shows the Debug channel too; it changes nothing else of the run.
  const auto argumentsOf = [&](bool yes, bool followUp) {
    std::vector<std::string> arguments = flowCase.arguments(site, yes, followUp);
    if (consoles) arguments.insert(arguments.begin(), "-d");
    return arguments;
  };
  // Every seed ends here: its units' fields are checked whatever became of the runs.
  std::string what;
  const auto finish = [&](bool succeeded) {
    if (const Problem lost = flowCase.fieldsProblem(site, succeeded)) {
      result.fieldsLost = true;
      result.violation = true;
      what += (what.empty() ? "" : "; ") + std::string("fields lost: ") + *lost;
    }
    result.detail = what.empty() ? std::string() : what + faultText;
    return result;
  };

  flowCase.beforeRun(site);
  const RunEnd first = site.run(argumentsOf(!operatorFault, false), faults.person, kRunLimitUs);
  if (consoles) *consoles += "==== faulted run (" + plan.description + ")\n" + first.console;
  if (!first.exitCode) {
    result.outcome = Outcome::Hang;
    result.violation = true;
    what = "the faulted run passed its time limit";
    return finish(false);
  }
  const Verdict verdict = flowCase.judge(site, first);
  if (verdict.ending == Ending::Success) {
    result.outcome = Outcome::Ok;
    return finish(true);
  }
  result.failedCleanly = verdict.ending == Ending::CleanFailure;
  what = result.failedCleanly ? "failed cleanly: " + verdict.detail : "faulted run: " + verdict.detail;

  PrepareFollowUp(site, plan, flowCase.portUnitAnywhere(), faults.cycleEverything);
  const std::string modeBefore = sim::unitModeName(site.unit(0).mode());
  flowCase.beforeRun(site);
  const RunEnd second = site.run(argumentsOf(true, true), flowCase.person(false, random), kRunLimitUs);
  if (consoles) *consoles += "==== follow-up run (the port's unit was in its " + modeBefore + ")\n" + second.console;
  if (!second.exitCode) {
    result.outcome = Outcome::Hang;
    result.violation = true;
    what += "; the follow-up passed its time limit";
    return finish(false);
  }
  Verdict after = flowCase.judge(site, second);
  std::string last = "the follow-up";
  RunEnd lastEnd = second;
  if (after.ending != Ending::Success && plan.stopsAUnit()) {
    // What the tool finds: fields the program must now write back.
    const bool fieldsGone = flowCase.fieldsProblem(site, false).has_value();
    if (RestoreBlankChips(site)) {
      result.toolNeeded = true;
      result.fieldsErased = fieldsGone;
      // The failed follow-up may have left other units as the faulted run did.
      PrepareFollowUp(site, plan, flowCase.portUnitAnywhere(), faults.cycleEverything);
      flowCase.beforeRun(site);
      const RunEnd third = site.run(argumentsOf(true, true), flowCase.person(false, random), kRunLimitUs);
      if (consoles) *consoles += "==== after the maker's tool gave the blank chip its boot loader\n" + third.console;
      if (!third.exitCode) {
        result.outcome = Outcome::Hang;
        result.violation = true;
        what += "; the run after the tool passed its time limit";
        return finish(false);
      }
      after = flowCase.judge(site, third);
      last = "the run after the tool";
      lastEnd = third;
    }
  }
  result.outcome = after.ending == Ending::Success ? Outcome::Recovered : Outcome::Bricked;
  result.violation = !result.failedCleanly || result.outcome == Outcome::Bricked;
  if (result.outcome == Outcome::Bricked) {
    what += "; " + last + " " + (after.detail.empty() ? Describe(lastEnd) : after.detail + " (" + Describe(lastEnd) + ")");
  }
  return finish(result.outcome == Outcome::Recovered);
}

}  // namespace kl::campaign
