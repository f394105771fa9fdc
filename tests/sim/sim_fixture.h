// A scripted PC on a short line to a scenario's port unit, under virtual time.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
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

// CRC-16/MODBUS written out here, so that frames are checked independently of the wire code.
inline uint16_t referenceCrc(const Bytes& bytes) {
  uint16_t crc = 0xFFFF;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
  }
  return crc;
}

inline Bytes withCrc(Bytes bytes) {
  const uint16_t crc = referenceCrc(bytes);
  bytes.push_back(static_cast<uint8_t>(crc & 0xFF));
  bytes.push_back(static_cast<uint8_t>(crc >> 8));
  return bytes;
}

// A length-framed frame: F1, count, payload, CRC.
inline Bytes lengthFramed(const Bytes& payload) {
  Bytes out{0xF1, static_cast<uint8_t>(payload.size() + 2)};
  const Bytes framed = withCrc(payload);
  out.insert(out.end(), framed.begin(), framed.end());
  return out;
}

// Big-endian pieces of hand-built requests.
inline void put16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}
inline void put32(Bytes& b, uint32_t v) {
  put16(b, v >> 16);
  put16(b, v & 0xFFFF);
}
inline Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The firmware bundle the build made, next to the program.
inline std::string bundleDir() {
  return (std::filesystem::path(KESTRELINK_BINARY).parent_path() / "bundle" / "synthetic").string();
}
inline Bytes readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A world whose clock reads `lagStepUs` later at every further look, as the clock of a
// real-time process that falls behind while it schedules.
struct LaggingWorld : World {
  using World::World;
  uint64_t nowUs() override { return World::nowUs() + (lagUs += lagStepUs); }
  uint64_t lagStepUs = 0;
  uint64_t lagUs = 0;
};

class SimUnitTest : public ::testing::Test {
 protected:
  // A fresh world each time: nothing scheduled for the units of an earlier load survives.
  void load(std::string_view text, uint32_t pcBaud, const std::string& directory = ".") {
    world_ = LaggingWorld{5};
    line_.reset();
    installation_.reset();
    pc_.received.clear();
    scenario_ = parseScenario(text, "test.scn", ScenarioPaths{directory, bundleDir(), ""});
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
  Bytes request(const Bytes& payload, uint64_t waitMs = 100, bool framed = false) {
    return sendRaw(framed ? lengthFramed(payload) : withCrc(payload), waitMs);
  }
  // Sends a frame and runs until `replyBytes` have come back (or a second has passed).
  Bytes exchange(const Bytes& frame, size_t replyBytes) {
    pc_.received.clear();
    pc_.send(frame);
    world_.runUntil(world_.nowUs() + 1000000, [&] { return pc_.received.size() >= replyBytes; });
    return pc_.received;
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

  LaggingWorld world_{5};
  Scenario scenario_;
  std::unique_ptr<Installation> installation_;
  std::unique_ptr<HopLine> line_;
  ScriptedPeer pc_;
};

}  // namespace kl::sim::testing
