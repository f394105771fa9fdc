// The serial layer's diagnostics: operating-system error reports and the debugger trace line.
#pragma once

#include <string_view>

namespace kl {

struct Session;

// Text of an operating-system or line error. Reaches the log (and the console with -d) only
// while the diagnostics level is above 0; dropped otherwise.
void ReportDiagnostic(Session& s, std::string_view text);

// One line for an attached debugger: "%.6d TID=%d " (microseconds modulo 1000000, thread id),
// then the formatted text and CR LF, at most 256 bytes.
void DebugTrace(Session& s, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace kl
