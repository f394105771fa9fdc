#include "connect/probe_speed.h"

#include "protocol/link_speed.h"
#include "protocol/target_context.h"
#include "transport/serial_port.h"

namespace kl {

namespace {

// Only a change that re-opens the port needs the device; reading what waits costs nothing
// there, because the re-open purges it anyway.
bool PortVanished(TargetContext& s, uint32_t baud) {
  if (s.packet.proxyOn || baud == s.portSettings.baudRate || !IsPortOpen(s)) return false;
  uint8_t scratch[256];
  if (ReadCommPortOverlapped(s, s.port, scratch, sizeof scratch) >= 0) return false;
  s.out(Channel::Always) << "COM" << s.portSettings.portNumber << " is not present on this computer" << crlf;
  return true;
}

}  // namespace

bool SetProbeSpeed(TargetContext& s, uint32_t baud, uint32_t timeout) {
  if (PortVanished(s, baud)) return false;
  ChangePacketBaudRateOrStop(s, baud, 0, timeout, false);
  return true;
}

bool RestoreProbeSpeed(TargetContext& s, uint32_t timeout) {
  if (PortVanished(s, s.link.savedBaudRate)) return false;
  RestoreConnectionBaudRate(s, timeout);
  return true;
}

}  // namespace kl
