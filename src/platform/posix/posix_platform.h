// The real machine: every posix backend bundled into one Platform.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"

namespace kl {

class PosixProcess;
class PosixClock;
class PosixConsole;
class PosixEnvironment;
class PosixProcesses;
class PosixFileSystem;

class PosixPlatform {
 public:
  // `argv0` is the program name as started; it locates the program when /proc cannot.
  explicit PosixPlatform(const std::string& argv0);
  ~PosixPlatform();
  PosixPlatform(const PosixPlatform&) = delete;
  PosixPlatform& operator=(const PosixPlatform&) = delete;

  Platform& platform() { return *platform_; }
  Process& process();

 private:
  std::unique_ptr<PosixProcess> process_;
  std::unique_ptr<PosixEnvironment> environment_;
  std::unique_ptr<PosixClock> clock_;
  std::unique_ptr<PosixConsole> console_;
  std::unique_ptr<PosixFileSystem> files_;
  std::unique_ptr<Registry> registry_;
  std::unique_ptr<PosixProcesses> processes_;
  std::unique_ptr<SerialPorts> serial_;
  std::unique_ptr<Platform> platform_;
};

// The program's full path: /proc/self/exe, else `argv0` made absolute with the current
// directory.
std::string PosixProgramPath(const std::string& argv0);
// ${XDG_STATE_HOME:-~/.local/state}/kestrelink
std::string PosixStateDirectory(Environment& environment);

}  // namespace kl
