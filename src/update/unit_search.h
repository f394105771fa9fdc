// Finding the unit a production station builds when it is not the one on the port: behind a
// test jig's proxy port, or among the units on the connected unit's network.
#pragma once

#include <cstdint>

namespace kl {

struct Session;
struct Unit;

// What the station looks for: a unit family, one or two MCU types (0: no second), and the
// serial number from the parameter file.
struct ProductSearch {
  uint8_t unitFamily = 0;
  uint8_t mcuTypeA = 0;
  uint8_t mcuTypeB = 0;
  int32_t serialNumber = 0;
};

// The unit is of the kind searched for. A test jig's control display never is, unless it
// carries the serial number searched for.
bool MatchesProduct(const Unit& unit, const ProductSearch& search);

// The unit behind a connected test jig; on success the proxy stays on, the buffered protocol
// is used from now on and `unit` holds the unit found.
bool SearchForMatchingProxyUnit(Session& s, Unit& unit, const ProductSearch& search);
// The one matching unit on the network of `unit`, which then holds it. Two matches end the
// run; a match that cannot take update files is no match.
bool SearchForMatchingRemoteUnit(Session& s, Unit& unit, const ProductSearch& search);
// The first unit on the network of `unit` with `serialNumber` that can take update files.
bool SearchForMatchingSerialNumber(Session& s, Unit& unit, int32_t serialNumber);

}  // namespace kl
