// Seeds run in child processes, a few at a time: a seed that crashes, trips a sanitizer or
// never ends in real time is a finding of its own and cannot take the campaign down.
#pragma once

#include <cstdint>
#include <functional>

#include "seed_run.h"

namespace kl::campaign {

struct SeedBatch {
  std::function<SeedResult(uint64_t)> run;  // one seed (or case number), in its own process
  uint64_t first = 1;
  uint64_t count = 0;
  int jobs = 1;
  unsigned realLimitSeconds = 600;  // a seed's process is killed after this much real time
};

// Hands each seed's result to `done` as it arrives (in no particular order).
void RunSeedsInProcesses(const SeedBatch& batch, const std::function<void(const SeedResult&)>& done);

}  // namespace kl::campaign
