// A simulated machine with one session, simulated units on COM ports, and the operator.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>

#include "update/session.h"
#include "platform/sim/sim_platform.h"
#include "sim/scenario/installation.h"
#include "sim/scenario/scenario.h"
#include "sim/scripted_peer.h"
#include "sim/sim_line.h"
#include "support/temp_dir.h"
#include "transport/serial_port.h"
#include "wire/crc16.h"

namespace kl::test {

using wire::Framed;

// How often `pattern` occurs in `bytes`.
inline int CountOf(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& pattern) {
  int count = 0;
  for (size_t i = 0; i + pattern.size() <= bytes.size(); ++i) {
    if (std::equal(pattern.begin(), pattern.end(), bytes.begin() + static_cast<long>(i))) ++count;
  }
  return count;
}

class ConnectTest : public ::testing::Test {
 protected:
  explicit ConnectTest(uint64_t seed = 1) : sim(dir.path(), seed) {
    session = std::make_unique<Session>(sim.platform);
    s().givenOptions().debug = true;
    s().givenOptions().detailedDebug = true;  // every channel reaches the simulated console
  }

  Session& s() { return *session; }

  // The units of `scenarioText` (the first one on the port) on a line at COM `com`.
  sim::Unit& place(const std::string& scenarioText, int com) {
    Placed& placed = placed_[com];
    placed.scenario = sim::parseScenario(scenarioText, "test.scn");
    placed.installation = std::make_unique<sim::Installation>(placed.scenario, sim.world);
    placed.line = std::make_unique<sim::SimLine>(sim.world, sim.process);
    placed.line->connect(placed.installation->portUnit());
    sim::AttachSimLine(sim, com, *placed.line);
    return placed.installation->portUnit();
  }
  // A scripted far end at `baud` on a line at COM `com`.
  sim::ScriptedPeer& placePeer(int com, uint32_t baud) {
    Placed& placed = placed_[com];
    placed.peer = std::make_unique<sim::ScriptedPeer>();
    placed.line = std::make_unique<sim::SimLine>(sim.world, sim.process);
    placed.line->connect(*placed.peer);
    placed.line->farPort().setFormat(sim::LineFormat{baud, sim::Parity::None});
    sim::AttachSimLine(sim, com, *placed.line);
    return *placed.peer;
  }
  // Opens COM `com` at `baud` as the connection speed.
  void openAt(int com, uint32_t baud) {
    s().portSettings.portNumber = static_cast<uint16_t>(com);
    s().portSettings.baudRate = baud;
    ASSERT_TRUE(OpenPort(s()));
  }
  // A scenario file of the simulator.
  sim::Unit& placeFile(const std::string& name, int com) {
    return place(readFile(std::string(KESTRELINK_SOURCE_DIR) + "/sim/scenarios/" + name), com);
  }
  sim::SimLine& line(int com) { return *placed_.at(com).line; }
  sim::Installation& installation(int com) { return *placed_.at(com).installation; }

  std::string console() {
    s().out.flushConsole();
    return sim.console.output();
  }
  // The console shows `text`; a line end still held back by the console counts as written.
  bool shows(std::string_view text) { return (console() + "\r\n").find(text) != std::string::npos; }
  uint64_t nowMs() { return sim.world.nowUs() / 1000; }

  // Runs `body`; true when it ended the process (a fatal error), with the exit code.
  template <typename Body>
  bool endsRun(Body body, int* code = nullptr) {
    try {
      body();
    } catch (const ProcessExit& exit) {
      if (code) *code = exit.code;
      return true;
    }
    return false;
  }

  TempDir dir;
  SimPlatform sim;
  std::unique_ptr<Session> session;

 private:
  struct Placed {
    sim::Scenario scenario;
    std::unique_ptr<sim::Installation> installation;
    std::unique_ptr<sim::ScriptedPeer> peer;
    std::unique_ptr<sim::SimLine> line;
  };
  std::map<int, Placed> placed_;
};

}  // namespace kl::test
