// Which device a COM number names on this machine.
#pragma once

#include <string>

namespace kl {

// `portMap` holds "N=path" entries separated by ";" (the KESTRELINK_PORTMAP variable); an entry
// for `number` wins. Otherwise COM1-32 are /dev/ttyS0-31, COM33-64 /dev/ttyUSB0-31 and COM65-96
// /dev/ttyACM0-31. Empty when the port does not exist.
std::string DevicePathForPort(int number, const std::string& portMap);

}  // namespace kl
