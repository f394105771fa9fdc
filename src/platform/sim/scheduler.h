// Time as the simulated world sees it: virtual in the tests, real in kestrelink-sim.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>

namespace kl {

class Scheduler {
 public:
  virtual ~Scheduler() = default;
  virtual uint64_t nowUs() = 0;
  // Runs `action` once the clock reaches `timeUs` (at once when it has passed). Actions due at
  // the same time run in the order they were scheduled. Bytes of a line are scheduled this way,
  // from one reading of the clock, so that a late reading cannot spread or reorder them.
  virtual void at(uint64_t timeUs, std::function<void()> action) = 0;
  // Runs `action` once `delayUs` microseconds from now.
  void after(uint64_t delayUs, std::function<void()> action) { at(nowUs() + delayUs, std::move(action)); }
};

}  // namespace kl
