// The empty string that records start out with, before any heap is involved.
#include <gtest/gtest.h>

#include "Pellmar/dynamic_string.h"
#include "heap_fixture.h"

namespace kl {
namespace {

using test::HeapTest;

TEST(HeaplessString, ReadsAndCopiesAsEmptyWithoutAHeap) {
  const DynamicString none;
  EXPECT_FALSE(none.hasHeap());
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(none.view(), "");
  EXPECT_EQ(none.length(), 0);
  DynamicString copy = none;
  EXPECT_FALSE(copy.hasHeap());
  EXPECT_EQ(copy, none);
  EXPECT_TRUE(copy.substr(0, 3).empty());
  EXPECT_EQ(copy.writableData(), nullptr);
}

TEST_F(HeapTest, AHeaplessStringTakesTheHeapOfWhatIsAssignedToIt) {
  DynamicString text;
  text = DynamicString(*heap, "ab");
  EXPECT_TRUE(text.hasHeap());
  text.append('c');
  EXPECT_EQ(text.view(), "abc");
  EXPECT_EQ(inUse(), 1u);
  text = DynamicString();  // releases the heap text
  EXPECT_EQ(inUse(), 0u);
  EXPECT_EQ(DynamicString() + DynamicString(*heap, "x"), "x");
  EXPECT_LT(DynamicString(), DynamicString(*heap, "x"));
}

TEST(HeaplessStringDeathTest, ChangingItInPlaceEndsTheProcessWithAReport) {
  EXPECT_DEATH(DynamicString().append("x"), "change of a string that has no heap");
  EXPECT_DEATH(DynamicString().put(0, 'x'), "change of a string that has no heap");
  EXPECT_DEATH(DynamicString().setLength(3), "change of a string that has no heap");
}

}  // namespace
}  // namespace kl
