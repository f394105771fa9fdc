// The program's name and the version this build carries.
#pragma once

#include <string_view>

namespace kl {

inline constexpr std::string_view kProgramName = "Kestrelink";
inline constexpr int kProgramVersion = 610;  // version x 100
inline constexpr int kProgramRelease = 57;

}  // namespace kl
