// The end of a run that cannot go on.
#pragma once

#include <functional>
#include <string_view>

namespace kl {

struct RunContext;

// "Fatal Error: " and the message on a line of its own on Always, releases the port, closes
// the log; with a parameter file stores the message there under "Message". Then the closing
// pause and exit code 2 with a parameter file (1 when the message could not be stored), 1
// without.
[[noreturn]] void FatalError(RunContext& s, std::string_view message);
// Ends the process through the platform (the exit routine runs there).
[[noreturn]] void EndProcess(RunContext& s, int code);
// The same for an end that is no fatal error (a question answered no, the external tool's
// failure): a manufacturing run first stores `outcome` for the station under "Message".
[[noreturn]] void EndRun(RunContext& s, int code, std::string_view outcome);

// While it lives, `step` runs once if the run ends early (FatalError, EndProcess), before the
// port is released: what a flow changed on the connected unit, its speed above all, is put
// back. The end of a run unwinds nothing, so no destructor could do it. A guard made while
// another lives takes its place until it goes.
class BeforeEndGuard {
 public:
  BeforeEndGuard(RunContext& s, std::function<void()> step);
  ~BeforeEndGuard();
  BeforeEndGuard(const BeforeEndGuard&) = delete;
  BeforeEndGuard& operator=(const BeforeEndGuard&) = delete;
  // The change is undone, or no longer needs to be: the step will not run.
  void disarm();

 private:
  RunContext& s_;
  std::function<void()> previous_;
  bool armed_ = true;
};

}  // namespace kl
