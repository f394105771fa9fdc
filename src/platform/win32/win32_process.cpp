#include "platform/win32/win32_process.h"

#include <windows.h>

#include <string>

#include "platform/win32/win32_console.h"

namespace kl {

namespace {

// The control handler gets no context: it finds the stop event of its own process by name.
std::string StopEventName(DWORD processId) { return "Local\\kestrelink-stop-" + std::to_string(processId); }

BOOL WINAPI ConsoleControl(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      break;
    default:
      return FALSE;
  }
  HANDLE stop = ::OpenEventA(EVENT_MODIFY_STATE, FALSE, StopEventName(::GetCurrentProcessId()).c_str());
  if (!stop) return FALSE;
  ::SetEvent(stop);
  ::CloseHandle(stop);
  // Closing the window ends the process as soon as this returns: give the stop thread the
  // time the system allows for the clean-up.
  if (event == CTRL_CLOSE_EVENT) ::Sleep(5000);
  return TRUE;
}

}  // namespace

Win32Process::Win32Process() = default;

Win32Process::~Win32Process() {
  if (stopThread_.joinable()) {
    ::SetConsoleCtrlHandler(ConsoleControl, FALSE);
    markStopping();
    ::SetEvent(stopEvent_);
    stopThread_.join();
  }
  if (stopEvent_) ::CloseHandle(stopEvent_);
}

void Win32Process::exit(int code) {
  // The caller holds the run lock: the working thread always does outside blocking waits,
  // and the stop thread takes it before it comes here.
  beginExit();
  if (console_) {
    console_->flush();
    console_->restore();
  }
  ::ExitProcess(static_cast<UINT>(code));
}

void Win32Process::installStopSignals() {
  if (stopThread_.joinable()) return;
  stopEvent_ = ::CreateEventA(nullptr, TRUE, FALSE, StopEventName(::GetCurrentProcessId()).c_str());
  if (!stopEvent_) return;
  stopThread_ = std::thread([this] { takeStops(); });
  ::SetConsoleCtrlHandler(ConsoleControl, TRUE);
}

void Win32Process::takeStops() {
  ::WaitForSingleObject(stopEvent_, INFINITE);
  if (!stopping()) takeStop();
}

void Win32Process::forceExit() {
  // Only what cannot disturb the working thread: the console's mode and a line of text.
  if (console_) console_->restore();
  static constexpr char kStopped[] = "\r\n-- stopped\r\n";
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), kStopped, sizeof kStopped - 1, &written, nullptr);
  ::ExitProcess(1);
}

void Win32Process::debugTrace(std::string_view line) { ::OutputDebugStringA(std::string(line).c_str()); }

uint32_t Win32Process::threadId() { return static_cast<uint32_t>(::GetCurrentThreadId()); }

std::string Win32Process::errorText(int code) {
  char* buffer = nullptr;
  const DWORD n = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&buffer), 0,
      nullptr);
  std::string text = n > 0 && buffer ? std::string(buffer, n) : "Error " + std::to_string(code);
  if (buffer) ::LocalFree(buffer);
  // The system ends its messages with a line end; the program adds its own.
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

}  // namespace kl
