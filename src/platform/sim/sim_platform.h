// The virtual-time backend: every wait advances the world's clock, the console is scripted,
// environment and registry are in memory, files live in a temporary folder, serial ports
// are whatever the test attaches to each COM number.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "platform/sim/world.h"
#ifdef _WIN32
#include "platform/win32/win32_files.h"
#else
#include "platform/posix/posix_files.h"
#endif

namespace kl {

// The simulated machine keeps its files in a real folder of the machine the tests run on.
#ifdef _WIN32
// The tests name their folders with "/", which Windows takes as well.
class HostFileSystem : public Win32FileSystem {
 public:
  HostFileSystem(Process& process, std::string programPath, std::string stateDirectory)
      : Win32FileSystem(process, std::move(programPath), std::move(stateDirectory), '/') {}
};
#else
using HostFileSystem = PosixFileSystem;
#endif

// Thrown by the simulated process's exit so that a test can catch the end of a run.
struct ProcessExit {
  int code;
};

class SimClock : public Clock {
 public:
  explicit SimClock(World& world) : world_(world) {}
  uint32_t tickMs() override;
  uint64_t microseconds() override;
  void sleep(uint32_t ms) override;
  LocalTime localTime() override;
  void setLocalTime(const LocalTime& time) { start_ = time; startUs_ = world_.nowUs(); }

 private:
  void guardSpin();
  World& world_;
  LocalTime start_{2026, 12, 7, 10, 0, 0};
  uint64_t startUs_ = 0;
  uint64_t lastReadUs_ = UINT64_MAX;
  int readsWithoutProgress_ = 0;
};

class SimConsole : public Console {
 public:
  explicit SimConsole(World& world) : world_(world) {}
  void write(std::string_view text) override;
  void writeError(std::string_view text) override {
    error_.append(text);
    transcript_.append(text);
  }
  void flush() override {}
  bool keyAvailable() override;
  int readKey() override;

  // Keys the operator presses, in order; `atUs` delays a key until that virtual time.
  void pressKeys(std::string_view keys, uint64_t atUs = 0);
  // Forgets keys not read yet (the next run on the machine starts with an empty keyboard).
  void dropKeys() { keys_.clear(); }
  // Called with every piece of console text (an operator reacting to a prompt).
  std::function<void(std::string_view)> onOutput;

  const std::string& output() const { return output_; }
  const std::string& errorOutput() const { return error_; }
  // Both streams as one terminal shows them.
  const std::string& transcript() const { return transcript_; }
  void clearOutput() { output_.clear(); error_.clear(); transcript_.clear(); }

 private:
  World& world_;
  std::string output_;
  std::string error_;
  std::string transcript_;
  std::deque<std::pair<uint64_t, int>> keys_;
};

class SimEnvironment : public Environment {
 public:
  std::string get(const std::string& name) override;
  std::map<std::string, std::string> variables;
};

class SimRegistry : public Registry {
 public:
  std::string get(const std::string& path) override;
  void put(const std::string& path, const std::string& text) override;
  std::map<std::string, std::string> values;
};

class SimProcesses : public Processes {
 public:
  int run(const std::string& program, const std::vector<std::string>& arguments) override;
  // What running a program does; -1 (not started) when unset.
  std::function<int(const std::string&, const std::vector<std::string>&)> handler;
};

class SimProcess : public Process {
 public:
  [[noreturn]] void exit(int code) override;
  // A routine armed again is a new run of the program on the same machine: it runs at that
  // run's exit.
  void setExitRoutine(std::function<void()> routine) override {
    routine_ = std::move(routine);
    exiting_ = false;
  }
  void installStopSignals() override { stopSignalsInstalled = true; }
  void debugTrace(std::string_view line) override { traces.emplace_back(line); }
  uint32_t threadId() override { return 1; }
  int lastError() override { return lastError_; }
  void setLastError(int code) override { lastError_ = code; }
  std::string errorText(int code) override;

  bool stopSignalsInstalled = false;
  std::vector<std::string> traces;
  int exitRoutineRuns = 0;

 private:
  std::function<void()> routine_;
  bool exiting_ = false;
  int lastError_ = 0;
};

class SimSerialPorts : public SerialPorts {
 public:
  using Factory = std::function<std::unique_ptr<SerialDevice>(const SerialSettings&)>;
  explicit SimSerialPorts(Process& process) : process_(process) {}
  std::unique_ptr<SerialDevice> open(int number, const SerialSettings& settings) override;
  // Makes COM `number` present; the factory opens it (and may fail by returning null after
  // setting the last error).
  void attach(int number, Factory factory) { ports_[number] = std::move(factory); }
  void detach(int number) { ports_.erase(number); }

  // Devices a test gives names, as a system whose ports are devices of its file tree has them.
  int bindDevice(const std::string& argument) override {
    const auto found = deviceNumbers.find(argument);
    return found == deviceNumbers.end() ? 0 : found->second;
  }
  std::string deviceOf(int number) override {
    for (const auto& [name, bound] : deviceNumbers)
      if (bound == number) return name;
    return {};
  }
  std::vector<std::string> portNaming() override { return naming; }
  std::vector<std::string> accessHelp(int) override { return access; }

  std::map<std::string, int> deviceNumbers;
  std::vector<std::string> naming;
  std::vector<std::string> access;

 private:
  Process& process_;
  std::map<int, Factory> ports_;
};

// The whole simulated machine. Files live under `root` (the program at root/bin/kestrelink).
class SimPlatform {
 public:
  explicit SimPlatform(const std::string& root, uint64_t seed = 1);

  World world;
  SimClock clock{world};
  SimConsole console{world};
  SimEnvironment environment;
  SimRegistry registry;
  SimProcesses processes;
  SimProcess process;
  HostFileSystem files;
  SimSerialPorts serial{process};
  Platform platform;
};

}  // namespace kl
