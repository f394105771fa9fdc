// Finding a unit again after it restarted: directly on the port, or behind the proxy where it
// may come back under a new address.
#include <algorithm>
#include <optional>
#include <vector>

#include "connect/connection.h"
#include "connect/discovery.h"
#include "driver/fatal_error.h"
#include "protocol/identification.h"
#include "protocol/link_speed.h"
#include "protocol/target_context.h"
#include "protocol/unit_control.h"
#include "transport/link_control.h"

namespace kl {

namespace {

constexpr uint32_t kKnownAddressMs = 10000;
constexpr uint32_t kDirectPingMs = 5000;
constexpr uint32_t kGiveUpMs = 60000;
constexpr uint32_t kListPauseMs = 100;
constexpr uint32_t kPingAfterFindMs = 2000;
// The test jig's own control display sits on the network with the family of the units it tests.
constexpr uint8_t kTestJigDisplayId = 60;

class Stopwatch {
 public:
  explicit Stopwatch(Clock& clock) : clock_(clock), start_(clock.tickMs()) {}
  uint32_t elapsed() const { return clock_.tickMs() - start_; }

 private:
  Clock& clock_;
  uint32_t start_;
};

// A line of "." on the console while the search goes on, ended before the next message.
class Dots {
 public:
  explicit Dots(TargetContext& s) : s_(s) {}
  void add() {
    s_.out(Channel::Console) << ".";
    any_ = true;
  }
  void end() {
    if (any_) s_.out(Channel::Console) << crlf;
    any_ = false;
  }

 private:
  TargetContext& s_;
  bool any_ = false;
};

// The identity of the remote unit at `id`, read into a cleared record.
std::optional<Unit> ReadRemoteUnit(TargetContext& s, uint8_t id) {
  Unit remote;
  remote.mode = modeBalvantaSoftware;
  remote.address = id;
  if (!ReadUnitInfo(s, remote)) return std::nullopt;
  ReadExtendedInfo(s, remote);
  ReadAdvancedInfo(s, remote);
  return remote;
}

bool SameKind(const Unit& a, const Unit& b) { return a.unitFamily == b.unitFamily && a.mcuType == b.mcuType; }

bool FindRemoteAtKnownAddress(TargetContext& s, Unit& unit, const Stopwatch& clock) {
  std::vector<uint8_t> ids;
  while (clock.elapsed() < kKnownAddressMs) {
    s.platform.clock.sleep(kListPauseMs);
    if (!ListRemoteUnits(s, ids)) continue;
    if (std::find(ids.begin(), ids.end(), unit.address) == ids.end()) continue;
    const std::optional<Unit> remote = ReadRemoteUnit(s, unit.address);
    if (remote && SameKind(*remote, unit)) {
      CopyUnitIdentity(unit, *remote);
      return true;
    }
  }
  return false;
}

// One pass over the listed units: the one unit of the same kind, if there is exactly one.
std::optional<Unit> MatchListedUnit(TargetContext& s, const Unit& unit, const std::vector<uint8_t>& ids) {
  std::optional<Unit> match;
  for (uint8_t id : ids) {
    s.out(Channel::Debug) << "Checking Balvanta Unit: " << id << crlf;
    std::optional<Unit> remote = ReadRemoteUnit(s, id);
    if (!remote || !SameKind(*remote, unit)) continue;
    if (id == kTestJigDisplayId && remote->unitFamily == family::Display &&
        remote->serialNumber != unit.serialNumber) {
      s.out(Channel::Debug) << "-- TestJig control display (ignored)" << crlf;
      continue;
    }
    // Two candidates: the update could go to the wrong unit.
    if (match) FatalError(s, "Found more than one unit that matches the product type, unable to complete update");
    s.out(Channel::Debug) << "-- found matching unit: " << id << crlf;
    if (unit.serialNumber != 0 && unit.serialNumber != remote->serialNumber) {
      s.out(Channel::Always) << "\r\nWarning: serial number does not match!" << crlf;
    }
    match = std::move(remote);
  }
  return match;
}

bool ReconnectRemote(TargetContext& s, Unit& unit, const Stopwatch& clock, Dots& dots) {
  if (unit.mode == modeUnknown) {
    s.out(Channel::Debug) << "-- software mode of unit is unknown for remote unit, setting to balvanta software mode"
                          << crlf;
    unit.mode = modeBalvantaSoftware;
  }
  RestoreConnectionBaudRate(s, ReplyTimeoutNormal);
  if (FindRemoteAtKnownAddress(s, unit, clock)) return true;

  RestoreConnectionBaudRate(s, ReplyTimeoutLong);
  std::vector<uint8_t> ids;
  while (clock.elapsed() <= kGiveUpMs) {
    if (!ListRemoteUnits(s, ids)) {
      s.platform.clock.sleep(kListPauseMs);  // a silent proxy: do not hammer it
      dots.add();
      continue;
    }
    if (const std::optional<Unit> match = MatchListedUnit(s, unit, ids)) {
      CopyUnitIdentity(unit, *match);
      return true;
    }
    dots.add();
  }
  return false;
}

bool PingAndReadBasicInfo(TargetContext& s, Unit& unit) {
  if (!Ping(s, unit.address) || !ReadBasicInfo(s, unit, unit.address)) return false;
  s.out(Channel::Debug) << "COMPLETE" << crlf;
  unit.mode = modeBalvantaSoftware;
  ReadExtendedInfo(s, unit);
  ReadAdvancedInfo(s, unit);
  return true;
}

bool ReconnectDirect(TargetContext& s, Unit& unit, const Stopwatch& clock, Dots& dots) {
  RestoreConnectionBaudRate(s, ReplyTimeoutNormal);
  s.out(Channel::Debug) << "RPC: Ping and ReadBasicInfo" << crlf;
  while (clock.elapsed() < kDirectPingMs) {
    if (PingAndReadBasicInfo(s, unit)) return true;
  }
  while (clock.elapsed() <= kGiveUpMs) {
    if (FindUnit(s, unit)) {
      RestoreConnectionBaudRate(s, ReplyTimeoutNormal);
      s.out(Channel::Debug) << "RPC: Ping and ReadBasicInfo" << crlf;
      const uint32_t attempts = kPingAfterFindMs / ReplyTimeoutNormal;
      for (uint32_t attempt = 0; attempt < attempts; ++attempt) {
        if (PingAndReadBasicInfo(s, unit)) return true;
      }
    }
    dots.add();
  }
  return false;
}

}  // namespace

void CopyUnitIdentity(Unit& to, const Unit& from) {
  to.mode = from.mode;
  to.address = from.address;
  to.modbusAddress = from.modbusAddress;
  to.cardNumber = from.cardNumber;
  to.circuitCode = from.circuitCode;
  to.boardRevision = from.boardRevision;
  to.boardIssue = from.boardIssue;
  to.productNumber = from.productNumber;
  to.softwareVersion = from.softwareVersion;
  to.softwareRelease = from.softwareRelease;
  to.buildIncrement = from.buildIncrement;
  to.serialNumber = from.serialNumber;
  to.serialNumberRead = from.serialNumberRead;
  to.unitFlags = from.unitFlags;
  to.buildTime = from.buildTime;
  to.informationText = from.informationText;
  to.bootLoaderInfo = from.bootLoaderInfo;
  to.bootLoaderVersion = from.bootLoaderVersion;
  to.bootLoaderRelease = from.bootLoaderRelease;
  to.bootLoaderReleaseRead = from.bootLoaderReleaseRead;
  to.bootFlags = from.bootFlags;
  to.softwareChecksum = from.softwareChecksum;
  to.softwareCrc = from.softwareCrc;
  to.mcuType = from.mcuType;
  to.unitFamily = from.unitFamily;
}

bool ReconnectToUnit(TargetContext& s, Unit& unit) {
  const Stopwatch clock(s.platform.clock);
  s.out(Channel::Always) << "Reconnecting to unit " << unit.address << crlf;
  Dots dots(s);
  // Behind the proxy the current unit ID is the proxy's.
  const bool remote = unit.address != s.currentUnitId;
  const bool found = remote ? ReconnectRemote(s, unit, clock, dots) : ReconnectDirect(s, unit, clock, dots);
  dots.end();
  if (!found) return false;
  if (unit.mode == modeUnknown) s.out(Channel::Debug) << "-- software mode of unit is unknown" << crlf;
  RestoreConnectionBaudRate(s, ReplyTimeoutLong);
  return true;
}

}  // namespace kl
