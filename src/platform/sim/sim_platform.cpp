#include "platform/sim/sim_platform.h"

namespace kl {

// ---- clock ----

void SimClock::guardSpin() {
  // A loop that reads the clock without ever waiting would stand still in virtual time;
  // nudge the clock so that such a fault shows up as a slow test instead of a hang.
  if (world_.nowUs() == lastReadUs_) {
    if (++readsWithoutProgress_ > 1000) {
      world_.advanceTo(world_.nowUs() + 1000);
      readsWithoutProgress_ = 0;
    }
  } else {
    readsWithoutProgress_ = 0;
  }
  lastReadUs_ = world_.nowUs();
}

uint32_t SimClock::tickMs() {
  guardSpin();
  return static_cast<uint32_t>(world_.nowUs() / 1000);
}

uint64_t SimClock::microseconds() {
  guardSpin();
  return world_.nowUs();
}

void SimClock::sleep(uint32_t ms) { world_.advanceTo(world_.nowUs() + uint64_t{ms} * 1000); }

LocalTime SimClock::localTime() {
  LocalTime t = start_;
  uint64_t seconds = (world_.nowUs() - startUs_) / 1000000;
  uint64_t total = static_cast<uint64_t>(t.hour) * 3600 + static_cast<uint64_t>(t.minute) * 60 +
                   static_cast<uint64_t>(t.second) + seconds;
  total %= uint64_t{24} * 3600;  // the simulated calendar never turns a day
  t.hour = static_cast<int>(total / 3600);
  t.minute = static_cast<int>(total / 60 % 60);
  t.second = static_cast<int>(total % 60);
  return t;
}

// ---- console ----

void SimConsole::write(std::string_view text) {
  output_.append(text);
  transcript_.append(text);
  if (onOutput) onOutput(text);
}

bool SimConsole::keyAvailable() {
  return !keys_.empty() && keys_.front().first <= world_.nowUs();
}

int SimConsole::readKey() {
  if (keys_.empty()) return -1;
  auto [at, key] = keys_.front();
  if (at > world_.nowUs()) world_.advanceTo(at);
  keys_.pop_front();
  return key;
}

void SimConsole::pressKeys(std::string_view keys, uint64_t atUs) {
  for (char c : keys) keys_.emplace_back(atUs, static_cast<unsigned char>(c));
}

// ---- environment, registry, processes ----

std::string SimEnvironment::get(const std::string& name) {
  auto it = variables.find(name);
  return it == variables.end() ? std::string() : it->second;
}

std::string SimRegistry::get(const std::string& path) {
  auto it = values.find(path);
  return it == values.end() ? std::string() : it->second;
}

void SimRegistry::put(const std::string& path, const std::string& text) {
  if (text.empty()) {
    values.erase(path);
  } else {
    values[path] = text;
  }
}

int SimProcesses::run(const std::string& program, const std::vector<std::string>& arguments) {
  return handler ? handler(program, arguments) : -1;
}

// ---- process ----

void SimProcess::exit(int code) {
  if (!exiting_ && routine_) {
    exiting_ = true;
    ++exitRoutineRuns;
    routine_();
  }
  throw ProcessExit{code};
}

std::string SimProcess::errorText(int code) {
  switch (code) {
    case oserr::FileNotFound:
      return "The system cannot find the file specified.";
    case oserr::AccessDenied:
      return "Access is denied.";
    case oserr::SharingViolation:
      return "The process cannot access the file because it is being used by another process.";
    case oserr::InvalidParameter:
      return "The parameter is incorrect.";
    case oserr::PermissionDenied:
      return "A required privilege is not held by the client.";
    case oserr::DiskFull:
      return "There is not enough space on the disk.";
    default:
      return "Error " + std::to_string(code) + ".";
  }
}

// ---- serial ----

std::unique_ptr<SerialDevice> SimSerialPorts::open(int number, const SerialSettings& settings) {
  auto it = ports_.find(number);
  if (it == ports_.end()) {
    process_.setLastError(oserr::FileNotFound);
    return nullptr;
  }
  return it->second(settings);
}

// ---- the machine ----

SimPlatform::SimPlatform(const std::string& root, uint64_t seed)
    : world(seed),
      files(process, root + "/bin/kestrelink", root + "/state"),
      platform{clock, console, files, environment, registry, processes, process, serial} {}

}  // namespace kl
