// The command line: Kestrelink [options] [filename] [[COM]<port>]
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "driver/run_options.h"

namespace kl {

struct RunContext;

// Whether a file of that name exists (tells "/batch.ini" at the root from an option group).
using FileExists = std::function<bool(const std::string&)>;

// The COM number of the serial device an argument names (SerialPorts::bindDevice); 0 when it
// names none.
using PortDevice = std::function<int(const std::string&)>;

// Reads the arguments (the program name not included) from left to right into `options`;
// a later value overrides an earlier one. Numbers out of a field's range stop at its nearest
// value. An argument that names a serial device selects that port. "--help", "-h" and "-?"
// ask for the usage text, "--version" for the version. False when the command line is wrong;
// what was read before the fault stays in `options` (a parameter file named earlier still
// counts).
bool ParseCommandLine(const std::vector<std::string>& arguments, RunOptions& options,
                      const FileExists& fileExists = {}, const PortDevice& portDevice = {});
// The usage text, on the console only.
void WriteUsage(RunContext& s);

}  // namespace kl
