#include "platform/posix/posix_environment.h"

#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/posix/posix_console.h"

extern char** environ;

namespace kl {

namespace {

class ConsoleHandOver {
 public:
  explicit ConsoleHandOver(PosixConsole* console) : console_(console) {
    if (console_) console_->leaveRawMode();
  }
  ~ConsoleHandOver() {
    if (console_) console_->enterRawMode();
  }
  ConsoleHandOver(const ConsoleHandOver&) = delete;
  ConsoleHandOver& operator=(const ConsoleHandOver&) = delete;

 private:
  PosixConsole* console_;
};

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

std::string LoginName() {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return {};
  return found->pw_name;
}

}  // namespace

std::string PosixEnvironment::get(const std::string& name) {
  std::string value = Variable(name.c_str());
  if (!value.empty()) return value;
  // The machine and user names a Windows console always has: here the usual variables stand
  // in, and where they are not exported the system's own names.
  if (name == "COMPUTERNAME") {
    value = Variable("HOSTNAME");
    return value.empty() ? HostName() : value;
  }
  if (name == "USERNAME") {
    value = Variable("USER");
    if (value.empty()) value = Variable("LOGNAME");
    return value.empty() ? LoginName() : value;
  }
  // The folder for temporary files, which Windows always names in TEMP.
  if (name == "TEMP") {
    value = Variable("TMPDIR");
    return value.empty() ? std::string("/tmp") : value;
  }
  return value;
}

int PosixProcesses::run(const std::string& program, const std::vector<std::string>& arguments) {
  std::vector<std::string> words;
  words.push_back(program);
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGABRT, SIGQUIT, SIGPIPE}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  // The program gets the terminal as a shell would give it, and the raw keys back afterwards.
  ConsoleHandOver normalMode(console_);
  pid_t child = 0;
  const int started = posix_spawn(&child, program.c_str(), nullptr, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  if (started != 0) return -1;

  int status = 0;
  {
    BlockingSection wait(runLock_);
    while (waitpid(child, &status, 0) < 0) {
      if (errno != EINTR) return -1;
    }
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace kl
