// The run lock: the working thread holds it while it runs and lets go only inside blocking
// waits and at checkpoints, so that the thread that takes a stop (a signal, a console control
// event) can end the run only at a point where the session's state is consistent, never in the
// middle of an update of it. Shared by the real backends.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
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

// A Process whose working thread holds a run lock (the real backends, not the simulation).
class RunLockHolder {
 public:
  virtual RunLock& runLock() = 0;

 protected:
  ~RunLockHolder() = default;
};

// What the real backends share: the working thread's run lock, the exit routine that runs
// once, and the stopping thread's part of a stop.
class RunLockProcess : public Process, public RunLockHolder {
 public:
  void setExitRoutine(std::function<void()> routine) override { routine_ = std::move(routine); }
  RunLock& runLock() override { return runLock_; }

 protected:
  // The calling thread becomes the working thread and holds the run lock from here on.
  RunLockProcess() { runLock_.lock(); }
  ~RunLockProcess() { runLock_.unlock(); }

  // The start of every exit, with the run lock held: blocking waits keep it from here on, and
  // the exit routine runs (once).
  void beginExit();
  // On the stopping thread: asks the working thread to let go at its next wait or checkpoint,
  // then ends the run with exit code 1. A working thread stuck past the grace period ends it
  // without its clean-up (forceExit) rather than not at all. Returns only when the process is
  // being taken down meanwhile (stopping()).
  void takeStop();
  [[noreturn]] virtual void forceExit() = 0;

  // Set while the process object is taken down: the stopping thread ends without a stop.
  void markStopping() { stopping_ = true; }
  bool stopping() const { return stopping_; }

 private:
  // How long a stop waits for the working thread to reach a wait or checkpoint.
  static constexpr uint32_t kStopGraceMs = 3000;

  RunLock runLock_;
  std::function<void()> routine_;
  bool routineRan_ = false;
  std::atomic<bool> stopping_{false};
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
