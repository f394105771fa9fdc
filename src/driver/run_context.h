// What every layer of a run shares: the machine, the options as given, what the run settles as
// it goes, the output channels and the text heap. Each layer above extends it with its own part
// (the link, the target unit, the transfer) and a function names the part it works on, so that
// nothing below can reach what a higher layer keeps. The real program creates one run, tests as
// many as they need.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Pellmar/dynamic_string.h"
#include "driver/output.h"
#include "driver/run_options.h"
#include "platform/platform.h"

namespace kl {

// What the run settles or changes as it goes, beside the options as given.
struct RunState {
  // "Ostrevan" in the parameter file: a production station runs this.
  bool manufacturingMode = false;
  // The start speed was given (-b, or the environment's speed): it is tried first.
  bool startSpeedGiven = false;
  // -v no longer holds: large packets leave no overlapped write to check against.
  bool verifyTurnedOff = false;
};

struct RunContext {
  explicit RunContext(Platform& p);
  RunContext(const RunContext&) = delete;
  RunContext& operator=(const RunContext&) = delete;
  virtual ~RunContext() = default;

  // Lets go of the serial line before a fatal end; the link's part of the run has one.
  virtual void releaseLine() {}

  Platform& platform;

 private:
  RunOptions given_;

 public:
  // The options as given, read-only for the run; what the run changes is in `run`.
  const RunOptions& options = given_;
  // Written only while the command line is parsed, or while a test sets a run up.
  RunOptions& givenOptions() { return given_; }

  RunState run;
  Output out;
  // The run's text heap; created before any text and destroyed after all of it.
  std::unique_ptr<StringHeap> strings;

  // Full path of this run's session log; empty until it is opened.
  DynamicString sessionLogPath;

  // Text in the session's heap.
  DynamicString text(std::string_view value = {}) { return DynamicString(*strings, value); }

  // The command line as given, program path first (the log header repeats it).
  std::vector<std::string> arguments;

  // The station's outcome (Message in the parameter file) was stored, or tried: a later end
  // of the run leaves it. Lost: it could not be written.
  bool outcomeSettled = false;
  bool outcomeLost = false;
  // Why the session log stopped short (a full disk); empty while it is whole.
  std::string sessionLogFailure;
  // What an early end of the run must put back first (see BeforeEndGuard); empty when nothing.
  std::function<void()> beforeEnd;
};

// Writes are read back and compared (-v), unless the run had to turn that off.
inline bool Verifying(const RunContext& s) { return s.options.verify && !s.run.verifyTurnedOff; }

}  // namespace kl
