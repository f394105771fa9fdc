// Which device a COM number names on this machine.
#pragma once

#include <string>

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
// The device path alone; empty when the port does not exist.
inline std::string DevicePathForPort(int number, const std::string& portMap) {
  return MapComPort(number, portMap).path;
}

}  // namespace kl
