// The built program as a user starts it, for the end-to-end tests: the Linux kestrelink, or
// the kestrelink.exe of a Windows build under Wine when the variable KESTRELINK_PROGRAM names
// one. The same test runs against either: the program is copied into the test's folder (its
// LogFiles land beside it), runs with a private environment, and finds its COM ports where the
// variable KESTRELINK_PORTMAP of a run says. Under Wine each test has a Wine prefix of its own
// (a copy of the build's template) whose device folder links COMn to those paths, and the
// registry value lives in that prefix's registry.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/child_program.h"
#include "support/temp_dir.h"

namespace kl::test {

class ProgramUnderTest {
 public:
  // Installs the program into `dir`/bin.
  explicit ProgramUnderTest(const TempDir& dir);
  ~ProgramUnderTest();
  ProgramUnderTest(const ProgramUnderTest&) = delete;
  ProgramUnderTest& operator=(const ProgramUnderTest&) = delete;

  bool underWine() const { return wine_; }
  // The installed program.
  const std::string& program() const { return program_; }

  // Starts the program with `arguments`; `environment` goes on top of the private one (an
  // empty value unsets a variable). `terminal` and `terminalOutput` as ChildProgram takes them.
  std::unique_ptr<ChildProgram> start(const std::vector<std::string>& arguments,
                                      const std::map<std::string, std::string>& environment,
                                      const std::string& terminal = {}, bool terminalOutput = false);

  // A path of the test's folders as the program names it ("Z:\tmp\...\bin\LogFiles\" under
  // Wine); a trailing "/" stays a trailing separator.
  std::string shown(const std::string& path) const;
  // Where the program keeps its folders when the one beside it cannot take them.
  std::string stateFolder();
  // The value of an environment variable as the program reads it (Wine sets some itself).
  std::string environmentValue(const std::string& name);

  // The registry value under the current user's tree at "key\valueName"; empty when missing.
  std::string registryValue(const std::string& path);
  void setRegistryValue(const std::string& path, const std::string& value);

 private:
  // Makes the test's Wine prefix and starts its server, at the first run that needs them.
  void preparePrefix();
  std::map<std::string, std::string> environment() const;
  // Runs shell commands with the prefix's Wine variables, without input or output.
  void runQuietly(const std::string& commands);
  // Runs a Wine tool in the test's prefix; its standard output.
  std::string runWineTool(const std::vector<std::string>& arguments);
  void linkPorts(const std::string& portMap);

  const TempDir& dir_;
  bool wine_ = false;
  std::string program_;
  std::string prefix_;  // the test's Wine prefix
  bool prefixReady_ = false;
  std::string wineLoader_;
};

// The variable of the driver's private environment that maps COM numbers to devices.
std::string PortMapFor(const std::map<int, std::string>& ports);

}  // namespace kl::test
