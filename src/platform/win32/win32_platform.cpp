#include "platform/win32/win32_platform.h"

#include <windows.h>

#include "platform/win32/win32_clock.h"
#include "platform/win32/win32_console.h"
#include "platform/win32/win32_environment.h"
#include "platform/win32/win32_factories.h"
#include "platform/win32/win32_files.h"
#include "platform/win32/win32_process.h"

namespace kl {

std::string Win32ProgramPath() {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return "kestrelink.exe";
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);  // truncated: try a larger buffer
  }
}

std::string Win32StateDirectory(Environment& environment) {
  for (const char* base : {"LOCALAPPDATA", "APPDATA", "USERPROFILE"}) {
    const std::string value = environment.get(base);
    if (!value.empty()) return value + "\\Kestrelink";
  }
  return ".\\Kestrelink";
}

Win32Platform::Win32Platform() {
  environment_ = std::make_unique<Win32Environment>();
  process_ = std::make_unique<Win32Process>();
  RunLock* lock = &process_->runLock();
  clock_ = std::make_unique<Win32Clock>(lock);
  console_ = std::make_unique<Win32Console>(lock);
  process_->attachConsole(console_.get());
  // Taken from the start, not only once the driver arms its clean-up: Ctrl+C at any time must
  // leave the console in the mode it was found in.
  process_->installStopSignals();
  files_ = std::make_unique<Win32FileSystem>(*process_, Win32ProgramPath(), Win32StateDirectory(*environment_));
  registry_ = MakeWin32Registry();
  processes_ = std::make_unique<Win32Processes>(lock, console_.get());
  serial_ = MakeWin32SerialPorts(*process_);
  platform_ = std::make_unique<Platform>(Platform{*clock_, *console_, *files_, *environment_, *registry_,
                                                  *processes_, *process_, *serial_});
}

Win32Platform::~Win32Platform() {
  process_->attachConsole(nullptr);
  platform_.reset();
  serial_.reset();
  processes_.reset();
  registry_.reset();
  files_.reset();
  console_.reset();
  clock_.reset();
  process_.reset();
}

Process& Win32Platform::process() { return *process_; }

}  // namespace kl
