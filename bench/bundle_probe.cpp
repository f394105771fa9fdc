// Starts, looks up one software image of the embedded bundle and prints its size: what any
// run of the program pays for carrying the bundle. With "touch" it also reads every byte.
#include <cstdio>
#include <cstring>

#include "images/bundle.h"
#include "images/catalogue.h"

int main(int argc, char** argv) {
  const kl::BundleView bundle = kl::EmbeddedBundle();
  const kl::ImageRef software = kl::ImageOf(kl::catalogue::kSoftwareImages[2]);
  unsigned sum = 0;
  if (argc > 1 && std::strcmp(argv[1], "touch") == 0)
    for (uint32_t i = 0; i < bundle.size; ++i) sum += bundle.bytes[i];
  std::printf("bundle %u bytes, software-03 %u bytes, sum %u\n", bundle.size, software.length, sum);
  return 0;
}
