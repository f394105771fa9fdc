// Settings from the environment, the per-user registry value and the boot-loader tool's
// location. The program only reads environment variables; it never sets them.
#pragma once

#include "Pellmar/dynamic_string.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kl {

struct RunContext;

// Environment variables the program reads.
namespace envvar {
inline constexpr std::string_view PortList = "BALVANTAPORTLIST";
inline constexpr std::string_view Port = "BALVANTAPORT";
inline constexpr std::string_view BaudRate = "BALVANTABAUDRATE";
inline constexpr std::string_view LockDir = "BALVANTALOCKDIR";
inline constexpr std::string_view HomePath = "BALVANTAPATH";
inline constexpr std::string_view Temp = "TEMP";
inline constexpr std::string_view ComputerName = "COMPUTERNAME";
inline constexpr std::string_view UserName = "USERNAME";
}  // namespace envvar

// The registry value that remembers the COM port a unit was last found on: the maker's key
// under the current user's tree joined with the value name.
inline constexpr std::string_view kCommPortRegistryPath = "SOFTWARE\\Tessaly\\Balvanta\\CommPort";
// A registry string longer than this (its terminating zero not counted) reads as empty.
inline constexpr size_t kRegistryValueMax = 256;

// The variable's value; empty when unset. Empty and unset are treated alike everywhere.
DynamicString GetEnv(RunContext& s, std::string_view name);

// The string at `path` ("key\valueName") under the current user's tree; empty when it is
// missing, not a string, or longer than kRegistryValueMax.
DynamicString UserRegistryGet(RunContext& s, std::string_view path);
// Stores a non-empty text; an empty text deletes the value. Failures are silent.
void UserRegistryPut(RunContext& s, std::string_view path, const std::string& text);

// Walks a port list in the BALVANTAPORTLIST form ("COM3,com7;9"): an entry may carry "COM"
// in any case, entries are separated by a blank, "," or ";", and the first entry that reads
// as 0 ends the list. After a separator the next entry is read at once, so "3 , 4" and
// "COM3, COM7" yield only 3.
class PortListReader {
 public:
  explicit PortListReader(std::string_view list) : rest_(list) {}
  // The next entry's number, or 0 at the end of the list. A negative or oversized entry is
  // returned as read: it names no port.
  int64_t next();

 private:
  std::string_view rest_;
};

// Home directory of the maker's tools: BALVANTAPATH, else the parameter-file key
// "BalvantaHomeDir", else the maker's default location.
std::string BootToolHomeDirectory(RunContext& s);

struct BootToolLocation {
  std::string path;            // the tool to start
  std::string missingMessage;  // not empty when the tool is absent at its default place
};

// Where the external boot-loader tool is: the parameter-file key "QuorranEXE" taken as it
// is, else "bin" and "Quorran.exe" under the home directory, which must exist there. The
// caller ends the run with `missingMessage` when it is set.
BootToolLocation LocateBootTool(RunContext& s);

}  // namespace kl
