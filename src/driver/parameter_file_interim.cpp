// Interim parameter-file access so that the driver links and runs before the full
// implementation (parameter_file.cpp) lands; delete this file then.
#include "driver/parameter_file.h"

#include <cctype>
#include <vector>

#include "driver/fatal_error.h"
#include "driver/session.h"

namespace kl {

namespace {

bool ReadLines(Session& s, const std::string& file, std::vector<std::string>& lines) {
  if (file.empty()) return false;
  std::unique_ptr<File> in = s.platform.files.openRead(file);
  if (!in) return false;
  std::string text;
  char buffer[4096];
  for (long n; (n = in->read(buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
  std::string line;
  for (char c : text) {
    if (c == '\n') continue;
    if (c == '\r') {
      lines.push_back(line);
      line.clear();
    } else {
      line.push_back(c);
    }
  }
  if (!line.empty()) lines.push_back(line);
  return true;
}

std::string KeyOf(const std::string& line) { return line.substr(0, line.find('=')); }

}  // namespace

std::string IniGetString(Session& s, const std::string& file, const std::string& key) {
  std::vector<std::string> lines;
  ReadLines(s, file, lines);
  for (const std::string& line : lines) {
    const size_t equals = line.find('=');
    if (KeyOf(line) == key) return equals == std::string::npos ? std::string() : line.substr(equals + 1);
  }
  return {};
}

void IniPutString(Session& s, const std::string& file, const std::string& key, const std::string& value) {
  std::vector<std::string> lines;
  ReadLines(s, file, lines);
  std::string text;
  bool found = false;
  for (const std::string& line : lines) {
    if (KeyOf(line) == key) {
      text += key + "=" + value + "\r\n";
      found = true;
    } else {
      text += line + "\r\n";
    }
  }
  if (!found) text += key + "=" + value + "\r\n";
  std::unique_ptr<File> out = s.platform.files.create(file);
  if (!out || !out->write(text.data(), text.size()) || !out->close()) {
    s.out(Channel::Console) << crlf << "INI File is locked: " << file;
    s.out.flushConsole();
    EndProcess(s, 1);
  }
}

bool IniGetBool(Session& s, const std::string& file, const std::string& key) {
  std::string value = IniGetString(s, file, key);
  for (char& c : value) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return value == "1" || value == "TRUE";
}

void IniPutBool(Session& s, const std::string& file, const std::string& key, bool flag) {
  IniPutString(s, file, key, flag ? "true" : "false");
}

int32_t IniGetInt(Session& s, const std::string& file, const std::string& key) {
  return static_cast<int32_t>(parseLeadingDecimal(IniGetString(s, file, key)));
}

void IniPutInt(Session& s, const std::string& file, const std::string& key, int32_t number) {
  IniPutString(s, file, key, decimalText(number));
}

}  // namespace kl
