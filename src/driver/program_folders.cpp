#include "driver/program_folders.h"

#include "driver/run_context.h"

namespace kl {

namespace {

std::string DirectoryOf(const std::string& path, char separator) {
  const size_t last = path.find_last_of(separator);
  if (last == std::string::npos) return ".";
  if (last == 0) return path.substr(0, 1);
  return path.substr(0, last);
}

}  // namespace

std::string MakeFolders(RunContext& s, const std::string& path) {
  FileSystem& files = s.platform.files;
  const char separator = files.separator();
  std::string failed;
  for (size_t at = path.find(separator, 1);; at = path.find(separator, at + 1)) {
    const std::string part = at == std::string::npos ? path : path.substr(0, at);
    if (!files.isDirectory(part) && !files.createDirectory(part) && !files.isDirectory(part)) {
      failed = part;
      break;
    }
    if (at == std::string::npos) break;
  }
  return failed;
}

std::string ProgramFolder(RunContext& s, std::string_view name) {
  FileSystem& files = s.platform.files;
  const char separator = files.separator();
  std::string directory = DirectoryOf(files.programPath(), separator) + separator + std::string(name);
  if (!files.isDirectory(directory)) files.createDirectory(directory);
  if (files.isWritableDirectory(directory)) return directory;
  directory = files.stateDirectory() + separator + std::string(name);
  MakeFolders(s, directory);
  return directory;
}

}  // namespace kl
