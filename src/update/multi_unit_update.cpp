#include "update/multi_unit_update.h"

#include "driver/session.h"
#include "update/field_update.h"

namespace kl {

// The units on the network are not sent update files in this build: the connected unit is
// updated on its own, and each listed unit is named as not updated, so that the run never
// reports them as done.
bool MultiUnitUpdate(Session& s, Unit& unit, const std::vector<uint8_t>& addresses) {
  UpdateConnectedUnit(s, unit, true);
  if (addresses.empty()) return false;
  ChannelWriter& always = s.out(Channel::Always);
  for (const uint8_t address : addresses) {
    always << "Balvanta Unit " << address << " on the network was not updated: connect it to the serial port"
           << " and run Kestrelink again" << crlf;
  }
  return true;
}

}  // namespace kl
