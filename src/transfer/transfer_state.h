// What the programmer download and the flash writer keep for the whole run: their send
// windows, the window sizes, the flash sequence counter and the buffered-protocol switch.
// Plain data; one member of the TransferContext.
#pragma once

#include <array>
#include <cstdint>

namespace kl {

// One packet kept in a send window until the unit acknowledges it.
struct WindowSlot {
  uint32_t address = 0;   // RAM or flash address, or the block's offset within its record
  uint16_t sequence = 0;  // windowed flash writes: the sequence word as sent
  uint8_t length = 0;
  bool acknowledged = false;
  std::array<uint8_t, 128> data{};
};

// A ring of packets in flight, oldest first.
struct SendWindow {
  static constexpr uint32_t kSlots = 17;
  std::array<WindowSlot, kSlots> slots{};
  uint32_t oldest = 0;
  uint32_t next = 0;
  uint32_t inFlight = 0;

  bool full() const { return inFlight >= kSlots - 1; }
  bool empty() const { return inFlight == 0; }
  WindowSlot& oldestSlot() { return slots[oldest]; }
  // The `i`th packet in flight, 0 being the oldest.
  WindowSlot& inFlightSlot(uint32_t i) { return slots[(oldest + i) % kSlots]; }
  // Takes the next free slot for a packet about to be sent.
  WindowSlot& push() {
    WindowSlot& slot = slots[next];
    slot.acknowledged = false;
    next = (next + 1) % kSlots;
    ++inFlight;
    return slot;
  }
  // The oldest packet is done.
  void release() {
    oldest = (oldest + 1) % kSlots;
    --inFlight;
  }
  void clear() {
    oldest = next = inFlight = 0;
  }
};

struct TransferState {
  // Overlapped RAM writes of the programmer download; the size is set from the boot loader.
  SendWindow ram;
  uint32_t ramWindowSize = 1;
  // Buffered blocks of the download, and of the flash writer.
  SendWindow ramBlocks;
  SendWindow flashBlocks;
  // Windowed flash writes and their 15-bit sequence counter.
  SendWindow flash;
  uint32_t flashWindowSize = 8;
  uint16_t flashSequence = 0;
  // The unit sits behind a test jig that relays block writes (set when it was found there).
  bool bufferedProtocol = false;
  // How many times over each flash packet and acknowledgement is tried: far more while the
  // boot loader is rewritten, where giving up leaves a unit that cannot start.
  int flashPersistence = 1;
  // ...but only for this long from the start of the write (ms of the clock's tick): a line
  // that drops nearly everything must not hold the run for hours.
  uint32_t persistenceStartMs = 0;
  uint32_t persistenceSpanMs = 0;

  // Timing of the last MCU flash write, in microseconds: the erase, and the write phase from
  // the first packet to the last acknowledgement, with its payload bytes.
  uint64_t lastEraseUs = 0;
  uint64_t lastWriteUs = 0;
  uint32_t lastWriteBytes = 0;
};

}  // namespace kl
