#include "support/installation_fixture.h"

#include <filesystem>

#include "driver/session_log.h"
#include "transport/serial_port.h"

namespace kl::test {

InstallationTest::InstallationTest() {
  std::filesystem::create_directories(dir.file("bin"));
  site.newSession();
  s().givenOptions().yesToPrompts = true;
  s().givenOptions().debug = true;
  s().out.packetTraceLevel = 0;
  s().portSettings.portNumber = kComPort;
}

// The port closes while the reply editor it may still reach is there.
InstallationTest::~InstallationTest() {
  if (session) ClosePort(*session);
  session.reset();
}

void InstallationTest::loadScenarioPath(const std::string& path, bool openPort) {
  attachInstallation(sim::loadScenario(path), openPort);
}

void InstallationTest::loadScenario(std::string_view text, bool openPort) {
  attachInstallation(sim::parseScenario(text, "test.scn"), openPort);
}

void InstallationTest::attachInstallation(const sim::Scenario& loaded, bool openPort) {
  site.load(loaded);
  auto next = std::make_unique<sim::ReplyEditor>(portUnit());
  line.connect(*next);
  editor = std::move(next);
  if (!openPort) return;
  const bool even = portUnit().settings().start != sim::StartMode::BootLoader &&
                    portUnit().settings().applicationFormat.parity == sim::Parity::Even;
  openPortAt(portUnitBaud(), even);
}

void InstallationTest::useScriptedPeer(uint32_t baud) {
  line.connect(peer);
  line.farPort().setFormat(sim::LineFormat{baud, sim::Parity::None});
  openPortAt(baud, false);
}

void InstallationTest::answerRequests(size_t requestBytes, std::vector<uint8_t> replyPayload) {
  answerRequests(requestBytes, [reply = std::move(replyPayload)](size_t) { return reply; });
}

void InstallationTest::answerRequests(size_t requestBytes, std::function<std::vector<uint8_t>(size_t)> replies) {
  peer.onByte = [requestBytes, replies = std::move(replies)](sim::ScriptedPeer& p, uint8_t) {
    if (p.received.size() % requestBytes != 0) return;
    std::vector<uint8_t> reply = replies(p.received.size() / requestBytes - 1);
    if (!reply.empty()) p.send(Framed(std::move(reply)));
  };
}

void InstallationTest::openPortAt(uint32_t baud, bool evenParity) {
  s().portSettings.baudRate = baud;
  s().portSettings.evenParity = evenParity ? 1 : 0;
  ASSERT_TRUE(OpenPort(s())) << "COM" << kComPort << " did not open";
}

std::string InstallationTest::console() {
  s().out.flushConsole();
  const std::string& text = sim.console.output();
  // The line end held back before a clear belongs to the text that was cleared.
  if (afterClear_ && text.starts_with("\r\n")) return text.substr(2);
  return text;
}

std::vector<std::string> InstallationTest::consoleLines() {
  std::vector<std::string> lines;
  const std::string text = console();
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

void InstallationTest::clearConsole() {
  s().out.flushConsole();
  sim.console.clearOutput();
  afterClear_ = true;
}

void InstallationTest::openLog() { OpenSessionLog(s()); }

std::string InstallationTest::logText() {
  CloseSessionLog(s());
  const std::string folder = SessionLogDirectory(s());
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() == ".log") return readFile(entry.path().string());
  }
  ADD_FAILURE() << "no session log in " << folder;
  return {};
}

std::optional<int> InstallationTest::exitCodeOf(const std::function<void()>& body) {
  try {
    body();
  } catch (const ProcessExit& exit) {
    return exit.code;
  }
  return std::nullopt;
}

std::vector<uint8_t> InstallationTest::takeSentByPc() {
  const auto& sent = line.sentByPc();
  std::vector<uint8_t> taken(sent.begin() + static_cast<std::ptrdiff_t>(sentTaken_), sent.end());
  sentTaken_ = sent.size();
  return taken;
}

}  // namespace kl::test
