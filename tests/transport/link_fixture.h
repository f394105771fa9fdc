// A session on a simulated machine whose COM3 is a simulated line to a scripted far end.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "update/session.h"
#include "platform/sim/sim_platform.h"
#include "sim/scripted_peer.h"
#include "sim/sim_line.h"
#include "support/temp_dir.h"
#include "wire/crc16.h"

namespace kl::test {

inline constexpr int kLinePort = 3;

using wire::Framed;

class LinkTest : public ::testing::Test {
 protected:
  explicit LinkTest(uint64_t seed = 1) : sim(dir.path(), seed), line(sim.world, sim.process) {
    session = std::make_unique<Session>(sim.platform);
    s().givenOptions().debug = true;
    s().givenOptions().detailedDebug = true;  // every channel reaches the (simulated) console
    s().out.packetTraceLevel = 1;
    s().portSettings.portNumber = kLinePort;
    s().portSettings.baudRate = 19200;
    line.connect(peer);
    line.farPort().setFormat(sim::LineFormat{19200, sim::Parity::None});
    sim::AttachSimLine(sim, kLinePort, line);
  }
  Session& s() { return *session; }
  std::string console() {
    s().out.flushConsole();
    return sim.console.output();
  }
  void useBaud(uint32_t baud) {
    s().portSettings.baudRate = baud;
    line.farPort().setFormat(sim::LineFormat{baud, sim::Parity::None});
  }
  void openLine() { ASSERT_TRUE(OpenPort(s())); }
  // The far end answers every `requestSize` bytes it receives with `reply`.
  void answerWith(size_t requestSize, std::vector<uint8_t> reply) {
    peer.onByte = [requestSize, reply](sim::ScriptedPeer& p, uint8_t) {
      if (p.received.size() % requestSize == 0) p.send(reply);
    };
  }
  void sendRequest(const std::vector<uint8_t>& request) {
    BeginPacket(s());
    for (uint8_t b : request) PutPacketByte(s(), b);
    SendPacket(s(), static_cast<uint32_t>(request.size()));
  }
  std::vector<uint8_t> readReply(size_t count) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < count; ++i) bytes.push_back(GetPacketByte(s()));
    return bytes;
  }
  uint64_t nowMs() { return sim.world.nowUs() / 1000; }

  TempDir dir;
  SimPlatform sim;
  sim::SimLine line;
  sim::ScriptedPeer peer;
  std::unique_ptr<Session> session;
};

}  // namespace kl::test
