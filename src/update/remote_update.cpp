#include "update/remote_update.h"

#include "protocol/capabilities.h"
#include "protocol/identification.h"
#include "protocol/unit_control.h"
#include "update/session.h"
#include "update/update_unit.h"

namespace kl {

namespace {

void AdviseDirectConnection(Session& s, const Unit& unit) {
  s.out(Channel::Always) << crlf
                         << "IMPORTANT: Please connect the serial port to the COM1 RS232 port on the unit and run "
                            "Kestrelink again to update unit "
                         << unit.address << crlf << crlf;
}

}  // namespace

bool RemoteUpdateUnit(Session& s, Unit& unit, bool askFirst) {
  if (!ReadUnitInfo(s, unit)) return false;
  ReadExtendedInfo(s, unit);
  // Without its description a unit of 6.00 or later has told neither its boot loader nor its
  // checksum: nothing can be decided for it.
  if (!ReadAdvancedInfo(s, unit) && SoftwareTakesUpdateFiles(unit)) return false;
  PrintUnitInfo(s, unit, false);
  ChannelWriter& always = s.out(Channel::Always);
  if (!SoftwareTakesUpdateFiles(unit)) {
    always << "Balvanta Unit " << unit.address
           << " must be running version 6.00 or later of the Balvanta software for remote update." << crlf;
  } else if (CheckUpdateFileSupport(s, unit)) {
    // A transfer that fails ends this unit's update only: the run goes on with the others.
    return UpdateUnit(s, unit,
                      UpdateRequest{.useUpdateFiles = true, .askFirst = askFirst, .failureEndsRun = false}) ==
           UpdateOutcome::Updated;
  } else if (!BootLoaderAppliesUpdateFiles(unit)) {
    always << "Balvanta Unit " << unit.address << " must have boot loader release 14 or later for remote update."
           << crlf;
  } else {
    // A current boot loader on a unit that refuses update files: naming the boot loader would
    // send the technician after the wrong part.
    always << "Balvanta Unit " << unit.address << " does not support remote software update." << crlf;
  }
  AdviseDirectConnection(s, unit);
  return false;
}

bool RemoteUpdatePossible(Session& s, Unit& unit) {
  if (SoftwareTakesUpdateFiles(unit) && BootLoaderAppliesUpdateFiles(unit) && CheckUpdateFileSupport(s, unit)) {
    return true;
  }
  PrintUnitInfo(s, unit, false);
  ChannelWriter& always = s.out(Channel::Always);
  always << "Balvanta Unit " << unit.address;
  if (!SoftwareTakesUpdateFiles(unit)) {
    always << " must be running version 6.00 or later of the Balvanta software for remote software update.";
  } else if (!BootLoaderAppliesUpdateFiles(unit)) {
    always << " must have boot loader release 14 or later for remote software update. Please use Quorran to "
              "update boot loader (requires direct connection to COM1 RS232 port of unit).";
  } else {
    always << " does not support remote software update.";
  }
  always << crlf;
  return false;
}

}  // namespace kl
