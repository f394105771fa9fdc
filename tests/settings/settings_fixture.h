// A simulated session whose file system can be told to fail, for the settings tests.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "update/session.h"
#include "platform/sim/sim_platform.h"
#include "support/temp_dir.h"

namespace kl::test {

// Passes every call to the real files, except the failures a test asks for.
class FaultyFiles : public FileSystem {
 public:
  FaultyFiles(FileSystem& real, Process& process) : real_(real), process_(process) {}

  int renameFailures = 0;          // the next this many renames fail
  int removeFailures = 0;          // the next this many removes fail
  bool removeNeedsWritable = false;  // removes fail until makeWritable was called
  long readFailsAfter = -1;        // reads of opened files fail once this many bytes were read
  long writeFailsAfter = -1;       // writes of created files fail once this many bytes were written

  std::map<std::string, PathKind> kinds;     // what these names are, whatever is on the disk
  std::set<std::string> uncreatable;         // creating these files fails: access denied
  std::set<std::string> unwritableFolders;   // folders where no file can be created

  std::vector<std::string> calls;  // "rename a -> b", "remove a", "makeWritable a"
  // Called before a rename takes place (a test looks at the files at that moment).
  std::function<void(const std::string&, const std::string&)> beforeRename;

  std::string programPath() override { return real_.programPath(); }
  char separator() const override { return real_.separator(); }
  bool createDirectory(const std::string& path) override { return real_.createDirectory(path); }
  bool isDirectory(const std::string& path) override { return real_.isDirectory(path); }
  bool exists(const std::string& path) override { return real_.exists(path); }
  bool isWritableDirectory(const std::string& path) override {
    return !unwritableFolders.count(path) && real_.isWritableDirectory(path);
  }
  PathKind kind(const std::string& path) override {
    const auto found = kinds.find(path);
    return found != kinds.end() ? found->second : real_.kind(path);
  }
  std::unique_ptr<File> openRead(const std::string& path) override;
  std::unique_ptr<File> create(const std::string& path) override;
  std::unique_ptr<File> createExclusive(const std::string& path) override { return real_.createExclusive(path); }
  bool list(const std::string& directory, const std::string& pattern, std::vector<DirEntry>& entries) override {
    return real_.list(directory, pattern, entries);
  }
  bool remove(const std::string& path) override;
  bool makeWritable(const std::string& path) override;
  bool rename(const std::string& from, const std::string& to) override;
  std::string stateDirectory() override { return real_.stateDirectory(); }

 private:
  FileSystem& real_;
  Process& process_;
  bool madeWritable_ = false;
};

class SettingsTest : public ::testing::Test {
 protected:
  TempDir dir;
  SimPlatform sim{dir.path()};
  FaultyFiles files{sim.files, sim.process};
  Platform platform{sim.clock, sim.console, files, sim.environment, sim.registry,
                    sim.processes, sim.process, sim.serial};
  Session s{platform};

  std::string path(const std::string& name) const { return dir.file(name); }
  // Runs `action` and returns the exit code it ended the process with, or -1 when it returned.
  int exitCodeOf(const std::function<void()>& action);
  // The console text written so far.
  std::string console();
};

}  // namespace kl::test
