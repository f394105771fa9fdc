// The process on POSIX: exit with the exit routine run exactly once, the stop signals handled
// on a dedicated thread, the debugger trace line and the last error code.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include "platform/platform.h"
#include "platform/posix/run_lock.h"

namespace kl {

class PosixConsole;

class PosixProcess : public Process {
 public:
  // The calling thread becomes the working thread and holds the run lock from here on.
  // With `debugTraceOn` the debugger trace lines go to standard error.
  explicit PosixProcess(bool debugTraceOn);
  ~PosixProcess() override;
  PosixProcess(const PosixProcess&) = delete;
  PosixProcess& operator=(const PosixProcess&) = delete;

  [[noreturn]] void exit(int code) override;
  void setExitRoutine(std::function<void()> routine) override { routine_ = std::move(routine); }
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
  RunLock& runLock() { return runLock_; }

 private:
  void takeStopSignals();
  [[noreturn]] void forceExit();

  // How long a stop waits for the working thread to reach a wait or checkpoint.
  static constexpr uint32_t kStopGraceMs = 3000;

  RunLock runLock_;
  std::function<void()> routine_;
  bool routineRan_ = false;
  PosixConsole* console_ = nullptr;
  bool debugTraceOn_;
  int lastError_ = 0;
  std::thread signalThread_;
  std::atomic<bool> stopping_{false};
  bool signalsBlocked_ = false;
  unsigned char savedMask_[128] = {};  // the thread's signal mask before blocking (a sigset_t)
};

// The run lock of a posix process; null for any other backend.
RunLock* runLockOf(Process& process);

}  // namespace kl
