// One record into the unit's memory outside the image loops: the programmer's RAM (through
// the boot loader) and the MCU flash (through the flash programmer) take it the same ways, in
// the overlapped window, as buffered blocks and a commit, or as one plain packet.
#pragma once

#include <cstdint>
#include <span>

namespace kl {

struct TransferContext;

enum class Memory : uint8_t { Ram, Flash };

// In the active mode: queued in overlapped mode (true once queued), else written and answered.
// `firstChunk` marks the first piece of a flash record split to fit the unit's buffer.
bool WriteRecord(TransferContext& s, Memory memory, uint32_t address, std::span<const uint8_t> data,
                 bool firstChunk = false);

// A record longer than a windowed packet goes as a plain large packet, which must not meet
// acknowledgements still on their way: the window is emptied and overlapped mode (and with it
// -v) ends for the run. False when the window could not be emptied.
bool LeaveOverlappedForLargePackets(TransferContext& s, Memory memory);

}  // namespace kl
