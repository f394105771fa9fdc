// The real machine on Windows: every win32 backend bundled into one Platform.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"

namespace kl {

class Win32Process;
class Win32Clock;
class Win32Console;
class Win32Environment;
class Win32Processes;
class Win32FileSystem;

class Win32Platform {
 public:
  Win32Platform();
  ~Win32Platform();
  Win32Platform(const Win32Platform&) = delete;
  Win32Platform& operator=(const Win32Platform&) = delete;

  Platform& platform() { return *platform_; }
  Process& process();

 private:
  std::unique_ptr<Win32Process> process_;
  std::unique_ptr<Win32Environment> environment_;
  std::unique_ptr<Win32Clock> clock_;
  std::unique_ptr<Win32Console> console_;
  std::unique_ptr<Win32FileSystem> files_;
  std::unique_ptr<Registry> registry_;
  std::unique_ptr<Win32Processes> processes_;
  std::unique_ptr<SerialPorts> serial_;
  std::unique_ptr<Platform> platform_;
};

// The running program's full path (GetModuleFileName).
std::string Win32ProgramPath();
// %LOCALAPPDATA%\Kestrelink, else under %APPDATA% or %USERPROFILE%.
std::string Win32StateDirectory(Environment& environment);

}  // namespace kl
