// Images that did not come with the program (the external boot-loader tool's flash programmer)
// are checked before anything of them is sent.
#pragma once

#include <string_view>

#include "images/image_ref.h"

namespace kl {

struct TransferContext;

// Ends the run naming `what` and the fault when the image is not sound.
void RequireSoundImage(TransferContext& s, const ImageRef& image, std::string_view what);

}  // namespace kl
