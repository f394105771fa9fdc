#include "seed_run.h"

#include <algorithm>
#include <cmath>

#include "draws.h"
#include "images/catalogue.h"
#include "sim/storage/image_records.h"
#include "sim/storage/manufacturing_fields.h"
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
// maker's tool writes the carried boot loader through that protocol and the unit gets the
// manufacturing fields of its production record back (`records`, by unit) if the block that
// held them was being rewritten too; then it is switched on.
struct Workshop {
  bool bootLoaders = false;  // some unit needed the tool
  bool fields = false;       // and its fields came from the production record
};
Workshop RestoreBlankChips(Site& site, const std::vector<std::optional<sim::FieldBytes>>& records) {
  Workshop done;
  for (size_t i = 0; i < site.unitCount(); ++i) {
    sim::Unit& unit = site.unit(i);
    if (unit.mode() != sim::UnitMode::BlankChip) continue;
    const catalogue::BootLoaderRow* row = catalogue::FindBootLoader(unit.state().application.mcuType, unit.family());
    if (!row) continue;
    const ImageRef bootLoader = ImageOf(*row);
    const std::optional<sim::RecordImage> image =
        sim::parseRecordImage(std::span(bootLoader.start, bootLoader.length));
    if (!image || !sim::placeImage(unit.state(), *image)) continue;
    sim::ManufacturingFields fields(unit.state().flash);
    if (i < records.size() && records[i] && !fields.current()) {
      for (const auto copy : {sim::ManufacturingFields::Copy::Main, sim::ManufacturingFields::Copy::Secondary}) {
        fields.store(copy, *records[i]);
      }
      done.fields = true;
    }
    unit.powerCycle();
    done.bootLoaders = true;
  }
  if (done.bootLoaders) site.settle(kTechnicianPauseUs);
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
  const FaultPlan plan = DrawFaults(random, flowCase->targets());
  const bool operatorFault = plan.kind == FaultKind::Operator;
  const Operator person = flowCase->person(operatorFault, random);
  const bool cycleEverything = Chance(random, 0.5);

  SeedResult result;
  result.seed = seed;
  result.category = plan.category();
  const CleanRun clean = plan.needsCalibration() ? MeasureCleanRun(*flowCase, seed, random) : CleanRun{};

  Site site(flowCase->installation(), seed);
  flowCase->remember(site);
  std::vector<std::optional<sim::FieldBytes>> productionRecords;
  for (size_t i = 0; i < site.unitCount(); ++i) productionRecords.push_back(Fields(site.unit(i)));
  ApplyFaults(site, plan, clean);
  // A replay shows the Debug channel too; it changes nothing else of the run.
  const auto argumentsOf = [&](bool yes, bool followUp) {
    std::vector<std::string> arguments = flowCase->arguments(site, yes, followUp);
    if (consoles) arguments.insert(arguments.begin(), "-d");
    return arguments;
  };
  flowCase->beforeRun(site);
  const RunEnd first = site.run(argumentsOf(!operatorFault, false), person, kRunLimitUs);
  if (consoles) *consoles += "==== faulted run (" + plan.description + ")\n" + first.console;
  const std::string faults = " [" + plan.description + "]";
  if (!first.exitCode) {
    result.outcome = Outcome::Hang;
    result.violation = true;
    result.detail = "the faulted run passed its time limit" + faults;
    return result;
  }
  const Verdict verdict = flowCase->judge(site, first);
  if (verdict.ending == Ending::Success) {
    result.outcome = Outcome::Ok;
    return result;
  }
  result.failedCleanly = verdict.ending == Ending::CleanFailure;
  std::string what = result.failedCleanly ? "failed cleanly: " + verdict.detail : "faulted run: " + verdict.detail;

  PrepareFollowUp(site, plan, flowCase->portUnitAnywhere(), cycleEverything);
  const std::string modeBefore = sim::unitModeName(site.unit(0).mode());
  flowCase->beforeRun(site);
  const RunEnd second = site.run(argumentsOf(true, true), flowCase->person(false, random), kRunLimitUs);
  if (consoles) *consoles += "==== follow-up run (the port's unit was in its " + modeBefore + ")\n" + second.console;
  if (!second.exitCode) {
    result.outcome = Outcome::Hang;
    result.violation = true;
    result.detail = what + "; the follow-up passed its time limit" + faults;
    return result;
  }
  Verdict after = flowCase->judge(site, second);
  const Workshop workshop =
      after.ending != Ending::Success && plan.stopsAUnit() ? RestoreBlankChips(site, productionRecords) : Workshop{};
  if (workshop.bootLoaders) {
    result.toolNeeded = true;
    result.fieldsFromRecord = workshop.fields;
    // The failed follow-up may have left other units as the faulted run did.
    PrepareFollowUp(site, plan, flowCase->portUnitAnywhere(), cycleEverything);
    flowCase->beforeRun(site);
    const RunEnd third = site.run(argumentsOf(true, true), flowCase->person(false, random), kRunLimitUs);
    if (consoles) *consoles += "==== after the maker's tool gave the blank chip its boot loader\n" + third.console;
    if (!third.exitCode) {
      result.outcome = Outcome::Hang;
      result.violation = true;
      result.detail = what + "; the run after the tool passed its time limit" + faults;
      return result;
    }
    after = flowCase->judge(site, third);
  }
  result.outcome = after.ending == Ending::Success ? Outcome::Recovered : Outcome::Bricked;
  result.violation = !result.failedCleanly || result.outcome == Outcome::Bricked;
  if (result.outcome == Outcome::Bricked) {
    what += "; the follow-up " + (after.detail.empty() ? Describe(second) : after.detail + " (" + Describe(second) + ")");
  }
  result.detail = what + faults;
  return result;
}

}  // namespace kl::campaign
