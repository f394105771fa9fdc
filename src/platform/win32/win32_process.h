// The process on Windows: exit with the exit routine run exactly once, Ctrl+C, Ctrl+Break and
// closing the console window taken by a stop thread, the debugger trace line and the last
// error code.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include "platform/platform.h"
#include "platform/run_lock.h"

namespace kl {

class Win32Console;

class Win32Process : public RunLockProcess {
 public:
  // The calling thread becomes the working thread and holds the run lock from here on.
  Win32Process();
  ~Win32Process() override;
  Win32Process(const Win32Process&) = delete;
  Win32Process& operator=(const Win32Process&) = delete;

  [[noreturn]] void exit(int code) override;
  // The console control handler only wakes the stop thread, which asks for the run lock and
  // then ends the process with exit code 1.
  void installStopSignals() override;
  void debugTrace(std::string_view line) override;
  uint32_t threadId() override;
  int lastError() override { return lastError_; }
  void setLastError(int code) override { lastError_ = code; }
  // The system's message for a Win32 error code, without its line end.
  std::string errorText(int code) override;

  // The console whose mode the exit restores and whose output it flushes.
  void attachConsole(Win32Console* console) { console_ = console; }

 private:
  void takeStops();
  [[noreturn]] void forceExit() override;

  Win32Console* console_ = nullptr;
  int lastError_ = 0;
  void* stopEvent_ = nullptr;  // the named event the control handler sets
  std::thread stopThread_;
};

}  // namespace kl
