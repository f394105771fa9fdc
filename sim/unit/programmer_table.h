// Which RAM flash programmer fits which unit: the simulator's own copy of the programmer
// table (by table row: MCU, unit family, boot loader generation, large-buffer variant), so
// that a programmer chosen from a misread row never runs in a simulated unit.
#pragma once

#include <cstdint>
#include <optional>

#include "wire/image_identity.h"

namespace kl::sim {

struct ProgrammerFacts {
  uint8_t mcuType;
  uint8_t unitFamily;  // 0: any
  uint8_t generation;
  bool large;          // needs a receive buffer above 128 bytes
};

std::optional<ProgrammerFacts> programmerRow(uint8_t row);

// The unit a programmer would run in.
struct ProgrammerHost {
  uint8_t mcuType;
  uint8_t unitFamily;
  uint8_t generation;  // of the boot loader in flash
  uint16_t bufferSize;
};

// True when `identity` is a flash programmer whose row fits the host, and the block agrees
// with the row.
bool programmerFits(const wire::ImageIdentity& identity, const ProgrammerHost& host);

// The unit family of a circuit card; 0 for a card the simulator does not know.
uint8_t cardFamily(uint16_t card);

}  // namespace kl::sim
