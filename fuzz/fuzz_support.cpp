#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>

namespace kl::fuzz {

namespace {

class Scratch {
 public:
  Scratch() {
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      const auto candidate = base / ("kestrelink-fuzz-" + std::to_string(random()));
      if (std::filesystem::create_directory(candidate)) path_ = candidate.string();
    }
    if (path_.empty()) {
      std::fprintf(stderr, "cannot create a scratch folder under %s\n", base.string().c_str());
      std::abort();
    }
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace

const std::string& ScratchFolder() {
  static const Scratch scratch;
  return scratch.path();
}

void Require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "property failed: %s\n", what);
  std::abort();
}

}  // namespace kl::fuzz
