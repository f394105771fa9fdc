#include "update/field_update.h"

#include <vector>

#include "connect/connection.h"
#include "driver/fatal_error.h"
#include "driver/session.h"
#include "protocol/identification.h"
#include "protocol/unit_control.h"
#include "update/multi_unit_update.h"
#include "update/update_unit.h"

namespace kl {

namespace {

constexpr uint32_t kRestartPauseMs = 1000;
// Applications from 6.00 on list the units on their network.
constexpr int16_t kNetworkSoftwareVersion = 600;
// ZA3 displays before these cannot wait for a later run: their boot loader is replaced at once.
constexpr int16_t kZa3CurrentSoftware = 600;
constexpr uint8_t kZa3CurrentBootRelease = 18;

void RestartUnit(Session& s, Unit& unit) {
  if (!Reset(s, unit)) FatalError(s, "Unable to restart unit");
}

// True when the unit was updated and restarted.
bool UpdateAndRestart(Session& s, Unit& unit, const UpdateRequest& request) {
  if (UpdateUnit(s, unit, request) == UpdateOutcome::Updated) {
    RestartIntoNewSoftware(s, unit);
    return true;
  }
  if (unit.mode != modeBalvantaSoftware) RestartUnit(s, unit);
  return false;
}

void WriteSuccess(Session& s) { s.out(Channel::Always) << "Success: all operations are complete" << crlf; }

}  // namespace

void RestartIntoNewSoftware(Session& s, Unit& unit) {
  s.out(Channel::Always) << "restarting unit..." << crlf;
  RestartUnit(s, unit);
  s.out(Channel::Debug) << "Pausing to bypass boot loader and unit startup" << crlf;
  s.platform.clock.sleep(kRestartPauseMs);
  if (!ReconnectToUnit(s, unit)) FatalError(s, "Unable to reconnect to unit");
  // The frames' CRC-16 lets a rare damaged packet through on a noisy line: what the unit now
  // runs must be the new software before the run may call itself a success. A unit that stops
  // answering before it told its checksum has not shown that.
  if (unit.mode != modeBalvantaSoftware || unit.softwareVersion < kNetworkSoftwareVersion) return;
  if (!ReadAdvancedInfo(s, unit)) FatalError(s, "Unable to reconnect to unit");
  if (CompareSoftwareChecksum(s, unit)) FatalError(s, "The software in the unit does not match the new software");
}

void UpdateConnectedUnit(Session& s, Unit& unit, bool askFirst) {
  PrintUnitInfo(s, unit, false);
  UpdateAndRestart(s, unit, UpdateRequest{.askFirst = askFirst});
}

void FieldUpdateUnit(Session& s, Unit& unit, bool askFirst, bool firstUnitOnly) {
  s.out(Channel::Debug) << "FieldUpdateUnit" << crlf;

  if (unit.mcuType == mcu::LPC2478 &&
      (unit.softwareVersion < kZa3CurrentSoftware || unit.bootLoaderRelease < kZa3CurrentBootRelease)) {
    PrintUnitInfo(s, unit, false);
    s.out(Channel::Always) << crlf << "This ZA3 display unit needs to be updated immediately. It will be restarted"
                           << crlf << "after the update is complete. You may need to rerun Kestrelink again after"
                           << crlf << "the update." << crlf << crlf
                           << "IMPORTANT: do not turn off the power during the update." << crlf << crlf;
    if (UpdateAndRestart(s, unit, UpdateRequest{.forceBootLoader = true, .askFirst = askFirst})) {
      WaitForUnit(s, unit);
    }
    if (firstUnitOnly) {
      WriteSuccess(s);
      return;
    }
  }

  std::vector<uint8_t> addresses;
  bool someFailed = false;
  // A unit that lists no further units is updated on its own, through its boot loader.
  if (!firstUnitOnly && unit.mode == modeBalvantaSoftware && unit.softwareVersion >= kNetworkSoftwareVersion &&
      ListRemoteUnits(s, addresses) && !addresses.empty()) {
    someFailed = MultiUnitUpdate(s, unit, addresses);
  } else {
    UpdateConnectedUnit(s, unit, askFirst);
  }
  if (someFailed) {
    s.out(Channel::Always) << "Complete: some units could not be updated" << crlf;
  } else {
    WriteSuccess(s);
  }
}

}  // namespace kl
