#include "update/field_update.h"

#include <vector>

#include "connect/connection.h"
#include "driver/fatal_error.h"
#include "driver/version.h"
#include "protocol/capabilities.h"
#include "protocol/identification.h"
#include "protocol/unit_control.h"
#include "update/multi_unit_update.h"
#include "update/session.h"
#include "update/update_unit.h"

namespace kl {

namespace {

constexpr uint32_t kRestartPauseMs = 1000;
// Applications from 6.00 on list the units on their network.
// ZA3 displays before these cannot wait for a later run: their boot loader is replaced at once.
constexpr int16_t kZa3CurrentSoftware = 600;
constexpr uint8_t kZa3CurrentBootRelease = 18;

void RestartUnit(Session& s, Unit& unit) {
  if (!Reset(s, unit)) FatalError(s, "Unable to restart unit");
}

// Updated: the unit was updated and restarted into the new software.
UpdateOutcome UpdateAndRestart(Session& s, Unit& unit, const UpdateRequest& request) {
  const UpdateOutcome outcome = UpdateUnit(s, unit, request);
  if (outcome == UpdateOutcome::Updated) {
    RestartIntoNewSoftware(s, unit);
  } else if (unit.mode != modeBalvantaSoftware) {
    RestartUnit(s, unit);
  }
  return outcome;
}

void WriteEnding(Session& s, bool someFailed) {
  if (someFailed) {
    s.out(Channel::Always) << "Complete: some units could not be updated" << crlf;
  } else {
    s.out(Channel::Always) << "Success: all operations are complete" << crlf;
  }
}

// A ZA3 whose software or boot loader is too old to wait for a later run. A boot-loader release
// that was not read is no reason: a 0 there would force a current boot loader to be rewritten.
bool NeedsImmediateZa3Update(const Unit& unit) {
  if (unit.mcuType != mcu::LPC2478) return false;
  return unit.softwareVersion < kZa3CurrentSoftware ||
         (unit.bootLoaderReleaseRead && unit.bootLoaderRelease < kZa3CurrentBootRelease);
}

}  // namespace

void RestartIntoNewSoftware(Session& s, Unit& unit) {
  s.out(Channel::Always) << "restarting unit..." << crlf;
  RestartUnit(s, unit);
  s.out(Channel::Debug) << "Pausing to bypass boot loader and unit startup" << crlf;
  s.platform.clock.sleep(kRestartPauseMs);
  if (!ReconnectToUnit(s, unit)) FatalError(s, "Unable to reconnect to unit");
  // The frames' CRC-16 lets a rare damaged packet through on a noisy line: what the unit now
  // runs must be the new software, by version and by checksum, before the run may call itself
  // a success. A unit that stops answering before it told its checksum has not shown that.
  if (unit.mode != modeBalvantaSoftware) FatalError(s, "Unable to reconnect to unit");
  const bool carriedVersion = unit.softwareVersion == kProgramVersion;
  if (carriedVersion && !ReadAdvancedInfo(s, unit)) FatalError(s, "Unable to reconnect to unit");
  if (!carriedVersion || unit.softwareRelease != kProgramRelease || CompareSoftwareChecksum(s, unit)) {
    FatalError(s, "The software in the unit does not match the new software");
  }
}

UpdateOutcome UpdateConnectedUnit(Session& s, Unit& unit, bool askFirst) {
  PrintUnitInfo(s, unit, false);
  return UpdateAndRestart(s, unit, UpdateRequest{.askFirst = askFirst});
}

void FieldUpdateUnit(Session& s, Unit& unit, bool askFirst, bool firstUnitOnly) {
  s.out(Channel::Debug) << "FieldUpdateUnit" << crlf;

  if (NeedsImmediateZa3Update(unit)) {
    PrintUnitInfo(s, unit, false);
    s.out(Channel::Always) << crlf << "This ZA3 display unit needs to be updated immediately. It will be restarted"
                           << crlf << "after the update is complete. You may need to rerun Kestrelink again after"
                           << crlf << "the update." << crlf << crlf
                           << "IMPORTANT: do not turn off the power during the update." << crlf << crlf;
    const UpdateOutcome outcome =
        UpdateAndRestart(s, unit, UpdateRequest{.forceBootLoader = true, .askFirst = askFirst});
    if (outcome == UpdateOutcome::Updated) WaitForUnit(s, unit);
    // A refused unit would only be refused again.
    if (firstUnitOnly || outcome != UpdateOutcome::Updated) {
      WriteEnding(s, outcome != UpdateOutcome::Updated);
      return;
    }
  }

  std::vector<uint8_t> addresses;
  bool someFailed = false;
  // A unit that lists no further units is updated on its own, through its boot loader.
  if (!firstUnitOnly && ListsRemoteUnits(unit) && ListRemoteUnits(s, addresses) && !addresses.empty()) {
    someFailed = MultiUnitUpdate(s, unit, addresses);
  } else {
    someFailed = UpdateConnectedUnit(s, unit, askFirst) != UpdateOutcome::Updated;
  }
  WriteEnding(s, someFailed);
}

}  // namespace kl
