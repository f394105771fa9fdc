// Every change of line speed and reply time-out, the saved connection speed, and relaying
// through a proxy unit.
#pragma once

#include <cstdint>

namespace kl {

struct Session;
struct Unit;

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
uint16_t ReplyTimeoutShort(const Session& s);

void SetReplyTimeout(Session& s, uint32_t milliseconds);
bool ChangePacketBaudRate(Session& s, uint32_t baud, uint8_t parity, uint32_t timeout, bool direct);
// ChangePacketBaudRate where the run cannot go on without the change: fatal "Unable to change
// baudrate" on failure.
void ChangePacketBaudRateOrStop(Session& s, uint32_t baud, uint8_t parity, uint32_t timeout, bool direct);
void SaveConnectionBaudRate(Session& s);
// Fatal "Unable to change baudrate" on failure.
void RestoreConnectionBaudRate(Session& s, uint32_t timeout);
void TurnProxyOn(Session& s);
void TurnProxyOff(Session& s);
bool SetUnitBaudRate(Session& s, Unit& unit, uint32_t baud);
// SetUnitBaudRate where a flow cannot go on without the change: fatal "Unable to change baud
// rate" on failure.
void SetUnitBaudRateOrStop(Session& s, Unit& unit, uint32_t baud);
bool SetProgrammerBaudRate(Session& s, Unit& unit, uint32_t baud, bool extended);

// Speeds the unit's application and the standard flash programmer know (index 1 to 8), and the
// extended table of older programmers (index 1 to 9); index 5 (115200) is the fallback.
inline constexpr uint32_t kUnitBaudTable[] = {9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600};
inline constexpr uint32_t kExtendedBaudTable[] = {9600,   19200,  38400,  57600, 115200,
                                                  128000, 230400, 460800, 921600};
inline constexpr uint8_t kFallbackBaudIndex = 5;

struct ProxySearchResult {
  uint8_t port = 0;
  uint32_t baudRate = 0;
  uint8_t unitId = 0;
  bool bootLoader = false;
};
bool OpenKestrelinkProxy(Session& s, uint8_t proxyAddress);
bool CloseKestrelinkProxy(Session& s, uint8_t proxyAddress);
bool SearchKestrelinkProxy(Session& s, uint8_t proxyAddress, ProxySearchResult& result);
bool SetProxyBaudRate(Session& s, uint8_t proxyAddress, uint8_t proxyPort, uint32_t baud);

}  // namespace kl
