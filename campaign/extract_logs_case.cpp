// Log extraction from a display and the units on its network: every configuration, crash and
// debug log copied to the PC as it is on the unit, or visibly incomplete, never altered.
#include <filesystem>
#include <map>

#include "draws.h"
#include "flow_case.h"
#include "network.h"
#include "support/temp_dir.h"
#include "unit_checks.h"

namespace kl::campaign {

namespace {

constexpr std::string_view kIncomplete = "\r\n[INCOMPLETE: ";
const std::vector<std::string> kPrefixes = {"ConfigurationLog_", "CrashLog_", "DebugLog_"};

// One local file as a run must write it.
struct ExpectedLog {
  std::vector<std::string> parts;  // a single log: one part; debug logs: one per file, each ended by CR LF
  bool debug = false;
};

// How much of `expected` `text` holds: all of it, a true part of it, or something else.
enum class Match { Complete, Partial, Wrong };

// A single log: its text, or a leading part of it (cut off by a read that failed, marked as such).
Match MatchSingle(const std::string& text, const std::string& log) {
  if (text == log) return Match::Complete;
  const size_t mark = text.find(kIncomplete);
  const std::string kept = text.substr(0, mark);
  return log.starts_with(kept) && (mark != std::string::npos || kept.size() < log.size()) ? Match::Partial
                                                                                          : Match::Wrong;
}

// Debug logs: file after file, each complete, skipped (a file the unit did not open: nothing),
// or cut off (the part kept, then the mark). Logs hold no CR, so each file's part ends at the
// first CR LF; an empty log cut off at once is told from a complete one by its mark.
Match MatchDebug(const std::string& text, const std::vector<std::string>& logs) {
  Match match = Match::Complete;
  size_t at = 0;
  for (const std::string& log : logs) {
    if (at == text.size()) return Match::Partial;  // the run ended before this file
    const size_t end = text.find("\r\n", at);
    if (end == std::string::npos) return Match::Wrong;
    const std::string kept = text.substr(at, end - at);
    if (text.compare(end, kIncomplete.size(), kIncomplete) == 0) {
      const size_t markEnd = text.find("]\r\n\r\n", end);
      if (markEnd == std::string::npos || !log.starts_with(kept)) return Match::Wrong;
      match = Match::Partial;
      at = markEnd + 5;
    } else if (kept == log || kept.empty()) {
      if (kept != log) match = Match::Partial;
      at = end + 2;
    } else {
      return Match::Wrong;
    }
  }
  return at == text.size() ? match : Match::Wrong;
}

class ExtractLogsCase : public FlowCase {
 public:
  explicit ExtractLogsCase(std::mt19937_64& random) {
    std::vector<NetworkUnit> units = {Display()};
    const std::vector<NetworkUnit> remotes = SomeOf(random, RemoteUnits(), true);
    units.insert(units.end(), remotes.begin(), remotes.end());
    for (size_t i = 0; i < units.size(); ++i) {
      const NetworkUnit& unit = units[i];
      // The remote I/O unit runs 6.00, which keeps no logs; the others 6.01 and later.
      const int minor = unit.name == "io" ? 0 : Between(random, 1, 10);
      installation_ += Section(unit, i == 0 ? remotes : std::vector<NetworkUnit>{}) + "version = 6." +
                       (minor < 10 ? "0" : "") + std::to_string(minor) + "\nunit-flags = 0x01\n" + logs(random, unit, minor);
    }
    options_ = {"-x", DrawSpeed(random)};
    targets_ = FaultTargets{units.size(), false};
  }

  void remember(Site& site) override {
    for (size_t i = 0; i < site.unitCount(); ++i) flash_.push_back(site.unit(i).state().flash.image());
  }

  void beforeRun(Site& site) override { std::filesystem::remove_all(site.file("bin/BalvantaLogFiles")); }

  Verdict judge(Site& site, const RunEnd& end) override {
    for (size_t i = 0; i < site.unitCount(); ++i) {
      if (Problem p = UnchangedProblem(site.unit(i), flash_[i])) return Violated(*p);
    }
    bool complete = true;
    std::map<std::string, bool> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(site.root())) {
      const std::string name = entry.path().filename().string();
      const auto expected = expected_.find(key(name));
      if (expected == expected_.end()) {
        if (name.ends_with(".txt") && name.find("Log_") != std::string::npos) return Violated("unexpected file " + name);
        continue;
      }
      found[expected->first] = true;
      const std::string text = test::readFile(entry.path().string());
      const ExpectedLog& log = expected->second;
      const Match match = log.debug ? MatchDebug(text, log.parts) : MatchSingle(text, log.parts.front());
      if (match == Match::Wrong) return Violated(name + " holds what the unit does not");
      complete = complete && match == Match::Complete;
    }
    complete = complete && found.size() == expected_.size();
    if (end.exitCode == 0 && !FatalMessage(end)) {
      return complete ? Succeeded() : FailedCleanly("some logs not copied, or copied in part");
    }
    if (std::optional<Verdict> stop = JudgeStop(end, "")) return *stop;
    return Violated("ended with exit code " + std::to_string(end.exitCode.value_or(-1)));
  }

 private:
  // The local file's prefix and the unit's serial number: "DebugLog_ 590200".
  static std::string key(const std::string& fileName) {
    for (const std::string& prefix : kPrefixes) {
      if (!fileName.starts_with(prefix) || !fileName.ends_with(".txt")) continue;
      const std::string label = fileName.substr(0, fileName.size() - 4);
      return prefix + label.substr(label.rfind(' '));
    }
    return {};
  }

  // The unit's log files as scenario keys, and the local files they give.
  std::string logs(std::mt19937_64& random, const NetworkUnit& unit, int minor) {
    std::string keys;
    const std::string serial = " " + std::to_string(unit.serial);
    if (Chance(random, 0.7)) {
      const std::string text = RandomText(random, Between<size_t>(random, 1, 3000));
      keys += "file 1:0x0131 = text " + Quoted(text) + "\n";
      if (minor >= 1) expected_["ConfigurationLog_" + serial] = {{text}};
    }
    if (Chance(random, 0.5)) {
      const std::string text = RandomText(random, Between<size_t>(random, 1, 400));
      keys += "file 1:0x010F = text " + Quoted(text) + "\n";
      if (minor >= 1) expected_["CrashLog_" + serial] = {{text}};
    }
    const int debugLogs = Between(random, 0, 4);
    if (debugLogs == 0) return keys;
    ExpectedLog debug{{}, true};
    keys += "debug-logs =";
    std::string files;
    for (int j = 0; j < debugLogs; ++j) {
      const std::string number = "0x014" + std::to_string(j + 1);
      keys += " " + number;
      std::string text;
      switch (Between(random, 0, 3)) {
        case 0: break;  // listed but missing
        case 1: files += "file 1:" + number + " = empty\n"; break;
        default:
          text = RandomText(random, Between<size_t>(random, 1, 600));
          files += "file 1:" + number + " = text " + Quoted(text) + "\n";
          break;
      }
      debug.parts.push_back(text);
    }
    if (minor >= 1) expected_["DebugLog_" + serial] = debug;
    return keys + "\n" + files;
  }

  std::map<std::string, ExpectedLog> expected_;
  std::vector<std::vector<uint8_t>> flash_;
};

}  // namespace

std::unique_ptr<FlowCase> DrawExtractLogs(std::mt19937_64& random) {
  return std::make_unique<ExtractLogsCase>(random);
}

}  // namespace kl::campaign
