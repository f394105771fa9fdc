// Files and folders on Windows. Paths use "\" (the simulation keeps "/", which Windows takes
// as well); errors land in the process's last error as the system's own codes.
#pragma once

#include <string>

#include "platform/platform.h"

namespace kl {

class Win32FileSystem : public FileSystem {
 public:
  // `programPath` is the program's full path; `stateDirectory` the fallback for its folders.
  Win32FileSystem(Process& process, std::string programPath, std::string stateDirectory, char separator = '\\')
      : process_(process),
        programPath_(std::move(programPath)),
        stateDirectory_(std::move(stateDirectory)),
        separator_(separator) {}

  std::string programPath() override { return programPath_; }
  char separator() const override { return separator_; }
  bool createDirectory(const std::string& path) override;
  bool isDirectory(const std::string& path) override;
  bool exists(const std::string& path) override;
  bool isWritableDirectory(const std::string& path) override;
  std::unique_ptr<File> openRead(const std::string& path) override;
  std::unique_ptr<File> create(const std::string& path) override;
  std::unique_ptr<File> createExclusive(const std::string& path) override;
  bool list(const std::string& directory, const std::string& pattern,
            std::vector<DirEntry>& entries) override;
  bool remove(const std::string& path) override;
  bool makeWritable(const std::string& path) override;
  bool rename(const std::string& from, const std::string& to) override;
  std::string stateDirectory() override { return stateDirectory_; }

 private:
  std::unique_ptr<File> openWith(const std::string& path, unsigned long access, unsigned long disposition);
  bool fail();

  Process& process_;
  std::string programPath_;
  std::string stateDirectory_;
  char separator_;
};

}  // namespace kl
