#include "platform/posix/posix_platform.h"

#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <climits>

#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_console.h"
#include "platform/posix/posix_environment.h"
#include "platform/posix/posix_factories.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/posix_process.h"

namespace kl {

std::string PosixProgramPath(const std::string& argv0) {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n > 0) return std::string(buffer, static_cast<size_t>(n));
  if (!argv0.empty() && argv0[0] == '/') return argv0;
  char cwd[PATH_MAX];
  if (::getcwd(cwd, sizeof cwd) == nullptr) return argv0;
  return std::string(cwd) + "/" + argv0;
}

std::string PosixStateDirectory(Environment& environment) {
  std::string base = environment.get("XDG_STATE_HOME");
  if (base.empty()) {
    std::string home = environment.get("HOME");
    if (home.empty()) {
      if (const passwd* user = ::getpwuid(::getuid()); user && user->pw_dir) home = user->pw_dir;
    }
    base = (home.empty() ? std::string(".") : home) + "/.local/state";
  }
  return base + "/kestrelink";
}

PosixPlatform::PosixPlatform(const std::string& argv0) {
  // A closed output pipe must not kill the run in the middle of programming a unit.
  ::signal(SIGPIPE, SIG_IGN);
  environment_ = std::make_unique<PosixEnvironment>();
  process_ = std::make_unique<PosixProcess>(!environment_->get("KESTRELINK_DEBUGTRACE").empty());
  RunLock* lock = &process_->runLock();
  clock_ = std::make_unique<PosixClock>(lock);
  console_ = std::make_unique<PosixConsole>(lock);
  process_->attachConsole(console_.get());
  // Taken from the start, not only once the driver arms its clean-up: a signal that killed the
  // process outright would leave the terminal in raw mode, without echo.
  process_->installStopSignals();
  files_ = std::make_unique<PosixFileSystem>(*process_, PosixProgramPath(argv0),
                                             PosixStateDirectory(*environment_));
  registry_ = MakePosixRegistry(*process_, *environment_);
  processes_ = std::make_unique<PosixProcesses>(lock, console_.get());
  serial_ = MakePosixSerialPorts(*process_, *environment_);
  platform_ = std::make_unique<Platform>(Platform{*clock_, *console_, *files_, *environment_, *registry_,
                                                  *processes_, *process_, *serial_});
}

PosixPlatform::~PosixPlatform() {
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

Process& PosixPlatform::process() { return *process_; }

}  // namespace kl
