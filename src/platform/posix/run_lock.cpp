#include "platform/posix/run_lock.h"

#include "platform/posix/posix_process.h"

namespace kl {

BlockingSection::BlockingSection(RunLock* lock) {
  if (lock && !lock->exiting()) {
    lock->unlock();
    released_ = lock;
  }
}

BlockingSection::BlockingSection(Process& process) : BlockingSection(runLockOf(process)) {}

BlockingSection::~BlockingSection() {
  // When the process is being ended meanwhile, this blocks until the exit completes.
  if (released_) released_->lock();
}

}  // namespace kl
