#include "platform/posix/posix_process.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/posix/posix_console.h"

namespace kl {

static_assert(sizeof(sigset_t) <= 128, "saved signal mask does not fit");

namespace {

sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  // SIGQUIT is the terminal's other break key (Ctrl+\): it ends the run the same way.
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGABRT, SIGQUIT}) sigaddset(&set, sig);
  return set;
}

}  // namespace

PosixProcess::PosixProcess(bool debugTraceOn) : debugTraceOn_(debugTraceOn) {}

PosixProcess::~PosixProcess() {
  if (signalThread_.joinable()) {
    markStopping();
    pthread_kill(signalThread_.native_handle(), SIGTERM);
    signalThread_.join();
  }
  if (signalsBlocked_) {
    sigset_t saved;
    std::memcpy(&saved, savedMask_, sizeof saved);
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  }
}

void PosixProcess::exit(int code) {
  // The caller holds the run lock: the working thread always does outside blocking waits,
  // and the signal thread takes it before it comes here.
  beginExit();
  if (console_) {
    console_->endLastLine();
    console_->restore();
  }
  // Straight out: no other thread may run on while static state is torn down.
  ::_exit(code);
}

void PosixProcess::installStopSignals() {
  if (signalThread_.joinable()) return;
  const sigset_t set = stopSignals();
  sigset_t saved;
  // Blocked before the thread exists, so every later thread inherits the mask and only the
  // signal thread ever takes these signals.
  pthread_sigmask(SIG_BLOCK, &set, &saved);
  std::memcpy(savedMask_, &saved, sizeof saved);
  signalsBlocked_ = true;
  signalThread_ = std::thread([this] { takeStopSignals(); });
}

void PosixProcess::takeStopSignals() {
  const sigset_t set = stopSignals();
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    if (stopping()) return;
    takeStop();
    return;
  }
}

void PosixProcess::forceExit() {
  // Only what cannot disturb the working thread: the terminal's settings and a line of text.
  if (console_) console_->restore();
  static constexpr char kStopped[] = "\r\n-- stopped\r\n";
  [[maybe_unused]] const ssize_t written = ::write(1, kStopped, sizeof kStopped - 1);
  ::_exit(1);
}

void PosixProcess::debugTrace(std::string_view line) {
  if (!debugTraceOn_) return;
  if (console_) console_->flush();
  while (!line.empty()) {
    const ssize_t n = ::write(2, line.data(), line.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    line.remove_prefix(static_cast<size_t>(n));
  }
}

uint32_t PosixProcess::threadId() { return static_cast<uint32_t>(::gettid()); }

std::string PosixProcess::errorText(int code) {
  // The system's own words for the errno behind each code.
  switch (code) {
    case oserr::None:
      return std::strerror(0);
    case oserr::FileNotFound:
      return std::strerror(ENOENT);
    case oserr::AccessDenied:
      return std::strerror(EACCES);
    case oserr::SharingViolation:
      return std::strerror(EBUSY);
    case oserr::PermissionDenied:
      return std::strerror(EACCES);
    case oserr::InvalidParameter:
      return std::strerror(EINVAL);
    case oserr::DiskFull:
      return std::strerror(ENOSPC);
    case 80:
      return std::strerror(EEXIST);
    case oserr::Generic:
      return std::strerror(EIO);
    default:
      return "Error " + std::to_string(code);
  }
}

}  // namespace kl
