// Where a call was made, for the string heap's diagnostics: std::source_location where the
// standard library offers it; otherwise (clang 14 with libstdc++ 12, whose source_location
// needs a builtin that clang gained later) the same two facts from __builtin_FILE and
// __builtin_LINE, which both compilers evaluate at the call site.
#pragma once

#include <version>

#if defined(__cpp_lib_source_location)
#include <source_location>

namespace kl {
using SourceLocation = std::source_location;
}  // namespace kl
#else
#include <cstdint>

namespace kl {

class SourceLocation {
 public:
  static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                          std::uint_least32_t line = __builtin_LINE()) noexcept {
    SourceLocation where;
    where.file_ = file;
    where.line_ = line;
    return where;
  }
  constexpr const char* file_name() const noexcept { return file_; }
  constexpr std::uint_least32_t line() const noexcept { return line_; }

 private:
  const char* file_ = "";
  std::uint_least32_t line_ = 0;
};

}  // namespace kl
#endif
