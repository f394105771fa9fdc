// A string heap for tests, with sinks that record what the heap reports instead of ending
// the run.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Pellmar/dynamic_strings.h"

namespace kl {

// Reaches into the table to look at entries and to damage them on purpose.
struct StringHeapInspector {
  static StringEntry& entry(StringHeap& heap, StringValue handle) { return *heap.entryOf(handle); }
  static StringValue freeHead(StringHeap& heap) { return heap.freeHead_; }
};

namespace test {

struct HeapReport {
  std::string message;
  int line;
};

class HeapTest : public ::testing::Test {
 protected:
  std::unique_ptr<StringHeap> makeHeap(StringHeapLimits limits) {
    return CreateStringHeap(
        [this](std::string_view message, int line) { reports.push_back({std::string(message), line}); },
        [this](std::string_view line) { notices.emplace_back(line); }, limits);
  }

  std::vector<std::string> messages() const {
    std::vector<std::string> all;
    for (const HeapReport& r : reports) all.push_back(r.message);
    return all;
  }
  // The one report made since the last call, or "" when none or several were made.
  std::string takeReport() {
    std::string only = reports.size() == 1 ? reports.front().message : std::string();
    if (reports.size() == 1) {
      EXPECT_GT(reports.front().line, 0);
    }
    reports.clear();
    return only;
  }

  StringEntry& entry(StringValue handle) { return StringHeapInspector::entry(*heap, handle); }
  std::string text(StringValue v) { return std::string(heap->StringView(v)); }
  // The text of a string the caller no longer needs.
  std::string take(StringValue v) {
    std::string t = text(v);
    heap->StringRelease(v);
    return t;
  }
  std::size_t inUse() const { return heap->stats().stringsInUse; }

  std::vector<HeapReport> reports;
  std::vector<std::string> notices;
  std::unique_ptr<StringHeap> heap = makeHeap({64, 64, kStringHandleWindow});
};

}  // namespace test
}  // namespace kl
