// The connection from a unit to a unit behind it (on its network or on a test jig's second
// port): a line of its own, and the relaying unit's end of it, which collects the reply.
#pragma once

#include <deque>
#include <functional>
#include <memory>

#include "sim/line/hop_line.h"
#include "sim/unit/frame_reader.h"

namespace kl::sim {

class Unit;

class Relay : private LineDevice {
 public:
  Relay(Scheduler& scheduler, Unit& remote, LineFormat nearFormat, uint64_t seed);

  Unit& remote() { return remote_; }
  // Sends `bytes` to the remote unit; `onReply` gets every intact frame coming back within
  // `timeoutUs` of the request's last byte reaching it (one per request; several when requests
  // follow each other, as in a window).
  void exchange(const std::vector<uint8_t>& bytes, uint64_t timeoutUs, std::function<void(const Frame&)> onReply);
  void setSpeed(uint32_t baud);
  uint32_t speed() const { return baud_; }
  // Forgets a pending exchange (the relaying unit restarted).
  void cancel();

 private:
  void attach(LinePort&) override {}
  void receive(uint8_t byte, bool damaged) override { reader_.push(byte, damaged); }
  void onFrame(Frame&& frame);

  Scheduler& scheduler_;
  Unit& remote_;
  HopLine line_;
  FrameReader reader_;
  std::function<void(const Frame&)> pending_;
  uint64_t generation_ = 0;
  std::deque<uint64_t> outstanding_;  // requests awaiting their reply, oldest first
  uint64_t nextRequest_ = 0;
  uint32_t baud_;
};

}  // namespace kl::sim
