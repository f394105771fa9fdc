// Binds the program to the real process: arguments, the backend of the system it runs on, the
// exit code.
#include <memory>
#include <string>
#include <vector>

#include "update/main_sequence.h"
#include "update/session.h"
#ifdef _WIN32
#include "platform/win32/win32_platform.h"
#else
#include "platform/posix/posix_platform.h"
#endif

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv, argv + argc);
#ifdef _WIN32
  auto machine = std::make_unique<kl::Win32Platform>();
#else
  auto machine = std::make_unique<kl::PosixPlatform>(argc > 0 ? argv[0] : "kestrelink");
#endif
  // The session holds the port's 64 KB ring: too large for the stack.
  auto session = std::make_unique<kl::Session>(machine->platform());
  const int code = kl::RunKestrelink(*session, arguments);
  machine->process().exit(code);
}
