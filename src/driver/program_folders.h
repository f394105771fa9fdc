// Folders the program keeps beside itself (session logs, extracted unit logs). An installed
// program's folder is not writable: the user's state directory holds them instead.
#pragma once

#include <string>
#include <string_view>

namespace kl {

struct RunContext;

// The folder `name` beside the program, created when missing, or else the same under the
// state directory (created with its parents). The caller finds out whether the second could
// be made when it creates its files there.
std::string ProgramFolder(RunContext& s, std::string_view name);
// Makes `path` and every missing folder above it: the first folder that could not be made
// (the platform's last error says why), or empty when all are there.
std::string MakeFolders(RunContext& s, const std::string& path);

}  // namespace kl
