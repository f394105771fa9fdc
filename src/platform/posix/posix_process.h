// The process on POSIX: exit with the exit routine run exactly once, the stop signals handled
// on a dedicated thread, the debugger trace line and the last error code.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include "platform/platform.h"
#include "platform/run_lock.h"

namespace kl {

class PosixConsole;

class PosixProcess : public RunLockProcess {
 public:
  // The calling thread becomes the working thread and holds the run lock from here on.
  // With `debugTraceOn` the debugger trace lines go to standard error.
  explicit PosixProcess(bool debugTraceOn);
  ~PosixProcess() override;
  PosixProcess(const PosixProcess&) = delete;
  PosixProcess& operator=(const PosixProcess&) = delete;

  [[noreturn]] void exit(int code) override;
  // SIGINT, SIGTERM, SIGHUP, SIGABRT and SIGQUIT are blocked in every thread and taken by a
  // signal thread, which asks for the run lock and then ends the process with exit code 1.
  void installStopSignals() override;
  void debugTrace(std::string_view line) override;
  uint32_t threadId() override;
  int lastError() override { return lastError_; }
  void setLastError(int code) override { lastError_ = code; }
  std::string errorText(int code) override;

  // The console whose terminal settings the exit restores and whose output it flushes.
  void attachConsole(PosixConsole* console) { console_ = console; }

 private:
  void takeStopSignals();
  [[noreturn]] void forceExit() override;

  PosixConsole* console_ = nullptr;
  bool debugTraceOn_;
  int lastError_ = 0;
  std::thread signalThread_;
  bool signalsBlocked_ = false;
  unsigned char savedMask_[128] = {};  // the thread's signal mask before blocking (a sigset_t)
};

}  // namespace kl
