// Stand-in until the driver's fatal-error routine lands: the message and exit code 1 only.
#include "driver/fatal_error.h"

#include <cstdlib>

#include "driver/session.h"

namespace kl {

void FatalError(Session& s, std::string_view message) {
  s.out(Channel::Always) << "Fatal Error: " << message << crlf;
  s.platform.process.exit(1);
  std::abort();  // exit does not return
}

}  // namespace kl
