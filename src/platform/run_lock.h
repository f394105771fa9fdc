// The run lock: the working thread holds it while it runs and lets go only inside blocking
// waits, so that the thread that takes a stop (a signal, a console control event) can end the
// run only at a point where the session's state is consistent, never in the middle of an
// update of it. Shared by the real backends.
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

// A Process whose working thread holds a run lock (the real backends, not the simulation).
class RunLockHolder {
 public:
  virtual RunLock& runLock() = 0;

 protected:
  ~RunLockHolder() = default;
};

// The run lock of a process; null for a backend without one.
RunLock* runLockOf(Process& process);

// Lets go of the run lock for the span of one blocking wait. Works with any Process: on a real
// backend it releases the run lock, elsewhere (the simulation) it does nothing.
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
