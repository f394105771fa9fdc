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
};

// True when the unit went through the sequence and must now be restarted by the caller;
// false when a downgrade was refused and nothing was written. Every failure ends the run.
bool UpdateUnit(Session& s, Unit& unit, const UpdateRequest& request);

// True when the unit's software differs from the carried release by checksum (and CRC).
bool CompareSoftwareChecksum(Session& s, const Unit& unit);

// Asks for the unit family until it is one of the three the operator can name, unless the
// unit reported a family of its own.
void AskUnitType(Session& s, Unit& unit);

// "6.10r57"
std::string TargetVersionText();

}  // namespace kl
