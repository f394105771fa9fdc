// Changing the line's speed: the PC's port, the proxy's remote link, and the far end (the
// unit's application or a running flash programmer) together with the port.
#pragma once

#include <cstdint>

namespace kl {

struct LinkContext;
struct TargetContext;
struct Unit;

bool ChangePacketBaudRate(LinkContext& s, uint32_t baud, uint8_t parity, uint32_t timeout, bool direct);
// ChangePacketBaudRate where the run cannot go on without the change: fatal "Unable to change
// baudrate" on failure.
void ChangePacketBaudRateOrStop(LinkContext& s, uint32_t baud, uint8_t parity, uint32_t timeout, bool direct);
// Fatal "Unable to change baudrate" on failure.
void RestoreConnectionBaudRate(LinkContext& s, uint32_t timeout);
bool SetUnitBaudRate(TargetContext& s, Unit& unit, uint32_t baud);
// SetUnitBaudRate where a flow cannot go on without the change: fatal "Unable to change baud
// rate" on failure.
void SetUnitBaudRateOrStop(TargetContext& s, Unit& unit, uint32_t baud);
bool SetProgrammerBaudRate(TargetContext& s, Unit& unit, uint32_t baud, bool extended);

// Speeds the unit's application and the standard flash programmer know (index 1 to 8), and the
// extended table of older programmers (index 1 to 9); index 5 (115200) is the fallback.
inline constexpr uint32_t kUnitBaudTable[] = {9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600};
inline constexpr uint32_t kExtendedBaudTable[] = {9600, 19200, 38400, 57600, 115200, 128000, 230400, 460800, 921600};
inline constexpr uint8_t kFallbackBaudIndex = 5;

}  // namespace kl
