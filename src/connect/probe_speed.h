// Speed changes while probing a port. A port whose device has gone (a pulled adapter) cannot
// be re-opened; probing reports it and gives up on that port instead of ending the run.
#pragma once

#include <cstdint>

namespace kl {

struct TargetContext;

// ChangePacketBaudRate to `baud` without parity, re-opening the port. False when the port's
// device has gone ("COMn is not present on this computer" on Always); any other failure is
// fatal "Unable to change baudrate".
bool SetProbeSpeed(TargetContext& s, uint32_t baud, uint32_t timeout);
// RestoreConnectionBaudRate with the same care for a vanished port.
bool RestoreProbeSpeed(TargetContext& s, uint32_t timeout);

}  // namespace kl
