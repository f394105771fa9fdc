#include "sim/realtime/realtime_scheduler.h"

#include <time.h>

namespace kl::sim {

namespace {
uint64_t monotonicUs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000 + static_cast<uint64_t>(now.tv_nsec) / 1000;
}
}  // namespace

RealTimeScheduler::RealTimeScheduler() : startUs_(monotonicUs()) {}

uint64_t RealTimeScheduler::nowUs() { return monotonicUs() - startUs_; }

void RealTimeScheduler::at(uint64_t timeUs, std::function<void()> action) {
  events_.emplace(std::make_pair(timeUs, sequence_++), std::move(action));
}

void RealTimeScheduler::runDue() {
  while (!events_.empty()) {
    auto first = events_.begin();
    if (first->first.first > nowUs()) return;
    auto action = std::move(first->second);
    events_.erase(first);
    action();
  }
}

std::optional<uint64_t> RealTimeScheduler::untilNextUs() {
  if (events_.empty()) return std::nullopt;
  const uint64_t due = events_.begin()->first.first;
  const uint64_t now = nowUs();
  return due > now ? due - now : 0;
}

}  // namespace kl::sim
