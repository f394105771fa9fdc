#include "sim/scripted_peer.h"

namespace kl::sim {

void ScriptedPeer::receive(uint8_t byte, bool damaged) {
  if (damaged) {
    ++damagedBytes;
    return;
  }
  received.push_back(byte);
  if (onByte) onByte(*this, byte);
}

void ScriptedPeer::send(std::vector<uint8_t> bytes, uint64_t delayUs) {
  if (!port_) return;
  if (delayUs == 0) {
    port_->send(bytes.data(), bytes.size());
    return;
  }
  port_->scheduler().after(delayUs, [this, bytes = std::move(bytes)] { port_->send(bytes.data(), bytes.size()); });
}

}  // namespace kl::sim
