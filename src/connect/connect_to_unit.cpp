// Reading the found unit's identity, with the operator's power cycle as the way into a boot
// loader when nothing answers.
#include "connect/connection.h"
#include "driver/console_input.h"
#include "driver/fatal_error.h"
#include "protocol/capabilities.h"
#include "protocol/identification.h"
#include "protocol/link_speed.h"
#include "protocol/target_context.h"
#include "transport/link_control.h"
#include "transport/serial_port.h"

namespace kl {

namespace {

constexpr uint32_t kFirstWaitMs = 60000;   // at 9600 baud
constexpr uint32_t kSecondWaitMs = 30000;  // at 115200 baud

bool PollBootLoader(TargetContext& s, Unit& unit, uint32_t baud, uint32_t waitMs, std::string_view prompt) {
  s.out(Channel::Always) << prompt << crlf;
  ChangePacketBaudRateOrStop(s, baud, 0, ReplyTimeoutShort(s), false);
  SaveConnectionBaudRate(s);
  s.out(Channel::Debug) << "RPC: ReadBootLoaderVersion" << crlf;
  // Each unanswered attempt lasts one short reply time-out: attempts, not milliseconds.
  const uint32_t attempts = waitMs / ReplyTimeoutShort(s);
  for (uint32_t attempt = 0; attempt < attempts; ++attempt) {
    if (EscapePressed(s)) FatalError(s, "Aborted");
    if (!ReadBootLoaderVersion(s, unit)) continue;
    s.out(Channel::Debug) << "COMPLETE" << crlf;
    unit.address = s.bootLoaderAddress;
    s.currentUnitId = s.bootLoaderAddress;
    unit.mode = modeBalvantaBootLoader;
    s.out(Channel::Always) << "\r\n-- Found Unit (balvanta boot loader)" << crlf;
    return true;
  }
  return false;
}

}  // namespace

bool WaitForBootLoader(TargetContext& s, Unit& unit) {
  // Without an open port no boot loader can answer: asking the operator for a power cycle
  // would only keep them waiting.
  if (!IsPortOpen(s)) return false;
  unit.address = 1;
  s.currentUnitId = 1;
  s.bootLoaderAddress = 1;
  return PollBootLoader(s, unit, 9600, kFirstWaitMs,
                        "Attempting to connect to boot loader, please turn the unit power off and on now") ||
         PollBootLoader(s, unit, 115200, kSecondWaitMs,
                        "Attempting to connect to boot loader at 115200 baud, please turn the unit power off "
                        "and on now");
}

bool ConnectToUnit(TargetContext& s, Unit& unit) {
  s.out(Channel::Debug) << "Connecting to Balvanta unit..." << crlf;
  if (!IsPortOpen(s)) return false;
  // One power cycle at most: a boot loader that answers but cannot tell its identity would
  // otherwise be asked for it for ever.
  bool waitedForBootLoader = false;
  for (;;) {
    RestoreConnectionBaudRate(s, ReplyTimeoutNormal);
    if (unit.mode == modeBalvantaSoftware) Ping(s, s.currentUnitId);  // wakes the link; answer not needed
    if (ReadUnitInfo(s, unit)) break;
    if (waitedForBootLoader || !WaitForBootLoader(s, unit)) return false;
    waitedForBootLoader = true;
  }
  if (unit.mode == modeBalvantaBootLoader) ReadBootLoaderRelease(s, unit);
  if (unit.mode == modeUnknown) s.out(Channel::Debug) << "-- software mode of unit is unknown" << crlf;
  s.newFileProtocol = UsesNewFileProtocol(unit);
  RestoreConnectionBaudRate(s, ReplyTimeoutLong);
  return true;
}

}  // namespace kl
