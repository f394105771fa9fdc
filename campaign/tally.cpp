#include "tally.h"

#include <cstdio>

namespace kl::campaign {

void Counts::add(const SeedResult& result) {
  ++runs;
  if (result.failedCleanly) ++failedCleanly;
  if (result.fieldsLost) ++fieldsLost;
  if (result.toolNeeded) {
    ++toolNeeded;
    if (result.fieldsErased) ++toolFieldsErased;
    if (result.fieldsErased && !result.fieldsLost) ++toolFieldsRestored;
    if (result.fieldsLost) ++toolFieldsLost;
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
               " fields-erased=" + std::to_string(all_.toolFieldsErased) + " fields-restored=" +
               std::to_string(all_.toolFieldsRestored) + " fields-lost=" + std::to_string(all_.toolFieldsLost) +
               " (the unit stopped while its boot loader was rewritten: the maker's tool wrote a boot loader into "
               "the blank chip, and only that; the program's next run must put back the fields it erased)\n";
  }
  return toolLine + "campaign: flow=" + flow + " runs=" + std::to_string(all_.runs) + " ok=" + std::to_string(all_.ok) +
         " failed-cleanly=" + std::to_string(all_.failedCleanly) + " recovered=" + std::to_string(all_.recovered) +
         " bricked=" + std::to_string(all_.bricked) + " hangs=" + std::to_string(all_.hangs) +
         " crashes=" + std::to_string(all_.crashes) + " fields-lost=" + std::to_string(all_.fieldsLost);
}

std::string Tally::table() const {
  std::string text;
  char line[200];
  std::snprintf(line, sizeof line, "%-20s %6s %6s %14s %9s %7s %5s %7s %7s %11s\n", "fault", "runs", "ok",
                "failed-cleanly", "recovered", "bricked", "hangs", "crashes", "bl-lost", "fields-lost");
  text += line;
  const auto n = [](uint64_t v) { return static_cast<unsigned long long>(v); };
  for (const auto& [fault, c] : byFault_) {
    std::snprintf(line, sizeof line, "%-20s %6llu %6llu %14llu %9llu %7llu %5llu %7llu %7llu %11llu\n",
                  fault.c_str(), n(c.runs), n(c.ok), n(c.failedCleanly), n(c.recovered), n(c.bricked), n(c.hangs),
                  n(c.crashes), n(c.toolNeeded), n(c.fieldsLost));
    text += line;
  }
  return text;
}

}  // namespace kl::campaign
