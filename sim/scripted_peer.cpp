#include "sim/scripted_peer.h"

#include "wire/crc16.h"
#include "wire/frame.h"

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

void ReplyEditor::send(const uint8_t* bytes, size_t count) {
  std::vector<uint8_t> frame(bytes, bytes + count);
  // A device hands each reply over whole; anything that is not one frame passes unchanged.
  const bool lengthHeader =
      count >= 6 && frame[0] == wire::kLengthMarker && frame[1] == count - 2 && wire::crc16(bytes + 2, count - 2) == 0;
  if (!edit || count < 4 || (!lengthHeader && wire::crc16(bytes, count) != 0)) {
    line_->send(bytes, count);
    return;
  }
  size_t start = lengthHeader ? 2 : 0;
  const size_t crcFrom = start;
  if (lengthHeader && count >= start + wire::kProxyHeaderSize + 2 && frame[start + 1] == wire::kProxyG &&
      frame[start + 2] == wire::kProxyReply) {
    start += wire::kProxyHeaderSize;
  }
  std::vector<uint8_t> payload(frame.begin() + static_cast<long>(start), frame.end() - 2);
  if (!edit(payload)) return;
  frame.resize(start);
  frame.insert(frame.end(), payload.begin(), payload.end());
  if (lengthHeader) frame[1] = static_cast<uint8_t>(frame.size());  // the CRC follows: size - 2 + 2
  const uint16_t crc = wire::crc16(frame.data() + crcFrom, frame.size() - crcFrom);
  frame.push_back(static_cast<uint8_t>(crc & 0xFF));
  frame.push_back(static_cast<uint8_t>(crc >> 8));
  line_->send(frame.data(), frame.size());
}

}  // namespace kl::sim
