// What one unit needs and the update itself, in a fixed order: manufacturing fields, boot
// loader, application software, then the files on its flash drive. The decision compares the
// unit's identity with the one release this program carries.
#pragma once

#include <cstdint>
#include <string>

namespace kl {

struct Session;
struct Unit;

struct UpdateRequest {
  int32_t newSerialNumber = 0;  // 0: none
  bool forceBootLoader = false;
  bool useUpdateFiles = false;  // send update files that the unit applies when it restarts
  bool askFirst = false;
  // False for a unit on the network: a transfer that fails ends only this unit's update (its
  // update files take effect only once all of them are in), not the run.
  bool failureEndsRun = true;
};

enum class UpdateOutcome {
  Updated,  // went through the sequence: the caller restarts it
  Refused,  // a later build of the carried release: nothing was written, it was not rebooted
  Failed,   // update files that did not all get through (failureEndsRun off): not updated
};

// Every other failure ends the run.
UpdateOutcome UpdateUnit(Session& s, Unit& unit, const UpdateRequest& request);

// True when the unit's software differs from the carried release by checksum (and CRC).
bool CompareSoftwareChecksum(Session& s, const Unit& unit);

// Asks for the unit family until it is one of the three the operator can name, unless the
// unit reported a family of its own.
void AskUnitType(Session& s, Unit& unit);

// "6.10r57"
std::string TargetVersionText();

}  // namespace kl
