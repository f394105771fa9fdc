// Reading a downloaded program back from the unit's RAM, and starting it.
#pragma once

#include <cstdint>
#include <span>

namespace kl {

struct TransferContext;
struct CallRequest;

// Reads `expected.size()` bytes from RAM at `address` in pieces of at most 128 bytes and
// compares them; every differing byte is reported. False when a piece still differs (or
// could not be read) after 8 attempts.
bool Examine(TransferContext& s, uint32_t address, std::span<const uint8_t> expected);

// Starts the program downloaded to RAM at `entry`.
bool TransferToRamProgram(TransferContext& s, uint32_t entry);

// Up to 12 attempts of a call answered by its four-byte echo; before each the PC's speed is
// set by the attempt's number modulo 3: the speed in use when the call began, 115200, 9600.
// A unit that has just started a program may listen at any of them.
bool CallThroughSpeedCycle(TransferContext& s, const CallRequest& request);

}  // namespace kl
