// The command line: Kestrelink [options] [filename] [[COM]<port>]
#pragma once

#include <string>
#include <vector>

#include "driver/run_options.h"

namespace kl {

struct Session;

// Reads the arguments (the program name not included) from left to right into `options`;
// a later value overrides an earlier one. False when the command line is wrong; what was read
// before the fault stays in `options` (a parameter file named earlier still counts).
bool ParseCommandLine(const std::vector<std::string>& arguments, RunOptions& options);
// The usage text, on the console only.
void WriteUsage(Session& s);

}  // namespace kl
