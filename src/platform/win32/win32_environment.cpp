#include "platform/win32/win32_environment.h"

#include <windows.h>

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

std::string Win32CommandLine(const std::string& program, const std::vector<std::string>& arguments) {
  std::string line = program.find(' ') == std::string::npos ? program : "\"" + program + "\"";
  for (const std::string& argument : arguments) line.append(" ").append(argument);
  return line;
}

int Win32Processes::run(const std::string& program, const std::vector<std::string>& arguments) {
  std::string commandLine = Win32CommandLine(program, arguments);

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  if (!::CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &child)) {
    return -1;
  }
  ::CloseHandle(child.hThread);
  DWORD waited;
  {
    BlockingSection wait(runLock_);
    waited = ::WaitForSingleObject(child.hProcess, INFINITE);
  }
  DWORD code = 0;
  const bool ended = waited == WAIT_OBJECT_0 && ::GetExitCodeProcess(child.hProcess, &code);
  ::CloseHandle(child.hProcess);
  return ended ? static_cast<int>(code) : -1;
}

}  // namespace kl
