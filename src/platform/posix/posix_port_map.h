// Which device a COM number names on this machine.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace kl {

struct MappedPort {
  std::string path;          // empty when the port does not exist
  bool ctsTiedHigh = false;  // the cable holds CTS high (RTS looped back, or a pseudo-terminal)
};

// `portMap` holds "N=path" entries separated by ";" (the KESTRELINK_PORTMAP variable); an entry
// for `number` wins, and ",cts-high" after its path declares that the port's CTS is always
// high. Otherwise COM1-32 are /dev/ttyS0-31, COM33-64 /dev/ttyUSB0-31 and COM65-96
// /dev/ttyACM0-31.
MappedPort MapComPort(int number, const std::string& portMap);
// The COM number of the device at `path` (a character device, or a name in /dev that is not
// there): the number `portMap` or the default table gives that device, the same node under
// another name counting as the same; else the first number from 100 on that names nothing and
// is not in `taken`. 0 when `path` is neither.
int ComNumberForDevice(const std::string& path, const std::string& portMap, const std::set<int>& taken);
// How COM numbers name devices, for a message.
std::vector<std::string> PortNamingLines();
// Why this user may not open the device at `path` and what helps, from its owner, group and
// mode, for a message.
std::vector<std::string> DeviceAccessHelp(const std::string& path);
// The device path alone; empty when the port does not exist.
inline std::string DevicePathForPort(int number, const std::string& portMap) {
  return MapComPort(number, portMap).path;
}

}  // namespace kl
