#include "driver/console_input.h"

#include <limits>

#include "driver/run_context.h"

namespace kl {

namespace {
constexpr int kEscape = 27;
constexpr int kBackspace = 8;
constexpr int kDelete = 127;
}

int ReadConsoleKey(RunContext& s) {
  s.out.console().beforeRead();
  return s.platform.console.readKey();
}

void PauseForKey(RunContext& s) {
  if (s.options.yesToPrompts || s.run.manufacturingMode) return;
  s.out(Channel::Console) << "Press Enter key to continue";
  ReadConsoleKey(s);
  s.out(Channel::Console) << crlf;
}

bool AskYesNo(RunContext& s, const std::string& question) {
  if (s.options.yesToPrompts) return true;
  s.out(Channel::Console) << question << " (y/n)";
  const int key = ReadConsoleKey(s);
  s.out(Channel::Console) << crlf;
  return key == 'Y' || key == 'y';
}

bool EscapePressed(RunContext& s) {
  if (!s.platform.console.keyAvailable()) return false;
  return ReadConsoleKey(s) == kEscape;
}

int32_t ReadConsoleNumber(RunContext& s, bool* inputEnded) {
  std::string typed;  // a sign or digits, shown as they come
  ChannelWriter& console = s.out(Channel::Console);
  for (;;) {
    const int key = ReadConsoleKey(s);
    if (typed.empty() && (key == ' ' || key == '\t')) continue;
    if (key == kBackspace || key == kDelete) {
      // Takes back the last key typed (Linux terminals send DEL for Backspace).
      if (!typed.empty()) {
        typed.pop_back();
        console << "\b \b";
      }
      continue;
    }
    const bool sign = typed.empty() && key == '-';
    if (!sign && (key < '0' || key > '9')) {
      if (inputEnded) *inputEnded = key < 0;
      break;
    }
    typed.push_back(static_cast<char>(key));
    console << static_cast<char>(key);
  }
  const int64_t value = parseLeadingDecimal(typed);
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

}  // namespace kl
