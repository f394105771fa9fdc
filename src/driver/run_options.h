// The run's options, filled from the command line once and only read afterwards: what the run
// settles or changes as it goes is in the session's RunState.
#pragma once

#include <cstdint>
#include <string>

namespace kl {

struct RunOptions {
  bool interrogate = false;        // -i
  bool extractLogs = false;        // -x
  bool yesToPrompts = false;       // -y
  bool verify = false;             // -v
  bool silent = false;             // -s
  bool writeAlways = false;        // -w
  bool firstUnitOnly = false;      // -f
  bool debug = false;              // -d, -dd
  bool detailedDebug = false;      // -dd
  int32_t initialBaud = 19200;     // -b
  bool initialBaudGiven = false;   // -b
  int32_t programmingBaud = 0;     // -r, -b; 0 = not set
  uint8_t parity = 0;              // -p: 0 none, 1 even
  uint8_t unitId = 0;              // -u
  bool unitIdGiven = false;        // -u
  bool overlappedWrites = false;   // -o
  bool updateBootLoader = false;   // -l
  uint16_t port = 0;               // positional; 0 = not given
  bool portIsDevice = false;       // positional: the port was named by its device
  bool showUsage = false;          // --help, -h, -?
  bool showVersion = false;        // --version
  std::string parameterFile;       // positional
};

}  // namespace kl
