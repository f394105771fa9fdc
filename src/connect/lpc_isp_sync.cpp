// The autobaud handshake of the LPC chips' own serial boot loader, which tells a blank chip
// (or one started with its boot button pressed) apart from a unit with firmware, and the CTS
// probe that decides whether overlapped writes can be used.
#include <string_view>

#include "connect/discovery.h"
#include "connect/probe_speed.h"
#include "protocol/target_context.h"
#include "transport/link_control.h"
#include "transport/serial_port.h"

namespace kl {

namespace {

constexpr std::string_view kSynchronized = "Synchronized\r\n";
constexpr std::string_view kOk = "OK\r\n";
constexpr uint32_t kChipReplyMax = 80;

// Serial-layer diagnostics reach the log while the chip is spoken to, on every way out.
class RaisedDiagnostics {
 public:
  explicit RaisedDiagnostics(TargetContext& s) : s_(s) { ++s_.out.diagnosticsLevel; }
  ~RaisedDiagnostics() { --s_.out.diagnosticsLevel; }
  RaisedDiagnostics(const RaisedDiagnostics&) = delete;
  RaisedDiagnostics& operator=(const RaisedDiagnostics&) = delete;

 private:
  TargetContext& s_;
};

std::string LastErrorText(TargetContext& s) { return s.platform.process.errorText(s.platform.process.lastError()); }

bool WriteRaw(TargetContext& s, std::string_view text) {
  const long written =
      WriteCommPortOverlapped(s, s.port, reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()));
  if (written > 0) return true;
  s.out(Channel::Debug) << "<ERROR> " << LastErrorText(s) << crlf;
  return false;
}

// The chip's text reply; false on a read error.
bool ReadRaw(TargetContext& s, std::string& text) {
  uint8_t buffer[kChipReplyMax];
  const long count = ReadCommPortWithTimeout(s, s.port, buffer, kChipReplyMax);
  if (count < 0) {
    s.out(Channel::Debug) << "[ERROR]" << LastErrorText(s) << crlf;
    return false;
  }
  text.assign(reinterpret_cast<const char*>(buffer), static_cast<size_t>(count));
  return true;
}

}  // namespace

LpcSyncResult LpcIspSync(TargetContext& s, Unit& unit) {
  s.out(Channel::Debug) << "Checking for LPC chip firmware (blank chip or started with boot button pressed)" << crlf;
  if (!SetProbeSpeed(s, 115200, ReplyTimeoutNormal)) return LpcSyncResult::PortError;
  RaisedDiagnostics raised(s);

  std::string reply;
  if (!WriteRaw(s, "?") || !ReadRaw(s, reply)) return LpcSyncResult::PortError;
  if (reply.empty()) {
    s.out(Channel::Debug) << "[NO DATA]" << crlf;
    return LpcSyncResult::NotFound;
  }
  if (reply.find(kSynchronized) == std::string::npos) return LpcSyncResult::NotFound;

  s.out(Channel::Always) << "-- LPC chip firmware found" << crlf;
  if (!WriteRaw(s, kSynchronized) || !ReadRaw(s, reply)) return LpcSyncResult::PortError;
  if (reply.find(kOk) == std::string::npos) {
    s.out(Channel::Always) << "-- synchronization failed" << crlf;
    return LpcSyncResult::NotFound;
  }
  s.out(Channel::Debug) << "-- synchronization succeeded" << crlf;
  SaveConnectionBaudRate(s);
  unit.mode = modeBlankMcu;
  return LpcSyncResult::Found;
}

bool ProbeCts(TargetContext& s) {
  constexpr uint32_t kWaitMs = 1000;
  constexpr uint32_t kPollMs = 10;
  Clock& clock = s.platform.clock;
  const uint32_t start = clock.tickMs();
  for (;;) {
    if (GetCommCTS(s, s.port)) {
      s.out(Channel::Always) << "-- CTS signal received from unit" << crlf;
      return true;
    }
    if (clock.tickMs() - start >= kWaitMs) break;
    clock.sleep(kPollMs);
  }
  s.out(Channel::Always) << "-- no CTS signal received from unit, overlapped mode disabled" << crlf;
  return false;
}

}  // namespace kl
