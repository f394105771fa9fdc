#include "transport/serial_port.h"

#include "driver/session.h"

namespace kl {

bool IsPortOpen(Session& s) { return s.port.handle != nullptr; }

namespace {

void DeleteLockFile(Session& s, const char* caller) {
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

void ClosePort(Session& s) {
  if (IsPortOpen(s)) {
    s.out(Channel::DetailedDebug) << "ClosePort closing comm port: " << s.portSettings.portNumber << crlf;
    CloseCommPortOverlapped(s, s.port);
  }
  DeleteLockFile(s, "ClosePort");
}

void CloseCommPortOverlapped(Session& s, SerialPort& port) {
  if (port.handle) {
    FlushCommPortWrites(s, port);
    port.handle->purge();
    port.handle->takeLineErrors();
  }
  port = SerialPort{};
}

bool FlushCommPortWrites(Session&, SerialPort& port) {
  bool ok = true;
  while (port.oldestSlot != port.nextSlot) {
    WriteSlot& slot = port.slots[port.oldestSlot];
    if (slot.writeId >= 0 && port.handle) {
      const long expected = static_cast<long>((slot.endPos - slot.startPos) % SerialPort::kRingSize);
      if (port.handle->finishWrite(slot.writeId, UINT32_MAX) != expected) ok = false;
      slot.writeId = -1;
    }
    port.donePos = slot.endPos;
    port.oldestSlot = (port.oldestSlot + 1) % SerialPort::kSlots;
  }
  return ok;
}

}  // namespace kl
