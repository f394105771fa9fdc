// The carried images chosen for one unit. Each unit being updated has its own, kept beside its
// Unit record by the update that chose them: a unit behind a proxy never sees the images of
// the unit it is reached through.
#pragma once

#include "images/image_ref.h"

namespace kl {

struct UnitImages {
  ImageRef programmer;         // the RAM flash programmer, or the boot tool's for a test board
  ImageRef stringsProgrammer;  // language strings of H8S2145 transmitters
  ImageRef bootLoader;
  ImageRef software;
};

}  // namespace kl
