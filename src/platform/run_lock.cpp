#include "platform/run_lock.h"

namespace kl {

RunLock* runLockOf(Process& process) {
  auto* holder = dynamic_cast<RunLockHolder*>(&process);
  return holder ? &holder->runLock() : nullptr;
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
