// Binds the program to the real process: arguments, the posix backend, the exit code.
#include <memory>
#include <string>
#include <vector>

#include "update/main_sequence.h"
#include "driver/session.h"
#include "platform/posix/posix_platform.h"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv, argv + argc);
  auto machine = std::make_unique<kl::PosixPlatform>(argc > 0 ? argv[0] : "kestrelink");
  // The session holds the port's 64 KB ring: too large for the stack.
  auto session = std::make_unique<kl::Session>(machine->platform());
  const int code = kl::RunKestrelink(*session, arguments);
  machine->process().exit(code);
}
