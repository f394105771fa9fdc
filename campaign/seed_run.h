// One seed of a campaign: its faulted run, the checks, and the clean follow-up run on the
// same simulated units after a failure.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "flow_case.h"

namespace kl::campaign {

enum class Outcome {
  Ok,         // the faulted run succeeded with every unit as it must be
  Recovered,  // it failed, and a clean follow-up run on the same units succeeded
  Bricked,    // it failed, and the follow-up did not bring the units back
  Hang,       // a run passed its time limit
  Crash,      // the run's process died
};

struct SeedResult {
  uint64_t seed = 0;
  Outcome outcome = Outcome::Crash;
  bool failedCleanly = false;  // the faulted run failed with a specified message (or was declined)
  bool violation = false;      // an invariant does not hold: the seed is reported
  bool toolNeeded = false;     // the maker's tool gave a blank chip its boot loader (boot loader lost)
  bool fieldsErased = false;   // and found the unit's manufacturing fields not as they must be
  bool fieldsLost = false;     // after the seed's last run some unit's fields are not as they must be
  std::string category;        // the fault's row in the outcome table
  std::string detail;          // what happened, for a reported seed
};

// The virtual time one run may take.
inline constexpr uint64_t kRunLimitUs = 24ull * 3600 * 1'000'000;

// `consoles` receives both runs' console text when not null (for replaying a seed).
SeedResult RunSeed(Flow flow, uint64_t seed, std::string* consoles = nullptr);

// A case's faults: the plan (what the follow-up knows of them) and how they are put on the
// site before the faulted run.
struct CaseFaults {
  FaultPlan plan;
  std::function<void(Site&)> apply;
  Operator person;               // at the faulted run
  bool cycleEverything = false;  // the technician cycles every unit before a follow-up
};

// The faulted run of `flowCase` on a new site, then as a seed goes on: after a failure the
// technician's preparation, the follow-up, the maker's tool for a blank chip and the run
// after it; then the check of every unit's manufacturing fields.
SeedResult RunCase(FlowCase& flowCase, const CaseFaults& faults, uint64_t seed, std::string* consoles = nullptr);

const char* OutcomeName(Outcome outcome);

}  // namespace kl::campaign
