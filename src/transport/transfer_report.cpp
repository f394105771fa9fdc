#include "transport/transfer_report.h"

#include <algorithm>
#include <string>

#include "transport/link_context.h"

namespace kl {

void ShowProgress(LinkContext& s, uint32_t done, uint32_t total) {
  constexpr uint64_t kDots = 60;
  PacketLink& p = s.packet;
  if (total == 0) return;
  if (total != p.progressTotal) {
    p.progressTotal = total;
    p.progressDots = 0;
  }
  const auto due = static_cast<uint32_t>(std::min(done, total) * kDots / total);
  if (due <= p.progressDots) return;
  s.out(Channel::Console) << std::string(due - p.progressDots, '.');
  p.progressDots = due;
}

void EndProgress(LinkContext& s) {
  s.out(Channel::Console) << crlf;
  s.packet.progressTotal = 0;
  s.packet.progressDots = 0;
}

uint32_t DataRate(uint32_t bytes, uint32_t milliseconds) {
  if (milliseconds == 0) milliseconds = 1;
  const double rate = bytes / (milliseconds * 0.001) * 11;
  return rate >= 4294967295.0 ? UINT32_MAX : static_cast<uint32_t>(rate);
}

TransferMeter StartTransferMeter(LinkContext& s, TransferDirection direction) {
  const uint32_t bytes = direction == TransferDirection::Sent ? s.packet.bytesSent : s.packet.bytesReceived;
  return TransferMeter{direction, bytes, s.platform.clock.tickMs()};
}

void WriteTransferSummary(LinkContext& s, const TransferMeter& meter) {
  const bool sent = meter.direction == TransferDirection::Sent;
  const uint32_t bytes = (sent ? s.packet.bytesSent : s.packet.bytesReceived) - meter.startBytes;
  const uint32_t elapsed = s.platform.clock.tickMs() - meter.startTick;
  s.out(Channel::Debug) << (sent ? "Bytes sent = " : "Bytes received = ") << bytes << " : Time = " << elapsed
                        << " mS" << " : Data rate = " << DataRate(bytes, elapsed) << " baud" << crlf;
}

}  // namespace kl
