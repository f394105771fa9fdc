// The run lock: the working thread holds it while it runs and lets go only inside blocking
// waits and at checkpoints, so that the signal thread can end the run only at a point where
// the session's state is consistent, never in the middle of an update of it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

#include "platform/platform.h"

namespace kl {

class RunLock {
 public:
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }
  bool tryLockFor(uint32_t ms) { return mutex_.try_lock_for(std::chrono::milliseconds(ms)); }
  // Set by whoever ends the process, while holding the lock: from then on blocking waits keep
  // the lock, so that nothing else runs while the exit routine does.
  void markExiting() { exiting_.store(true); }
  bool exiting() const { return exiting_.load(); }

  // A stop signal came: the working thread gives the lock up at its next checkpoint or
  // blocking wait and does not take it back before the stopping thread has it.
  void requestStop() { stopRequested_.store(true); }
  bool stopRequested() const { return stopRequested_.load(); }
  void markHandedOver() {
    handedOver_.store(true);
    handedOver_.notify_all();
  }
  void waitHandedOver() { handedOver_.wait(false); }

  // Called by the working thread where the session is consistent (the clock, file reads):
  // lets a pending stop in even while the program is busy without waiting for anything.
  void checkpoint();

 private:
  std::timed_mutex mutex_;
  std::atomic<bool> exiting_{false};
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> handedOver_{false};
};

// Lets go of the run lock for the span of one blocking wait. Works with any Process: on the
// posix backend it releases the run lock, elsewhere (the simulation) it does nothing.
class BlockingSection {
 public:
  explicit BlockingSection(RunLock* lock);
  explicit BlockingSection(Process& process);
  ~BlockingSection();
  BlockingSection(const BlockingSection&) = delete;
  BlockingSection& operator=(const BlockingSection&) = delete;

 private:
  RunLock* released_ = nullptr;
};

}  // namespace kl
