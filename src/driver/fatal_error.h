// The end of the run for any condition a flow cannot work around.
#pragma once

#include <string_view>

namespace kl {

struct Session;

// Reports "Fatal Error: " and the message, then ends the process.
[[noreturn]] void FatalError(Session& s, std::string_view message);

}  // namespace kl
