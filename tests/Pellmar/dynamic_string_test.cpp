#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "Pellmar/dynamic_string.h"
#include "heap_fixture.h"

namespace kl {
namespace {

using test::HeapTest;

TEST_F(HeapTest, CopiesShareTextUntilOneOfThemChanges) {
  DynamicString a(*heap, "hello");
  DynamicString b = a;
  EXPECT_EQ(a.value(), b.value());
  EXPECT_EQ(entry(a.value()).refCount, 2);

  b.put(0, 'J');
  EXPECT_EQ(a, "hello");
  EXPECT_EQ(b, "Jello");
  b.append(" world").insert(0, "<").erase(1, 1).replace(0, 1, "[");
  EXPECT_EQ(b.view(), "[ello world");
  EXPECT_EQ(a.view(), "hello");
  EXPECT_EQ(entry(a.value()).refCount, 1);

  b = a;  // the old text of b is freed, a's gains a holder
  EXPECT_EQ(inUse(), 1u);
  EXPECT_EQ(entry(a.value()).refCount, 2);
}

TEST_F(HeapTest, ValuesReleaseTheirReferenceWhenTheyGo) {
  {
    DynamicString a(*heap, "one");
    std::vector<DynamicString> copies(5, a);
    DynamicString moved = std::move(copies.back());
    copies.pop_back();
    EXPECT_EQ(entry(a.value()).refCount, 6);
    EXPECT_EQ(moved, a);
    DynamicString b(*heap, "two");
    b = std::move(moved);
    EXPECT_EQ(inUse(), 1u);
  }
  EXPECT_EQ(inUse(), 0u);
  EXPECT_TRUE(reports.empty());
}

TEST_F(HeapTest, ConstantTextStaysInPlaceUntilChanged) {
  static const char kLiteral[] = "constant";
  DynamicString c(*heap, ConstantText(kLiteral));
  EXPECT_EQ(c.value(), reinterpret_cast<StringValue>(kLiteral));
  DynamicString copy = c;
  EXPECT_EQ(copy.value(), c.value());
  EXPECT_EQ(inUse(), 0u);

  copy.append('!');
  EXPECT_TRUE(IsStringHandle(copy.value()));
  EXPECT_EQ(copy, "constant!");
  EXPECT_EQ(c, "constant");
  EXPECT_STREQ(kLiteral, "constant");
  EXPECT_TRUE(DynamicString(*heap, ConstantText("")).empty());
}

TEST_F(HeapTest, OperatorsFollowTheHeapsOrder) {
  DynamicString a(*heap, "abc");
  DynamicString b(*heap, ConstantText("abd"));
  EXPECT_LT(a, b);
  EXPECT_GT(b, a);
  EXPECT_EQ(a + b, "abcabd");
  EXPECT_EQ(a.substr(1, 5), "bc");
  EXPECT_TRUE(DynamicString(*heap).empty());
  EXPECT_LT(DynamicString(*heap), a);

  // A value of another heap is compared and joined by its text, never by its handle number.
  auto other = makeHeap({8, 8, kStringHandleWindow});
  DynamicString x(*other, "abc");
  EXPECT_EQ(x.value(), a.value());
  EXPECT_EQ(x, a);
  DynamicString y(*other, "zzz");
  EXPECT_GT(y, a);
  EXPECT_EQ(a + y, "abczzz");
}

TEST_F(HeapTest, WritableDataIsThisHoldersOwn) {
  DynamicString a(*heap, "data");
  DynamicString b = a;
  char* bytes = b.writableData();
  bytes[0] = 'D';
  EXPECT_EQ(a, "data");
  EXPECT_EQ(b, "Data");
  EXPECT_EQ(DynamicString(*heap).writableData(), nullptr);
}

// Holders on several threads share, read, change and drop copies of the same strings while
// the table grows underneath them.
TEST_F(HeapTest, SharingAndReleasingFromSeveralThreadsKeepsCountsExact) {
  heap = makeHeap({16, 16, kStringHandleWindow});
  const DynamicString common(*heap, std::string(100, 'c'));
  constexpr int kThreads = 4;
  constexpr int kRounds = 2000;
  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<DynamicString> kept;
      for (int i = 0; i < kRounds; ++i) {
        DynamicString copy = common;
        if (copy.view() != common.view()) ++mismatches[t];
        StringValue raw = heap->StringShare(common.value());
        if (i % 3 == 0) {
          copy.put(i % 100, 'x');  // a private copy; common must not see it
          if (copy.view()[i % 100] != 'x') ++mismatches[t];
        }
        kept.push_back(copy);
        if (kept.size() > 40) kept.erase(kept.begin(), kept.begin() + 20);
        heap->StringRelease(raw);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << t;
  EXPECT_EQ(common.view(), std::string(100, 'c'));
  EXPECT_EQ(entry(common.value()).refCount, 1);
  EXPECT_EQ(inUse(), 1u);
  EXPECT_TRUE(reports.empty());
}

}  // namespace
}  // namespace kl
