#include "platform/win32/win32_clock.h"

#include <windows.h>

namespace kl {

Win32Clock::Win32Clock(RunLock* runLock) : runLock_(runLock) {
  LARGE_INTEGER frequency{};
  ::QueryPerformanceFrequency(&frequency);
  frequency_ = frequency.QuadPart > 0 ? static_cast<uint64_t>(frequency.QuadPart) : 1000;
}

uint32_t Win32Clock::tickMs() {
  // Every loop of the program reads the clock: a stop gets in here even while nothing waits.
  if (runLock_) runLock_->checkpoint();
  return static_cast<uint32_t>(::GetTickCount());
}

uint64_t Win32Clock::microseconds() {
  if (runLock_) runLock_->checkpoint();
  LARGE_INTEGER counter{};
  ::QueryPerformanceCounter(&counter);
  const uint64_t count = static_cast<uint64_t>(counter.QuadPart);
  // Whole seconds and the rest apart, so that the product cannot overflow.
  return count / frequency_ * 1000000u + count % frequency_ * 1000000u / frequency_;
}

void Win32Clock::sleep(uint32_t ms) {
  BlockingSection wait(runLock_);
  ::SleepEx(ms, TRUE);
}

LocalTime Win32Clock::localTime() {
  SYSTEMTIME now{};
  ::GetLocalTime(&now);
  return LocalTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

}  // namespace kl
