// The production station's flow: find the one unit the parameter file describes (on the port,
// behind a test jig, or on the connected unit's network), give it the carried release with its
// serial number and manufacturing fields, and leave the outcome where the station reads it.
#pragma once

namespace kl {

struct Session;
struct Unit;

// How the unit found by CheckUnitType is reached.
struct UnitTypeCheck {
  bool useUpdateFiles = false;  // on the network: updated with update files
  bool viaProxy = false;        // behind the test jig: its proxy is closed afterwards
};

// Finds the unit of the parameter file's BasicProductCode (and SerialNo); `unit` then holds
// it. A unit that cannot be found ends the run with the product's message.
UnitTypeCheck CheckUnitType(Session& s, Unit& unit);

// True when the unit was updated. On failure the parameter file holds the reason under
// "Message"; a success removes an earlier run's message.
bool ManufacturingUpdateUnit(Session& s, Unit& unit);

}  // namespace kl
