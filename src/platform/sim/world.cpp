#include "platform/sim/world.h"

#include <algorithm>

namespace kl {

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

uint64_t World::limitOf(uint64_t timeUs) { return std::min(timeUs, deadline_); }

void World::throwIfPast(uint64_t timeUs) {
  if (timeUs <= deadline_) return;
  const uint64_t deadline = deadline_;
  deadline_ = kNoDeadline;
  throw DeadlinePassed{deadline};
}

void World::advanceTo(uint64_t timeUs) {
  const uint64_t limit = limitOf(timeUs);
  while (runNext(limit)) {
  }
  if (limit > now_) now_ = limit;
  throwIfPast(timeUs);
}

bool World::runUntil(uint64_t deadlineUs, const std::function<bool()>& done) {
  const uint64_t limit = limitOf(deadlineUs);
  while (!done()) {
    if (!runNext(limit)) {
      if (limit > now_) now_ = limit;
      if (done()) return true;
      throwIfPast(deadlineUs);
      return false;
    }
  }
  return true;
}

void World::drain(uint64_t limitUs) {
  const uint64_t limit = limitOf(limitUs);
  while (runNext(limit)) {
  }
  // Nothing was due before the deadline: only a drain that had more to run passed it.
  if (!events_.empty() && events_.begin()->first.first <= limitUs) throwIfPast(limitUs);
}

}  // namespace kl
