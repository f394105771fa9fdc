#include "platform/run_lock.h"

namespace kl {

RunLock* runLockOf(Process& process) {
  auto* holder = dynamic_cast<RunLockHolder*>(&process);
  return holder ? &holder->runLock() : nullptr;
}

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
