// Reply time-outs, the saved connection speed and the proxy mode's state. Changing the line's
// speed needs calls to the far end and lives above the packet layer (protocol/link_speed.h).
#pragma once

#include <cstdint>

namespace kl {

struct LinkContext;

struct LinkControl {
  uint32_t savedBaudRate = 0;
  uint8_t savedParity = 0;
  uint32_t proxySavedBaudRate = 0;
  uint8_t proxySavedParity = 0;
  uint8_t proxySavedUnitId = 0;
  uint16_t replyTimeoutShort = 50;  // 100 while proxy mode is on
};

inline constexpr uint16_t ReplyTimeoutNormal = 100;
inline constexpr uint16_t ReplyTimeoutLong = 1000;
// The short time-out depends on the proxy mode.
uint16_t ReplyTimeoutShort(const LinkContext& s);

void SetReplyTimeout(LinkContext& s, uint32_t milliseconds);
void SaveConnectionBaudRate(LinkContext& s);
void TurnProxyOn(LinkContext& s);
void TurnProxyOff(LinkContext& s);

}  // namespace kl
