// A temporary folder removed with everything in it when the test ends.
#pragma once

#include <string>

namespace kl::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Whole-file helpers for assertions.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& contents);

}  // namespace kl::test
