#include "sim/unit/programmer_table.h"

#include <array>

#include "wire/unit_codes.h"

namespace kl::sim {

namespace {

using namespace wire::mcu;
constexpr uint8_t kAny = wire::family::Any;
constexpr uint8_t kDisplay = wire::family::Display;
constexpr uint8_t kTransmitter = wire::family::Transmitter;
constexpr uint8_t kRemoteIo = wire::family::RemoteIo;

constexpr std::array<ProgrammerFacts, 30> kRows{{
    {H8S2145, kAny, 2, false},          {H8S2145, kAny, 3, false},
    {LPC2478, kAny, 3, false},          {LPC2478, kAny, 4, false},
    {LPC2478, kAny, 3, true},           {LPC2478, kAny, 4, true},
    {LPC4357, kDisplay, 3, false},      {LPC4357, kDisplay, 4, false},
    {LPC4357, kDisplay, 3, true},       {LPC4357, kDisplay, 4, true},
    {LPC4337, kDisplay, 3, false},      {LPC4337, kDisplay, 4, false},
    {LPC4337, kDisplay, 3, true},       {LPC4337, kDisplay, 4, true},
    {LPC1768, kTransmitter, 3, false},  {LPC1768, kTransmitter, 4, false},
    {LPC1768, kTransmitter, 3, true},   {LPC1768, kTransmitter, 4, true},
    {LPC4078, kAny, 3, false},          {LPC4078, kAny, 4, false},
    {LPC4078, kAny, 3, true},           {LPC4078, kAny, 4, true},
    {LPC4337, kTransmitter, 3, false},  {LPC4337, kTransmitter, 4, false},
    {LPC4337, kTransmitter, 3, true},   {LPC4337, kTransmitter, 4, true},
    {LPC1768, kRemoteIo, 3, false},     {LPC1768, kRemoteIo, 4, false},
    {LPC1768, kRemoteIo, 3, true},      {LPC1768, kRemoteIo, 4, true},
}};

}  // namespace

std::optional<ProgrammerFacts> programmerRow(uint8_t row) {
  if (row < 1 || row > kRows.size()) return std::nullopt;
  return kRows[row - 1u];
}

bool programmerFits(const wire::ImageIdentity& identity, const ProgrammerHost& host) {
  if (identity.kind != wire::ImageKind::FlashProgrammer) return false;
  const auto row = programmerRow(identity.tableRow);
  if (!row) return false;
  const bool agrees = identity.mcuType == row->mcuType && identity.unitFamily == row->unitFamily &&
                      identity.generation == row->generation && identity.large == row->large;
  // A programmer for small buffers sends nothing a large buffer cannot take.
  return agrees && row->mcuType == host.mcuType && (row->unitFamily == kAny || row->unitFamily == host.unitFamily) &&
         row->generation == host.generation && (!row->large || host.bufferSize > 128);
}

uint8_t cardFamily(uint16_t card) {
  switch (card) {
    case 611: case 647: case 653: return kDisplay;
    case 620: case 648: case 659: return kTransmitter;
    case 649: return kRemoteIo;
    case 652: return wire::family::TestJig;
    default: return 0;
  }
}

}  // namespace kl::sim
