#include "protocol/unit_control.h"

#include "driver/fatal_error.h"
#include "protocol/capabilities.h"
#include "protocol/remote_call.h"
#include "protocol/target_context.h"
#include "transport/packet_link.h"
#include "wire/commands.h"

namespace kl {

namespace {

constexpr int kShortAttempts = 4;
constexpr int kAttempts = 8;
constexpr int kBufferSizeAttempts = 2;
constexpr int32_t kDefaultBufferSize = 128;
constexpr uint8_t kMaxRemoteUnits = 100;
constexpr uint8_t kMaxDebugLogs = 32;
constexpr uint32_t kWaitForUnitMs = 10001;
constexpr uint32_t kReadyPollMs = 200;

ChannelWriter& Debug(TargetContext& s) { return s.out(Channel::Debug); }

bool IsLpc(const Unit& unit) { return unit.mcuType >= mcu::LPC2478 && unit.mcuType <= mcu::LPC4357; }

CallRequest Request(uint8_t address, uint16_t command) { return CallRequest{address, command, {}, 0}; }

// A call whose reply is the echo alone.
bool Acknowledged(TargetContext& s, const CallRequest& request) { return CallOnce(s, request, 4); }

// Up to `attempts` attempts, each announced with its own "RPC: " line.
bool AnnouncedAttempts(TargetContext& s, std::string_view name, int attempts, const CallRequest& request) {
  const bool done = Repeat(attempts, [&] {
    Debug(s) << "RPC: " << name << crlf;
    return Acknowledged(s, request);
  });
  if (done) {
    LogComplete(s);
  } else {
    LogFailed(s);
  }
  return done;
}

}  // namespace

bool GetModbusAddress(TargetContext& s, Unit& unit, uint8_t& address) {
  const CallRequest request = Request(unit.address, wire::cmd::GetModbusAddress);
  uint8_t reported = 0;
  return LoggedCall(
      s, "GetModbusAddress", kShortAttempts,
      [&] {
        return CallOnce(s, request, 5, [&](LinkContext&) {
          reported = GetPacketByte(s);
          return true;
        });
      },
      [&] {
        address = reported;
        Debug(s) << "COMPLETE: ModbusAddress=" << reported << " (" << hex(reported, 2) << ")" << crlf;
      });
}

bool IsVComPort(TargetContext& s, Unit& unit) {
  if (!HasVComPorts(unit)) return false;
  const CallRequest request = Request(unit.address, wire::cmd::IsVComPort);
  uint8_t result = 0;
  const bool answered = LoggedCall(
      s, "IsVComPort", kAttempts,
      [&] {
        return CallOnce(s, request, 5, [&](LinkContext&) {
          result = GetPacketByte(s);
          return true;
        });
      },
      [&] { Debug(s) << "COMPLETE: Result=" << (result != 0 ? "1" : "0") << crlf; });
  return answered && result != 0;
}

bool GetBufferSize(TargetContext& s, Unit& unit) {
  unit.bufferSize = kDefaultBufferSize;
  if (s.overlappedActive || unit.mcuType == mcu::H8S2145 || unit.mode == modeBalvantaSoftware ||
      (unit.mode == modeBalvantaBootLoader && !AnswersBufferSize(unit))) {
    return true;
  }
  Debug(s) << "RPC: GetBufferSize" << crlf;
  const uint16_t command = HasCurrentBufferSizeCall(unit) ? wire::cmd::GetBufferSize : wire::cmd::GetBufferSizeOld;
  const CallRequest request = Request(s.bootLoaderAddress, command);
  uint16_t size = 0;
  const bool answered = Repeat(kBufferSizeAttempts, [&] {
    return CallOnce(s, request, 6, [&](LinkContext&) {
      size = GetPacketWord(s);
      return true;
    });
  });
  if (!answered) return false;
  Debug(s) << "COMPLETE: Size=" << size << crlf;
  unit.bufferSize = size;
  return true;
}

bool GetProgrammerVersion(TargetContext& s, Unit& unit) {
  const CallRequest request = Request(s.bootLoaderAddress, wire::cmd::GetProgrammerVersion);
  return LoggedCall(s, "GetProgrammerVersion", kAttempts, [&] {
    return CallOnce(s, request, 6, [&](LinkContext&) {
      unit.programmerVersion = GetPacketByte(s);
      unit.programmerRelease = GetPacketByte(s);
      return true;
    });
  });
}

bool ConfigureProgrammer(TargetContext& s, Unit&, uint8_t value) {
  const CallRequest request{s.bootLoaderAddress, wire::cmd::ConfigureProgrammer,
                            [value](LinkContext& session) { PutPacketByte(session, value); }, 1};
  return LoggedCall(s, "ConfigureProgrammer", kAttempts, [&] { return Acknowledged(s, request); });
}

bool Reset(TargetContext& s, Unit& unit) {
  switch (unit.mode) {
    case modeBalvantaSoftware: {
      const bool done = AnnouncedAttempts(s, "Reset", kAttempts, Request(unit.address, wire::cmd::Reset));
      // A unit behind the proxy keeps its mode: the connected unit still runs its application.
      if (unit.address == s.currentUnitId) unit.mode = modeUnknown;
      return done;
    }
    case modeBalvantaBootLoader:
    case modeFlashProgrammer: {
      const bool done = AnnouncedAttempts(s, "Reset", kShortAttempts, Request(s.bootLoaderAddress, wire::cmd::Reset));
      if (done) unit.mode = modeUnknown;
      return done;
    }
    default:
      Debug(s) << "Unknown unit mode" << crlf;
      return false;
  }
}

bool ResetSystem(TargetContext& s, Unit& unit) {
  if (unit.mode != modeBalvantaSoftware) FatalError(s, "Unable to restart system");
  const bool done = AnnouncedAttempts(s, "ResetSystem", kAttempts, Request(unit.address, wire::cmd::ResetSystem));
  unit.mode = modeUnknown;
  return done;
}

bool EraseRange(TargetContext& s, Unit& unit, uint32_t first, uint32_t last) {
  if (!IsLpc(unit)) return true;
  const CallRequest request{s.bootLoaderAddress, wire::cmd::EraseRange,
                            [first, last](LinkContext& session) {
                              PutPacketLong(session, first);
                              PutPacketLong(session, last);
                            },
                            8};
  return LoggedCall(s, "EraseRange", kAttempts, [&] { return Acknowledged(s, request); });
}

bool EraseFMS(TargetContext& s, Unit& unit, uint8_t selector) {
  if (!IsLpc(unit)) FatalError(s, "Only supported on LPC chips");
  const CallRequest request{s.bootLoaderAddress, wire::cmd::EraseFMS,
                            [selector](LinkContext& session) {
                              PutPacketByte(session, selector);
                              PutPacketByte(session, 'F');
                              PutPacketByte(session, 'M');
                              PutPacketByte(session, 'S');
                            },
                            4};
  uint8_t result = 0;
  return LoggedCall(
      s, "EraseFMS", kAttempts,
      [&] {
        return CallOnce(s, request, 6, [&](LinkContext&) {
          const uint8_t echo = GetPacketByte(s);
          result = GetPacketByte(s);
          return echo == selector;
        });
      },
      [&] { Debug(s) << "COMPLETE: Result=" << hex(result, 2) << crlf; });
}

bool ListRemoteUnits(TargetContext& s, std::vector<uint8_t>& ids) {
  const CallRequest request = Request(s.currentUnitId, wire::cmd::ListRemoteUnits);
  std::vector<uint8_t> found;
  return LoggedCall(
      s, "ListRemoteUnits", kAttempts,
      [&] {
        found.clear();
        return CallOnceInSteps(s, request, 5, [&](LinkContext&) {
          const uint8_t count = GetPacketByte(s);
          ReceiveMore(s, count);
          // More units than any network holds: the IDs stay unread and the reply fails its
          // end check.
          if (count <= kMaxRemoteUnits) {
            for (uint8_t i = 0; i < count; ++i) found.push_back(GetPacketByte(s));
          }
          return true;
        });
      },
      [&] {
        ids = found;
        Debug(s) << "COMPLETE: " << ids.size() << " unit(s) found" << crlf;
      });
}

bool GetDebugLogs(TargetContext& s, Unit& unit, std::vector<uint16_t>& fileIds) {
  if (unit.mode != modeBalvantaSoftware) return false;
  Debug(s) << "RPC: GetDebugLogs" << crlf;
  const CallRequest request = Request(unit.address, wire::cmd::GetDebugLogs);
  std::vector<uint16_t> found;
  bool tooMany = false;
  const bool answered = Repeat(kShortAttempts, [&] {
    found.clear();
    SendCallRequest(s, request);
    ReceiveCallHead(s, request, 5);
    const bool echoed = ReadCallEcho(s, request);
    const uint8_t count = GetPacketByte(s);
    // Only a reply that is really this one's can say there are too many.
    if (echoed && count > kMaxDebugLogs) {
      // The caller's table holds no more; the rest of this reply is not wanted.
      ClearReceivedPacket(s);
      tooMany = true;
      return true;
    }
    ReceiveMore(s, 2u * count);
    for (uint8_t i = 0; i < count; ++i) found.push_back(GetPacketWord(s));
    return CheckPacketEnd(s) && echoed;
  });
  if (tooMany) {
    s.out(Channel::Always) << "Too many file ids";
    return false;
  }
  if (!answered) {
    LogFailed(s);
    return false;
  }
  fileIds = found;
  Debug(s) << "COMPLETE: " << fileIds.size() << " id(s) found" << crlf;
  return true;
}

void WaitForUnit(TargetContext& s, Unit& unit) {
  if (!AnswersWaitForUnit(unit)) return;
  ChannelWriter& always = s.out(Channel::Always);
  always << "Waiting for unit..." << crlf;
  Clock& clock = s.platform.clock;
  const CallRequest request = Request(unit.address, wire::cmd::WaitForUnit);
  const uint32_t start = clock.tickMs();
  while (clock.tickMs() - start < kWaitForUnitMs) {
    uint8_t ready = 0;
    const bool answered = CallOnce(s, request, 5, [&](LinkContext&) {
      ready = GetPacketByte(s);
      return true;
    });
    if (answered && ready != 0) {
      always << crlf;
      return;
    }
    clock.sleep(kReadyPollMs);
    always << ".";
  }
  LogFailed(s);
}

bool CheckUpdateFileSupport(TargetContext& s, Unit& unit) {
  Debug(s) << "Checking if unit will accept update files" << crlf;
  if (!SoftwareTakesUpdateFiles(unit)) {
    Debug(s) << "-- Balvanta software does not support update files" << crlf;
    return false;
  }
  if (!BootLoaderAppliesUpdateFiles(unit)) {
    Debug(s) << "-- Boot loader does not support update files (needs boot loader release 14 or later)" << crlf;
    return false;
  }
  if (!IsLpc(unit)) {
    Debug(s) << "-- MCU does not support software update files" << crlf;
    return false;
  }
  if (unit.unitFlags & 0x01) {
    Debug(s) << "COMPLETE: unit will accept update files" << crlf;
    return true;
  }
  Debug(s) << "-- Unit reports that it will not accept update files" << crlf;
  return false;
}

bool BootLoaderOlderThanNew(const Unit& unit) { return unit.bootLoaderRelease < 24; }

}  // namespace kl
