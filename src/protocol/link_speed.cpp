// Changing the line's speed: the PC's port alone, or through the proxy unit when the link is
// relayed (a call to the proxy, hence above the packet layer).
#include "protocol/link_speed.h"

#include "driver/fatal_error.h"
#include "protocol/proxy_calls.h"
#include "transport/link_context.h"
#include "transport/link_control.h"
#include "transport/packet_link.h"
#include "transport/serial_port.h"

namespace kl {

namespace {

bool ChangeThroughProxy(LinkContext& s, uint32_t baud, uint32_t timeout) {
  s.out(Channel::DetailedDebug) << "ChangePacketBaudRate"
                                << ": using proxy to change baud rate" << crlf;
  // The speed change is a call to the proxy itself, so it travels without the relay header.
  s.packet.proxyOn = false;
  const bool changed = SetProxyBaudRate(s, s.packet.proxyAddress, s.packet.proxyPort, baud);
  s.packet.proxyOn = true;
  s.out(Channel::DetailedDebug) << "proxy baud rate = " << baud << " timeout=" << timeout << "ms" << crlf;
  return changed;
}

}  // namespace

bool ChangePacketBaudRate(LinkContext& s, uint32_t baud, uint8_t parity, uint32_t timeout, bool direct) {
  ClearReceivedPacket(s);
  PortSettings& settings = s.portSettings;
  const bool speedChanged = baud != settings.baudRate;
  settings.baudRate = baud;
  settings.evenParity = parity;
  settings.replyTimeout = timeout;
  ChannelWriter& trace = s.out(Channel::DetailedDebug);

  if (s.packet.proxyOn) {
    if (speedChanged) return ChangeThroughProxy(s, baud, timeout);
    trace << "proxy baud rate = " << baud << " (no change) timeout=" << timeout << "ms" << crlf;
    return true;
  }
  if (!speedChanged) {
    trace << "baud rate = " << baud << " (no change) timeout=" << timeout << "ms" << crlf;
    return true;
  }
  if (direct) {
    trace << "ChangePacketBaudRate"
          << ": direct call to comm port" << crlf;
    // Parity stays as the open set it; the direct change is only used at plain speeds.
    SetCommPortSpeed(s, s.port, baud, 2, false, false, false);
    trace << "baud rate = " << baud << " timeout=" << timeout << "ms (direct baud rate setting)" << crlf;
    return true;
  }
  trace << "ChangePacketBaudRate"
        << ": re-opening comm port to change baud rate" << crlf;
  const bool reopened = ChangeBaudRate(s);
  trace << "baud rate = " << baud << " timeout=" << timeout << "ms";
  if (settings.evenParity) trace << " (even parity)";
  trace << crlf;
  return reopened;
}

void ChangePacketBaudRateOrStop(LinkContext& s, uint32_t baud, uint8_t parity, uint32_t timeout, bool direct) {
  if (!ChangePacketBaudRate(s, baud, parity, timeout, direct)) FatalError(s, "Unable to change baudrate");
}

void RestoreConnectionBaudRate(LinkContext& s, uint32_t timeout) {
  s.out(Channel::Debug) << "-- restoring saved connection baud rate = " << s.link.savedBaudRate << crlf;
  ChangePacketBaudRateOrStop(s, s.link.savedBaudRate, s.link.savedParity, timeout, false);
}

}  // namespace kl
