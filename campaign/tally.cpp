#include "tally.h"

#include <cstdio>

namespace kl::campaign {

void Counts::add(const SeedResult& result) {
  ++runs;
  if (result.failedCleanly) ++failedCleanly;
  if (result.toolNeeded && result.outcome == Outcome::Recovered) {
    ++toolNeeded;
    if (result.fieldsFromRecord) ++fieldsFromRecord;
  }
  switch (result.outcome) {
    case Outcome::Ok: ++ok; break;
    case Outcome::Recovered: ++recovered; break;
    case Outcome::Bricked: ++bricked; break;
    case Outcome::Hang: ++hangs; break;
    case Outcome::Crash: ++crashes; break;
  }
}

void Tally::add(const SeedResult& result) {
  all_.add(result);
  byFault_[result.category].add(result);
  if (result.violation) ++reported_;
}

std::string Tally::summary(const std::string& flow) const {
  std::string toolLine;
  if (all_.toolNeeded > 0) {
    toolLine = "campaign: flow=" + flow + " boot-loader-lost=" + std::to_string(all_.toolNeeded) +
               " fields-from-record=" + std::to_string(all_.fieldsFromRecord) +
               " (the unit stopped while its boot loader was rewritten: recovered once the maker's tool had put "
               "a boot loader into the blank chip, and the production record its fields if they were lost)\n";
  }
  return toolLine + "campaign: flow=" + flow + " runs=" + std::to_string(all_.runs) + " ok=" + std::to_string(all_.ok) +
         " failed-cleanly=" + std::to_string(all_.failedCleanly) + " recovered=" + std::to_string(all_.recovered) +
         " bricked=" + std::to_string(all_.bricked) + " hangs=" + std::to_string(all_.hangs) +
         " crashes=" + std::to_string(all_.crashes);
}

std::string Tally::table() const {
  std::string text;
  char line[160];
  std::snprintf(line, sizeof line, "%-20s %6s %6s %14s %9s %6s %7s %5s %7s\n", "fault", "runs", "ok",
                "failed-cleanly", "recovered", "(tool)", "bricked", "hangs", "crashes");
  text += line;
  for (const auto& [fault, c] : byFault_) {
    std::snprintf(line, sizeof line, "%-20s %6llu %6llu %14llu %9llu %6llu %7llu %5llu %7llu\n", fault.c_str(),
                  static_cast<unsigned long long>(c.runs), static_cast<unsigned long long>(c.ok),
                  static_cast<unsigned long long>(c.failedCleanly), static_cast<unsigned long long>(c.recovered),
                  static_cast<unsigned long long>(c.toolNeeded),
                  static_cast<unsigned long long>(c.bricked), static_cast<unsigned long long>(c.hangs),
                  static_cast<unsigned long long>(c.crashes));
    text += line;
  }
  return text;
}

}  // namespace kl::campaign
