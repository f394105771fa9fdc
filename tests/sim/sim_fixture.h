// A scripted PC on a short line to a scenario's port unit, under virtual time.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string_view>
#include <vector>

#include "platform/sim/world.h"
#include "sim/line/hop_line.h"
#include "sim/scenario/installation.h"
#include "sim/scripted_peer.h"
#include "sim/unit/frame.h"
#include "wire/crc16.h"

namespace kl::sim::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes withCrc(Bytes bytes) {
  const uint16_t crc = wire::crc16(bytes.data(), bytes.size());
  bytes.push_back(static_cast<uint8_t>(crc & 0xFF));
  bytes.push_back(static_cast<uint8_t>(crc >> 8));
  return bytes;
}

class SimUnitTest : public ::testing::Test {
 protected:
  void load(std::string_view text, uint32_t pcBaud) {
    scenario_ = parseScenario(text, "test.scn");
    installation_ = std::make_unique<Installation>(scenario_, world_);
    line_ = std::make_unique<HopLine>(world_, LineFormat{pcBaud, Parity::None}, LineFormat{}, 3);
    line_->connect(pc_, installation_->portUnit());
  }
  Unit& unit() { return installation_->portUnit(); }
  Unit& unit(const std::string& name) { return *installation_->find(name); }
  void setPcSpeed(uint32_t baud, Parity parity = Parity::None) { line_->nearEnd().setFormat({baud, parity}); }
  void advanceMs(uint64_t ms) { world_.advanceTo(world_.nowUs() + ms * 1000); }

  // Sends raw bytes from the PC and returns what came back within `waitMs`.
  Bytes sendRaw(const Bytes& bytes, uint64_t waitMs = 100) {
    pc_.received.clear();
    pc_.send(bytes);
    advanceMs(waitMs);
    return pc_.received;
  }
  // Sends one request frame (CRC added) and returns the reply bytes as they arrived.
  Bytes request(const Bytes& payload, uint64_t waitMs = 100, bool lengthFramed = false) {
    return sendRaw(encodeFrame(payload, lengthFramed), waitMs);
  }
  // Time from the end of the request to the last byte of the reply.
  uint64_t replyTimeUs(const Bytes& payload) {
    pc_.received.clear();
    const uint64_t start = world_.nowUs();
    uint64_t last = 0;
    pc_.onByte = [&](ScriptedPeer&, uint8_t) { last = world_.nowUs(); };
    pc_.send(encodeFrame(payload, false));
    advanceMs(300);
    pc_.onByte = nullptr;
    return last ? last - start : 0;
  }

  World world_{5};
  Scenario scenario_;
  std::unique_ptr<Installation> installation_;
  std::unique_ptr<HopLine> line_;
  ScriptedPeer pc_;
};

}  // namespace kl::sim::testing
