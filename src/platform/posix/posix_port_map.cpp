#include "platform/posix/posix_port_map.h"

#include <string_view>

namespace kl {

namespace {

constexpr std::string_view kCtsHighFlag = ",cts-high";

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

MappedPort MapComPort(int number, const std::string& portMap) {
  std::string_view rest = portMap;
  while (!rest.empty()) {
    const size_t end = rest.find(';');
    std::string_view entry = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    const size_t equals = entry.find('=');
    if (equals == std::string_view::npos) continue;
    std::string_view key = Trimmed(entry.substr(0, equals));
    if (key.empty() || key.size() > 4) continue;
    int key_number = 0;
    bool digits = true;
    for (char c : key) {
      if (c < '0' || c > '9') digits = false;
      key_number = key_number * 10 + (c - '0');
    }
    if (!digits || key_number != number) continue;
    std::string_view path = Trimmed(entry.substr(equals + 1));
    const bool ctsHigh = path.ends_with(kCtsHighFlag);
    if (ctsHigh) path = Trimmed(path.substr(0, path.size() - kCtsHighFlag.size()));
    return MappedPort{std::string(path), ctsHigh};
  }
  if (number >= 1 && number <= 32) return {"/dev/ttyS" + std::to_string(number - 1)};
  if (number >= 33 && number <= 64) return {"/dev/ttyUSB" + std::to_string(number - 33)};
  if (number >= 65 && number <= 96) return {"/dev/ttyACM" + std::to_string(number - 65)};
  return {};
}

}  // namespace kl
