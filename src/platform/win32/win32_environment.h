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
// The command line is the program's path, in quotes when it holds a blank, and the arguments
// joined with blanks as they are, as the C runtime's spawn functions join them: an argument
// that carries its own quotes ("-g...") hands the child one argument without them.
class Win32Processes : public Processes {
 public:
  explicit Win32Processes(RunLock* runLock) : runLock_(runLock) {}
  // The exit code; -1 when the program could not be started.
  int run(const std::string& program, const std::vector<std::string>& arguments) override;

 private:
  RunLock* runLock_;
};

// The command line for `program` and `arguments` (see Win32Processes).
std::string Win32CommandLine(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace kl
