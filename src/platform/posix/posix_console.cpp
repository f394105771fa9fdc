#include "platform/posix/posix_console.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace kl {

PosixConsole::PosixConsole(RunLock* runLock, int inputFd, int outputFd, int errorFd)
    : runLock_(runLock), inputFd_(inputFd), outputFd_(outputFd), errorFd_(errorFd) {
  terminalKeys_ = ::isatty(inputFd_);
  // Only a terminal we own in the foreground is switched: a background job changing the
  // terminal would be stopped by the system.
  if (::isatty(inputFd_) && ::tcgetpgrp(inputFd_) == ::getpgrp()) {
    auto saved = std::make_unique<termios>();
    if (::tcgetattr(inputFd_, saved.get()) == 0) {
      savedTerminal_ = std::move(saved);
      enterRawMode();
      if (!raw_) savedTerminal_.reset();
    }
  }
}

PosixConsole::~PosixConsole() {
  flush();
  restore();
}

void PosixConsole::enterRawMode() {
  // Moved to the background meanwhile: changing the terminal would stop the process.
  if (!savedTerminal_ || raw_ || ::tcgetpgrp(inputFd_) != ::getpgrp()) return;
  termios raw = *savedTerminal_;
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));  // keep ISIG: Ctrl+C still interrupts
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  raw_ = ::tcsetattr(inputFd_, TCSANOW, &raw) == 0;
}

void PosixConsole::leaveRawMode() {
  flush();
  if (!raw_) return;
  ::tcsetattr(inputFd_, TCSANOW, savedTerminal_.get());
  raw_ = false;
}

void PosixConsole::restore() {
  if (!savedTerminal_) return;
  ::tcsetattr(inputFd_, TCSANOW, savedTerminal_.get());
  raw_ = false;
  savedTerminal_.reset();
}

void PosixConsole::writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a closed or broken output drops the text; the run goes on
    text.remove_prefix(static_cast<size_t>(n));
  }
}

void PosixConsole::write(std::string_view text) { pending_.append(text); }

void PosixConsole::flush() {
  if (pending_.empty()) return;
  writeAll(outputFd_, pending_);
  outputWritten_ = true;
  lineEnded_ = pending_.back() == '\n';
  pending_.clear();
}

void PosixConsole::endLastLine() {
  flush();
  // A pipe too: a script reading lines would lose an unended last one ("-- stopped").
  if (outputWritten_ && !lineEnded_) writeAll(outputFd_, "\r\n");
  outputWritten_ = false;
}

void PosixConsole::writeError(std::string_view text) {
  flush();  // keep the order of the two streams as written
  writeAll(errorFd_, text);
}

int PosixConsole::readByte() {
  if (inputEnded_) return -1;
  for (;;) {
    unsigned char byte = 0;
    const ssize_t n = ::read(inputFd_, &byte, 1);
    if (n == 1) return byte;
    if (n < 0 && errno == EINTR) continue;
    inputEnded_ = true;  // end of input, a closed descriptor or a hung-up terminal
    return -1;
  }
}

bool PosixConsole::byteWaiting() {
  pollfd input{inputFd_, POLLIN, 0};
  return ::poll(&input, 1, 0) > 0;
}

int PosixConsole::foldSpecialKey() {
  if (!terminalKeys_ || !byteWaiting()) return 27;
  const int introducer = readByte();
  if (introducer != '[' && introducer != 'O') return kSpecialKey;  // Alt and a key
  // Parameters, then one final byte from '@' to '~'.
  while (byteWaiting()) {
    const int byte = readByte();
    if (byte < 0 || (byte >= '@' && byte <= '~')) break;
  }
  return kSpecialKey;
}

bool PosixConsole::keyAvailable() {
  if (peeked_ >= 0) return true;
  if (inputEnded_ || !byteWaiting()) return false;
  // Readable also means "at end of input": take the byte now to tell the two apart.
  peeked_ = readByte();
  if (peeked_ == 27) peeked_ = foldSpecialKey();
  return peeked_ >= 0;
}

int PosixConsole::readKey() {
  if (peeked_ >= 0) {
    const int key = peeked_;
    peeked_ = -1;
    return key;
  }
  flush();
  int key;
  {
    BlockingSection wait(runLock_);
    key = readByte();
  }
  return key == 27 ? foldSpecialKey() : key;
}

}  // namespace kl
