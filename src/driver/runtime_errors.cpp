#include "driver/runtime_errors.h"

#include "driver/console_input.h"
#include "driver/fatal_error.h"
#include "driver/session.h"

namespace kl {

namespace {

[[noreturn]] void EndAfterRuntimeFault(Session& s) {
  // The key is waited for even with -y: the fault must be seen.
  ReadConsoleKey(s);
  EndProcess(s, 1);
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

void ReportRuntimeCheck(Session& s, RuntimeCheck check, std::string_view unit, int line) {
  s.out(Channel::Console) << crlf << CheckText(check) << unit << ":" << line << crlf;
  EndAfterRuntimeFault(s);
}

void ReportRuntimeError(Session& s, std::string_view message, std::string_view unit, int line) {
  s.out(Channel::Console) << crlf << message << ":" << unit << ":" << line << crlf;
  EndAfterRuntimeFault(s);
}

}  // namespace kl
