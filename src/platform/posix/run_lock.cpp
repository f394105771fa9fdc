#include "platform/posix/run_lock.h"

#include "platform/posix/posix_process.h"

namespace kl {

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
