// Environment variables and child programs on Windows.
#pragma once

#include "platform/platform.h"
#include "platform/run_lock.h"

namespace kl {

class Win32Environment : public Environment {
 public:
  std::string get(const std::string& name) override;
};

class Win32Console;

// Runs a program with CreateProcess and waits for it (the wait lets go of the run lock). The
// child gets the console in the mode it was found in, for the time it runs.
class Win32Processes : public Processes {
 public:
  Win32Processes(RunLock* runLock, Win32Console* console) : runLock_(runLock), console_(console) {}
  // The exit code; -1 when the program could not be started.
  int run(const std::string& program, const std::vector<std::string>& arguments) override;

 private:
  RunLock* runLock_;
  Win32Console* console_;
};

// The command line that hands `words` to a program as they are, quoted the way the C runtime
// reads a command line back: a word with blanks or quotes goes in double quotes.
std::string Win32CommandLine(const std::vector<std::string>& words);

}  // namespace kl
