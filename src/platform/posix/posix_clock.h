// Time on POSIX: the monotonic clock for ticks and the microsecond counter, local time for
// log names and stamps; sleeping lets go of the run lock.
#pragma once

#include "platform/platform.h"
#include "platform/run_lock.h"

namespace kl {

class PosixClock : public Clock {
 public:
  explicit PosixClock(RunLock* runLock) : runLock_(runLock) {}
  uint32_t tickMs() override;
  uint64_t microseconds() override;
  void sleep(uint32_t ms) override;
  LocalTime localTime() override;

 private:
  RunLock* runLock_;
};

}  // namespace kl
