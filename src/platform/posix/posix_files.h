// Files and folders on POSIX. Paths use "/"; errors land in the process's last error.
#pragma once

#include <string>

#include "platform/platform.h"

namespace kl {

class PosixFileSystem : public FileSystem {
 public:
  // `programPath` is the program's full path; `stateDirectory` the fallback for its folders.
  PosixFileSystem(Process& process, std::string programPath, std::string stateDirectory)
      : process_(process), programPath_(std::move(programPath)), stateDirectory_(std::move(stateDirectory)) {}

  std::string programPath() override { return programPath_; }
  char separator() const override { return '/'; }
  PathKind kind(const std::string& path) override;
  bool createDirectory(const std::string& path) override;
  bool isDirectory(const std::string& path) override;
  bool exists(const std::string& path) override;
  bool isWritableDirectory(const std::string& path) override;
  std::unique_ptr<File> openRead(const std::string& path) override;
  std::unique_ptr<File> create(const std::string& path) override;
  std::unique_ptr<File> createExclusive(const std::string& path) override;
  std::unique_ptr<File> createPrivate(const std::string& path) override;
  bool list(const std::string& directory, const std::string& pattern,
            std::vector<DirEntry>& entries) override;
  bool remove(const std::string& path) override;
  bool makeWritable(const std::string& path) override;
  bool rename(const std::string& from, const std::string& to) override;
  std::string stateDirectory() override { return stateDirectory_; }

 private:
  std::unique_ptr<File> openWith(const std::string& path, int flags, unsigned mode = 0666);
  bool fail();

  Process& process_;
  std::string programPath_;
  std::string stateDirectory_;
};

// Maps an errno value to the code the program's messages are written for.
int osErrorFromErrno(int error);

}  // namespace kl
