// The parameter file: lines of key "=" value, read by first match, written by replacing every
// match. Without a file name every key reads as empty.
#pragma once

#include <cstdint>
#include <string>

#include "Pellmar/dynamic_string.h"

namespace kl {

struct Session;

DynamicString IniGetString(Session& s, const std::string& file, const std::string& key);
// Ends the program when the file cannot be written or replaced.
void IniPutString(Session& s, const std::string& file, const std::string& key, const std::string& value);
bool IniGetBool(Session& s, const std::string& file, const std::string& key);
void IniPutBool(Session& s, const std::string& file, const std::string& key, bool flag);
int32_t IniGetInt(Session& s, const std::string& file, const std::string& key);
void IniPutInt(Session& s, const std::string& file, const std::string& key, int32_t number);

}  // namespace kl
