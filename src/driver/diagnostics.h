// Reports of the operating-system layer: the diagnostics sink and the debugger trace line.
#pragma once

#include <string_view>

namespace kl {

struct RunContext;

// "Error: " and the system's text, from the serial layer. Reaches the log (and the console
// with -d) only while the diagnostics level is above 0; dropped otherwise.
void ReportDiagnostic(RunContext& s, std::string_view text);
// One line for a debugger: the microsecond clock modulo 1000000 in six digits, "TID=" and the
// thread id, the text, CR LF; at most 255 characters.
void DebugTrace(RunContext& s, std::string_view text);

}  // namespace kl
