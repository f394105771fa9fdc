// The -i flow: show the connected unit and every unit it relays to, without changing any.
#pragma once

#include <cstdint>

namespace kl {

struct Session;
struct Unit;

// Shows the connected unit and each unit on its network. A unit that cannot describe itself
// in one call (older software, or waiting in its boot loader) is taken into its boot loader
// to be read and then restarted.
void InterrogateUnits(Session& s, Unit& unit);

// One remote unit's block: the heading, then its information when it answers.
void ShowRemoteUnit(Session& s, uint8_t address);

}  // namespace kl
