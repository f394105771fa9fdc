// Time as the simulated world sees it: virtual in the tests, real in kestrelink-sim.
#pragma once

#include <cstdint>
#include <functional>

namespace kl {

class Scheduler {
 public:
  virtual ~Scheduler() = default;
  virtual uint64_t nowUs() = 0;
  // Runs `action` once `delayUs` microseconds from now. Actions due at the same time run in
  // the order they were scheduled.
  virtual void after(uint64_t delayUs, std::function<void()> action) = 0;
};

}  // namespace kl
