#include "e2e_fixture.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

namespace kl::test {

namespace {

constexpr int kStartMs = 10000;
constexpr int kRunMs = 120000;
constexpr const char* kCommPortValue = "SOFTWARE\\Tessaly\\Balvanta\\CommPort";

std::string binaryBeside(const std::string& name) {
  return (std::filesystem::path(KESTRELINK_BINARY).parent_path() / name).string();
}

}  // namespace

Terminal::Terminal() {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0) slave_ = ::ptsname(master_);
}

Terminal::~Terminal() {
  if (master_ >= 0) ::close(master_);
}

unsigned long Terminal::localModes() const {
  termios modes{};
  ::tcgetattr(master_, &modes);
  return modes.c_lflag;
}

void Terminal::type(const std::string& keys) { (void)!::write(master_, keys.data(), keys.size()); }

Simulator::Simulator(const std::string& scenarioPath, const std::string& logFile) {
  process_ = std::make_unique<ChildProgram>(binaryBeside("kestrelink-sim"),
                                            std::vector<std::string>{"--log", logFile, scenarioPath},
                                            std::map<std::string, std::string>{},
                                            std::filesystem::path(logFile).parent_path().string());
  if (!process_->waitForOutput("\n", kStartMs)) return;
  const std::string& out = process_->output();
  port_ = out.substr(0, out.find('\n'));
}

Simulator::~Simulator() { stop(); }

void Simulator::powerCycle() { process_->sendSignal(userSignal()); }

std::optional<int> Simulator::stop() {
  if (!stopped_) {
    stopped_ = true;
    process_->sendSignal(terminateSignal());
  }
  return process_->wait(kStartMs);
}

Simulator& EndToEnd::startSimulator(const std::string& scenarioName) {
  const std::string path = std::string(KESTRELINK_SOURCE_DIR) + "/sim/scenarios/" + scenarioName;
  simulator = std::make_unique<Simulator>(path, dir.file("sim.log"));
  EXPECT_FALSE(simulator->port().empty()) << "kestrelink-sim did not start on " << path;
  return *simulator;
}

Simulator& EndToEnd::startSimulatorWith(const std::string& scenarioText) {
  writeFile(dir.file("units.scn"), scenarioText);
  simulator = std::make_unique<Simulator>(dir.file("units.scn"), dir.file("sim.log"));
  EXPECT_FALSE(simulator->port().empty()) << "kestrelink-sim did not start on:\n" << scenarioText;
  return *simulator;
}

std::unique_ptr<ChildProgram> EndToEnd::start(const std::vector<std::string>& arguments,
                                              const std::map<std::string, std::string>& environment,
                                              const std::string& terminal) {
  return target.start(arguments, environment, terminal);
}

RunResult EndToEnd::run(const std::vector<std::string>& arguments,
                        const std::map<std::string, std::string>& environment, const std::string& keys) {
  const std::unique_ptr<ChildProgram> started = start(arguments, environment);
  ChildProgram& child = *started;
  child.writeInput(keys);
  child.closeInput();

  RunResult result;
  result.exitCode = child.wait(kRunMs);
  result.console = child.output();

  const std::string logs = dir.file("bin/LogFiles");
  std::vector<std::filesystem::path> found;
  if (std::filesystem::is_directory(logs)) {
    for (const auto& entry : std::filesystem::directory_iterator(logs))
      if (entry.path().extension() == ".log") found.push_back(entry.path());
  }
  EXPECT_EQ(found.size(), 1u) << "one session log per run";
  if (!found.empty()) result.log = readFile(found.front().string());
  for (const auto& file : found) std::filesystem::remove(file);
  return result;
}

bool EndToEnd::simulatorLogsAfter(const std::string& after, const std::string& text, int timeoutMs) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const std::string log = simulatorLog();
    const size_t from = log.rfind(after);
    if (from != std::string::npos && log.find(text, from) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::string EndToEnd::portMap(const std::map<int, std::string>& ports) { return PortMapFor(ports); }

std::string EndToEnd::rememberedPort() { return target.registryValue(kCommPortValue); }

void EndToEnd::rememberPort(const std::string& value) { target.setRegistryValue(kCommPortValue, value); }

std::vector<std::string> LinesWith(const std::string& text, const std::string& word) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find(word) == std::string::npos) continue;
    // A log line starts with its stamp: digits, ": ".
    const size_t digits = line.find_first_not_of("0123456789");
    if (digits > 0 && digits != std::string::npos && line.compare(digits, 2, ": ") == 0) line.erase(0, digits + 2);
    lines.push_back(line);
  }
  return lines;
}

}  // namespace kl::test
