#include "driver/diagnostics.h"

#include "driver/run_context.h"

namespace kl {

namespace {
constexpr size_t kTraceLineLimit = 255;  // a 256-byte buffer with its terminating zero
}

void ReportDiagnostic(RunContext& s, std::string_view text) {
  if (s.out.diagnosticsLevel <= 0) return;
  s.out(Channel::Debug) << text << crlf;
}

void DebugTrace(RunContext& s, std::string_view text) {
  std::string line = zeroFilled(static_cast<int64_t>(s.platform.clock.microseconds() % 1000000), 6) +
                     " TID=" + decimalText(s.platform.process.threadId()) + " ";
  // A long text is cut, but the line keeps its end.
  const size_t room = kTraceLineLimit - crlf.size() - std::min(line.size(), kTraceLineLimit - crlf.size());
  line.append(text.substr(0, room));
  line.append(crlf);
  s.platform.process.debugTrace(line);
}

}  // namespace kl
