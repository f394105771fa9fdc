// Switching the far end (the unit's application, or a running flash programmer) and the PC's
// port to a new speed together.
#include <algorithm>
#include <span>

#include "driver/fatal_error.h"
#include "protocol/capabilities.h"
#include "protocol/identification.h"
#include "protocol/link_speed.h"
#include "protocol/remote_call.h"
#include "protocol/target_context.h"
#include "transport/link_control.h"
#include "transport/packet_link.h"
#include "wire/commands.h"

namespace kl {

namespace {

// Position (1-based) of `baud` in `table`; 0 when it is not there.
uint8_t TableIndex(std::span<const uint32_t> table, uint32_t baud) {
  const auto found = std::find(table.begin(), table.end(), baud);
  return found == table.end() ? 0 : static_cast<uint8_t>(found - table.begin() + 1);
}

uint8_t IndexOrFallback(TargetContext& s, std::span<const uint32_t> table, uint32_t baud) {
  const uint8_t index = TableIndex(table, baud);
  if (index != 0) return index;
  ChannelWriter& always = s.out(Channel::Always);
  always << "Unknown baudrate: " << baud << crlf << "Available baudrates are:";
  for (uint32_t rate : table) always << " " << rate;
  always << crlf << "Using 115200" << crlf;
  return kFallbackBaudIndex;
}

// The application's speed request; accepted when the four-byte echo matches.
bool SendUnitBaudRate(TargetContext& s, uint8_t address, uint32_t baud) {
  CallRequest request;
  request.address = address;
  request.command = wire::cmd::SetUnitBaudRate;
  request.writeArguments = [baud](LinkContext& session) { PutPacketLong(session, baud); };
  request.argumentLength = 4;
  return CallOnce(s, request, 4);
}

uint32_t LimitForUnit(const Unit& unit, uint32_t baud) {
  if (unit.mcuType == mcu::H8S2145) return std::min<uint32_t>(baud, 115200);
  return TakesFullSpeed(unit) ? baud : std::min<uint32_t>(baud, 230400);
}

}  // namespace

bool SetUnitBaudRate(TargetContext& s, Unit& unit, uint32_t baud) {
  if (unit.mode != modeBalvantaSoftware) return false;
  const uint32_t previousBaud = s.portSettings.baudRate;
  const uint8_t previousParity = s.portSettings.evenParity;

  uint8_t index = kFallbackBaudIndex;
  if (baud != 0) {
    baud = LimitForUnit(unit, baud);
    s.out(Channel::Debug) << "Balvanta baud rate " << baud << " specified" << crlf;
    index = IndexOrFallback(s, kUnitBaudTable, baud);
  }
  uint32_t rate = kUnitBaudTable[index - 1];
  if (rate == s.portSettings.baudRate) {
    s.out(Channel::Debug) << "No change - already at the specified baud rate" << crlf;
    SetReplyTimeout(s, ReplyTimeoutLong);
    return true;
  }

  s.out(Channel::Debug) << "Changing Balvanta baud rate to " << rate << crlf;
  bool accepted = false;
  for (int attempt = 0; attempt < 8 && !accepted; ++attempt) {
    // A unit that switched after an earlier attempt whose reply was lost hears the odd ones.
    if (attempt % 2 == 0) {
      ChangePacketBaudRateOrStop(s, previousBaud, previousParity, ReplyTimeoutNormal, false);
    } else {
      ChangePacketBaudRateOrStop(s, rate, 0, ReplyTimeoutNormal, false);
    }
    accepted = SendUnitBaudRate(s, unit.address, rate);
  }
  if (!accepted) {
    s.out(Channel::Debug) << "FAILED" << crlf;
    return false;
  }

  ChangePacketBaudRateOrStop(s, rate, 0, ReplyTimeoutNormal, false);
  bool answers = false;
  for (int attempt = 0; attempt < 4 && !answers; ++attempt) answers = Ping(s, unit.address);
  if (!answers) {
    s.out(Channel::Always) << "-- could not connect at " << rate << " - falling back to 115200" << crlf;
    rate = 115200;
    ChangePacketBaudRateOrStop(s, rate, 0, ReplyTimeoutNormal, false);
    bool back = false;
    for (int attempt = 0; attempt < 150 && !back; ++attempt) back = SendUnitBaudRate(s, unit.address, rate);
    if (!back) {
      s.out(Channel::Debug) << "FAILED" << crlf;
      return false;
    }
  }
  s.out(Channel::Debug) << "COMPLETE" << crlf;
  ChangePacketBaudRateOrStop(s, rate, 0, ReplyTimeoutLong, false);
  return true;
}

void SetUnitBaudRateOrStop(TargetContext& s, Unit& unit, uint32_t baud) {
  if (!SetUnitBaudRate(s, unit, baud)) FatalError(s, "Unable to change baud rate");
}

bool SetProgrammerBaudRate(TargetContext& s, Unit& unit, uint32_t baud, bool extended) {
  const std::span<const uint32_t> table =
      extended ? std::span<const uint32_t>(kExtendedBaudTable) : std::span<const uint32_t>(kUnitBaudTable);
  const uint32_t previousBaud = s.portSettings.baudRate;
  const uint8_t previousParity = s.portSettings.evenParity;

  uint8_t index = kFallbackBaudIndex;
  if (baud != 0) {
    s.out(Channel::Debug) << "Programmer baud rate " << baud << " specified" << crlf;
    index = IndexOrFallback(s, table, baud);
  }
  const uint32_t rate = table[index - 1];
  if (rate == s.portSettings.baudRate) {
    s.out(Channel::Debug) << "No change - already at the specified baud rate " << rate << crlf;
    SetReplyTimeout(s, ReplyTimeoutLong);
    return true;
  }

  s.out(Channel::Debug) << "Changing programmer baud rate to " << rate << crlf;
  CallRequest request;
  request.address = s.bootLoaderAddress;
  request.command =
      HasCurrentProgrammerSpeedCall(unit) ? wire::cmd::SetProgrammerBaudRate : wire::cmd::SetProgrammerBaudRateOld;
  request.writeArguments = [index](LinkContext& session) { PutPacketByte(session, index); };
  request.argumentLength = 1;
  for (int attempt = 0; attempt < 16; ++attempt) {
    // The programmer may have switched already, or never have left one of the usual speeds.
    switch (attempt % 4) {
      case 0: ChangePacketBaudRateOrStop(s, previousBaud, previousParity, ReplyTimeoutShort(s), false); break;
      case 1: ChangePacketBaudRateOrStop(s, rate, 0, ReplyTimeoutShort(s), false); break;
      case 2: ChangePacketBaudRateOrStop(s, 115200, 0, ReplyTimeoutShort(s), false); break;
      default: ChangePacketBaudRateOrStop(s, 9600, 0, ReplyTimeoutShort(s), false); break;
    }
    if (CallOnce(s, request, 4)) {
      s.out(Channel::Debug) << "COMPLETE" << crlf;
      ChangePacketBaudRateOrStop(s, rate, 0, ReplyTimeoutLong, false);
      return true;
    }
  }
  s.out(Channel::Debug) << "FAILED" << crlf;
  return false;
}

}  // namespace kl
