// The exhaustive sweep: for each MCU type's boot-loader and software field update, the faulted
// run with a power cut at each packet of the boot-loader block, with a programmer that stops
// answering at each, and with both at each request of the restore step (the backup blocks
// written back). Each case then goes on as a seed does and is classified.
#pragma once

#include <cstdint>
#include <optional>

namespace kl::campaign {

struct SweepOptions {
  uint64_t every = 1;             // every K-th packet of the boot-loader block (the restore's: all)
  int jobs = 1;
  std::optional<uint64_t> only;   // one case, by its number
  bool console = false;           // in this process, with each run's console
};

// Prints a table per MCU type and fault, and the last line; the exit code: 0 when no case broke
// an invariant.
int RunSweep(const SweepOptions& options);

}  // namespace kl::campaign
