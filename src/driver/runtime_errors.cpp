#include "driver/runtime_errors.h"

#include "driver/console_input.h"
#include "driver/fatal_error.h"
#include "driver/run_context.h"

namespace kl {

namespace {

[[noreturn]] void EndAfterRuntimeFault(RunContext& s, const std::string& outcome) {
  // The key is waited for even with -y: the fault must be seen.
  ReadConsoleKey(s);
  EndRun(s, 1, outcome);
}

std::string_view CheckText(RuntimeCheck check) {
  switch (check) {
    case RuntimeCheck::AssertFailed:
      return "Assert Failed:";
    case RuntimeCheck::Stop:
      return "Stop:";
    case RuntimeCheck::IndexOutOfBounds:
      return "Array index out of bounds:";
    case RuntimeCheck::BadPointer:
      return "Bad pointer:";
  }
  return "Stop:";
}

}  // namespace

void ReportRuntimeCheck(RunContext& s, RuntimeCheck check, std::string_view unit, int line) {
  const std::string text = std::string(CheckText(check)) + std::string(unit) + ":" + decimalText(line);
  s.out(Channel::Console) << crlf << text << crlf;
  EndAfterRuntimeFault(s, text);
}

void ReportRuntimeError(RunContext& s, std::string_view message, std::string_view unit, int line,
                        std::string_view cause) {
  std::string text = std::string(message) + ":" + std::string(unit) + ":" + decimalText(line);
  s.out(Channel::Console) << crlf << text << crlf;
  if (!cause.empty()) {
    s.out(Channel::Console) << cause << crlf;
    text.append(" (").append(cause).append(")");
  }
  EndAfterRuntimeFault(s, text);
}

}  // namespace kl
