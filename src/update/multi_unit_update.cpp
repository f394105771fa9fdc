#include "update/multi_unit_update.h"

#include <optional>

#include "driver/console_input.h"
#include "driver/fatal_error.h"
#include "driver/version.h"
#include "images/catalogue.h"
#include "protocol/identification.h"
#include "protocol/link_speed.h"
#include "protocol/unit_control.h"
#include "transport/link_control.h"
#include "update/network_table.h"
#include "update/remote_update.h"
#include "update/session.h"
#include "update/update_unit.h"

namespace kl {

namespace {

// A unit applies its update files in its boot loader when it restarts and answers only once
// its application runs: the first answer after the restart tells what it runs. Applying a
// boot loader and software takes a real unit a while; this bounds the wait for all of them.
constexpr uint32_t kRestartPauseMs = 1000;
constexpr uint32_t kComeBackMs = 60000;
constexpr uint32_t kComeBackPollMs = 500;

void ExplainUpdateFiles(Session& s) {
  s.out(Channel::Always) << "1. The software update will be downloaded to the above units." << crlf
                         << "2. After the download is complete the software update will be applied " << crlf
                         << "   the next time the units are restarted." << crlf
                         << "3. You can either restart the units immediately after the download is " << crlf
                         << "   complete, or wait until a convenient time and restart them yourself." << crlf << crlf;
}

enum class AfterRestart { Carried, Other, Silent };

// What the unit at `address` runs once it answers again, waiting until `startMs` + kComeBackMs.
AfterRestart CheckRestartedUnit(Session& s, uint8_t address, uint32_t startMs) {
  Clock& clock = s.platform.clock;
  Unit unit = NetworkUnitAt(address);
  while (!ReadUnitInfo(s, unit)) {
    if (clock.tickMs() - startMs >= kComeBackMs) return AfterRestart::Silent;
    clock.sleep(kComeBackPollMs);
  }
  ReadExtendedInfo(s, unit);
  if (!ReadAdvancedInfo(s, unit)) return AfterRestart::Silent;
  const bool carried = unit.softwareVersion == kProgramVersion && unit.softwareRelease == kProgramRelease &&
                       catalogue::FindSoftware(unit.unitFamily, unit.mcuType) && !CompareSoftwareChecksum(s, unit);
  return carried ? AfterRestart::Carried : AfterRestart::Other;
}

// True when every updated unit came back running the carried software; the others are named.
bool UpdatedUnitsRunNewSoftware(Session& s, const std::vector<uint8_t>& updated) {
  Clock& clock = s.platform.clock;
  const uint32_t start = clock.tickMs();
  clock.sleep(kRestartPauseMs);
  bool all = true;
  for (const uint8_t address : updated) {
    const AfterRestart after = CheckRestartedUnit(s, address, start);
    if (after == AfterRestart::Carried) continue;
    all = false;
    ChannelWriter& always = s.out(Channel::Always);
    if (after == AfterRestart::Silent) {
      always << "Balvanta Unit: " << address << " did not answer after the restart" << crlf;
    } else {
      always << "Balvanta Unit: " << address << " is not running " << TargetVersionText() << " after the restart"
             << crlf;
    }
  }
  return all;
}

}  // namespace

bool MultiUnitUpdate(Session& s, Unit& unit, const std::vector<uint8_t>& listed) {
  const uint32_t savedBaud = s.portSettings.baudRate;
  const uint8_t savedParity = s.portSettings.evenParity;
  SetUnitBaudRateOrStop(s, unit, s.portSettings.programmingBaud);
  // A run that ends early puts the display back at its speed: left at the programming speed
  // it is found by the next run only after a power cycle.
  BeforeEndGuard speed(s, [&s, &unit, savedBaud] { SetUnitBaudRate(s, unit, savedBaud); });
  const std::vector<uint8_t> updateList = ListNetworkUnits(s, unit, listed, NetworkListing::Update);
  ChannelWriter& always = s.out(Channel::Always);
  always << crlf;

  if (!AskYesNo(s, "Do you wish to update the software in these Balvanta units?")) {
    speed.disarm();
    SetUnitBaudRateOrStop(s, unit, savedBaud);
    EndRun(s, 1, "The units were not updated: answered no");
  }
  ExplainUpdateFiles(s);
  const bool restartNow = AskYesNo(s,
                                   "Do you wish to restart the units when the download is finished \r\n"
                                   "and apply the software update immediately?");

  always << "Downloading software updates..." << crlf;
  bool someFailed = false;
  std::vector<uint8_t> updated;
  for (const uint8_t address : updateList) {
    Unit remote = NetworkUnitAt(address);
    // One unit that fails is that unit's alone: its update files take effect only once all
    // of them are in, and the other units are still to be updated.
    if (RemoteUpdateUnit(s, remote, false)) {
      always << "Balvanta Unit: " << address << " updated" << crlf;
      updated.push_back(address);
    } else {
      always << "Unable to update Balvanta Unit: " << address << crlf;
      someFailed = true;
    }
    always << crlf;
  }

  if (restartNow) {
    if (!ResetSystem(s, unit)) {
      // The downloads are in the units all the same; only the moment they take effect moves.
      // Whether the connected unit heard the restart is unknown, so its speed is left alone:
      // a restart brings it back to its own.
      speed.disarm();
      always << "Unable to restart system" << crlf
             << "Software update will be applied the next time Balvanta is restarted" << crlf;
      return someFailed;
    }
    // The restart brings the display back at its own speed.
    speed.disarm();
    ChangePacketBaudRateOrStop(s, savedBaud, savedParity, ReplyTimeoutNormal, false);
    if (!UpdatedUnitsRunNewSoftware(s, updated)) someFailed = true;
    return someFailed;
  }
  always << "Software update will be applied the next time Balvanta is restarted" << crlf;
  speed.disarm();
  SetUnitBaudRateOrStop(s, unit, savedBaud);
  return someFailed;
}

}  // namespace kl
