#include "platform/win32/win32_environment.h"

#include <windows.h>

#include "platform/win32/win32_console.h"

namespace kl {

std::string Win32Environment::get(const std::string& name) {
  std::string value(256, '\0');
  for (;;) {
    ::SetLastError(ERROR_SUCCESS);
    const DWORD n = ::GetEnvironmentVariableA(name.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (n == 0) return {};  // unset, or set and empty
    if (n < value.size()) {
      value.resize(n);
      return value;
    }
    value.resize(n);  // n is the size needed, its terminating zero included
  }
}

std::string Win32CommandLine(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& word : words) {
    if (!line.empty()) line += ' ';
    if (!word.empty() && word.find_first_of(" \t\n\v\"") == std::string::npos) {
      line += word;
      continue;
    }
    // Backslashes count only before a quote, where each must be doubled.
    line += '"';
    size_t backslashes = 0;
    for (char c : word) {
      if (c == '\\') {
        ++backslashes;
        continue;
      }
      line.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
      backslashes = 0;
      line += c;
    }
    line.append(backslashes * 2, '\\');
    line += '"';
  }
  return line;
}

int Win32Processes::run(const std::string& program, const std::vector<std::string>& arguments) {
  std::vector<std::string> words{program};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::string commandLine = Win32CommandLine(words);

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  if (console_) console_->restore();  // the child reads its console as it was found
  if (!::CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &child)) {
    if (console_) console_->enterRawMode();
    return -1;
  }
  ::CloseHandle(child.hThread);
  DWORD waited;
  {
    BlockingSection wait(runLock_);
    waited = ::WaitForSingleObject(child.hProcess, INFINITE);
  }
  if (console_) console_->enterRawMode();
  DWORD code = 0;
  const bool ended = waited == WAIT_OBJECT_0 && ::GetExitCodeProcess(child.hProcess, &code);
  ::CloseHandle(child.hProcess);
  return ended ? static_cast<int>(code) : -1;
}

}  // namespace kl
