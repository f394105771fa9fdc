// Interim definitions until the driver's own console module provides them.
#include <cstdarg>
#include <cstdio>

#include "driver/diagnostics.h"
#include "driver/session.h"

namespace kl {

void ReportDiagnostic(Session& s, std::string_view text) {
  if (s.out.diagnosticsLevel <= 0) return;
  s.out(Channel::LogOnly) << text << crlf;
  if (s.options.debug) s.out(Channel::Console) << text << crlf;
}

void DebugTrace(Session& s, const char* format, ...) {
  constexpr size_t kLineSize = 256;
  char line[kLineSize];
  const auto micros = static_cast<int>(s.platform.clock.microseconds() % 1000000);
  int used = std::snprintf(line, kLineSize, "%.6d TID=%d ", micros,
                           static_cast<int>(s.platform.process.threadId()));
  if (used < 0) return;
  // Room is kept for the line end however long the text is.
  const size_t textRoom = kLineSize - 3;
  if (static_cast<size_t>(used) < textRoom) {
    va_list args;
    va_start(args, format);
    const int text = std::vsnprintf(line + used, textRoom - static_cast<size_t>(used), format, args);
    va_end(args);
    if (text > 0) used += text;
  }
  size_t length = static_cast<size_t>(used) < textRoom ? static_cast<size_t>(used) : textRoom - 1;
  line[length++] = '\r';
  line[length++] = '\n';
  s.platform.process.debugTrace(std::string_view(line, length));
}

}  // namespace kl
