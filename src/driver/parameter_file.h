// The parameter file: lines of key "=" value, read by first match, written by replacing every
// match. Without a file name every key reads as empty.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Pellmar/dynamic_string.h"

namespace kl {

struct RunContext;

DynamicString IniGetString(RunContext& s, const std::string& file, const std::string& key);
// Ends the program when the file cannot be written or replaced. Only a regular file is
// replaced; where its folder cannot take the work file it is rewritten in place.
void IniPutString(RunContext& s, const std::string& file, const std::string& key, const std::string& value);
// The run's outcome for a station under "Message" in the run's parameter file: `message`, or
// none (an earlier run's removed) when empty. Never ends the run: a file that cannot be
// written is said so on the console, and false returned. Marks the outcome as settled.
bool StoreOutcome(RunContext& s, std::string_view message);
bool IniGetBool(RunContext& s, const std::string& file, const std::string& key);
void IniPutBool(RunContext& s, const std::string& file, const std::string& key, bool flag);
int32_t IniGetInt(RunContext& s, const std::string& file, const std::string& key);
void IniPutInt(RunContext& s, const std::string& file, const std::string& key, int32_t number);

}  // namespace kl
