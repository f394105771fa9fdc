#include "update/boot_tool.h"

#include <algorithm>
#include <memory>

#include "driver/console_input.h"
#include "driver/fatal_error.h"
#include "driver/settings.h"
#include "transfer/image_check.h"
#include "transport/serial_port.h"
#include "update/session.h"

namespace kl {

namespace {

constexpr size_t kMaxToolWords = 20;
constexpr int kExchangeNameAttempts = 8;
constexpr std::string_view kToolProgrammer = "The flash programmer from Quorran";

// TEMP, "Kestrleink", the tick count in eight hex digits, ".tmp": created empty and private
// before the tool starts, so that nobody else can have placed a file or link of that name.
std::string CreateExchangeFile(Session& s) {
  const char separator = s.platform.files.separator();
  std::string folder = GetEnv(s, envvar::Temp).str();
  if (folder.empty() || (folder.back() != '\\' && folder.back() != '/' && folder.back() != ':')) {
    folder += separator;
  }
  std::string name;
  for (int attempt = 0; attempt < kExchangeNameAttempts; ++attempt) {
    if (attempt > 0) s.platform.clock.sleep(1);  // a new tick, a new name
    name = folder + "Kestrleink" + hexText(s.platform.clock.tickMs(), 8) + ".tmp";
    if (std::unique_ptr<File> file = s.platform.files.createPrivate(name); file && file->close()) return name;
  }
  FatalError(s, "Unable to create: " + name);
}

// Up to `capacity` bytes of the file; false when it cannot be read or holds more.
bool ReadExchangeFile(Session& s, const std::string& name, std::vector<uint8_t>& buffer, size_t capacity) {
  std::unique_ptr<File> file = s.platform.files.openRead(name);
  if (!file) return false;
  buffer.assign(capacity + 1, 0);
  size_t size = 0;
  for (;;) {
    const long got = file->read(buffer.data() + size, buffer.size() - size);
    if (got < 0) {
      buffer.clear();
      return false;
    }
    if (got == 0) break;
    size += static_cast<size_t>(got);
    if (size == buffer.size()) break;
  }
  buffer.resize(size);
  return size <= capacity;
}

}  // namespace

std::string FindBootTool(Session& s) {
  const BootToolLocation location = LocateBootTool(s);
  if (!location.missingMessage.empty()) FatalError(s, location.missingMessage);
  return location.path;
}

std::vector<std::string> SplitToolCommandLine(std::string_view commandLine) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < commandLine.size() && words.size() < kMaxToolWords) {
    if (commandLine[at] == ' ') {
      ++at;
      continue;
    }
    if (commandLine[at] == '"') {
      const size_t close = commandLine.find('"', at + 1);
      const size_t end = close == std::string_view::npos ? commandLine.size() : close;
      words.emplace_back(commandLine.substr(at + 1, end - at - 1));
      at = end + 1;
      continue;
    }
    const size_t end = std::min(commandLine.find(' ', at), commandLine.size());
    words.emplace_back(commandLine.substr(at, end - at));
    at = end;
  }
  return words;
}

void RunBootTool(Session& s, const std::string& tool, const std::string& arguments, const std::string& leftover) {
  std::string commandLine = "\"" + tool + "\" " + arguments;
  if (s.options.detailedDebug) {
    commandLine += " -dd";
  } else if (s.options.debug) {
    commandLine += " -d";
  }
  commandLine += " -y";
  if (s.options.silent) commandLine += " -s";
  s.out(Channel::Debug) << "-- execute " << commandLine << crlf;
  s.out(Channel::Console) << crlf;
  // The tool writes to the same terminal: everything of ours goes out first.
  s.out.console().beforeRead();

  std::vector<std::string> words = SplitToolCommandLine(commandLine);
  const std::string program = words.front();
  words.erase(words.begin());
  const int code = s.platform.processes.run(program, words);
  if (code == 0) return;
  if (!leftover.empty()) s.platform.files.remove(leftover);
  if (code < 0) FatalError(s, "FAILURE - cannot run Quorran: " + tool);

  s.out(Channel::Always) << "Quorran returned an error: " << code << crlf;
  PauseForKey(s);
  // The station reads the tool's own code; one that shrinks to 0 must not pass for success.
  const int exitCode = code & 0xFFFF;
  EndRun(s, exitCode != 0 ? exitCode : 1, "Quorran returned an error: " + decimalText(code));
}

void ProgramBlankChip(Session& s, Unit&) {
  const std::string tool = FindBootTool(s);
  ClosePort(s);
  RunBootTool(s, tool, "COM" + decimalText(s.portSettings.portNumber) + " -l -s");
  if (!OpenPort(s)) FatalError(s, "Unable to connect to Balvanta unit");
}

ImageRef LoadProgrammerFromBootTool(Session& s, const Unit& unit, std::vector<uint8_t>& buffer, size_t capacity) {
  const std::string tool = FindBootTool(s);
  const std::string exchange = CreateExchangeFile(s);
  const std::string arguments = "\"-g" + exchange + ";mcu=" + decimalText(unit.mcuType) +
                                ",bootversion=" + decimalText(unit.bootLoaderVersion) +
                                ",bootflags=" + hexText(unit.bootFlags, 2) + ",unitflags=" + hexText(unit.unitFlags, 2) +
                                ",cardnumber=" + hexText(unit.cardNumber, 4) +
                                ",buffersize=" + decimalText(unit.bufferSize) + "\"";
  RunBootTool(s, tool, arguments, exchange);

  const bool read = ReadExchangeFile(s, exchange, buffer, capacity);
  s.platform.files.remove(exchange);
  if (!read) {
    FatalError(s, buffer.size() > capacity ? std::string(kToolProgrammer) + " is too large"
                                           : "Unable to read " + exchange);
  }
  const ImageRef image{buffer.data(), static_cast<uint32_t>(buffer.size())};
  RequireSoundImage(s, image, kToolProgrammer);
  return image;
}

}  // namespace kl
