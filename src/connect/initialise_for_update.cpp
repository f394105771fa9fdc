// Rebooting a running unit into its boot loader at a speed the program can follow, so that a
// flash programmer can be downloaded.
#include <iterator>

#include "connect/connection.h"
#include "connect/discovery.h"
#include "driver/fatal_error.h"
#include "protocol/capabilities.h"
#include "protocol/identification.h"
#include "protocol/link_speed.h"
#include "protocol/remote_call.h"
#include "protocol/target_context.h"
#include "protocol/unit_control.h"
#include "transport/link_control.h"
#include "transport/packet_link.h"
#include "wire/commands.h"

namespace kl {

namespace {

// The unit's application speed before the reboot, the PC's speed after it, and whether the
// PC's port is switched in place (the boot loader may start talking before a re-open ends).
struct RebootSpeeds {
  uint32_t unitBaud;
  uint32_t pcBaud;
  bool direct;
};
constexpr RebootSpeeds kRebootSpeeds[] = {
    {9600, 9600, true},
    {9600, 115200, true},
    {115200, 9600, false},
    {115200, 115200, false},
};
constexpr uint32_t kGotoBootLoaderMs = 800;
constexpr uint32_t kBootLoaderAnswerMs = 1000;
constexpr int kProgrammerProbes = 2;
constexpr uint32_t kProgrammerVersionReply = 6;

// A flash programmer an earlier run left running answers at the boot-loader address as the
// boot loader does, but takes no programmer download. Only a programmer knows this call.
bool ProgrammerLeftRunning(TargetContext& s) {
  CallRequest request;
  request.address = s.bootLoaderAddress;
  request.command = wire::cmd::GetProgrammerVersion;
  SetReplyTimeout(s, ReplyTimeoutNormal);  // the boot loader's silence is the usual answer
  for (int probe = 0; probe < kProgrammerProbes; ++probe) {
    const bool answered = CallOnce(s, request, kProgrammerVersionReply, [](LinkContext& session) {
      GetPacketByte(session);  // version and release: any programmer will do
      GetPacketByte(session);
      return true;
    });
    if (answered) return true;
  }
  return false;
}

// Restarts such a programmer, as a power cycle would: the boot loader comes up and keeps a
// unit whose application was cut off, or hands over to an application left whole. True when
// the unit was found again.
bool RestartLeftProgrammer(TargetContext& s, Unit& unit) {
  s.out(Channel::Debug) << "-- a flash programmer is still running in the unit: restarting it" << crlf;
  return Reset(s, unit) && FindUnit(s, unit);
}

bool BootLoaderAnswers(TargetContext& s, Unit& unit) {
  s.out(Channel::Debug) << "RPC: ReadBootLoaderVersion" << crlf;
  const uint32_t attempts = kBootLoaderAnswerMs / ReplyTimeoutShort(s);
  for (uint32_t attempt = 0; attempt < attempts; ++attempt) {
    if (ReadBootLoaderVersion(s, unit)) {
      s.out(Channel::Debug) << "COMPLETE" << crlf;
      return true;
    }
  }
  return false;
}

// One reboot with the given speeds: true once the boot loader answered, at the PC's new
// speed or at another one the search found it at; `goOn` stays true when the application
// was found again and the next speeds may be tried.
bool RebootOnce(TargetContext& s, Unit& unit, const RebootSpeeds& speeds, bool& goOn) {
  goOn = false;
  SetReplyTimeout(s, ReplyTimeoutNormal);
  if (SetsOwnSpeed(unit)) {
    if (!SetUnitBaudRate(s, unit, speeds.unitBaud)) FatalError(s, "Unable to change baud rate");
    SetReplyTimeout(s, ReplyTimeoutNormal);
  }
  if (!GotoBootLoader(s)) return false;
  ChangePacketBaudRateOrStop(s, speeds.pcBaud, 0, ReplyTimeoutShort(s), speeds.direct);
  if (BootLoaderAnswers(s, unit)) return true;
  if (!FindUnit(s, unit)) return false;
  // Found waiting in its boot loader, only at a speed other than the one tried: that is
  // where the unit should be. A boot loader would not answer a further GotoBootLoader.
  if (unit.mode == modeBalvantaBootLoader) return true;
  goOn = true;
  return false;
}

}  // namespace

bool GotoBootLoader(TargetContext& s) {
  s.out(Channel::Debug) << "RPC: GotoBootLoader" << crlf;
  CallRequest request;
  request.address = s.currentUnitId;
  request.command = wire::cmd::GotoBootLoader;
  const uint32_t attempts = kGotoBootLoaderMs / ReplyTimeoutNormal;
  for (uint32_t attempt = 0; attempt < attempts; ++attempt) {
    if (CallOnce(s, request, 4)) {
      s.out(Channel::Debug) << "COMPLETE" << crlf;
      return true;
    }
  }
  return false;
}

bool InitialiseForUpdate(TargetContext& s, Unit& unit, bool keepRunningProgrammer) {
  s.out(Channel::Debug) << "InitialiseForUpdate: Rebooting unit" << crlf;
  if (s.portSettings.hardwareHandshake) {
    s.out(Channel::Debug) << "-- hardware handshaking disabled" << crlf;
    s.portSettings.hardwareHandshake = 0;
  }

  // A unit already waiting in its boot loader needs no reboot (and would answer none).
  bool inBootLoader = unit.mode == modeBalvantaBootLoader;
  bool found = true;
  if (inBootLoader && ProgrammerLeftRunning(s)) {
    if (keepRunningProgrammer) {
      s.out(Channel::Debug) << "-- a flash programmer is still running in the unit: it is kept" << crlf;
      unit.mode = modeFlashProgrammer;
      SetReplyTimeout(s, ReplyTimeoutNormal);
      GetBufferSize(s, unit);
      return true;
    }
    found = RestartLeftProgrammer(s, unit);
    inBootLoader = found && unit.mode == modeBalvantaBootLoader;
  }
  for (size_t row = 0; found && !inBootLoader && row < std::size(kRebootSpeeds); ++row) {
    bool goOn = false;
    inBootLoader = RebootOnce(s, unit, kRebootSpeeds[row], goOn);
    if (!goOn) break;
  }
  if (!inBootLoader && !WaitForBootLoader(s, unit)) return false;

  unit.mode = modeBalvantaBootLoader;
  SetReplyTimeout(s, ReplyTimeoutNormal);
  s.out(Channel::Debug) << "RPC: ReadBootLoaderRelease" << crlf;
  if (ReadBootLoaderRelease(s, unit)) s.out(Channel::Debug) << "COMPLETE" << crlf;
  GetBufferSize(s, unit);
  return true;
}

}  // namespace kl
