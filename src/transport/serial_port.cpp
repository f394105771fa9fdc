#include "transport/serial_port.h"

#include <algorithm>
#include <cstring>

#include "driver/diagnostics.h"
#include "driver/fatal_error.h"
#include "transport/link_context.h"

namespace kl {

namespace {

constexpr uint32_t kRingMask = SerialPort::kRingSize - 1;
constexpr int kTraceBytes = 17;

// Clears the record in place (it is too large for a temporary on the stack).
void ResetPort(SerialPort& port) {
  port.handle.reset();
  port.timeout = 0;
  port.ring.fill(0);
  port.donePos = 0;
  port.headPos = 0;
  port.slots.fill(WriteSlot{});
  port.oldestSlot = 0;
  port.nextSlot = 0;
}

bool SlotsOutstanding(const SerialPort& port) { return port.oldestSlot != port.nextSlot; }
bool SlotsFull(const SerialPort& port) { return (port.nextSlot + 1) % SerialPort::kSlots == port.oldestSlot; }

uint32_t WaitFor(const SerialPort& port) {
  return port.timeout == 0 ? kWaitWithoutLimit : static_cast<uint32_t>(port.timeout);
}

// "<WriteCommPortOverlapped(4) 01 45 10 1B>", "[ReadCommPortOverlapped(2) 06 07]".
void TraceBytes(LinkContext& s, std::string_view label, const uint8_t* bytes, long count, char close) {
  if (s.out.diagnosticsLevel <= 0) return;  // dropped anyway: spare the formatting
  // Appended piece by piece: chains of + give an optimised GCC 12 build a false -Wrestrict.
  std::string text(label);
  if (count > 0) text.append("(").append(decimalText(count)).append(")");
  for (long i = 0; i < count; ++i) {
    if (i == kTraceBytes) {
      text.append("...");
      break;
    }
    text.append(" ").append(hexText(bytes[i], 2));
  }
  text += close;
  ReportDiagnostic(s, text);
}

void ReportSystemError(LinkContext& s) {
  ReportDiagnostic(s, "Error: " + s.platform.process.errorText(s.platform.process.lastError()));
}

void ReportLineErrors(LinkContext& s, SerialPort& port) {
  if (!port.handle) return;
  const uint32_t bits = port.handle->takeLineErrors();
  if (bits == 0) return;
  if (bits & lineerr::Frame) {
    ReportDiagnostic(s, "Comm port framing error");
  } else if (bits & lineerr::Overrun) {
    ReportDiagnostic(s, "Comm port overrun");
  } else if (bits & lineerr::RxParity) {
    ReportDiagnostic(s, "Comm port parity error");
  } else if (bits & lineerr::Break) {
    ReportDiagnostic(s, "Comm port break");
  } else {
    ReportDiagnostic(s, "Comm port error");
  }
}

}  // namespace

// ---- primitives ----

namespace {

// One stop bit when asked for, otherwise two.
SerialSettings LineSettings(uint32_t baud, int stopBits, bool parityOn, bool even, bool ctsFlow) {
  SerialSettings settings;
  settings.baud = baud;
  settings.stopBits = static_cast<uint8_t>(stopBits == 1 ? 1 : 2);
  settings.parityOn = parityOn;
  settings.even = even;
  settings.ctsFlow = ctsFlow;
  return settings;
}

}  // namespace

bool OpenCommPortOverlapped(LinkContext& s, SerialPort& port, int number, uint32_t baud, int stopBits, bool parityOn,
                            bool even, bool ctsFlow, int16_t timeout) {
  ResetPort(port);
  port.timeout = timeout;
  DebugTrace(s, "COM" + decimalText(number) + ":Speed=" + decimalText(baud) + " StopBits=" +
                    decimalText(stopBits) + " Parity=" + decimalText(parityOn ? 1 : 0));
  port.handle = s.platform.serial.open(number, LineSettings(baud, stopBits, parityOn, even, ctsFlow));
  if (!port.handle) {
    ResetPort(port);
    return false;
  }
  port.handle->purge();
  port.handle->takeLineErrors();
  return true;
}

void CloseCommPortOverlapped(LinkContext& s, SerialPort& port) {
  if (port.handle) {
    FlushCommPortWrites(s, port);
    port.handle->purge();
    port.handle->takeLineErrors();
  }
  ResetPort(port);
}

long FinishOldestWrite(LinkContext& s, SerialPort& port, uint32_t waitMs) {
  WriteSlot& slot = port.slots[port.oldestSlot];
  const long expected = static_cast<long>((slot.endPos - slot.startPos) & kRingMask);
  long result = expected;
  if (slot.writeId >= 0) {
    const long written = port.handle ? port.handle->finishWrite(slot.writeId, waitMs) : -1;
    if (written == 0) return 0;
    if (written < 0) {
      ReportSystemError(s);
      result = -1;
    } else if (written != expected) {
      ReportDiagnostic(s, "Write error: TIMEOUT");
      result = -1;
    }
    slot.writeId = -1;
  }
  port.donePos = slot.endPos;
  port.oldestSlot = (port.oldestSlot + 1) % SerialPort::kSlots;
  return result;
}

long WriteCommPortOverlapped(LinkContext& s, SerialPort& port, const uint8_t* bytes, uint32_t count) {
  if (!port.handle) return -1;
  Clock& clock = s.platform.clock;
  const uint32_t began = clock.tickMs();
  long accepted = 0;
  while (count > 0 && (port.timeout == 0 || clock.tickMs() - began < static_cast<uint32_t>(port.timeout))) {
    if (SlotsFull(port)) {
      if (FinishOldestWrite(s, port, WaitFor(port)) < 0) return -1;
      continue;
    }
    // One byte of the ring always stays free, so that head == done means empty.
    const uint32_t free = SerialPort::kRingSize - 1 - ((port.headPos - port.donePos) & kRingMask);
    if (free == 0) {
      if (FinishOldestWrite(s, port, WaitFor(port)) < 0) return -1;
      continue;
    }
    // A chunk never wraps past the end of the ring: each write covers one stretch.
    const uint32_t chunk = std::min({free, count, SerialPort::kRingSize - port.headPos});
    while (SlotsOutstanding(port)) {
      const long reclaimed = FinishOldestWrite(s, port, 0);
      if (reclaimed < 0) return -1;
      if (reclaimed == 0) break;
    }
    WriteSlot& slot = port.slots[port.nextSlot];
    slot.startPos = port.headPos;
    std::memcpy(port.ring.data() + port.headPos, bytes, chunk);
    port.headPos = (port.headPos + chunk) & kRingMask;
    slot.endPos = port.headPos;
    port.nextSlot = (port.nextSlot + 1) % SerialPort::kSlots;
    TraceBytes(s, "<WriteCommPortOverlapped", bytes, chunk, '>');
    accepted += chunk;
    bytes += chunk;
    count -= chunk;

    slot.startTick = clock.tickMs();
    slot.writeId = port.handle->startWrite(port.ring.data() + slot.startPos, chunk);
    if (slot.writeId < 0) {
      // Never started: the slot and its ring bytes go back.
      port.headPos = slot.startPos;
      port.nextSlot = (port.nextSlot + SerialPort::kSlots - 1) % SerialPort::kSlots;
      ReportSystemError(s);
      ReportLineErrors(s, port);
      return -1;
    }
    // A write the device took at once is finished; its slot is reclaimed by a later call.
    const long now = port.handle->finishWrite(slot.writeId, 0);
    if (now == 0) continue;
    slot.writeId = -1;
    if (now < 0) {
      ReportSystemError(s);
      ReportLineErrors(s, port);
      return -1;
    }
    if (now != static_cast<long>(chunk)) {
      ReportDiagnostic(s, "Write error: TIMEOUT");
      return -1;
    }
  }
  return accepted;
}

long ReadCommPortOverlapped(LinkContext& s, SerialPort& port, uint8_t* buffer, uint32_t maximum) {
  if (!port.handle) return -1;
  long total = 0;
  while (static_cast<uint32_t>(total) < maximum) {
    if (SlotsOutstanding(port) && FinishOldestWrite(s, port, 0) < 0) return -1;
    const long n = port.handle->read(buffer + total, maximum - static_cast<uint32_t>(total));
    if (n < 0) {
      ReportSystemError(s);
      ReportLineErrors(s, port);
      return -1;
    }
    if (n == 0) break;
    TraceBytes(s, "[ReadCommPortOverlapped", buffer + total, n, ']');
    total += n;
  }
  return total;
}

long ReadCommPortWithTimeout(LinkContext& s, SerialPort& port, uint8_t* buffer, uint32_t count) {
  if (!port.handle) return -1;
  Clock& clock = s.platform.clock;
  const uint32_t began = clock.tickMs();
  uint32_t got = 0;
  while (got < count) {
    if (clock.tickMs() - began >= s.portSettings.replyTimeout) break;
    // Up to 10 ms, and no longer than it takes the next byte to arrive.
    port.handle->waitReadable(10);
    const long n = ReadCommPortOverlapped(s, port, buffer + got, count - got);
    if (n < 0) return -1;
    got += static_cast<uint32_t>(n);
  }
  return static_cast<long>(got);
}

bool FlushCommPortWrites(LinkContext& s, SerialPort& port) {
  bool ok = true;
  while (SlotsOutstanding(port)) {
    if (FinishOldestWrite(s, port, kWaitUntilSent) < 0) ok = false;
  }
  return ok;
}

bool SetCommPortSpeed(LinkContext& s, SerialPort& port, uint32_t baud, int stopBits, bool parityOn, bool even,
                      bool ctsFlow) {
  if (!port.handle) return false;
  if (port.handle->setSettings(LineSettings(baud, stopBits, parityOn, even, ctsFlow))) return true;
  ReportSystemError(s);
  return false;
}

bool GetCommCTS(LinkContext&, SerialPort& port) { return port.handle && port.handle->cts(); }

// ---- connection operations ----

bool IsPortOpen(LinkContext& s) { return s.port.handle != nullptr; }

namespace {

bool OpenWithSettings(LinkContext& s, uint32_t baud) {
  const PortSettings& p = s.portSettings;
  const bool parity = p.evenParity != 0;
  return OpenCommPortOverlapped(s, s.port, p.portNumber, baud, 2, parity, parity, p.hardwareHandshake != 0, 0);
}

// The message for an open that failed with `code`, without the busy case.
void WriteOpenFailure(LinkContext& s, int code) {
  const uint16_t number = s.portSettings.portNumber;
  ChannelWriter& debug = s.out(Channel::Debug);
  switch (code) {
    case oserr::FileNotFound:
      debug << "COM" << number << " is not present on this computer" << crlf;
      break;
    case oserr::InvalidParameter:
      debug << "COM" << number << " does not support requested baud rate" << crlf;
      break;
    default:
      debug << "COM" << number << ":" << code << ":" << "Error: " << s.platform.process.errorText(code) << crlf;
      break;
  }
}

bool IsBusy(int code) { return code == oserr::AccessDenied || code == oserr::SharingViolation; }

void CreateLockFile(LinkContext& s) {
  PortSettings& p = s.portSettings;
  const std::string directory = s.platform.environment.get("BALVANTALOCKDIR");
  p.lockFilePath = directory;
  if (directory.empty()) return;
  s.out(Channel::DetailedDebug) << "OpenPort creating lock file: " << directory << crlf;
  std::string path = directory;
  const char last = path.back();
  if (last != '\\' && last != '/' && last != ':') path += s.platform.files.separator();
  path += "lockBalvantaCommPort" + decimalText(p.portNumber);
  p.lockFilePath = path;
  // Created or emptied: an existing lock file does not stop the open.
  std::unique_ptr<File> file = s.platform.files.create(path);
  if (file) {
    file->close();
    return;
  }
  Process& process = s.platform.process;
  s.out(Channel::Debug) << "Cannot create lock file " << path << crlf << "Error: "
                        << process.errorText(process.lastError()) << crlf;
  p.lockFilePath.clear();  // go on without the lock
}

void DeleteLockFile(LinkContext& s, const char* caller) {
  PortSettings& settings = s.portSettings;
  if (settings.lockFilePath.empty()) return;
  s.out(Channel::DetailedDebug) << caller << " deleting lock file: " << settings.lockFilePath << crlf;
  FileSystem& files = s.platform.files;
  if (!files.remove(settings.lockFilePath)) {
    files.makeWritable(settings.lockFilePath);
    if (!files.remove(settings.lockFilePath)) {
      s.out(Channel::Debug) << "Cannot delete lock file " << settings.lockFilePath << crlf
                            << s.platform.process.errorText(s.platform.process.lastError()) << crlf;
    }
  }
  settings.lockFilePath.clear();
}

}  // namespace

bool OpenPort(LinkContext& s) {
  PortSettings& p = s.portSettings;
  CreateLockFile(s);

  uint32_t speed = p.baudRate;
  const bool testProgrammingSpeed = p.programmingBaud > 115200 && p.programmingBaud != p.baudRate;
  if (testProgrammingSpeed) {
    s.out(Channel::DetailedDebug) << "OpenPort using programmer baud rate " << p.programmingBaud << crlf;
    speed = p.programmingBaud;
  }

  constexpr int kBusyAttempts = 100;
  int busyFailures = 0;
  for (;;) {
    s.out(Channel::DetailedDebug) << "OpenPort opening comm port: " << p.portNumber << " " << speed << crlf;
    if (OpenWithSettings(s, speed)) break;
    const int code = s.platform.process.lastError();
    if (IsBusy(code)) {
      s.out(Channel::Always) << ".";
      if (++busyFailures == kBusyAttempts) break;
      s.platform.clock.sleep(100);
      continue;
    }
    WriteOpenFailure(s, code);
    break;
  }
  if (busyFailures > 0) s.out(Channel::Always) << crlf;

  if (testProgrammingSpeed && IsPortOpen(s)) {
    s.out(Channel::DetailedDebug) << "OpenPort closing comm port: " << p.portNumber << crlf;
    CloseCommPortOverlapped(s, s.port);
    s.out(Channel::DetailedDebug) << "OpenPort opening comm port: " << p.portNumber << " " << p.baudRate << crlf;
    if (!OpenWithSettings(s, p.baudRate)) {
      const int code = s.platform.process.lastError();
      if (IsBusy(code)) {
        s.out(Channel::Debug) << "COM" << p.portNumber << " is being used by another application" << crlf;
      } else {
        WriteOpenFailure(s, code);
      }
    }
  }

  if (!IsPortOpen(s)) DeleteLockFile(s, "OpenPort");
  return IsPortOpen(s);
}

void ClosePort(LinkContext& s) {
  if (IsPortOpen(s)) {
    s.out(Channel::DetailedDebug) << "ClosePort closing comm port: " << s.portSettings.portNumber << crlf;
    CloseCommPortOverlapped(s, s.port);
  }
  DeleteLockFile(s, "ClosePort");
}

bool ChangeBaudRate(LinkContext& s) {
  const PortSettings& p = s.portSettings;
  if (IsPortOpen(s)) {
    s.out(Channel::DetailedDebug) << "ChangeBaudRate closing comm port: " << p.portNumber << crlf;
    CloseCommPortOverlapped(s, s.port);
  }
  constexpr int kAttempts = 20;
  int code = oserr::None;
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    s.out(Channel::DetailedDebug) << "ChangeBaudRate opening comm port: " << p.portNumber << " " << p.baudRate << crlf;
    if (OpenWithSettings(s, p.baudRate)) return true;
    code = s.platform.process.lastError();
    s.out(Channel::Debug) << "Error re-opening port: ";
    if (code == oserr::InvalidParameter) {
      WriteOpenFailure(s, code);
      return false;
    }
    if (IsBusy(code)) {
      s.out(Channel::Debug) << "COM" << p.portNumber << " is being used by another application" << crlf;
    } else {
      WriteOpenFailure(s, code);
    }
    if (attempt < kAttempts) s.platform.clock.sleep(25);
  }
  FatalError(s, "Error: " + s.platform.process.errorText(code));
}

}  // namespace kl
