// One run's context. What the program treats as process-wide (options, channels and log,
// the serial port and its settings, the packet link, the connected unit, ...) are members
// here; the real program creates exactly one, tests as many as they need.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "driver/output.h"
#include "driver/run_options.h"
#include "platform/platform.h"
#include "transport/packet_link.h"
#include "transport/serial_port.h"

namespace kl {

struct Session {
  explicit Session(Platform& p) : platform(p), out(p, options) {}
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  Platform& platform;
  RunOptions options;
  Output out;

  // The command line as given, program path first (the log header repeats it).
  std::vector<std::string> arguments;
  PortSettings portSettings;
  SerialPort port;
  PacketLink packet;

  // Clean-up run at any exit while armed: "-- stopped", release the port, close the log.
  bool stopHookArmed = false;
};

}  // namespace kl
