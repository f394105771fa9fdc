#include <gtest/gtest.h>

#include <string>

#include "Pellmar/dynamic_strings.h"
#include "heap_fixture.h"

namespace kl {
namespace {

using test::HeapTest;

class StringUtilities : public HeapTest {
 protected:
  StringValue make(std::string_view s) { return heap->StringFromBytes(s); }
};

TEST_F(StringUtilities, RangesAreClippedToTheString) {
  StringValue s = make("0123456789");
  EXPECT_EQ(take(heap->StringSubstring(s, -4, 3)), "012");
  EXPECT_EQ(take(heap->StringSubstring(s, 7, 100)), "789");
  EXPECT_EQ(heap->StringSubstring(s, 10, 5), 0u);
  EXPECT_EQ(heap->StringSubstring(s, 3, -2), 0u);

  heap->StringDelete(s, -3, 2);
  EXPECT_EQ(text(s), "23456789");
  heap->StringDelete(s, 5, 1000);
  EXPECT_EQ(text(s), "23456");
  heap->StringInsert(s, 99, "!");
  EXPECT_EQ(text(s), "23456!");
  heap->StringInsert(s, -7, "<");
  EXPECT_EQ(text(s), "<23456!");
  heap->StringReplace(s, 1, -5, "ab");  // a negative count replaces nothing: a plain insert
  EXPECT_EQ(text(s), "<ab23456!");
  heap->StringReplace(s, 3, 100, "#");
  EXPECT_EQ(text(s), "<ab#");
  heap->StringDelete(s, 0, 100);
  EXPECT_EQ(s, 0u);
  EXPECT_TRUE(reports.empty());
  EXPECT_EQ(inUse(), 0u);
}

TEST_F(StringUtilities, SetLengthPutsTheZeroAtTheNewLength) {
  StringValue s = make("abcdef");
  heap->StringSetLength(s, 3);
  EXPECT_EQ(text(s), "abc");
  EXPECT_EQ(entry(s).size, 4);
  EXPECT_EQ(heap->StringView(s).data()[3], '\0');
  heap->StringSetLength(s, 5);  // gained bytes are zero, not the old "de"
  EXPECT_EQ(text(s), std::string("abc\0\0", 5));
  heap->StringSetLength(s, -1);
  EXPECT_EQ(s, 0u);
  EXPECT_EQ(inUse(), 0u);
}

TEST_F(StringUtilities, ASoleHolderResizesInItsBlockUntilTheCapacityChanges) {
  StringValue s = make("abc");
  const StringValue handle = s;
  const char* block = heap->StringView(s).data();
  while (heap->StringLength(s) < 31) heap->StringAppendChar(s, 'x');
  EXPECT_EQ(heap->StringView(s).data(), block) << "size 32 still fits the 32-byte block";
  heap->StringAppendChar(s, 'y');
  EXPECT_EQ(s, handle) << "the handle stays";
  EXPECT_EQ(entry(s).size, 33);
  EXPECT_EQ(text(s), "abc" + std::string(28, 'x') + "y");

  heap->StringSetLength(s, 2);
  EXPECT_EQ(text(s), "ab");
  EXPECT_EQ(s, handle);
}

TEST_F(StringUtilities, ChangingASharedOrConstantStringMakesANewHandle) {
  StringValue a = make("shared");
  StringValue b = heap->StringShare(a);
  heap->StringAppend(b, "!");
  heap->StringDelete(a, 0, 1);  // a has one holder again: changes in place
  EXPECT_EQ(text(b), "shared!");
  EXPECT_EQ(text(a), "hared");
  EXPECT_EQ(entry(a).refCount, 1);
  EXPECT_EQ(entry(b).refCount, 1);

  static const char kFixed[] = "fixed";
  StringValue c = 0;
  heap->StringAssignConst(c, kFixed);
  heap->StringReplace(c, 0, 1, "m");
  EXPECT_EQ(text(c), "mixed");
  EXPECT_STREQ(kFixed, "fixed");

  StringValue d = heap->StringShare(a);
  char* bytes = heap->StringWritablePointer(d);
  bytes[0] = 'H';
  EXPECT_EQ(text(a), "hared");
  EXPECT_EQ(text(d), "Hared");
}

TEST_F(StringUtilities, TextTakenFromTheStringItselfSurvivesTheChange) {
  const std::string start = "0123456789abcdefghij";
  StringValue s = make(start);
  heap->StringAppend(s, heap->StringView(s));  // 40 bytes: moves to a 64-byte block
  EXPECT_EQ(text(s), start + start);
  heap->StringInsert(s, 2, heap->StringView(s).substr(10, 3));  // stays in its block
  EXPECT_EQ(text(s), "01abc23456789abcdefghij" + start);
  heap->StringReplace(s, 0, 5, heap->StringView(s).substr(1, 2));
  EXPECT_EQ(text(s), "1a23456789abcdefghij" + start);
  EXPECT_TRUE(reports.empty());
}

TEST_F(StringUtilities, BytesMayHoldZeros) {
  StringValue s = heap->StringFromBytes(std::string_view("a\0b", 3));
  EXPECT_EQ(heap->StringLength(s), 3);
  EXPECT_EQ(heap->StringFromBytes(""), 0u);
  StringValue t = heap->StringFromBytes(std::string_view("a\0c", 3));
  EXPECT_EQ(heap->StringCompare(s, t), -1);
}

}  // namespace
}  // namespace kl
