#include "platform/win32/win32_console.h"

#include <windows.h>

namespace kl {

namespace {

// Keys that only modify others: pressed alone they are no key press.
bool IsModifier(WORD key) {
  switch (key) {
    case VK_SHIFT:
    case VK_CONTROL:
    case VK_MENU:
    case VK_CAPITAL:
    case VK_NUMLOCK:
    case VK_SCROLL:
    case VK_LWIN:
    case VK_RWIN:
      return true;
    default:
      return false;
  }
}

// A key-down event that counts as a key press.
bool IsKeyPress(const INPUT_RECORD& record) {
  if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) return false;
  return record.Event.KeyEvent.uChar.AsciiChar != 0 || !IsModifier(record.Event.KeyEvent.wVirtualKeyCode);
}

}  // namespace

Win32Console::Win32Console(RunLock* runLock)
    : Win32Console(runLock, ::GetStdHandle(STD_INPUT_HANDLE), ::GetStdHandle(STD_OUTPUT_HANDLE),
                   ::GetStdHandle(STD_ERROR_HANDLE)) {}

Win32Console::Win32Console(RunLock* runLock, void* input, void* output, void* error)
    : runLock_(runLock), input_(input), output_(output), error_(error) {
  if (input_ == nullptr || input_ == INVALID_HANDLE_VALUE) {
    kind_ = Input::None;
    inputEnded_ = true;
    return;
  }
  DWORD mode = 0;
  if (::GetConsoleMode(input_, &mode)) {
    kind_ = Input::Console;
    enterRawMode();
  } else {
    kind_ = ::GetFileType(input_) == FILE_TYPE_PIPE ? Input::Pipe : Input::Other;
  }
}

void Win32Console::enterRawMode() {
  DWORD mode = 0;
  if (kind_ != Input::Console || modeSaved_ || !::GetConsoleMode(input_, &mode)) return;
  // Keys one at a time without echo; processed input keeps Ctrl+C a control event.
  const DWORD raw = (mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT)) | ENABLE_PROCESSED_INPUT;
  if (::SetConsoleMode(input_, raw)) {
    savedMode_ = mode;
    modeSaved_ = true;
  }
}

Win32Console::~Win32Console() {
  flush();
  restore();
}

void Win32Console::restore() {
  if (!modeSaved_) return;
  ::SetConsoleMode(input_, savedMode_);
  modeSaved_ = false;
}

void Win32Console::writeAll(void* handle, std::string_view text) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  while (!text.empty()) {
    DWORD written = 0;
    const DWORD chunk = text.size() > 65536 ? 65536 : static_cast<DWORD>(text.size());
    // A closed or broken output drops the text; the run goes on.
    if (!::WriteFile(handle, text.data(), chunk, &written, nullptr) || written == 0) return;
    text.remove_prefix(written);
  }
}

void Win32Console::write(std::string_view text) { pending_.append(text); }

void Win32Console::flush() {
  if (pending_.empty()) return;
  writeAll(output_, pending_);
  pending_.clear();
}

void Win32Console::writeError(std::string_view text) {
  flush();  // keep the order of the two streams as written
  writeAll(error_, text);
}

int Win32Console::readByte() {
  if (inputEnded_) return -1;
  unsigned char byte = 0;
  DWORD n = 0;
  BOOL ok;
  {
    BlockingSection wait(runLock_);
    ok = ::ReadFile(input_, &byte, 1, &n, nullptr);
  }
  if (ok && n == 1) return byte;
  inputEnded_ = true;  // end of input, a broken pipe or a closed handle
  return -1;
}

bool Win32Console::consoleKeyWaiting() {
  // Events that are no key press (key releases, mouse, focus, a modifier alone) are dropped.
  for (;;) {
    DWORD count = 0;
    if (!::GetNumberOfConsoleInputEvents(input_, &count) || count == 0) return false;
    INPUT_RECORD record{};
    DWORD n = 0;
    if (!::PeekConsoleInputA(input_, &record, 1, &n) || n == 0) return false;
    if (IsKeyPress(record)) return true;
    if (!::ReadConsoleInputA(input_, &record, 1, &n) || n == 0) return false;
  }
}

int Win32Console::readConsoleKey() {
  for (;;) {
    INPUT_RECORD record{};
    DWORD n = 0;
    BOOL ok;
    {
      BlockingSection wait(runLock_);
      ok = ::ReadConsoleInputA(input_, &record, 1, &n);
    }
    if (!ok || n == 0) {
      inputEnded_ = true;
      return -1;
    }
    if (!IsKeyPress(record)) continue;
    const auto character = static_cast<unsigned char>(record.Event.KeyEvent.uChar.AsciiChar);
    return character != 0 ? character : kSpecialKey;
  }
}

bool Win32Console::keyAvailable() {
  if (peeked_ >= 0) return true;
  if (inputEnded_) return false;
  switch (kind_) {
    case Input::Console:
      return consoleKeyWaiting();
    case Input::Pipe: {
      DWORD waiting = 0;
      if (!::PeekNamedPipe(input_, nullptr, 0, nullptr, &waiting, nullptr)) {
        inputEnded_ = true;  // the writer has gone: no key will come
        return false;
      }
      return waiting > 0;
    }
    case Input::Other:
      // A file or a device: a byte is there unless the input has ended.
      peeked_ = readByte();
      return peeked_ >= 0;
    case Input::None:
      break;
  }
  return false;
}

int Win32Console::readKey() {
  if (peeked_ >= 0) {
    const int key = peeked_;
    peeked_ = -1;
    return key;
  }
  flush();
  if (inputEnded_) return -1;
  return kind_ == Input::Console ? readConsoleKey() : readByte();
}

}  // namespace kl
