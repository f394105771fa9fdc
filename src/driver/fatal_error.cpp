#include "driver/fatal_error.h"

#include <cstdlib>
#include <utility>

#include "driver/console_input.h"
#include "driver/parameter_file.h"
#include "driver/run_context.h"
#include "driver/session_log.h"

namespace kl {

namespace {

// Taken before it runs: a step that itself ends the run does not run again.
void RunBeforeEndStep(RunContext& s) {
  if (const std::function<void()> step = std::exchange(s.beforeEnd, nullptr)) step();
}

}  // namespace

BeforeEndGuard::BeforeEndGuard(RunContext& s, std::function<void()> step)
    : s_(s), previous_(std::exchange(s.beforeEnd, std::move(step))) {}

BeforeEndGuard::~BeforeEndGuard() { disarm(); }

void BeforeEndGuard::disarm() {
  if (!armed_) return;
  armed_ = false;
  s_.beforeEnd = std::move(previous_);
}

void EndProcess(RunContext& s, int code) {
  RunBeforeEndStep(s);
  s.platform.process.exit(code);
  std::abort();  // an exit that returns is a broken backend
}

void EndRun(RunContext& s, int code, std::string_view outcome) {
  if (s.run.manufacturingMode && !s.outcomeSettled) StoreOutcome(s, outcome);
  EndProcess(s, code);
}

void FatalError(RunContext& s, std::string_view message) {
  RunBeforeEndStep(s);
  s.out.console().beginLine();  // not after the dots of a progress bar
  s.out(Channel::Always) << "Fatal Error: " << message << crlf;
  s.releaseLine();
  CloseSessionLog(s);
  if (!s.options.parameterFile.empty()) {
    // A file already found unwritable is not tried again.
    const bool stored = !s.outcomeLost && StoreOutcome(s, message);
    PauseForKey(s);
    EndProcess(s, stored ? 2 : 1);
  }
  PauseForKey(s);
  EndProcess(s, 1);
}

}  // namespace kl
