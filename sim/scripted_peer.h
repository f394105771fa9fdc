// Far ends driven by a test script: one that records what arrives and sends what it is told,
// and one that lets a simulated unit answer but edits each of its replies on the way.
#pragma once

#include <functional>
#include <vector>

#include "sim/line_device.h"

namespace kl::sim {

class ScriptedPeer : public LineDevice {
 public:
  void attach(LinePort& port) override { port_ = &port; }
  void receive(uint8_t byte, bool damaged) override;

  // Sends bytes towards the PC (after `delayUs`).
  void send(std::vector<uint8_t> bytes, uint64_t delayUs = 0);
  LinePort* port() { return port_; }

  // Everything that arrived intact, and the count of damaged bytes.
  std::vector<uint8_t> received;
  int damagedBytes = 0;
  // Called after each intact byte has been recorded.
  std::function<void(ScriptedPeer&, uint8_t)> onByte;

 private:
  LinePort* port_ = nullptr;
};

// Sits between the line and a device (a simulated unit) as each one's far end. Every reply the
// device sends goes through `edit` with its payload (length and proxy headers and CRC taken
// off, and put back with a new CRC afterwards); `edit` returning false loses the reply.
class ReplyEditor : public LineDevice, public LinePort {
 public:
  using Edit = std::function<bool(std::vector<uint8_t>& payload)>;
  explicit ReplyEditor(LineDevice& device) : device_(device) {}
  Edit edit;

  void attach(LinePort& port) override {
    line_ = &port;
    device_.attach(*this);
  }
  void receive(uint8_t byte, bool damaged) override { device_.receive(byte, damaged); }

  Scheduler& scheduler() override { return line_->scheduler(); }
  void send(const uint8_t* bytes, size_t count) override;
  bool sending() const override { return line_->sending(); }
  void setFormat(const LineFormat& format) override { line_->setFormat(format); }
  LineFormat format() const override { return line_->format(); }
  void setCts(bool high) override { line_->setCts(high); }

 private:
  LineDevice& device_;
  LinePort* line_ = nullptr;
};

}  // namespace kl::sim
