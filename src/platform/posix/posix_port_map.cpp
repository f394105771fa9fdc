#include "platform/posix/posix_port_map.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <string_view>

namespace kl {

namespace {

constexpr std::string_view kCtsHighFlag = ",cts-high";
constexpr int kHighestMapKey = 9999;  // keys have up to four digits
constexpr int kFirstFreeNumber = 100;  // beyond the numbers the port search tries

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

namespace {

bool SameDevice(const struct stat& device, const std::string& path) {
  struct stat other {};
  return ::stat(path.c_str(), &other) == 0 && S_ISCHR(other.st_mode) && other.st_rdev == device.st_rdev;
}

}  // namespace

int ComNumberForDevice(const std::string& path, const std::string& portMap, const std::set<int>& taken) {
  struct stat device {};
  const bool present = ::stat(path.c_str(), &device) == 0;
  if (present && !S_ISCHR(device.st_mode)) return 0;
  // A device that is not there (an adapter unplugged) is still named by its path.
  if (!present && !path.starts_with("/dev/")) return 0;
  for (int number = 1; number <= kHighestMapKey; ++number) {
    const std::string mapped = MapComPort(number, portMap).path;
    if (mapped.empty()) continue;
    if (mapped == path || (present && SameDevice(device, mapped))) return number;
  }
  for (int number = kFirstFreeNumber;; ++number) {
    if (MapComPort(number, portMap).path.empty() && !taken.count(number)) return number;
  }
}

std::vector<std::string> PortNamingLines() {
  return {"COM1-32 are /dev/ttyS0-31, COM33-64 /dev/ttyUSB0-31, COM65-96 /dev/ttyACM0-31;",
          "KESTRELINK_PORTMAP=\"N=path;...\" names others (see man kestrelink and the README)"};
}

std::vector<std::string> DeviceAccessHelp(const std::string& path) {
  struct stat device {};
  if (::stat(path.c_str(), &device) != 0) return {};
  constexpr mode_t kGroupReadWrite = S_IRGRP | S_IWGRP;
  if ((device.st_mode & kGroupReadWrite) == kGroupReadWrite) {
    const group* owners = ::getgrgid(device.st_gid);
    const std::string name = owners ? owners->gr_name : std::to_string(device.st_gid);
    return {path + " is open to the members of group " + name + ":",
            "add the user to it (sudo usermod -aG " + name + " $USER) and log in again"};
  }
  const passwd* owner = ::getpwuid(device.st_uid);
  const std::string name = owner ? owner->pw_name : std::to_string(device.st_uid);
  return {path + " is open only to its owner " + name + ": run as " + name + ", or give the port to a group"};
}

}  // namespace kl
