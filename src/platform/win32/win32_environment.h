// Environment variables and child programs on Windows.
#pragma once

#include "platform/platform.h"
#include "platform/run_lock.h"

namespace kl {

class Win32Environment : public Environment {
 public:
  std::string get(const std::string& name) override;
};

// Runs a program with CreateProcess and waits for it (the wait lets go of the run lock).
class Win32Processes : public Processes {
 public:
  explicit Win32Processes(RunLock* runLock) : runLock_(runLock) {}
  // The exit code; -1 when the program could not be started.
  int run(const std::string& program, const std::vector<std::string>& arguments) override;

 private:
  RunLock* runLock_;
};

// The command line that hands `words` to a program unchanged, quoted as the C runtime reads it.
std::string Win32CommandLine(const std::vector<std::string>& words);

}  // namespace kl
