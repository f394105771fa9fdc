// Interim: the general runtime error report, enough for the file layer to end a run. The
// driver's full set of checked runtime errors replaces this file.
#include "driver/runtime_errors.h"

#include <cstdlib>

#include "driver/session.h"

namespace kl {

void ReportRuntimeError(Session& s, std::string_view message, std::string_view unit, int line) {
  s.out(Channel::Console) << crlf << message << ":" << unit << ":" << line << crlf;
  s.out.flushConsole();
  s.platform.process.exit(1);
  std::abort();  // exit never returns; the compiler cannot see that through the interface
}

}  // namespace kl
