// Progress bar and data-rate summary of bulk transfers.
#pragma once

#include <cstdint>

namespace kl {

struct LinkContext;

// A 60-dot bar on the console; a new total starts a new bar.
void ShowProgress(LinkContext& s, uint32_t done, uint32_t total);
void EndProgress(LinkContext& s);
// Line rate in baud of `bytes` in `milliseconds`, at 11 line bits a byte.
uint32_t DataRate(uint32_t bytes, uint32_t milliseconds);

enum class TransferDirection { Sent, Received };

// Where a transfer began: the byte total of its direction and the time.
struct TransferMeter {
  TransferDirection direction;
  uint32_t startBytes;
  uint32_t startTick;
};
TransferMeter StartTransferMeter(LinkContext& s, TransferDirection direction);
// "Bytes sent = " (or "Bytes received = ") n " : Time = " ms " mS : Data rate = " r " baud" on Debug.
void WriteTransferSummary(LinkContext& s, const TransferMeter& meter);

}  // namespace kl
