// The end of a run that cannot go on.
#pragma once

#include <string_view>

namespace kl {

struct Session;

// "Fatal Error: " and the message on Always, releases the port, closes the log; with a
// parameter file stores the message there under "Message". Then the closing pause and exit
// code 2 with a parameter file, 1 without.
[[noreturn]] void FatalError(Session& s, std::string_view message);
// Ends the process through the platform (the exit routine runs there).
[[noreturn]] void EndProcess(Session& s, int code);

}  // namespace kl
