// The run's serial line: the port and its settings, the packet layer, reply time-outs and the
// proxy mode, and the unit ID requests go to.
#pragma once

#include <cstdint>

#include "driver/run_context.h"
#include "transport/link_control.h"
#include "transport/packet_link.h"
#include "transport/serial_port.h"

namespace kl {

struct LinkContext : RunContext {
  explicit LinkContext(Platform& p) : RunContext(p) {}
  void releaseLine() override { ClosePort(*this); }

  PortSettings portSettings;
  SerialPort port;
  PacketLink packet;
  LinkControl link;

  // The unit ID requests are addressed to.
  uint8_t currentUnitId = 0;
  // Overlapped (windowed) flash writes are in use: the line's CTS answers.
  bool overlappedActive = false;
  // What lets the user open a port was shown (once a run).
  bool accessHelpShown = false;
};

}  // namespace kl
