// A far end driven by a test script: it records what arrives and sends what it is told.
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

}  // namespace kl::sim
