#include "driver/program_folders.h"

#include "driver/session.h"

namespace kl {

namespace {

std::string DirectoryOf(const std::string& path, char separator) {
  const size_t last = path.find_last_of(separator);
  if (last == std::string::npos) return ".";
  if (last == 0) return path.substr(0, 1);
  return path.substr(0, last);
}

// Creates `path` and every missing folder above it.
void CreateDirectories(FileSystem& files, const std::string& path) {
  const char separator = files.separator();
  for (size_t at = path.find(separator, 1); at != std::string::npos; at = path.find(separator, at + 1)) {
    const std::string part = path.substr(0, at);
    if (!files.isDirectory(part)) files.createDirectory(part);
  }
  if (!files.isDirectory(path)) files.createDirectory(path);
}

}  // namespace

std::string ProgramFolder(Session& s, std::string_view name) {
  FileSystem& files = s.platform.files;
  const char separator = files.separator();
  std::string directory = DirectoryOf(files.programPath(), separator) + separator + std::string(name);
  if (!files.isDirectory(directory)) files.createDirectory(directory);
  if (files.isWritableDirectory(directory)) return directory;
  directory = files.stateDirectory() + separator + std::string(name);
  CreateDirectories(files, directory);
  return directory;
}

}  // namespace kl
