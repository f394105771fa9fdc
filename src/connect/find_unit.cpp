// The fixed probes on an open port: the given unit ID, a blank chip, the given speed, the boot
// loader, and address $F0 at the usual speeds.
#include <algorithm>
#include <span>
#include <vector>

#include "connect/discovery.h"
#include "connect/probe_speed.h"
#include "driver/console_input.h"
#include "driver/fatal_error.h"
#include "protocol/identification.h"
#include "protocol/target_context.h"
#include "protocol/unit_control.h"
#include "transport/link_control.h"

namespace kl {

namespace {

constexpr uint8_t kDefaultAddress = 0xF0;
// The speeds of the $F0 search, in the order tried.
constexpr uint32_t kDefaultAddressSpeeds[] = {19200, 9600, 115200, 57600, 38400};
constexpr uint32_t kBootLoaderSpeeds[] = {9600, 115200};

// The usual speeds of a probe, and the run's programming speed (-r) when it is none of them:
// a run that failed after switching to it can leave the unit there (its flash programmer, or
// the application of a display that relayed update files), and the next run finds it without
// a power cycle.
std::vector<uint32_t> ProbeSpeeds(const TargetContext& s, std::span<const uint32_t> usual) {
  std::vector<uint32_t> speeds(usual.begin(), usual.end());
  const uint32_t programming = s.portSettings.programmingBaud;
  if (programming != 0 && std::find(usual.begin(), usual.end(), programming) == usual.end()) {
    speeds.push_back(programming);
  }
  return speeds;
}

enum class Probe { Found, NotFound, PortGone };

void FoundBootLoader(TargetContext& s, Unit& unit) {
  s.out(Channel::Debug) << "COMPLETE" << crlf;
  SaveConnectionBaudRate(s);
  s.currentUnitId = s.bootLoaderAddress;
  unit.address = s.bootLoaderAddress;
  unit.mode = modeBalvantaBootLoader;
  s.out(Channel::Debug) << "-- found unit (balvanta boot loader)" << crlf;
}

// A unit found at $F0 is addressed by its Modbus address from then on, when it tells one.
// Address 0 is the broadcast address, never a unit's own: a unit reporting it has none set
// and stays at $F0.
void FoundAtDefaultAddress(TargetContext& s, Unit& unit) {
  unit.address = kDefaultAddress;
  s.currentUnitId = kDefaultAddress;
  unit.mode = modeBalvantaSoftware;
  uint8_t modbusAddress = 0;
  if (GetModbusAddress(s, unit, modbusAddress) && modbusAddress != 0) {
    s.currentUnitId = modbusAddress;
    unit.address = modbusAddress;
  }
}

// The operator's -u is tried on every port probed: a port without the unit must not leave
// another ID in its place.
Probe CheckGivenUnitId(TargetContext& s, Unit& unit) {
  const uint8_t unitId = s.options.unitId;
  ChannelWriter& debug = s.out(Channel::Debug);
  debug << "Checking Unit ID..." << crlf;
  for (int attempt = 0; attempt < 4; ++attempt) {
    if (!SetProbeSpeed(s, attempt % 2 == 0 ? 9600 : 115200, ReplyTimeoutNormal)) return Probe::PortGone;
    debug << "RPC: ReadBootLoaderVersion" << crlf;
    if (ReadBootLoaderVersion(s, unit)) {
      FoundBootLoader(s, unit);
      return Probe::Found;
    }
    if (!RestoreProbeSpeed(s, ReplyTimeoutNormal)) return Probe::PortGone;
    debug << "RPC: Ping address $" << hex(unitId, 2) << crlf;
    if (Ping(s, unitId)) {
      debug << "COMPLETE" << crlf;
      SaveConnectionBaudRate(s);
      s.currentUnitId = unitId;
      unit.address = unitId;
      unit.mode = modeBalvantaSoftware;
      debug << "-- found unit ID = " << hex(unitId, 2) << crlf;
      return Probe::Found;
    }
  }
  return Probe::NotFound;
}

Probe PingAtGivenSpeed(TargetContext& s, Unit& unit) {
  if (!RestoreProbeSpeed(s, ReplyTimeoutNormal)) return Probe::PortGone;
  s.out(Channel::Debug) << "RPC: Ping address $F0 at specified baud rate" << crlf;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!Ping(s, kDefaultAddress)) continue;
    s.out(Channel::Debug) << "COMPLETE" << crlf;
    FoundAtDefaultAddress(s, unit);
    s.out(Channel::Debug) << "-- found unit ($F0)" << crlf;
    return Probe::Found;
  }
  return Probe::NotFound;
}

Probe FindBootLoader(TargetContext& s, Unit& unit) {
  s.out(Channel::Debug) << "RPC: ReadBootLoaderVersion" << crlf;
  for (uint32_t speed : ProbeSpeeds(s, kBootLoaderSpeeds)) {
    if (!SetProbeSpeed(s, speed, ReplyTimeoutShort(s))) return Probe::PortGone;
    if (ReadBootLoaderVersion(s, unit)) {
      FoundBootLoader(s, unit);
      return Probe::Found;
    }
  }
  return Probe::NotFound;
}

Probe SearchDefaultAddress(TargetContext& s, Unit& unit) {
  ChannelWriter& debug = s.out(Channel::Debug);
  debug << "Searching for unit ID..." << crlf;
  // The address is taken only once a unit answers at it.
  debug << "Unit ID=" << "F0" << crlf;
  const std::vector<uint32_t> speeds = ProbeSpeeds(s, kDefaultAddressSpeeds);
  for (size_t attempt = 0; attempt < 2 * speeds.size(); ++attempt) {
    if (EscapePressed(s)) FatalError(s, "Aborted");
    if (!SetProbeSpeed(s, speeds[attempt % speeds.size()], ReplyTimeoutShort(s))) return Probe::PortGone;
    if (!Ping(s, kDefaultAddress)) continue;
    debug << "-- found unit ($F0)" << crlf;
    SaveConnectionBaudRate(s);
    FoundAtDefaultAddress(s, unit);
    return Probe::Found;
  }
  return Probe::NotFound;
}

}  // namespace

bool FindUnit(TargetContext& s, Unit& unit) {
  unit.mode = modeUnknown;
  s.bootLoaderAddress = 1;

  Probe result = Probe::NotFound;
  if (s.options.unitIdGiven) result = CheckGivenUnitId(s, unit);
  if (result == Probe::NotFound) {
    switch (LpcIspSync(s, unit)) {
      case LpcSyncResult::Found: result = Probe::Found; break;
      case LpcSyncResult::PortError: result = Probe::PortGone; break;
      case LpcSyncResult::NotFound: break;
    }
  }
  if (result == Probe::NotFound && s.run.startSpeedGiven) result = PingAtGivenSpeed(s, unit);
  if (result == Probe::NotFound) result = FindBootLoader(s, unit);
  if (result == Probe::NotFound) result = SearchDefaultAddress(s, unit);

  if (result == Probe::Found) return true;
  if (result == Probe::NotFound) s.out(Channel::Debug) << "-- unable to find unit" << crlf;
  return false;
}

}  // namespace kl
