#include "sim/realtime/event_loop.h"

#include <errno.h>
#include <time.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "sim/realtime/dumps.h"

namespace kl::sim {

namespace {

// How long to wait before looking again at a pseudo-terminal that nobody has open.
constexpr int kHangupRetryMs = 20;

sigset_t loopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGUSR1);
  return set;
}

// One operator command; false for "quit".
bool command(const std::string& text, PtyLine& line, Installation& installation,
             const std::function<void(const std::string&)>& log) {
  std::istringstream words(text);
  std::string verb, name;
  words >> verb >> name;
  if (verb.empty()) return true;
  if (verb == "quit") return false;
  if (verb == "line") {
    std::istringstream rates(text.substr(text.find("line") + 4));
    ScenarioLineFaults faults;
    std::string rest;
    if (!(rates >> faults.bitFlipPerMillion >> faults.dropPerMillion) || (rates >> rest) ||
        faults.bitFlipPerMillion > 1000000 || faults.dropPerMillion > 1000000) {
      log("usage: line FLIPS DROPS (per million bytes; line 0 0 is a clean line)");
      return true;
    }
    line.setFaults(faults);
    log("line: " + std::to_string(faults.bitFlipPerMillion) + " bit flips and " +
        std::to_string(faults.dropPerMillion) + " dropped bytes per million");
    return true;
  }
  if (verb == "fault") {
    Unit* unit = installation.find(name);
    if (!unit) {
      log("no unit named '" + name + "'");
      return true;
    }
    std::string setting;
    std::getline(words, setting);
    UnitFaults faults = unit->settings().faults;
    try {
      applyFaultSetting(faults, setting);
    } catch (const ScenarioError& error) {
      log(error.what());
      return true;
    }
    unit->setFaults(faults);
    log(name + ":" + setting);
    return true;
  }
  if (verb == "dump-flash" || verb == "dump-file") {
    std::string first, second;
    words >> first >> second;
    if (verb == "dump-flash" && !first.empty() && second.empty()) {
      log(dumpFlash(installation, name, first));
    } else if (verb == "dump-file" && !second.empty()) {
      log(dumpDriveFile(installation, name, first, second));
    } else {
      log("usage: dump-flash UNIT FILE, dump-file UNIT DRIVE:NUMBER FILE");
    }
    return true;
  }
  Unit* unit = name.empty() ? &installation.portUnit() : installation.find(name);
  if (!unit) {
    log("no unit named '" + name + "'");
    return true;
  }
  if (verb == "off") {
    unit->powerOff();
  } else if (verb == "on") {
    unit->powerOn();
  } else if (verb == "cycle") {
    unit->powerCycle();
  } else {
    log("unknown command '" + verb + "' (off, on, cycle, fault, line, dump-flash, dump-file, quit)");
  }
  return true;
}

}  // namespace

void blockLoopSignals() {
  sigset_t set = loopSignals();
  sigprocmask(SIG_BLOCK, &set, nullptr);
}

int runEventLoop(RealTimeScheduler& scheduler, PtyLine& line, Installation& installation, bool commands,
                 const std::function<void(const std::string&)>& log) {
  sigset_t set = loopSignals();
  const int signals = signalfd(-1, &set, SFD_CLOEXEC);
  if (signals < 0) {
    log("cannot watch for signals");
    return 1;
  }
  bool hungUp = false;
  bool readCommands = commands;
  std::string pendingCommand;
  for (;;) {
    scheduler.runDue();
    pollfd fds[3];
    nfds_t count = 0;
    fds[count++] = {signals, POLLIN, 0};
    const nfds_t lineIndex = hungUp ? 99 : count;
    if (!hungUp) fds[count++] = {line.fd(), POLLIN, 0};
    const nfds_t inputIndex = readCommands ? count : 99;
    if (readCommands) fds[count++] = {STDIN_FILENO, POLLIN, 0};

    uint64_t timeoutUs = 1000000;
    if (auto until = scheduler.untilNextUs()) timeoutUs = std::min<uint64_t>(timeoutUs, *until);
    if (hungUp) timeoutUs = std::min<uint64_t>(timeoutUs, uint64_t{kHangupRetryMs} * 1000);
    hungUp = false;

    // Microsecond waits: a relayed exchange is a chain of sub-millisecond steps.
    const timespec timeout{static_cast<time_t>(timeoutUs / 1000000), static_cast<long>(timeoutUs % 1000000) * 1000};
    const int ready = ppoll(fds, count, &timeout, nullptr);
    if (ready < 0) {
      if (errno == EINTR) continue;
      log("poll failed");
      close(signals);
      return 1;
    }
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info{};
      if (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo == SIGUSR1) {
          log("operator: power cycle");
          installation.portUnit().powerCycle();
        } else {
          log("stopped by signal " + std::to_string(info.ssi_signo));
          close(signals);
          return 0;
        }
      }
    }
    if (lineIndex < count) {
      const short events = fds[lineIndex].revents;
      if (events & POLLIN) {
        if (!line.readAvailable()) hungUp = true;
      } else if (events & (POLLHUP | POLLERR)) {
        hungUp = true;  // nobody has the terminal open right now
      }
    }
    if (inputIndex < count && (fds[inputIndex].revents & (POLLIN | POLLHUP))) {
      char buffer[256];
      const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
      if (got <= 0) {
        readCommands = false;  // end of the operator's input
      } else {
        pendingCommand.append(buffer, static_cast<size_t>(got));
        size_t end;
        while ((end = pendingCommand.find('\n')) != std::string::npos) {
          const std::string text = pendingCommand.substr(0, end);
          pendingCommand.erase(0, end + 1);
          if (!command(text, line, installation, log)) {
            close(signals);
            return 0;
          }
        }
      }
    }
  }
}

}  // namespace kl::sim
