// A session on a simulated machine whose COM port is a simulated line to the units of a
// scenario (or to a scripted far end), under virtual time. Shared by the tests of the unit
// protocol and of connecting.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "update/session.h"
#include "sim/scripted_peer.h"
#include "site/simulated_site.h"
#include "support/temp_dir.h"
#include "wire/crc16.h"

namespace kl::test {

class InstallationTest : public ::testing::Test {
 protected:
  static constexpr int kComPort = SimulatedSite::kComPort;

  // The session: prompts answered, Debug on the console, no packet traces.
  InstallationTest();
  ~InstallationTest() override;

  // The units of a scenario: a file of sim/scenarios/ by name ("zs3-lpc1768.scn"), or text.
  // The port is opened at the speed and parity the unit on it listens at now, unless
  // `openPort` is false (for code that finds and opens the port itself).
  // (Inline: the source folder is known to the test programs only.)
#ifdef KESTRELINK_SOURCE_DIR
  void loadScenarioFile(const std::string& name, bool openPort = true) {
    loadScenarioPath(std::string(KESTRELINK_SOURCE_DIR) + "/sim/scenarios/" + name, openPort);
  }
#endif
  void loadScenarioPath(const std::string& path, bool openPort = true);
  void loadScenario(std::string_view text, bool openPort = true);
  // A scripted far end instead of units; the port is opened at `baud`.
  void useScriptedPeer(uint32_t baud = 115200);
  // Each reply of the unit on the port passes `edit` on its way to the PC: its payload, to be
  // changed in place (the CRC is made again); false loses the reply. Empty: replies pass as sent.
  void editReplies(sim::ReplyEditor::Edit edit) { editor->edit = std::move(edit); }

  // The scripted far end answers every request of `requestBytes` bytes (CRC included) with
  // `replyPayload` and its CRC; `replies` changes the answer by the request's number (0 up); an empty one is no answer.
  void answerRequests(size_t requestBytes, std::vector<uint8_t> replyPayload);
  void answerRequests(size_t requestBytes, std::function<std::vector<uint8_t>(size_t)> replies);
  // Number of whole requests of `requestBytes` bytes the far end has received.
  size_t requestsReceived(size_t requestBytes) const { return peer.received.size() / requestBytes; }

  Session& s() { return *session; }
  sim::Unit& portUnit() { return site.portUnit(); }
  uint32_t portUnitBaud() { return site.portUnitBaud(); }

  // Everything written to the console so far, and its lines (split at CR LF); `clearConsole`
  // forgets what was there.
  std::string console();
  std::vector<std::string> consoleLines();
  void clearConsole();
  // Opens the session log; `logText` closes it and returns its text.
  void openLog();
  std::string logText();

  // Runs `body`; the exit code when it ended the process (a fatal error), else nothing.
  std::optional<int> exitCodeOf(const std::function<void()>& body);

  // What the PC put on the line since the last call (or since the start).
  std::vector<uint8_t> takeSentByPc();

  uint64_t nowMs() { return sim.world.nowUs() / 1000; }
  void advanceMs(uint64_t ms) { sim.world.advanceTo(sim.world.nowUs() + ms * 1000); }

  TempDir dir;
  SimulatedSite site{dir.path()};
  SimPlatform& sim = site.platform;
  sim::SimLine& line = site.line;
  sim::Scenario& scenario = site.scenario;
  std::unique_ptr<sim::Installation>& installation = site.installation;
  std::unique_ptr<sim::ReplyEditor> editor;
  sim::ScriptedPeer peer;
  std::unique_ptr<Session>& session = site.session;

 private:
  void attachInstallation(const sim::Scenario& loaded, bool openPort);
  void openPortAt(uint32_t baud, bool evenParity);
  size_t sentTaken_ = 0;
  bool afterClear_ = false;
};

using wire::Framed;

}  // namespace kl::test
