// The registry value store on POSIX: lines of full registry path "=" value in the file
// ${XDG_CONFIG_HOME:-~/.config}/kestrelink/registry. Every failure is silent: a read gives
// the empty string, a write leaves the store as it was.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/posix_factories.h"

namespace kl {
namespace {

// A string value longer than this (its terminating zero not counted) is not handed out.
constexpr size_t kValueMax = 256;
// A store larger than this is not ours to parse.
constexpr size_t kStoreMax = 1 << 20;

using Entries = std::vector<std::pair<std::string, std::string>>;

enum class ReadResult { Ok, Missing, Failed };

ReadResult readWhole(const std::string& path, std::string& contents) {
  contents.clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? ReadResult::Missing : ReadResult::Failed;
  char buffer[4096];
  bool ok = true;
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || contents.size() + static_cast<size_t>(n) > kStoreMax) {
      ok = false;
      break;
    }
    if (n == 0) break;
    contents.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return ok ? ReadResult::Ok : ReadResult::Failed;
}

bool writeWhole(int fd, const std::string& contents) {
  const char* p = contents.data();
  size_t left = contents.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

Entries parse(const std::string& contents) {
  Entries entries;
  size_t start = 0;
  while (start < contents.size()) {
    size_t end = contents.find('\n', start);
    if (end == std::string::npos) end = contents.size();
    std::string line = contents.substr(start, end - start);
    start = end + 1;
    const size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) continue;  // not an entry of ours
    entries.emplace_back(line.substr(0, eq), line.substr(eq + 1));
  }
  return entries;
}

// The store holds one line per value, so a path or text that would break a line cannot go in.
bool storable(const std::string& text) { return text.find_first_of(std::string("\n\r\0", 3)) == std::string::npos; }

class FileRegistry : public Registry {
 public:
  explicit FileRegistry(Environment& environment) : environment_(environment) {}

  std::string get(const std::string& path) override {
    std::string contents;
    if (readWhole(storePath(), contents) != ReadResult::Ok) return {};
    for (auto& [name, value] : parse(contents)) {
      if (name != path) continue;
      // A zero inside the text means the entry is not a string value.
      if (value.size() > kValueMax || value.find('\0') != std::string::npos) return {};
      return value;
    }
    return {};
  }

  void put(const std::string& path, const std::string& text) override {
    if (path.empty() || path.find('=') != std::string::npos || !storable(path) || !storable(text)) return;
    const std::string directory = storeDirectory();
    if (directory.empty()) return;

    std::string contents;
    const std::string file = directory + "/registry";
    // Never overwrite a store that is there but cannot be read.
    if (readWhole(file, contents) == ReadResult::Failed) return;
    Entries entries = parse(contents);
    bool stored = false;
    for (auto it = entries.begin(); it != entries.end();) {
      if (it->first != path) {
        ++it;
      } else if (text.empty() || stored) {
        it = entries.erase(it);
      } else {
        it->second = text;
        stored = true;
        ++it;
      }
    }
    if (!text.empty() && !stored) entries.emplace_back(path, text);

    std::string updated;
    for (auto& [name, value] : entries) updated += name + "=" + value + "\n";

    if (!makeDirectories(directory)) return;
    std::string work = file + ".XXXXXX";
    int fd = ::mkstemp(work.data());
    if (fd < 0) return;
    // The complete new store is written before it replaces the old one in a single rename.
    const bool written = writeWhole(fd, updated) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(work.c_str(), file.c_str()) != 0) ::unlink(work.c_str());
  }

 private:
  std::string storeDirectory() {
    std::string base = environment_.get("XDG_CONFIG_HOME");
    if (base.empty() || base[0] != '/') {  // a relative setting is invalid and ignored
      const std::string home = environment_.get("HOME");
      if (home.empty()) return {};
      base = home + "/.config";
    }
    return base + "/kestrelink";
  }

  std::string storePath() {
    const std::string directory = storeDirectory();
    return directory.empty() ? std::string() : directory + "/registry";
  }

  static bool makeDirectories(const std::string& directory) {
    for (size_t slash = directory.find('/', 1);; slash = directory.find('/', slash + 1)) {
      const std::string part = slash == std::string::npos ? directory : directory.substr(0, slash);
      if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
      if (slash == std::string::npos) break;
    }
    struct stat st {};
    return ::stat(directory.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  Environment& environment_;
};

}  // namespace

std::unique_ptr<Registry> MakePosixRegistry(Process&, Environment& environment) {
  return std::make_unique<FileRegistry>(environment);
}

}  // namespace kl
