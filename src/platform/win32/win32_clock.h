// Time on Windows: the tick count, the high-resolution performance counter, local time;
// sleeping lets go of the run lock.
#pragma once

#include "platform/platform.h"
#include "platform/run_lock.h"

namespace kl {

class Win32Clock : public Clock {
 public:
  explicit Win32Clock(RunLock* runLock);
  uint32_t tickMs() override;
  uint64_t microseconds() override;
  void sleep(uint32_t ms) override;
  LocalTime localTime() override;

 private:
  RunLock* runLock_;
  uint64_t frequency_ = 0;  // counts a second of the performance counter
};

}  // namespace kl
