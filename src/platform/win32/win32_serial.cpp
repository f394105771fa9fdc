// Serial ports on Windows: \\.\COMn opened exclusively for overlapped I/O, the line set through
// the DCB, reads that return at once with what has arrived, and writes that complete one by
// one, each with its own event.
#include <windows.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>

#include "platform/run_lock.h"
#include "platform/win32/win32_factories.h"

namespace kl {
namespace {

// finishWrite's longest waits: without limit, and also until the bytes have left the port.
constexpr uint32_t kWaitWithoutLimit = UINT32_MAX - 1;
constexpr uint32_t kWaitUntilSent = UINT32_MAX;
// Output held back (by CTS) must not stop the program for ever: the drain gives up after the
// bytes' line time plus this.
constexpr uint64_t kDrainGraceMs = 1000;
constexpr DWORD kDrainStepMs = 10;
constexpr DWORD kQueueBytes = 20000;
// A read of bytes that have arrived comes back at once; this only bounds a driver that stalls.
constexpr DWORD kReadLimitMs = 1000;

// The line settings this program decides; every other field of the DCB keeps what
// the device had.
bool ApplySettings(HANDLE handle, const SerialSettings& settings) {
  if (settings.baud == 0) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!::GetCommState(handle, &dcb)) return false;
  dcb.BaudRate = settings.baud;
  dcb.ByteSize = 8;
  dcb.fParity = settings.parityOn;
  dcb.Parity = !settings.parityOn ? NOPARITY : settings.even ? EVENPARITY : ODDPARITY;
  dcb.StopBits = settings.stopBits == 1 ? ONESTOPBIT : TWOSTOPBITS;
  dcb.fBinary = TRUE;
  dcb.fOutxCtsFlow = settings.ctsFlow;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fNull = FALSE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;  // held on also with CTS flow control
  dcb.fAbortOnError = FALSE;
  return ::SetCommState(handle, &dcb) != 0;
}

uint32_t LineErrorBits(DWORD errors) {
  uint32_t bits = 0;
  if (errors & CE_FRAME) bits |= lineerr::Frame;
  if (errors & (CE_OVERRUN | CE_RXOVER)) bits |= lineerr::Overrun;
  if (errors & CE_RXPARITY) bits |= lineerr::RxParity;
  if (errors & CE_BREAK) bits |= lineerr::Break;
  if (errors & ~static_cast<DWORD>(CE_FRAME | CE_OVERRUN | CE_RXOVER | CE_RXPARITY | CE_BREAK)) bits |= lineerr::Other;
  return bits;
}

class Win32SerialDevice : public SerialDevice {
 public:
  Win32SerialDevice(Process& process, HANDLE handle)
      : process_(process),
        handle_(handle),
        readEvent_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)),
        commEvent_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

  ~Win32SerialDevice() override {
    // Every overlapped record must outlive its operation: cancel, then collect each.
    ::SetCommMask(handle_, 0);
    ::CancelIoEx(handle_, nullptr);
    DWORD n = 0;
    if (eventWaitPending_) ::GetOverlappedResult(handle_, &commOverlapped_, &n, TRUE);
    for (auto& [id, write] : writes_) {
      ::GetOverlappedResult(handle_, &write->overlapped, &n, TRUE);
      ::CloseHandle(write->overlapped.hEvent);
    }
    ::CloseHandle(handle_);
    if (readEvent_) ::CloseHandle(readEvent_);
    if (commEvent_) ::CloseHandle(commEvent_);
  }

  // The rest of an open: line settings, time-outs, queues, a clean start.
  bool configure(const SerialSettings& settings) {
    if (!readEvent_ || !commEvent_ || !ApplySettings(handle_, settings)) return false;
    baud_ = settings.baud;
    // Reads return at once with whatever is buffered; a write may take 1 ms a byte and 1 s more.
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 1, 1000};
    if (!::SetCommTimeouts(handle_, &timeouts) || !::SetupComm(handle_, kQueueBytes, kQueueBytes)) return false;
    ::PurgeComm(handle_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    takeLineErrors();
    // Arrivals wake waitReadable; a device without events falls back to sleeping.
    eventsUsable_ = ::SetCommMask(handle_, EV_RXCHAR) != 0;
    return true;
  }

  bool setSettings(const SerialSettings& settings) override {
    if (ApplySettings(handle_, settings)) {
      baud_ = settings.baud;
      return true;
    }
    return fail();
  }

  long startWrite(const uint8_t* bytes, size_t count) override {
    auto write = std::make_unique<Write>();
    write->count = static_cast<DWORD>(count);
    write->overlapped.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!write->overlapped.hEvent) {
      fail();
      return -1;
    }
    if (!::WriteFile(handle_, bytes, write->count, nullptr, &write->overlapped) &&
        ::GetLastError() != ERROR_IO_PENDING) {
      const DWORD error = ::GetLastError();
      ::CloseHandle(write->overlapped.hEvent);
      process_.setLastError(static_cast<int>(error));
      return -1;
    }
    const long id = nextId_++;
    writes_.emplace(id, std::move(write));
    return id;
  }

  long finishWrite(long id, uint32_t waitMs) override {
    auto found = writes_.find(id);
    if (found == writes_.end()) {
      process_.setLastError(ERROR_INVALID_PARAMETER);
      return -1;
    }
    Write& write = *found->second;
    const DWORD wait = waitMs >= kWaitWithoutLimit ? INFINITE : waitMs;
    DWORD waited;
    {
      BlockingSection section(wait == 0 ? nullptr : runLockOf(process_));
      waited = ::WaitForSingleObject(write.overlapped.hEvent, wait);
    }
    if (waited == WAIT_TIMEOUT) return 0;
    long result = -1;
    int error = ERROR_INVALID_HANDLE;  // the wait itself failed: the write's event is gone
    DWORD written = 0;
    if (waited != WAIT_OBJECT_0) {
      // The record may only go once the system is done with it.
      ::CancelIoEx(handle_, &write.overlapped);
      ::GetOverlappedResult(handle_, &write.overlapped, &written, TRUE);
    } else {
      if (::GetOverlappedResult(handle_, &write.overlapped, &written, FALSE)) {
        // A write that timed out before its first byte went out is a failure (0 reads as pending).
        result = written > 0 || write.count == 0 ? static_cast<long>(written) : -1;
        error = ERROR_SEM_TIMEOUT;
      } else {
        error = static_cast<int>(::GetLastError());
      }
    }
    ::CloseHandle(write.overlapped.hEvent);
    writes_.erase(found);
    if (result < 0) {
      process_.setLastError(error);
      return -1;
    }
    if (waitMs == kWaitUntilSent && writes_.empty()) drain();
    return result;
  }

  long read(uint8_t* buffer, size_t maximum) override {
    // Only what has arrived is asked for, so the read completes at once whether or not the
    // driver honours the open's "return at once" time-outs (Wine's does not).
    const DWORD waiting = collectLineErrors().cbInQue;
    const DWORD wanted = static_cast<DWORD>(std::min<size_t>({maximum, waiting, 0x7FFFFFFF}));
    if (wanted == 0) return 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = readEvent_;
    ::ResetEvent(readEvent_);
    if (!::ReadFile(handle_, buffer, wanted, nullptr, &overlapped)) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_HANDLE_EOF) return 0;
      if (error != ERROR_IO_PENDING) {
        process_.setLastError(static_cast<int>(error));
        return -1;
      }
      // Bounded all the same: a read that does not come back is cancelled.
      DWORD waited;
      {
        BlockingSection section(process_);
        waited = ::WaitForSingleObject(readEvent_, kReadLimitMs);
      }
      if (waited != WAIT_OBJECT_0) ::CancelIoEx(handle_, &overlapped);
    }
    DWORD n = 0;
    if (!::GetOverlappedResult(handle_, &overlapped, &n, TRUE)) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_HANDLE_EOF || error == ERROR_OPERATION_ABORTED) return 0;
      process_.setLastError(static_cast<int>(error));
      return -1;
    }
    return static_cast<long>(n);
  }

  bool waitReadable(uint32_t ms) override {
    const bool forever = ms == UINT32_MAX;
    const DWORD began = ::GetTickCount();
    for (;;) {
      if (bytesWaiting()) return true;
      const DWORD elapsed = ::GetTickCount() - began;
      if (!forever && elapsed >= ms) return false;
      const DWORD left = forever ? INFINITE : ms - elapsed;
      if (!eventWaitPending_ && !startEventWait()) {
        // No arrival events on this device: wait the time out, as a plain poll does.
        BlockingSection section(process_);
        ::Sleep(forever ? kDrainStepMs : left);
        return bytesWaiting();
      }
      if (!eventWaitPending_) continue;  // an arrival was already recorded
      DWORD waited;
      {
        BlockingSection section(process_);
        waited = ::WaitForSingleObject(commEvent_, left);
      }
      if (waited != WAIT_OBJECT_0) return bytesWaiting();  // the wait stays set for the next call
      DWORD n = 0;
      ::GetOverlappedResult(handle_, &commOverlapped_, &n, FALSE);
      eventWaitPending_ = false;
      // A device that reports no event (Wine's pseudo-terminals do so every millisecond) is
      // asked again until the time is up.
    }
  }

  void purge() override { ::PurgeComm(handle_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR); }

  uint32_t takeLineErrors() override {
    collectLineErrors();
    const uint32_t bits = lineErrors_;
    lineErrors_ = 0;
    return bits;
  }

  bool cts() override {
    DWORD status = 0;
    return ::GetCommModemStatus(handle_, &status) && (status & MS_CTS_ON) != 0;  // no modem lines: low
  }

 private:
  struct Write {
    OVERLAPPED overlapped{};
    DWORD count = 0;
  };

  bool fail() {
    process_.setLastError(static_cast<int>(::GetLastError()));
    return false;
  }

  // Reads the port's status; line errors are kept until takeLineErrors hands them out.
  COMSTAT collectLineErrors() {
    DWORD errors = 0;
    COMSTAT status{};
    if (::ClearCommError(handle_, &errors, &status)) lineErrors_ |= LineErrorBits(errors);
    return status;
  }

  bool bytesWaiting() { return collectLineErrors().cbInQue > 0; }

  // Starts waiting for an arrival; false when the device has no such events.
  bool startEventWait() {
    if (!eventsUsable_) return false;
    commOverlapped_ = OVERLAPPED{};
    commOverlapped_.hEvent = commEvent_;
    ::ResetEvent(commEvent_);
    commMask_ = 0;
    if (::WaitCommEvent(handle_, &commMask_, &commOverlapped_)) {
      // Done at once: an arrival was recorded, or the device cannot wait for one at all.
      if (commMask_ == 0) eventsUsable_ = false;
      return eventsUsable_;
    }
    if (::GetLastError() != ERROR_IO_PENDING) {
      eventsUsable_ = false;
      return false;
    }
    eventWaitPending_ = true;
    return true;
  }

  // Waits until the port has sent what it holds, no longer than its line needs plus a grace.
  void drain() {
    DWORD queued = collectLineErrors().cbOutQue;
    if (queued == 0) return;
    const uint64_t lineMs = std::max<uint64_t>(queued, uint64_t{queued} * 11000 / std::max<uint32_t>(baud_, 1));
    const DWORD limit = static_cast<DWORD>(lineMs + kDrainGraceMs);
    const DWORD began = ::GetTickCount();
    while (queued > 0 && ::GetTickCount() - began < limit) {
      {
        BlockingSection section(process_);
        ::Sleep(kDrainStepMs);
      }
      queued = collectLineErrors().cbOutQue;
    }
  }

  Process& process_;
  HANDLE handle_;
  HANDLE readEvent_;
  HANDLE commEvent_;
  OVERLAPPED commOverlapped_{};
  DWORD commMask_ = 0;
  bool eventsUsable_ = false;
  bool eventWaitPending_ = false;
  uint32_t baud_ = 0;
  uint32_t lineErrors_ = 0;
  std::map<long, std::unique_ptr<Write>> writes_;
  long nextId_ = 0;
};

class Win32SerialPorts : public SerialPorts {
 public:
  explicit Win32SerialPorts(Process& process) : process_(process) {}

  std::unique_ptr<SerialDevice> open(int number, const SerialSettings& settings) override {
    const std::string name = "\\\\.\\COM" + std::to_string(number);
    HANDLE handle = ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      process_.setLastError(static_cast<int>(::GetLastError()));
      return nullptr;
    }
    auto device = std::make_unique<Win32SerialDevice>(process_, handle);
    if (!device->configure(settings)) {
      const DWORD error = ::GetLastError();
      device.reset();
      process_.setLastError(static_cast<int>(error));
      return nullptr;
    }
    return device;
  }

 private:
  Process& process_;
};

}  // namespace

std::unique_ptr<SerialPorts> MakeWin32SerialPorts(Process& process) {
  return std::make_unique<Win32SerialPorts>(process);
}

}  // namespace kl
