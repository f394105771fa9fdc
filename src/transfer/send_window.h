// The send windows: packets go out without waiting for their replies, wait in a ring until
// the unit acknowledges them, and are sent again when an acknowledgement is lost. Three kinds
// share the ring: overlapped RAM writes (WriteRam), buffered blocks (WriteRamBlock, matched by
// their offset within the record) and windowed flash writes (sequence words, cumulative
// acknowledgements).
#pragma once

#include <cstdint>
#include <span>

#include "transfer/transfer_state.h"

namespace kl {

struct TransferContext;

// Most data bytes one windowed packet or block carries.
inline constexpr uint32_t kWindowPacketBytes = 128;

// ---- overlapped RAM writes ----
// Queues one WriteRam of at most 128 bytes; waits for the oldest acknowledgement first when
// the window is full. False when that wait failed.
bool QueueRamWrite(TransferContext& s, uint32_t address, std::span<const uint8_t> data);
// Waits for the oldest packet's acknowledgement (up to 20 tries); false after "FAILED".
bool WaitOldestRamAck(TransferContext& s);
// Until every queued RAM write is acknowledged.
bool DrainRamWindow(TransferContext& s);

// ---- buffered blocks ----
// Sends `record` as blocks of at most 128 bytes, at most 8 in flight, and waits until every
// block is acknowledged. The caller commits the record afterwards.
bool SendBufferedBlocks(TransferContext& s, SendWindow& window, std::span<const uint8_t> record);

// ---- windowed flash writes ----
// Queues one windowed flash write of at most 128 bytes with the next sequence word (bit 15
// set for the first chunk of a split record); waits for acknowledgements first when the
// window is full. False when that wait failed.
bool QueueFlashWrite(TransferContext& s, uint32_t address, std::span<const uint8_t> data, bool firstChunk);
// Until every queued flash write is acknowledged.
bool DrainFlashWindow(TransferContext& s);

}  // namespace kl
