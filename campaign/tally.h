// The campaign's counts: overall for the last line, and by fault for the report's table.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "seed_run.h"

namespace kl::campaign {

struct Counts {
  uint64_t runs = 0;
  uint64_t ok = 0;
  uint64_t failedCleanly = 0;
  uint64_t recovered = 0;
  uint64_t bricked = 0;
  uint64_t hangs = 0;
  uint64_t crashes = 0;
  uint64_t fieldsLost = 0;     // any outcome: some unit's fields not as they must be at the end
  // The boot loader was lost (a blank chip the maker's tool gave its boot loader): nothing can
  // prevent that, so it is counted apart, with what became of the unit's fields.
  uint64_t toolNeeded = 0;
  uint64_t toolFieldsErased = 0;   // of those: the tool found the fields gone
  uint64_t toolFieldsRestored = 0;  // of those: as they must be at the end (the program wrote them back)
  uint64_t toolFieldsLost = 0;      // of the tool's units: fields not as they must be at the end

  void add(const SeedResult& result);
};

class Tally {
 public:
  void add(const SeedResult& result);
  // True when no seed broke an invariant.
  bool clean() const { return reported_ == 0; }
  // "campaign: flow=F runs=N ok=A failed-cleanly=B recovered=C bricked=D hangs=E crashes=G fields-lost=L"
  // Above it, when the maker's tool was needed:
  // "campaign: flow=F boot-loader-lost=K fields-erased=E fields-restored=R fields-lost=L (...)"
  std::string summary(const std::string& flow) const;
  // One line per fault (sorted by name) under a heading: the outcome table.
  std::string table() const;

 private:
  Counts all_;
  std::map<std::string, Counts> byFault_;
  uint64_t reported_ = 0;
};

}  // namespace kl::campaign
