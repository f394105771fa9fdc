#include "update/interrogation.h"

#include <vector>

#include "connect/connection.h"
#include "driver/fatal_error.h"
#include "protocol/capabilities.h"
#include "protocol/identification.h"
#include "protocol/unit_control.h"
#include "transfer/image_selection.h"
#include "transfer/unit_images.h"
#include "update/fields_keeper.h"
#include "update/session.h"

namespace kl {

namespace {

// Applications from 6.00 on list the units on their network and report everything in one call.

// Update files are the way into a running unit; a boot loader only takes a programmer.
bool UsesUpdateFiles(const Unit& unit) { return unit.mode != modeBalvantaBootLoader; }

// The selection lines belong to a unit's block; a unit the program could not update is still
// shown, with the reason on Debug.
void ShowProgrammerChoice(Session& s, const Unit& unit, bool updateFiles) {
  UnitImages images;
  if (auto problem = ChooseFlashProgrammer(s, unit, images, updateFiles))
    s.out(Channel::Debug) << "-- " << *problem << crlf;
}

void WriteUnitHeading(Session& s, uint8_t address) {
  s.out(Channel::Always) << "Balvanta Unit: " << address << crlf;
}

}  // namespace

void ShowRemoteUnit(Session& s, uint8_t address) {
  WriteUnitHeading(s, address);
  Unit remote;
  remote.mode = modeBalvantaSoftware;
  remote.address = address;
  if (!ReadUnitInfo(s, remote)) return;
  ReadExtendedInfo(s, remote);
  if (ReadAdvancedInfo(s, remote)) ShowProgrammerChoice(s, remote, UsesUpdateFiles(remote));
  PrintUnitInfo(s, remote, false);
}

void InterrogateUnits(Session& s, Unit& unit) {
  bool shown = false;
  if (ReadAdvancedInfo(s, unit)) {
    ShowProgrammerChoice(s, unit, UsesUpdateFiles(unit));
    PrintUnitInfo(s, unit, false);
    shown = true;
  }

  std::vector<uint8_t> addresses;
  if (ListsRemoteUnits(unit) && ListRemoteUnits(s, addresses) && !addresses.empty()) {
    auto& always = s.out(Channel::Always);
    always << "Balvanta Unit(s) found:";
    for (const uint8_t address : addresses) always << " " << address;
    always << crlf;
    for (const uint8_t address : addresses) ShowRemoteUnit(s, address);
  }

  if (shown || IsVComPort(s, unit)) return;

  // Older software or a boot loader: the boot loader tells what the unit holds.
  WriteUnitHeading(s, unit.address);
  // A programmer an earlier run left writing the boot loader is not restarted: that would
  // leave a unit that cannot start. The next update finishes the boot loader with it.
  if (!InitialiseForUpdate(s, unit, FieldsKeeper(s, unit).bootLoaderUnfinished())) {
    FatalError(s, "Unable to initialise Balvanta unit");
  }
  ShowProgrammerChoice(s, unit, false);
  PrintUnitInfo(s, unit, false);
  if (unit.mode == modeFlashProgrammer) {
    s.out(Channel::Always) << "-- an earlier update did not finish writing the boot loader: run the update again "
                              "to finish it"
                           << crlf;
    return;
  }
  if (!Reset(s, unit)) FatalError(s, "Unable to restart unit");
}

}  // namespace kl
