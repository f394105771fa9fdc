// `AA` property lists of any bytes through every reader (the walk, AaListFault,
// GetLargeIntAA) and PutUIntAA. The input's first five bytes are a tag and a value to store;
// the rest is the list.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "transfer/aa_records.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kl;
  using namespace kl::fuzz;
  if (size < 5) return 0;
  const uint8_t tag = data[0];
  uint32_t value = (uint32_t{data[1]} << 24) | (uint32_t{data[2]} << 16) | (uint32_t{data[3]} << 8) | data[4];
  // Small values now and then, so that every record size is stored.
  if (tag & 0x80) value >>= (data[4] & 0x1F);
  const std::string list(reinterpret_cast<const char*>(data + 5), size - 5);

  AaWalker walker(list);
  size_t walked = 0;
  while (const auto record = walker.next()) {
    Require(record->offset == walked, "records follow each other");
    Require(record->size >= 2 && record->offset + record->size <= list.size(), "a record lies inside the list");
    Require(record->value.data() + record->value.size() == list.data() + record->offset + record->size,
            "a value ends where its record ends");
    walked += record->size;
  }
  Require(walker.fault().empty() == (walked == list.size()), "a walk that stops early says why");
  const std::string fault = AaListFault(list);
  Require(walker.fault().empty() || !fault.empty(), "a damaged list is reported");

  SimRun run;
  Session& s = run.s();
  for (int t = 0; t < 256; ++t) (void)GetLargeIntAA(s, list, static_cast<uint8_t>(t));

  DynamicString changed = s.text(list);
  PutUIntAA(changed, tag, value);
  const std::string_view after = changed.view();
  Require(GetLargeIntAA(s, after, tag) == value || value == 0, "a stored value reads back");
  if (fault.empty()) {
    Require(AaListFault(after).empty(), "storing keeps a sound list sound");
  }
  if (value == 0 && fault.empty()) {
    AaWalker check(after);
    while (const auto record = check.next()) Require(record->tag != tag, "storing 0 removes the record");
  }
  return 0;
}
