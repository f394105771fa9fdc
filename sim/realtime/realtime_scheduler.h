// The Scheduler of kestrelink-sim: real monotonic time; due actions run from the event loop.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <utility>

#include "platform/sim/scheduler.h"

namespace kl::sim {

class RealTimeScheduler : public Scheduler {
 public:
  RealTimeScheduler();
  uint64_t nowUs() override;
  void at(uint64_t timeUs, std::function<void()> action) override;

  // Runs every action that is due, in time order (including ones they schedule for now).
  void runDue();
  // Microseconds until the next action is due (0 when one is due), none when nothing waits.
  std::optional<uint64_t> untilNextUs();

 private:
  uint64_t startUs_;
  uint64_t sequence_ = 0;
  std::map<std::pair<uint64_t, uint64_t>, std::function<void()>> events_;
};

}  // namespace kl::sim
