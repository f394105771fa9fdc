#include "support/child_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

extern char** environ;

namespace kl::test {

namespace {

using SteadyClock = std::chrono::steady_clock;

int remainingMs(SteadyClock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

TestPipe::TestPipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  read_ = fds[0];
  write_ = fds[1];
}

TestPipe::~TestPipe() {
  if (read_ >= 0) ::close(read_);
  closeWriteEnd();
}

void TestPipe::write(const std::string& text) { (void)!::write(write_, text.data(), text.size()); }

void TestPipe::closeWriteEnd() {
  if (write_ >= 0) ::close(write_);
  write_ = -1;
}

std::string TestPipe::readAll() {
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(read_, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
  return text;
}

int interruptSignal() { return SIGINT; }
int terminateSignal() { return SIGTERM; }
int quitSignal() { return SIGQUIT; }
int userSignal() { return SIGUSR1; }

ChildProgram::ChildProgram(const std::string& program, const std::vector<std::string>& arguments,
                           const std::map<std::string, std::string>& environment,
                           const std::string& workingDirectory, const std::string& terminal) {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");

  // Everything the child needs is prepared before the fork.
  std::map<std::string, std::string> variables;
  for (char** entry = environ; *entry; ++entry) {
    const std::string item = *entry;
    const size_t equals = item.find('=');
    if (equals != std::string::npos) variables[item.substr(0, equals)] = item.substr(equals + 1);
  }
  for (const auto& [name, value] : environment) {
    if (value.empty()) variables.erase(name); else variables[name] = value;
  }
  std::vector<std::string> envText;
  for (const auto& [name, value] : variables) envText.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& item : envText) envp.push_back(item.data());
  envp.push_back(nullptr);
  std::vector<std::string> words{program};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    if (terminal.empty()) {
      ::dup2(in[0], 0);
    } else {
      ::setsid();
      const int tty = ::open(terminal.c_str(), O_RDWR);
      if (tty < 0 || ::ioctl(tty, TIOCSCTTY, 0) != 0) ::_exit(125);
      ::dup2(tty, 0);
    }
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (::chdir(workingDirectory.c_str()) != 0) ::_exit(126);
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  input_ = in[1];
  outputPipe_ = out[0];
  errorPipe_ = err[0];
}

ChildProgram::~ChildProgram() {
  if (!status_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  for (int fd : {input_, outputPipe_, errorPipe_})
    if (fd >= 0) ::close(fd);
}

void ChildProgram::writeInput(const std::string& text) {
  if (input_ >= 0) (void)!::write(input_, text.data(), text.size());
}

void ChildProgram::closeInput() {
  if (input_ >= 0) ::close(input_);
  input_ = -1;
}

bool ChildProgram::pump(int timeoutMs) {
  pollfd fds[2] = {{outputPipe_, POLLIN, 0}, {errorPipe_, POLLIN, 0}};
  if (outputPipe_ < 0 && errorPipe_ < 0) return false;
  if (::poll(fds, 2, timeoutMs) <= 0) return true;
  int* pipes[2] = {&outputPipe_, &errorPipe_};
  std::string* texts[2] = {&output_, &error_};
  for (int i = 0; i < 2; ++i) {
    if (fds[i].revents == 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(*pipes[i], buffer, sizeof buffer);
    if (n > 0) {
      texts[i]->append(buffer, static_cast<size_t>(n));
    } else {
      ::close(*pipes[i]);
      *pipes[i] = -1;
    }
  }
  return outputPipe_ >= 0 || errorPipe_ >= 0;
}

bool ChildProgram::waitForOutput(const std::string& text, int timeoutMs) {
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  while (output_.find(text) == std::string::npos) {
    if (SteadyClock::now() >= deadline) return false;
    if (!pump(remainingMs(deadline))) return output_.find(text) != std::string::npos;
  }
  return true;
}

void ChildProgram::interrupt() { sendSignal(SIGINT); }

void ChildProgram::sendSignal(int signalNumber) { ::kill(pid_, signalNumber); }

std::optional<int> ChildProgram::wait(int timeoutMs) {
  if (status_) return status_;
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  while (pump(remainingMs(deadline)) && SteadyClock::now() < deadline) {
  }
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return status_;
    }
    if (SteadyClock::now() >= deadline) break;
    ::usleep(10000);
  }
  return std::nullopt;
}

}  // namespace kl::test
