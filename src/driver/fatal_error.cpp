#include "driver/fatal_error.h"

#include <cstdlib>

#include "driver/console_input.h"
#include "driver/parameter_file.h"
#include "driver/session.h"
#include "driver/session_log.h"

namespace kl {

void EndProcess(Session& s, int code) {
  s.platform.process.exit(code);
  std::abort();  // an exit that returns is a broken backend
}

void FatalError(Session& s, std::string_view message) {
  s.out(Channel::Always) << "Fatal Error: " << message << crlf;
  ClosePort(s);
  CloseSessionLog(s);
  const std::string& parameterFile = s.options.parameterFile;
  if (!parameterFile.empty()) {
    IniPutString(s, parameterFile, "Message", std::string(message));
    PauseForKey(s);
    EndProcess(s, 2);
  }
  PauseForKey(s);
  EndProcess(s, 1);
}

}  // namespace kl
