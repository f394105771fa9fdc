#include "driver/command_line.h"

#include <algorithm>
#include <cctype>

#include "Pellmar/writers.h"
#include "driver/run_context.h"
#include "driver/version.h"

namespace kl {

namespace {

constexpr int32_t kLowestProgrammingBaud = 115200;

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

int32_t NumberValue(const std::string& text) { return parseClampedDecimal<int32_t>(text); }

bool TakesValue(char letter) { return letter == 'b' || letter == 'p' || letter == 'r' || letter == 'u'; }

bool ApplyValue(char letter, const std::string& value, RunOptions& options) {
  switch (letter) {
    case 'b':
      options.initialBaud = NumberValue(value);
      options.initialBaudGiven = true;
      if (options.programmingBaud == 0) options.programmingBaud = std::max(options.initialBaud, kLowestProgrammingBaud);
      return true;
    case 'p':
      if (value == "0") options.parity = 0;
      else if (value == "1") options.parity = 1;
      else return false;
      return true;
    case 'r':
      options.programmingBaud = NumberValue(value);
      return true;
    case 'u':
      options.unitId = parseClampedDecimal<uint8_t>(value);
      options.unitIdGiven = true;
      return true;
  }
  return false;
}

bool ApplyFlag(char letter, RunOptions& options) {
  switch (letter) {
    case 'i': options.interrogate = true; return true;
    case 'x': options.extractLogs = true; return true;
    case 'y': options.yesToPrompts = true; return true;
    case 'v': options.verify = true; return true;
    case 's': options.silent = true; return true;
    case 'w': options.writeAlways = true; return true;
    case 'f': options.firstUnitOnly = true; return true;
    case 'l': options.updateBootLoader = true; return true;
    case 'o': options.overlappedWrites = true; return true;
  }
  return false;
}

bool IsOptionGroup(const std::string& argument, const FileExists& fileExists) {
  if (argument.empty()) return false;
  // An absolute path such as /home/station/unit.ini names a file: no option group holds a
  // second "/"; nor is /batch.ini one when that file is there.
  if (argument[0] == '/') return argument.find('/', 1) == std::string::npos && !(fileExists && fileExists(argument));
  return argument[0] == '-' || argument[0] == '+';
}

bool AllDigits(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void ApplyPositional(const std::string& argument, RunOptions& options, const PortDevice& portDevice) {
  if (argument.size() >= 4 && Lower(argument[0]) == 'c' && Lower(argument[1]) == 'o' && Lower(argument[2]) == 'm') {
    options.port = parseClampedDecimal<uint16_t>(argument.substr(3));
    options.portIsDevice = false;
  } else if (AllDigits(argument)) {
    options.port = parseClampedDecimal<uint16_t>(argument);
    options.portIsDevice = false;
  } else if (const int device = portDevice ? portDevice(argument) : 0; device > 0) {
    // A device is never a parameter file: the program would write its Message into it.
    options.port = static_cast<uint16_t>(device);
    options.portIsDevice = true;
  } else {
    options.parameterFile = argument;
  }
}

bool AsksForUsage(const std::string& argument) { return argument == "--help" || argument == "-h" || argument == "-?"; }

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& arguments, RunOptions& options, const FileExists& fileExists,
                      const PortDevice& portDevice) {
  for (size_t index = 0; index < arguments.size(); ++index) {
    const std::string& argument = arguments[index];
    if (AsksForUsage(argument)) {
      options.showUsage = true;
      continue;
    }
    if (argument == "--version") {
      options.showVersion = true;
      continue;
    }
    if (!IsOptionGroup(argument, fileExists)) {
      ApplyPositional(argument, options, portDevice);
      continue;
    }
    for (size_t at = 1; at < argument.size(); ++at) {
      const char letter = Lower(argument[at]);
      if (TakesValue(letter)) {
        // The value is the rest of this argument, or else the next one; it ends the group.
        std::string value = argument.substr(at + 1);
        if (value.empty()) {
          if (index + 1 >= arguments.size()) return false;
          value = arguments[++index];
        }
        if (!ApplyValue(letter, value, options)) return false;
        break;
      }
      if (letter == 'd') {
        options.debug = true;
        if (at + 1 < argument.size() && Lower(argument[at + 1]) == 'd') {
          options.detailedDebug = true;
          ++at;
        }
        continue;
      }
      if (!ApplyFlag(letter, options)) return false;
    }
  }
  return true;
}

void WriteUsage(RunContext& s) {
  static constexpr std::string_view kUsage[] = {
      "",
      "-i           Interrogate unit and show information, do not update",
      "-x           Extract debug logs",
      "-y           Yes to prompts (continues without waiting for key)",
      "-v           Verify on",
      "-s           Silence extra information",
      "-w           Write always, even if its the correct version",
      "-l           Update boot loader if needed",
      "-f           only update the first unit directly connected to the serial",
      "             port (no remote updates). Does NOT use update files",
      "-d           Debug on",
      "-dd          Detailed Debug on (shows com data)",
      "-b           Set the initial baud rate",
      "-p<n>        Start with parity setting where n = 0 (none), 1 (even)",
      "-r           Set the baud rate for programming to one of the following:",
      "             115200, 128000, 230400, 460800, 921600",
      "-u<ID>       Unit ID",
      "-o           Overlapped writes to flash, uses sliding window programming",
      "             protocol if possible",
      "-h, -?       Show this text (also --help); --version shows the version",
      "",
      "[filename]   Parameter file",
      "",
      "port         1, 2, 3, 4...",
  };
  static constexpr std::string_view kUsageEnd[] = {
      "",
      "default setting for auto-search are 19200 baud, even parity.",
  };
  static constexpr std::string_view kIndent = "             ";
  ChannelWriter& console = s.out(Channel::Console);
  console << "Usage: " << kProgramName << " [options] [Filename] [[COM]<port>]" << crlf;
  for (std::string_view line : kUsage) console << line << crlf;
  // Where ports are devices, a device names one too.
  const std::vector<std::string> naming = s.platform.serial.portNaming();
  if (!naming.empty()) {
    console << kIndent << "or a serial device: /dev/ttyUSB0, ttyUSB0, /dev/pts/4" << crlf;
    for (const std::string& line : naming) console << kIndent << line << crlf;
  }
  for (std::string_view line : kUsageEnd) console << line << crlf;
}

}  // namespace kl
