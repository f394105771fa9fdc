// The run lock: the working thread holds it while it runs and lets go only inside blocking
// waits, so that the signal thread can end the run only at a point where the session's state
// is consistent, never in the middle of an update of it.
#pragma once

#include <atomic>
#include <mutex>

#include "platform/platform.h"

namespace kl {

class RunLock {
 public:
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }
  // Set by whoever ends the process, while holding the lock: from then on blocking waits keep
  // the lock, so that nothing else runs while the exit routine does.
  void markExiting() { exiting_.store(true); }
  bool exiting() const { return exiting_.load(); }

 private:
  std::mutex mutex_;
  std::atomic<bool> exiting_{false};
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
