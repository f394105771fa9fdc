#include "platform/run_lock.h"

namespace kl {

RunLock* runLockOf(Process& process) {
  auto* holder = dynamic_cast<RunLockHolder*>(&process);
  return holder ? &holder->runLock() : nullptr;
}

void RunLockProcess::beginExit() {
  runLock_.markExiting();
  if (routineRan_) return;
  routineRan_ = true;
  if (routine_) routine_();
}

void RunLockProcess::takeStop() {
  runLock_.requestStop();
  if (!runLock_.tryLockFor(kStopGraceMs)) forceExit();
  if (stopping_) {
    runLock_.unlock();
    return;
  }
  runLock_.markHandedOver();
  exit(1);
}

void RunLock::checkpoint() {
  if (stopRequested() && !exiting()) BlockingSection letStopIn(this);
}

BlockingSection::BlockingSection(RunLock* lock) {
  if (lock && !lock->exiting()) {
    lock->unlock();
    released_ = lock;
  }
}

BlockingSection::BlockingSection(Process& process) : BlockingSection(runLockOf(process)) {}

BlockingSection::~BlockingSection() {
  if (!released_) return;
  // A stop is under way: the stopping thread takes the lock first and ends the process, so
  // this thread never runs on (taking the lock back blocks until the exit completes).
  if (released_->stopRequested()) released_->waitHandedOver();
  released_->lock();
}

}  // namespace kl
