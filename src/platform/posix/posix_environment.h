// Environment variables and child programs on POSIX.
#pragma once

#include "platform/platform.h"
#include "platform/run_lock.h"

namespace kl {

// TEMP, COMPUTERNAME and USERNAME, which a Windows console always has, fall back to their
// usual counterparts here.
class PosixEnvironment : public Environment {
 public:
  std::string get(const std::string& name) override;
};

class PosixConsole;

// Runs a program with posix_spawn and waits for it (the wait lets go of the run lock).
// The child starts with the stop signals unblocked and at their defaults, and with the
// console's terminal in its normal mode, switched back to raw keys when it has ended.
class PosixProcesses : public Processes {
 public:
  explicit PosixProcesses(RunLock* runLock, PosixConsole* console = nullptr) : runLock_(runLock), console_(console) {}
  // The exit code; -1 when the program could not be started; 128 + the signal number when a
  // signal ended it.
  int run(const std::string& program, const std::vector<std::string>& arguments) override;

 private:
  RunLock* runLock_;
  PosixConsole* console_;
};

}  // namespace kl
