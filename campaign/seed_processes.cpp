#include "seed_processes.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <sstream>
#include <string>

namespace kl::campaign {

namespace {

// A result crosses the pipe as one line of tab-separated fields; it stays far below the
// pipe's buffer, so the child never waits for the parent to read.
constexpr size_t kDetailLimit = 2000;

std::string Encode(const SeedResult& r) {
  std::string detail = r.detail.substr(0, kDetailLimit);
  for (char& c : detail) {
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  }
  std::ostringstream line;
  line << static_cast<int>(r.outcome) << '\t' << r.failedCleanly << '\t' << r.violation << '\t' << r.toolNeeded
       << '\t' << r.fieldsErased << '\t' << r.fieldsLost << '\t' << r.category << '\t' << detail << '\n';
  return line.str();
}

bool Decode(const std::string& text, SeedResult& r) {
  std::istringstream in(text);
  int outcome = 0;
  std::string field;
  if (!(in >> outcome)) return false;
  r.outcome = static_cast<Outcome>(outcome);
  in.get();
  std::getline(in, field, '\t');
  r.failedCleanly = field == "1";
  std::getline(in, field, '\t');
  r.violation = field == "1";
  std::getline(in, field, '\t');
  r.toolNeeded = field == "1";
  std::getline(in, field, '\t');
  r.fieldsErased = field == "1";
  std::getline(in, field, '\t');
  r.fieldsLost = field == "1";
  std::getline(in, r.category, '\t');
  std::getline(in, r.detail);
  return static_cast<bool>(in) || !r.category.empty();
}

[[noreturn]] void RunChild(const SeedBatch& batch, uint64_t seed, int out) {
  // The default action of SIGALRM ends the process: the parent reads that as a hang.
  alarm(batch.realLimitSeconds);
  const std::string line = Encode(batch.run(seed));
  const char* at = line.data();
  size_t left = line.size();
  while (left > 0) {
    const ssize_t n = write(out, at, left);
    if (n <= 0) _exit(3);
    at += n;
    left -= static_cast<size_t>(n);
  }
  _exit(0);
}

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
  return text;
}

SeedResult ResultOf(uint64_t seed, int status, const std::string& text) {
  SeedResult r;
  r.seed = seed;
  r.category = "?";
  r.violation = true;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && Decode(text, r)) {
    r.seed = seed;
    return r;
  }
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) {
    r.outcome = Outcome::Hang;
    r.detail = "the seed's process ran past its real-time limit";
  } else {
    r.outcome = Outcome::Crash;
    r.detail = WIFSIGNALED(status) ? std::string("killed by signal ") + strsignal(WTERMSIG(status))
                                   : "ended with exit code " + std::to_string(WEXITSTATUS(status));
  }
  return r;
}

}  // namespace

void RunSeedsInProcesses(const SeedBatch& batch, const std::function<void(const SeedResult&)>& done) {
  struct Child {
    uint64_t seed;
    int pipe;
  };
  std::map<pid_t, Child> running;
  uint64_t next = batch.first;
  const uint64_t end = batch.first + batch.count;
  while (next < end || !running.empty()) {
    while (next < end && running.size() < static_cast<size_t>(batch.jobs)) {
      int fds[2];
      if (pipe(fds) != 0) throw std::runtime_error("cannot create a pipe");
      const pid_t pid = fork();
      if (pid < 0) throw std::runtime_error("cannot start a process");
      if (pid == 0) {
        close(fds[0]);
        RunChild(batch, next, fds[1]);
      }
      close(fds[1]);
      running[pid] = Child{next++, fds[0]};
    }
    int status = 0;
    const pid_t pid = waitpid(-1, &status, 0);
    if (pid < 0) throw std::runtime_error("lost track of the seeds' processes");
    const auto it = running.find(pid);
    if (it == running.end()) continue;
    const std::string text = ReadAll(it->second.pipe);
    close(it->second.pipe);
    const uint64_t seed = it->second.seed;
    running.erase(it);
    done(ResultOf(seed, status, text));
  }
}

}  // namespace kl::campaign
