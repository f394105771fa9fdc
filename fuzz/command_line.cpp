// ParseCommandLine over argument lists cut from the input at NUL bytes. A name that starts
// with "/f" stands for a file that exists (tells "/batch.ini" from an option group).
#include <cstdint>
#include <string>
#include <vector>

#include "driver/command_line.h"
#include "driver/run_options.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kl;
  using namespace kl::fuzz;
  std::vector<std::string> arguments(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      arguments.emplace_back();
    } else {
      arguments.back().push_back(static_cast<char>(data[i]));
    }
  }
  const FileExists exists = [](const std::string& name) { return name.rfind("/f", 0) == 0; };

  RunOptions options;
  const bool ok = ParseCommandLine(arguments, options, exists);
  RunOptions again;
  Require(ParseCommandLine(arguments, again, exists) == ok && again.parameterFile == options.parameterFile &&
              again.port == options.port && again.programmingBaud == options.programmingBaud,
          "the same command line reads the same");
  if (!options.parameterFile.empty()) {
    bool named = false;
    for (const std::string& argument : arguments) named = named || argument == options.parameterFile;
    Require(named, "the parameter file is one of the arguments");
  }
  Require(!options.detailedDebug || options.debug, "-dd turns debug on too");
  Require(options.parity <= 1, "parity is 0 or 1");
  return 0;
}
