#include "platform/posix/posix_clock.h"

#include <time.h>

#include <cerrno>

namespace kl {

uint64_t PosixClock::microseconds() {
  // Every loop of the program reads the clock: a stop gets in here even while nothing waits.
  if (runLock_) runLock_->checkpoint();
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

uint32_t PosixClock::tickMs() { return static_cast<uint32_t>(microseconds() / 1000u); }

void PosixClock::sleep(uint32_t ms) {
  BlockingSection wait(runLock_);
  timespec remaining{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

LocalTime PosixClock::localTime() {
  const time_t now = time(nullptr);
  tm parts{};
  localtime_r(&now, &parts);
  return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                   parts.tm_hour,        parts.tm_min,     parts.tm_sec};
}

}  // namespace kl
