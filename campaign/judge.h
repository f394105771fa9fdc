// How a run ended, read from its exit code and console, and judged against the messages the
// program is specified to end with.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "site.h"

namespace kl::campaign {

enum class Ending {
  Success,       // the flow's success, with every unit as it must be
  CleanFailure,  // a specified failure, or the operator declining
  Violation,     // anything else: an unspecified message, success with a unit left wrong, ...
};

struct Verdict {
  Ending ending;
  std::string detail;
};

inline Verdict Succeeded() { return {Ending::Success, {}}; }
inline Verdict FailedCleanly(std::string why) { return {Ending::CleanFailure, std::move(why)}; }
inline Verdict Violated(std::string why) { return {Ending::Violation, std::move(why)}; }

inline bool Shows(const RunEnd& end, std::string_view text) { return end.console.find(text) != std::string::npos; }
// The run was told a unit's later build of a release (build increment above 1).
inline bool ShowsLaterBuild(const RunEnd& end) {
  for (int build = 2; build <= 9; ++build) {
    if (Shows(end, "   Build increment : " + std::to_string(build) + "\r\n")) return true;
  }
  return false;
}

// The text after "Fatal Error: ", when the run ended with one.
std::optional<std::string> FatalMessage(const RunEnd& end);

// The ending of a run that did not end in its flow's success: a specified fatal error with
// the exit code that goes with it (and, for a station, the message stored in its parameter
// file), or the operator's "n". Nothing when it ended some other way.
std::optional<Verdict> JudgeStop(const RunEnd& end, const std::string& parameterFile);

}  // namespace kl::campaign
