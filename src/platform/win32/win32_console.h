// The console on Windows. Output to standard output is collected and written on flush().
// Keys: a console on standard input is switched to raw mode (no line input, no echo; Ctrl+C
// stays a control event) and restored at every exit; from a pipe or a file each byte is a key;
// at the end of input a read returns -1 at once.
#pragma once

#include <string>

#include "platform/platform.h"
#include "platform/run_lock.h"

namespace kl {

class Win32Console : public Console {
 public:
  // On the process's standard handles.
  explicit Win32Console(RunLock* runLock);
  // On given handles (HANDLE values), for tests.
  Win32Console(RunLock* runLock, void* input, void* output, void* error);
  ~Win32Console() override;

  void write(std::string_view text) override;
  void writeError(std::string_view text) override;
  void flush() override;
  bool keyAvailable() override;
  int readKey() override;

  // Puts the console's input mode back as it was found; safe to call again.
  void restore();
  // Switches a console on standard input to raw mode (again, after restore).
  void enterRawMode();

  // What a key without a character (an arrow, a function key) reads as.
  static constexpr int kSpecialKey = 0;

 private:
  enum class Input { None, Console, Pipe, Other };

  // One key from a console: its character, kSpecialKey, or -1 at the end of input.
  int readConsoleKey();
  // The next key event of a console without taking it; false when none is waiting.
  bool consoleKeyWaiting();
  // One byte from a pipe or a file; -1 at the end of input (remembered).
  int readByte();
  void writeAll(void* handle, std::string_view text);

  RunLock* runLock_;
  void* input_;
  void* output_;
  void* error_;
  Input kind_ = Input::None;
  unsigned long savedMode_ = 0;
  bool modeSaved_ = false;
  std::string pending_;
  int peeked_ = -1;  // a byte taken by keyAvailable, not yet read
  bool inputEnded_ = false;
};

}  // namespace kl
