// The virtual-time world: one clock, one event queue, one seeded random generator.
// Waiting advances the clock to the next event, so long waits cost no real time and every
// run with the same seed is the same.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <utility>

#include "platform/sim/scheduler.h"

namespace kl {

class World : public Scheduler {
 public:
  explicit World(uint64_t seed = 1) : random_(seed) {}

  uint64_t nowUs() override { return now_; }
  void after(uint64_t delayUs, std::function<void()> action) override;
  void at(uint64_t timeUs, std::function<void()> action);

  // Runs every event due up to `timeUs` and leaves the clock there.
  void advanceTo(uint64_t timeUs);
  // Runs events until `done()` holds or the clock reaches `deadlineUs`; the clock stops at
  // the event that made `done()` true, or at the deadline. Returns done().
  bool runUntil(uint64_t deadlineUs, const std::function<bool()>& done);
  // Runs events until none is due before `limitUs`.
  void drain(uint64_t limitUs);
  bool idle() const { return events_.empty(); }

  std::mt19937_64& random() { return random_; }

 private:
  bool runNext(uint64_t limitUs);

  uint64_t now_ = 0;
  uint64_t sequence_ = 0;
  std::map<std::pair<uint64_t, uint64_t>, std::function<void()>> events_;
  std::mt19937_64 random_;
};

}  // namespace kl
