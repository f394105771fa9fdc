#include "sweep.h"

#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "seed_processes.h"
#include "seed_run.h"
#include "sim/unit/frame.h"
#include "wire/commands.h"
#include "wire/frame.h"

namespace kl::campaign {

namespace {

constexpr uint64_t kSweepSeed = 1;

// One field update per MCU type: software before 6.00 (updated through the boot loader and the
// flash programmer) and a boot loader older than the carried one, which -l rewrites.
struct McuScenario {
  int mcuType;
  const char* file;
  const char* keys;
};

const std::vector<McuScenario> kMcus = {
    {3, "za3-lpc2478.scn", ""},  // boot release 18
    {4, "zs3-lpc4078.scn", "boot-release = 20\n"},
    {5, "zs3-lpc1768.scn", ""},  // boot release 13
    {6, "zs4.scn", "boot-release = 20\n"},
    {7, "za3-lpc4357.scn", "boot-release = 20\n"},
};

std::unique_ptr<FlowCase> McuCase(const McuScenario& mcu) {
  return FieldUpdateOf(ShippedScenario(mcu.file) + "version = 5.90\nrelease = 3\nbuild-increment = 0\n" + mcu.keys,
                       {"-l", "-r460800"});
}

// Where a request of a clean run falls: the port unit's received byte that starts it (the
// power-cut count) and its number among the requests the programmers took (1 on).
struct Point {
  int firstByte = 0;
  int request = 0;
};

struct Calibration {
  std::vector<Point> bootBlock;  // each flash write into the boot loader's block
  std::vector<Point> restore;    // each backup block written back
  std::string problem;           // the clean run did not succeed
};

Calibration Calibrate(const McuScenario& mcu) {
  std::unique_ptr<FlowCase> flowCase = McuCase(mcu);
  Calibration c;
  Site site(flowCase->installation(), kSweepSeed);
  flowCase->remember(site);
  flowCase->rememberFields(site);
  sim::Unit& unit = site.unit(0);
  const auto memory = unit.state().flash.memory();
  if (!memory) {
    c.problem = "no flash map";
    return c;
  }
  const sim::MemoryRange boot = memory->bootLoader;
  int requests = 0;
  std::optional<Point> blocks;  // the first RAM block of a buffered write
  unit.onProgrammerRequest = [&](const sim::Frame& frame) {
    const Point here{unit.bytesReceived() - static_cast<int>(frame.raw.size()) + 1, ++requests};
    const std::vector<uint8_t>& p = frame.payload;
    if (p[1] != wire::kFunctionCall) return;
    const auto into = [&](size_t at, Point point) {
      if (boot.contains(sim::readU32(p, at))) c.bootBlock.push_back(point);
    };
    switch (frame.command()) {
      case wire::cmd::WriteRamBlock:
        if (!blocks) blocks = here;
        return;
      case wire::cmd::FlashWriteBufferedCommit:
        // The flash is written at the commit; a cut among its RAM blocks loses them all alike.
        into(4, blocks.value_or(here));
        blocks.reset();
        return;
      case wire::cmd::FlashWritePlain:
      case wire::cmd::FlashWritePlainLarge: into(4, here); return;
      case wire::cmd::FlashWriteWindowed: into(6, here); return;
      case wire::cmd::WriteBackupBlock: c.restore.push_back(here); return;
      default: return;
    }
  };
  std::mt19937_64 random(kSweepSeed);
  flowCase->beforeRun(site);
  const RunEnd end = site.run(flowCase->arguments(site, true), flowCase->person(false, random), kRunLimitUs);
  unit.onProgrammerRequest = nullptr;
  const Verdict verdict = end.exitCode ? flowCase->judge(site, end) : Violated("passed its time limit");
  if (verdict.ending != Ending::Success) c.problem = "the clean run did not succeed: " + verdict.detail;
  if (c.bootBlock.empty()) c.problem += (c.problem.empty() ? "" : "; ") + std::string("no boot-loader packets");
  return c;
}

enum class Stop { PowerCut, ProgrammerStops };
enum class Phase { BootLoader, Restore };

struct SweepCase {
  size_t mcu = 0;  // in kMcus
  Stop stop = Stop::PowerCut;
  Phase phase = Phase::BootLoader;
  size_t index = 0;  // the packet or request of the phase
  size_t of = 0;
  Point at;
};

std::string Row(const SweepCase& c) {
  const McuScenario& mcu = kMcus[c.mcu];
  return "type " + std::to_string(mcu.mcuType) + " " + std::string(mcu.file).substr(0, std::string(mcu.file).size() - 4) +
         (c.stop == Stop::PowerCut ? ", power cut" : ", programmer stops") +
         (c.phase == Phase::BootLoader ? " / boot loader" : " / restore");
}

CaseFaults FaultsOf(const SweepCase& c) {
  CaseFaults faults;
  faults.person = Operator{"yyyy", 2'000'000, 3'000'000};
  FaultPlan& plan = faults.plan;
  const std::string where = std::string(c.phase == Phase::BootLoader ? "boot-loader packet " : "restore request ") +
                            std::to_string(c.index + 1) + " of " + std::to_string(c.of);
  const Point at = c.at;
  if (c.stop == Stop::PowerCut) {
    plan.kind = FaultKind::PowerCut;
    plan.powerCut = FaultMoment{0, 0};
    plan.description = "power cut at received byte " + std::to_string(at.firstByte) + ", " + where;
    faults.apply = [at](Site& site) {
      sim::UnitFaults cut;
      cut.powerCutAtByte = at.firstByte;
      site.unit(0).setFaults(cut);
    };
  } else {
    plan.kind = FaultKind::ProgrammerStops;
    plan.programmerStops = 0;
    plan.description = "programmer stops at request " + std::to_string(at.request) + ", " + where;
    // From that request on the programmer (running now, or the next one started) answers no
    // more, until the technician cycles the power. A flash write is never a programmer's first
    // request, so one answered before makes this one go unanswered.
    faults.apply = [at](Site& site) {
      sim::Unit& unit = site.unit(0);
      unit.onProgrammerRequest = [&unit, target = at.request, seen = 0](const sim::Frame&) mutable {
        if (++seen != target) return;
        sim::UnitFaults stop;
        stop.programmerSilentAfter = 1;
        unit.setFaults(stop);
      };
    };
  }
  return faults;
}

// Each case is one of these.
enum Class { kOk, kRecovered, kToolFieldsOk, kToolFieldsLost, kBricked, kHang, kCrash, kClasses };
constexpr const char* kClassNames[kClasses] = {"ok", "recovered", "bl-lost,fields-ok", "bl-lost,fields-lost",
                                               "bricked", "hang", "crash"};

Class ClassOf(const SeedResult& r) {
  if (r.outcome == Outcome::Hang) return kHang;
  if (r.outcome == Outcome::Crash) return kCrash;
  if (r.toolNeeded) {
    if (r.fieldsLost) return kToolFieldsLost;
    return r.outcome == Outcome::Recovered ? kToolFieldsOk : kBricked;
  }
  if (r.outcome == Outcome::Ok) return kOk;
  return r.outcome == Outcome::Recovered ? kRecovered : kBricked;
}

struct RowCounts {
  uint64_t cases = 0;
  uint64_t by[kClasses] = {};
  uint64_t toolNeeded = 0;
  uint64_t fieldsLost = 0;
  uint64_t violations = 0;

  void add(const SeedResult& r) {
    ++cases;
    ++by[ClassOf(r)];
    if (r.toolNeeded) ++toolNeeded;
    if (r.fieldsLost) ++fieldsLost;
    if (r.violation) ++violations;
  }
};

std::string Table(const std::map<std::string, RowCounts>& rows, const RowCounts& all) {
  std::string text;
  char line[256];
  std::snprintf(line, sizeof line, "%-52s %5s %5s %9s %17s %19s %7s %4s %5s %11s %10s\n", "mcu type, fault / phase", "cases",
                kClassNames[kOk], kClassNames[kRecovered], kClassNames[kToolFieldsOk], kClassNames[kToolFieldsLost],
                kClassNames[kBricked], kClassNames[kHang], kClassNames[kCrash], "fields-lost", "violations");
  text += line;
  const auto n = [](uint64_t v) { return static_cast<unsigned long long>(v); };
  const auto add = [&](const std::string& name, const RowCounts& c) {
    std::snprintf(line, sizeof line, "%-52s %5llu %5llu %9llu %17llu %19llu %7llu %4llu %5llu %11llu %10llu\n",
                  name.c_str(), n(c.cases), n(c.by[kOk]), n(c.by[kRecovered]), n(c.by[kToolFieldsOk]),
                  n(c.by[kToolFieldsLost]), n(c.by[kBricked]), n(c.by[kHang]), n(c.by[kCrash]), n(c.fieldsLost),
                  n(c.violations));
    text += line;
  };
  for (const auto& [name, c] : rows) add(name, c);
  add("all", all);
  return text;
}

}  // namespace

int RunSweep(const SweepOptions& options) {
  std::vector<SweepCase> cases;
  for (size_t m = 0; m < kMcus.size(); ++m) {
    const Calibration c = Calibrate(kMcus[m]);
    if (!c.problem.empty()) {
      std::cout << "sweep: type " << kMcus[m].mcuType << " (" << kMcus[m].file << "): " << c.problem << std::endl;
      return 1;
    }
    for (const Stop stop : {Stop::PowerCut, Stop::ProgrammerStops}) {
      for (size_t i = 0; i < c.bootBlock.size(); i += options.every) {
        cases.push_back({m, stop, Phase::BootLoader, i, c.bootBlock.size(), c.bootBlock[i]});
      }
      for (size_t i = 0; i < c.restore.size(); ++i) {
        cases.push_back({m, stop, Phase::Restore, i, c.restore.size(), c.restore[i]});
      }
    }
  }

  std::map<std::string, RowCounts> rows;
  RowCounts all;
  const std::string replay = "--sweep" + (options.every > 1 ? " --every " + std::to_string(options.every) : "");
  const auto done = [&](const SeedResult& r) {
    const SweepCase& c = cases[r.seed];
    rows[Row(c)].add(r);
    all.add(r);
    if (!r.violation) return;
    std::cout << "case " << r.seed << " (" << replay << " --case " << r.seed << " --console): " << kClassNames[ClassOf(r)]
              << ": " << r.detail << std::endl;
  };
  const auto run = [&](uint64_t number, std::string* consoles) {
    const SweepCase& c = cases[number];
    std::unique_ptr<FlowCase> flowCase = McuCase(kMcus[c.mcu]);
    const CaseFaults faults = FaultsOf(c);
    SeedResult r = RunCase(*flowCase, faults, kSweepSeed, consoles);
    r.seed = number;
    r.category = Row(c);
    return r;
  };
  uint64_t first = 0;
  uint64_t count = cases.size();
  if (options.only) {
    if (*options.only >= cases.size()) {
      std::cout << "sweep: there are " << cases.size() << " cases" << std::endl;
      return 2;
    }
    first = *options.only;
    count = 1;
  }
  if (options.console) {
    for (uint64_t number = first; number < first + count; ++number) {
      std::string consoles;
      const SeedResult r = run(number, &consoles);
      std::cout << consoles << "==== case " << number << ": " << kClassNames[ClassOf(r)] << " " << r.detail << std::endl;
      done(r);
    }
  } else {
    RunSeedsInProcesses(SeedBatch{[&run](uint64_t number) { return run(number, nullptr); }, first, count, options.jobs},
                        done);
  }
  std::cout << Table(rows, all);
  std::cout << "sweep: cases=" << all.cases << " ok=" << all.by[kOk] << " recovered=" << all.by[kRecovered]
            << " boot-loader-lost=" << all.toolNeeded
            << " bl-fields-ok=" << all.by[kToolFieldsOk] << " bl-fields-lost=" << all.by[kToolFieldsLost]
            << " bricked=" << all.by[kBricked] << " hangs=" << all.by[kHang] << " crashes=" << all.by[kCrash]
            << " fields-lost=" << all.fieldsLost << " violations=" << all.violations << std::endl;
  return all.violations == 0 ? 0 : 1;
}

}  // namespace kl::campaign
