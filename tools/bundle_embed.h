// Checks a bundle directory against the catalogue and writes the sources that embed it:
// bundle.S (the bytes, through .incbin) and bundle_index.cpp (where each entry lies and the
// software digests of the manifest).
#pragma once

#include <string>
#include <vector>

namespace kl::tools {

// Every problem found, each naming the file; empty when the bundle is sound.
std::vector<std::string> CheckBundle(const std::string& bundleDirectory, bool requireMakerSizes);

// Writes the two sources into `outputDirectory`; false with `problem` set on failure.
bool WriteEmbedSources(const std::string& bundleDirectory, const std::string& outputDirectory,
                       std::string& problem);

}  // namespace kl::tools
