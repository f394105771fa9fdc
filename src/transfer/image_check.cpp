#include "transfer/image_check.h"

#include <string>

#include "driver/fatal_error.h"
#include "images/image_format.h"
#include "transfer/transfer_context.h"

namespace kl {

void RequireSoundImage(TransferContext& s, const ImageRef& image, std::string_view what) {
  if (image.empty()) FatalError(s, std::string(what) + " is missing");
  if (const auto problem = ImageFormatProblem(image.bytes()))
    FatalError(s, std::string(what) + " is not a valid image: " + *problem);
}

}  // namespace kl
