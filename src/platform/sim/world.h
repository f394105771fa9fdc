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

// Thrown by the world when its clock would pass the deadline: a run that went on longer than
// it may (a hang, as far as virtual time can tell).
struct DeadlinePassed {
  uint64_t deadlineUs;
};

class World : public Scheduler {
 public:
  explicit World(uint64_t seed = 1) : random_(seed) {}

  uint64_t nowUs() override { return now_; }
  void at(uint64_t timeUs, std::function<void()> action) override;

  // Runs every event due up to `timeUs` and leaves the clock there.
  void advanceTo(uint64_t timeUs);
  // Runs events until `done()` holds or the clock reaches `deadlineUs`; the clock stops at
  // the event that made `done()` true, or at the deadline. Returns done().
  bool runUntil(uint64_t deadlineUs, const std::function<bool()>& done);
  // Runs events until none is due before `limitUs`.
  void drain(uint64_t limitUs);
  bool idle() const { return events_.empty(); }

  // The clock stops at `timeUs`: the wait that would pass it runs what is due up to then and
  // throws DeadlinePassed. The deadline is spent by that: waits in the clean-up after it
  // (closing a port, ...) go on normally.
  void setDeadline(uint64_t timeUs) { deadline_ = timeUs; }
  void clearDeadline() { deadline_ = kNoDeadline; }

  std::mt19937_64& random() { return random_; }

 private:
  static constexpr uint64_t kNoDeadline = UINT64_MAX;

  bool runNext(uint64_t limitUs);
  // The time a wait up to `timeUs` may reach; throws once the deadline is reached.
  uint64_t limitOf(uint64_t timeUs);
  void throwIfPast(uint64_t timeUs);

  uint64_t now_ = 0;
  uint64_t deadline_ = kNoDeadline;
  uint64_t sequence_ = 0;
  std::map<std::pair<uint64_t, uint64_t>, std::function<void()>> events_;
  std::mt19937_64 random_;
};

}  // namespace kl
