#include "driver/settings.h"

#include <cstdint>
#include <limits>

#include "Pellmar/writers.h"
#include "driver/parameter_file.h"
#include "driver/run_context.h"

namespace kl {

DynamicString GetEnv(RunContext& s, std::string_view name) {
  return s.text(s.platform.environment.get(std::string(name)));
}

DynamicString UserRegistryGet(RunContext& s, std::string_view path) {
  const std::string value = s.platform.registry.get(std::string(path));
  if (value.size() > kRegistryValueMax) return s.text();
  return s.text(value);
}

void UserRegistryPut(RunContext& s, std::string_view path, const std::string& text) {
  s.platform.registry.put(std::string(path), text);
}

int64_t PortListReader::next() {
  if (rest_.empty()) return 0;
  if (rest_.size() > 3) {
    auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    if (upper(rest_[0]) == 'C' && upper(rest_[1]) == 'O' && upper(rest_[2]) == 'M') rest_.remove_prefix(3);
  }
  size_t consumed = 0;
  const int64_t number = parseLeadingDecimal(rest_, &consumed);
  if (number == 0) {
    rest_ = {};
    return 0;
  }
  // The separator is looked for after the number, so blanks before it do not read the same
  // entry again.
  rest_.remove_prefix(consumed);
  const size_t separator = rest_.find_first_of(" ,;");
  rest_ = separator == std::string_view::npos ? std::string_view() : rest_.substr(separator + 1);
  return number;
}

std::string BootToolHomeDirectory(RunContext& s) {
  DynamicString home = GetEnv(s, envvar::HomePath);
  if (!home.empty()) return home.str();
  home = IniGetString(s, s.options.parameterFile, "BalvantaHomeDir");
  if (!home.empty()) return home.str();
  // The maker's station layout. A machine with another layout (every POSIX machine) sets
  // BALVANTAPATH or "BalvantaHomeDir".
  return "F:\\EPROM\\Balvanta\\Current";
}

BootToolLocation LocateBootTool(RunContext& s) {
  BootToolLocation location;
  location.path = IniGetString(s, s.options.parameterFile, "QuorranEXE").str();
  if (!location.path.empty()) return location;
  const char separator = s.platform.files.separator();
  const std::string bin = BootToolHomeDirectory(s) + separator + "bin";
  location.path = bin + separator + "Quorran.exe";
  if (!s.platform.files.exists(location.path)) location.missingMessage = "Cannot find Quorran in " + bin;
  return location;
}

}  // namespace kl
