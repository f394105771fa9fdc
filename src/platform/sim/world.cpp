#include "platform/sim/world.h"

namespace kl {

void World::after(uint64_t delayUs, std::function<void()> action) {
  at(now_ + delayUs, std::move(action));
}

void World::at(uint64_t timeUs, std::function<void()> action) {
  if (timeUs < now_) timeUs = now_;
  events_.emplace(std::make_pair(timeUs, sequence_++), std::move(action));
}

bool World::runNext(uint64_t limitUs) {
  if (events_.empty()) return false;
  auto first = events_.begin();
  if (first->first.first > limitUs) return false;
  now_ = first->first.first;
  auto action = std::move(first->second);
  events_.erase(first);
  action();
  return true;
}

void World::advanceTo(uint64_t timeUs) {
  while (runNext(timeUs)) {
  }
  if (timeUs > now_) now_ = timeUs;
}

bool World::runUntil(uint64_t deadlineUs, const std::function<bool()>& done) {
  while (!done()) {
    if (!runNext(deadlineUs)) {
      if (deadlineUs > now_) now_ = deadlineUs;
      return done();
    }
  }
  return true;
}

void World::drain(uint64_t limitUs) {
  while (runNext(limitUs)) {
  }
}

}  // namespace kl
