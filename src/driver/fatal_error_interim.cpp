// Interim definition until the driver's own fatal-error path (parameter file, pause) lands.
#include "driver/fatal_error.h"

#include <cstdlib>

#include "driver/session.h"

namespace kl {

void FatalError(Session& s, std::string_view message) {
  s.out(Channel::Always) << "Fatal Error: " << message << crlf;
  ClosePort(s);
  s.out.log().close();
  s.platform.process.exit(1);
  std::abort();  // exit() never returns; the compiler cannot see that through the interface
}

}  // namespace kl
