// Keyboard interaction: the closing pause, yes/no questions, the Escape check and number
// entry. Keys are read raw, one at a time, without echo (number entry shows its digits).
#pragma once

#include <cstdint>
#include <string>

namespace kl {

struct RunContext;

// "Press Enter key to continue" and one key, unless -y or manufacturing mode.
void PauseForKey(RunContext& s);
// With -y: yes, and nothing is written. Otherwise the question and " (y/n)", one key; yes
// only for "Y" or "y".
bool AskYesNo(RunContext& s, const std::string& question);
// True when a key waits and it is Escape; a waiting key of another kind is consumed.
bool EscapePressed(RunContext& s);
// A decimal number typed key by key and shown as typed: leading blanks and tabs skipped, one
// "-" allowed, Backspace (or DEL) takes back the last key; ends at the first other key (such
// as Enter) or at the end of input, which sets `inputEnded`.
int32_t ReadConsoleNumber(RunContext& s, bool* inputEnded = nullptr);

// One key press after the console writer's pending line end; -1 when input has ended.
int ReadConsoleKey(RunContext& s);

}  // namespace kl
