// The table of units a connected unit reaches on its network, as the network flows show it
// before they work on each unit: "Address  Information" and one line per unit, in address
// order with the connected unit among them.
#pragma once

#include <cstdint>
#include <vector>

namespace kl {

struct Session;
struct Unit;

enum class NetworkListing {
  Update,         // a unit that does not answer is skipped; test jigs are named as ignored
  LogExtraction,  // a unit that does not answer is named and skipped; test jigs are left out quietly
};

// Reads the identity of each unit of `listed` (as ListRemoteUnits gave them), writes the table
// on Always and returns the addresses to work on, the connected unit inserted before the
// first listed address above its Modbus address. A connected test jig is never in the list.
std::vector<uint8_t> ListNetworkUnits(Session& s, const Unit& connected, const std::vector<uint8_t>& listed,
                                      NetworkListing purpose);

// A cleared record for the unit at `address`, as the network flows address it.
Unit NetworkUnitAt(uint8_t address);

// A ZK7 test jig: it tests the units on a production line and is never updated with them.
bool IsTestJig(const Unit& unit);
// The display a test jig keeps on its network; only the one being built may be taken for it.
bool IsTestJigControlDisplay(const Unit& unit);

}  // namespace kl
