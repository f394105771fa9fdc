// The end of the run for an unrecoverable condition.
#pragma once

#include <string_view>

namespace kl {

struct Session;

// "Fatal Error: " and the message on Always, the port released, the log closed, then the
// process ends. Never returns.
[[noreturn]] void FatalError(Session& s, std::string_view message);

}  // namespace kl
