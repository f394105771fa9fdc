// Build-time tool for the firmware bundle.
//   bundle_tool generate <dir>            write the synthetic bundle and its manifest
//   bundle_tool check <dir> [--exact]     check a bundle (--exact: sizes of the maker's release)
//   bundle_tool embed <dir> <out-dir>     check, then write bundle.S and bundle_index.cpp
// Any problem is printed, naming the file, and the tool exits with 1, which fails the build.
#include <cstdio>
#include <filesystem>
#include <string>

#include "bundle_embed.h"
#include "synthetic_bundle.h"

namespace {

int Usage() {
  std::fputs("usage: bundle_tool generate <dir> | check <dir> [--exact] | embed <dir> <out-dir> [--exact]\n", stderr);
  return 2;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "firmware bundle: %s\n", message.c_str());
  return 1;
}

int Check(const std::string& directory, bool exact) {
  const auto problems = kl::tools::CheckBundle(directory, exact);
  for (const std::string& p : problems) std::fprintf(stderr, "firmware bundle %s: %s\n", directory.c_str(), p.c_str());
  return problems.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string command = argv[1];
  const std::string directory = argv[2];
  const bool exact = std::string(argv[argc - 1]) == "--exact";
  std::string problem;
  if (command == "generate" && argc == 3) {
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    // The directory is the build's own: drop what an older catalogue left there.
    for (const auto& file : std::filesystem::directory_iterator(directory, ec))
      if (file.path().extension() == ".bin" || file.path().filename() == "manifest.txt")
        std::filesystem::remove(file.path(), ec);
    // The output is checked like a supplied bundle when it is embedded.
    return kl::tools::WriteSyntheticBundle(directory, problem) ? 0 : Fail(problem);
  }
  if (command == "check" && argc == 3 + (exact ? 1 : 0)) return Check(directory, exact);
  if (command == "embed" && argc == 4 + (exact ? 1 : 0)) {
    if (const int code = Check(directory, exact); code != 0) return code;
    std::error_code ec;
    std::filesystem::create_directories(argv[3], ec);
    if (!kl::tools::WriteEmbedSources(directory, argv[3], problem)) return Fail(problem);
    return 0;
  }
  return Usage();
}
