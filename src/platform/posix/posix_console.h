// The console on POSIX. Output to standard output is collected and written on flush(); the
// run's output ends with a line end, on a terminal and in a pipe alike (endLastLine). Keys: a terminal on standard input is put in raw mode (no line input, no echo) and restored
// at every exit; from a pipe each byte is a key; at the end of input a read returns -1 at once.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"
#include "platform/run_lock.h"

struct termios;

namespace kl {

class PosixConsole : public Console {
 public:
  PosixConsole(RunLock* runLock, int inputFd = 0, int outputFd = 1, int errorFd = 2);
  ~PosixConsole() override;

  void write(std::string_view text) override;
  void writeError(std::string_view text) override;
  void flush() override;
  bool keyAvailable() override;
  int readKey() override;

  // Puts the terminal back as it was found; safe to call again.
  void restore();
  // At the end of the run: the program holds back the line end of its last line (a Windows
  // console's shell starts its prompt on a new line anyway). A POSIX shell does not, nor does
  // a script that reads lines, so the held-back line end is written here unless the output
  // already ends with one.
  void endLastLine();
  // While another program has the terminal: its normal mode, then raw keys again. Pending
  // output is written first, so that it comes before the other program's.
  void leaveRawMode();
  void enterRawMode();
  // On a terminal, a special key (an arrow, a function key) arrives as Escape followed by more
  // bytes at once; it is read as one key of code 0 so that it never passes for Escape.
  // Set for a terminal input; settable for tests.
  void setTerminalKeys(bool on) { terminalKeys_ = on; }

  static constexpr int kSpecialKey = 0;

 private:
  // Reads one byte; -1 at end of input (remembered).
  int readByte();
  // After an Escape: folds a special key's sequence that is already waiting.
  int foldSpecialKey();
  bool byteWaiting();
  void writeAll(int fd, std::string_view text);

  RunLock* runLock_;
  int inputFd_;
  int outputFd_;
  int errorFd_;
  std::string pending_;
  std::unique_ptr<termios> savedTerminal_;  // the terminal as found; set while we own it
  bool raw_ = false;
  int peeked_ = -1;                         // a key taken by keyAvailable, not yet read
  bool inputEnded_ = false;
  bool outputWritten_ = false;
  bool lineEnded_ = false;  // the last byte written ends a line
  bool terminalKeys_ = false;
};

}  // namespace kl
