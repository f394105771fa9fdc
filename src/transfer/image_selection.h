// Which carried images serve a unit: the RAM flash programmer (and the language-strings
// programmer of ZS5100 transmitters), the boot loader and the application.
// Every unsupported combination ends the run with a message naming the reason.
#pragma once

#include <optional>
#include <string>

namespace kl {

struct TransferContext;
struct Unit;
struct UnitImages;

// Sets `images.programmer` (and `stringsProgrammer` for H8S2145 transmitters). `updateFiles`:
// the unit is updated through update files on its flash drive, not a downloaded programmer.
// A test board selects nothing, so it passes only with a programmer placed beforehand.
bool SelectFlashProgrammer(TransferContext& s, const Unit& unit, UnitImages& images, bool updateFiles);
// The same choice with its lines, for a caller that only shows it: why no programmer serves
// the unit instead of ending the run; nothing when one was selected.
std::optional<std::string> ChooseFlashProgrammer(TransferContext& s, const Unit& unit, UnitImages& images,
                                                 bool updateFiles);

// Sets the unit's flashPacketSize and hasManufacturingFields and `images.bootLoader`; false for an MCU type
// without boot loaders.
bool SelectBootLoader(TransferContext& s, Unit& unit, UnitImages& images);

// Sets `images.software`.
bool SelectSoftware(TransferContext& s, const Unit& unit, UnitImages& images);

}  // namespace kl
