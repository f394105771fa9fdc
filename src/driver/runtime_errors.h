// Checked runtime errors: internal consistency checks that end the program. They report on
// the console, wait for one key press (not skipped by -y) and exit with code 1.
#pragma once

#include <string_view>

namespace kl {

struct RunContext;

enum class RuntimeCheck { AssertFailed, Stop, IndexOutOfBounds, BadPointer };

// A line end, "Assert Failed:" (or "Stop:", "Array index out of bounds:", "Bad pointer:"),
// the source unit, ":", the line number, CR LF.
[[noreturn]] void ReportRuntimeCheck(RunContext& s, RuntimeCheck check, std::string_view unit, int line);
// A line end, the message, ":", the source unit, ":", the line number, CR LF, and the cause
// on a line of its own when there is one.
[[noreturn]] void ReportRuntimeError(RunContext& s, std::string_view message, std::string_view unit, int line,
                                     std::string_view cause = {});

}  // namespace kl
