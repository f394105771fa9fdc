// The registry value under HKEY_CURRENT_USER. Every failure is silent: a read gives the empty
// string, a write leaves the registry as it was.
#include <windows.h>

#include <cstring>
#include <string>

#include "platform/win32/win32_factories.h"

namespace kl {
namespace {

// A string value must fit this, its terminating zero included.
constexpr DWORD kValueBytes = 257;

// "SOFTWARE\Tessaly\Balvanta\CommPort": the key before the last "\", the value name after it.
bool SplitPath(const std::string& path, std::string& key, std::string& value) {
  const size_t last = path.rfind('\\');
  if (last == std::string::npos) return false;
  key = path.substr(0, last);
  value = path.substr(last + 1);
  return true;
}

class Win32Registry : public Registry {
 public:
  std::string get(const std::string& path) override {
    std::string keyName, valueName;
    if (!SplitPath(path, keyName, valueName)) return {};
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_CURRENT_USER, keyName.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return {};
    char buffer[kValueBytes + 1] = {};
    DWORD type = 0;
    DWORD size = kValueBytes;
    const LONG result =
        ::RegQueryValueExA(key, valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    ::RegCloseKey(key);
    if (result != ERROR_SUCCESS || type != REG_SZ) return {};
    // The stored text may or may not carry its terminating zero.
    return std::string(buffer, ::strnlen(buffer, size));
  }

  void put(const std::string& path, const std::string& text) override {
    std::string keyName, valueName;
    if (!SplitPath(path, keyName, valueName)) return;
    HKEY key = nullptr;
    if (text.empty()) {
      if (::RegOpenKeyExA(HKEY_CURRENT_USER, keyName.c_str(), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
      ::RegDeleteValueA(key, valueName.c_str());
    } else {
      if (::RegCreateKeyExA(HKEY_CURRENT_USER, keyName.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
      ::RegSetValueExA(key, valueName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>(text.size() + 1));
    }
    ::RegCloseKey(key);
  }
};

}  // namespace

std::unique_ptr<Registry> MakeWin32Registry() { return std::make_unique<Win32Registry>(); }

}  // namespace kl
