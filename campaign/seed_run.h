// One seed of a campaign: its faulted run, the checks, and the clean follow-up run on the
// same simulated units after a failure.
#pragma once

#include <cstdint>
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
  bool toolNeeded = false;     // recovered only once the maker's tool gave a blank chip its boot loader
  bool fieldsFromRecord = false;  // and the fields of its production record
  std::string category;        // the fault's row in the outcome table
  std::string detail;          // what happened, for a reported seed
};

// The virtual time one run may take.
inline constexpr uint64_t kRunLimitUs = 24ull * 3600 * 1'000'000;

// `consoles` receives both runs' console text when not null (for replaying a seed).
SeedResult RunSeed(Flow flow, uint64_t seed, std::string* consoles = nullptr);

const char* OutcomeName(Outcome outcome);

}  // namespace kl::campaign
