#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "Pellmar/dynamic_strings.h"
#include "Pellmar/guarded_blocks.h"
#include "heap_fixture.h"

namespace kl {
namespace {

using test::HeapTest;

uint32_t blockTotal(const char* text) {
  uint32_t total;
  std::memcpy(&total, text - 8, sizeof total);
  return total;
}

// ---- values, handles and the table ----------------------------------------------------------

TEST_F(HeapTest, AllocGivesACountedZeroFilledHandle) {
  StringValue v = heap->StringAlloc(10);
  ASSERT_TRUE(IsStringHandle(v));
  EXPECT_EQ(v, StringHandleOf(0));
  EXPECT_EQ(entry(v).refCount, 1);
  EXPECT_EQ(entry(v).flags, kEntryInUse);
  EXPECT_EQ(entry(v).size, 10);
  EXPECT_EQ(heap->StringLength(v), 9);
  const char* bytes = heap->StringWritablePointer(v);
  EXPECT_EQ(blockTotal(bytes), 32u + 16u);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(bytes[i], 0) << i;

  StringValue negative = heap->StringAlloc(-5);
  EXPECT_EQ(entry(negative).size, 0);
  EXPECT_EQ(heap->StringLength(negative), 0);
  heap->StringRelease(v);
  heap->StringRelease(negative);
  EXPECT_EQ(v, 0u);
  EXPECT_EQ(inUse(), 0u);
  EXPECT_TRUE(reports.empty());
}

TEST_F(HeapTest, ConstantTextIsUsedInPlaceAndCopiedWhenShared) {
  static const char kFive[] = "abcde";
  StringValue v = 0;
  heap->StringAssignConst(v, kFive);
  EXPECT_EQ(v, reinterpret_cast<StringValue>(kFive));
  EXPECT_EQ(inUse(), 0u);

  StringValue shared = heap->StringShare(v);
  ASSERT_TRUE(IsStringHandle(shared));
  EXPECT_EQ(entry(shared).size, 6);
  EXPECT_EQ(blockTotal(heap->StringView(shared).data()), 32u + 16u);
  EXPECT_EQ(text(shared), "abcde");

  heap->StringAssignConst(v, "");
  EXPECT_EQ(v, 0u);
  heap->StringAssignConst(shared, "xyz");  // releases the handle it held
  EXPECT_EQ(inUse(), 0u);
  EXPECT_EQ(heap->StringShare(0), 0u);
}

TEST_F(HeapTest, FreedEntriesAreReusedLastFreedFirst) {
  StringValue a = heap->StringAlloc(1);
  StringValue b = heap->StringAlloc(1);
  StringValue c = heap->StringAlloc(1);
  const StringValue oldA = a, oldB = b;
  heap->StringRelease(b);
  heap->StringRelease(a);
  EXPECT_EQ(StringHeapInspector::freeHead(*heap), oldA);
  EXPECT_EQ(heap->StringAlloc(1), oldA);
  EXPECT_EQ(heap->StringAlloc(1), oldB);
  EXPECT_EQ(heap->StringAlloc(1), StringHandleOf(3));
  EXPECT_EQ(c, StringHandleOf(2));
}

TEST_F(HeapTest, GrowingTheTableKeepsOldHandlesValid) {
  heap = makeHeap({4, 3, kStringHandleWindow});
  std::vector<StringValue> held;
  for (int i = 0; i < 11; ++i) held.push_back(heap->StringFromBytes("text " + std::to_string(i)));
  for (int i = 0; i < 11; ++i) {
    EXPECT_EQ(held[i], StringHandleOf(i));
    EXPECT_EQ(text(held[i]), "text " + std::to_string(i));
  }
  EXPECT_EQ(heap->stats().tableEntries, 13u);  // 4, then 7, 10, 13
  // Entries added by growth are chained in index order behind the new head.
  EXPECT_EQ(StringHeapInspector::freeHead(*heap), StringHandleOf(11));
  EXPECT_TRUE(reports.empty());
}

TEST_F(HeapTest, FullTableAndFailedCreationAreReported) {
  heap = makeHeap({2, 5, 2});
  StringValue a = heap->StringAlloc(1);
  StringValue b = heap->StringAlloc(1);
  EXPECT_EQ(heap->StringAlloc(1), 0u);
  EXPECT_EQ(takeReport(), "OUT OF STRING HEAP SPACE");
  EXPECT_EQ(heap->StringAlloc(kMaxStringSize + 1), 0u);
  EXPECT_EQ(takeReport(), "OUT OF STRING HEAP SPACE");
  heap->StringRelease(a);
  heap->StringRelease(b);

  EXPECT_EQ(makeHeap({0, 5, 10}), nullptr);
  EXPECT_EQ(takeReport(), "Unable to create string heap");
  EXPECT_EQ(makeHeap({10, 5, kStringHandleWindow + 1}), nullptr);
  EXPECT_EQ(takeReport(), "Unable to create string heap");
}

// ---- sharing, counts and copy on write -------------------------------------------------------

TEST_F(HeapTest, ChangingASharedStringLeavesTheOtherHolderAlone) {
  StringValue a = heap->StringFromBytes("hello");
  StringValue b = heap->StringShare(a);
  EXPECT_EQ(a, b);
  EXPECT_EQ(entry(a).refCount, 2);
  heap->_PutStringElement(b, 0, 'J');
  EXPECT_NE(a, b);
  EXPECT_EQ(text(a), "hello");
  EXPECT_EQ(text(b), "Jello");
  EXPECT_EQ(entry(a).refCount, 1);
  // A sole holder changes in place.
  const StringValue before = b;
  heap->_PutStringElement(b, 4, '!');
  EXPECT_EQ(b, before);
  EXPECT_EQ(text(b), "Jell!");
}

TEST_F(HeapTest, PutOutsideTheStringIsReportedAndChangesNothing) {
  StringValue a = heap->StringFromBytes("hello");
  StringValue b = heap->StringShare(a);
  for (int32_t index : {-1, 5, 1000}) {
    heap->_PutStringElement(b, index, 'x');
    EXPECT_EQ(takeReport(), "_PutStringElement: Index out of range") << index;
    EXPECT_EQ(b, a);
  }
  EXPECT_EQ(entry(a).refCount, 2);
  StringValue empty = 0;
  heap->_PutStringElement(empty, 0, 'x');
  EXPECT_EQ(takeReport(), "_PutStringElement: Index out of range");
}

TEST_F(HeapTest, ReferenceCountLimitsAreReported) {
  StringValue v = heap->StringFromBytes("x");
  for (int i = 1; i < kMaxRefCount; ++i) heap->StringAddRef(v);
  EXPECT_EQ(entry(v).refCount, kMaxRefCount);
  EXPECT_TRUE(reports.empty());
  heap->StringAddRef(v);
  EXPECT_EQ(takeReport(), "string heap: refcount overflow");
  EXPECT_EQ(heap->StringShare(v), 0u);
  EXPECT_EQ(takeReport(), "string heap: refcount overflow");
  EXPECT_EQ(entry(v).refCount, kMaxRefCount);
  EXPECT_EQ(heap->stats().highestRefCount, kMaxRefCount);
  for (int i = 0; i < kMaxRefCount; ++i) {
    StringValue copy = v;
    heap->StringRelease(copy);
  }
  EXPECT_EQ(inUse(), 0u);

  heap->StringAddRef(v);  // released: no holder left
  EXPECT_EQ(takeReport(), "string heap: refcount error");
  heap->StringAddRef(StringHandleOf(5000));  // beyond the table
  EXPECT_EQ(takeReport(), "string heap: refcount error");
}

TEST_F(HeapTest, AssignSharesBeforeReleasing) {
  StringValue a = heap->StringFromBytes("mine");
  heap->StringAssign(a, a);  // sole holder: must not free before sharing
  EXPECT_EQ(text(a), "mine");
  EXPECT_EQ(entry(a).refCount, 1);

  StringValue b = heap->StringFromBytes("other");
  heap->StringAssign(b, a);
  EXPECT_EQ(b, a);
  EXPECT_EQ(entry(a).refCount, 2);
  EXPECT_EQ(inUse(), 1u);  // "other" was freed
}

TEST_F(HeapTest, MakeUniqueCopiesOnlyWhatOthersHold) {
  StringValue sole = heap->StringFromBytes("sole");
  const StringValue soleBefore = sole;
  heap->StringMakeUnique(sole);
  EXPECT_EQ(sole, soleBefore);

  StringValue shared = heap->StringShare(sole);
  heap->StringMakeUnique(shared);
  EXPECT_NE(shared, sole);
  EXPECT_EQ(entry(shared).size, entry(sole).size);
  EXPECT_EQ(text(shared), "sole");
  EXPECT_EQ(entry(sole).refCount, 1);

  StringValue constant = 0;
  heap->StringAssignConst(constant, "fixed");
  heap->StringMakeUnique(constant);
  ASSERT_TRUE(IsStringHandle(constant));
  EXPECT_EQ(text(constant), "fixed");
}

// ---- compare and concatenate -----------------------------------------------------------------

TEST_F(HeapTest, CompareOrdersByUnsignedBytesThenLength) {
  struct Case {
    const char* a;
    const char* b;
    int expected;
  };
  const Case cases[] = {
      {"", "", 0},       {"", "a", -1},       {"a", "", 1},         {"abc", "abd", -1}, {"abd", "abc", 1},
      {"ab", "abc", -1}, {"abc", "ab", 1},    {"same", "same", 0},  {"\xff", "a", 1},  {"a", "\x80", -1},
  };
  for (const Case& c : cases) {
    StringValue a = heap->StringFromBytes(c.a);
    StringValue b = 0;
    heap->StringAssignConst(b, c.b);  // a handle against constant text
    EXPECT_EQ(heap->StringCompare(a, b), c.expected) << '"' << c.a << "\" vs \"" << c.b << '"';
    EXPECT_EQ(heap->StringCompare(b, a), -c.expected);
    heap->StringRelease(a);
  }
}

TEST_F(HeapTest, ConcatMakesANewStringAndLeavesItsParts) {
  StringValue a = 0;
  heap->StringAssignConst(a, "left ");
  StringValue b = heap->StringFromBytes("right");
  StringValue joined = heap->StringConcat(a, b);
  EXPECT_EQ(text(joined), "left right");
  EXPECT_EQ(entry(joined).size, 11);
  EXPECT_EQ(text(b), "right");
  EXPECT_EQ(entry(b).refCount, 1);
  EXPECT_EQ(heap->StringConcat(0, 0), 0u);
}

// ---- corruption and guards --------------------------------------------------------------------

TEST_F(HeapTest, DamagedEntriesAreReportedOnRelease) {
  struct Damage {
    void (*apply)(StringEntry&);
    const char* message;
  };
  const Damage damages[] = {
      {[](StringEntry& e) { e.data = 0; }, "CORRUPT STRING HEAP (used block data is zero)"},
      {[](StringEntry& e) { e.data = StringHandleOf(7); }, "CORRUPT STRING HEAP (used block data is pointing into table)"},
      {[](StringEntry& e) { e.flags = 0; }, "CORRUPT STRING HEAP (free block in use)"},
      {[](StringEntry& e) { e.refCount = 0; }, "CORRUPT STRING HEAP (unreferenced block in use)"},
      {[](StringEntry& e) { e.size = -3; }, "CORRUPT STRING HEAP (empty block in use)"},
  };
  for (const Damage& d : damages) {
    StringValue v = heap->StringFromBytes("victim");
    const StringEntry saved = entry(v);
    d.apply(entry(v));
    StringValue held = v;
    heap->StringRelease(held);
    EXPECT_EQ(takeReport(), d.message);
    EXPECT_EQ(held, v) << "the release is abandoned";
    entry(v) = saved;
    heap->StringRelease(held);
    EXPECT_TRUE(reports.empty());
  }
  StringValue beyond = StringHandleOf(100000);
  heap->StringRelease(beyond);
  EXPECT_EQ(takeReport(), "CORRUPT STRING HEAP (free block in use)");
  EXPECT_EQ(inUse(), 0u);
}

TEST_F(HeapTest, ReleasingAFreedHandleAgainIsReported) {
  StringValue first = heap->StringFromBytes("once");
  StringValue second = heap->StringFromBytes("twice");
  StringValue stale = first;
  heap->StringRelease(first);
  heap->StringRelease(stale);  // its entry now links to the next free handle
  EXPECT_EQ(takeReport(), "CORRUPT STRING HEAP (used block data is pointing into table)");
  StringValue staleLast = second;
  heap->StringRelease(second);
  heap->StringRelease(staleLast);
  EXPECT_EQ(takeReport(), "CORRUPT STRING HEAP (used block data is pointing into table)");
  EXPECT_EQ(inUse(), 0u);
  EXPECT_EQ(heap->StringAlloc(1), StringHandleOf(1)) << "the free chain is intact";
}

TEST_F(HeapTest, DamagedFreeChainIsReportedOnAlloc) {
  struct Damage {
    void (*apply)(StringEntry&);
    const char* message;
  };
  const Damage damages[] = {
      {[](StringEntry& e) { e.flags = kEntryInUse; }, "CORRUPT STRING HEAP (used block in free chain)"},
      {[](StringEntry& e) { e.refCount = 2; }, "CORRUPT STRING HEAP (referenced block in free chain)"},
      {[](StringEntry& e) { e.size = 8; }, "CORRUPT STRING HEAP (non-empty block in free chain)"},
  };
  for (const Damage& d : damages) {
    const StringValue head = StringHeapInspector::freeHead(*heap);
    const StringEntry saved = entry(head);
    d.apply(entry(head));
    EXPECT_EQ(heap->StringAlloc(4), 0u);
    EXPECT_EQ(takeReport(), d.message);
    EXPECT_EQ(StringHeapInspector::freeHead(*heap), head);
    entry(head) = saved;
  }
  EXPECT_EQ(heap->StringAlloc(4), StringHandleOf(0));
  EXPECT_TRUE(reports.empty());
}

TEST_F(HeapTest, WritesOutsideATextBlockAreReportedWhenItIsFreed) {
  struct Damage {
    int offset;  // from the first text byte; the capacity is 32
    const char* message;
  };
  const Damage damages[] = {
      {32, "STRING HEAP WRITE OUT OF BOUNDS (OVER)"},
      {-1, "STRING HEAP WRITE OUT OF BOUNDS (UNDER)"},
      {-6, "STRING HEAP WRITE OUT OF BOUNDS (UNDER)"},  // the size word
      {-12, "INVALID STRING HEAP POINTER"},
  };
  for (const Damage& d : damages) {
    StringValue v = heap->StringFromBytes("guarded");
    char* bytes = heap->StringWritablePointer(v);
    const char saved = bytes[d.offset];
    bytes[d.offset] = 'x';
    StringValue held = v;
    heap->StringRelease(held);
    EXPECT_EQ(takeReport(), d.message) << d.offset;
    EXPECT_EQ(held, v);
    EXPECT_EQ(entry(v).flags, kEntryInUse) << "nothing was freed";
    bytes[d.offset] = saved;
    heap->StringRelease(held);
    EXPECT_TRUE(reports.empty());
  }
  // The last byte of the capacity is the string's own.
  StringValue v = heap->StringFromBytes("guarded");
  heap->StringWritablePointer(v)[31] = 'x';
  heap->StringRelease(v);
  EXPECT_TRUE(reports.empty());
}

TEST_F(HeapTest, AnOverrunIsAlsoCaughtWhenAStringMovesToABiggerBlock) {
  StringValue v = heap->StringFromBytes("short");
  char* bytes = heap->StringWritablePointer(v);
  bytes[32] = 'x';
  heap->StringAppend(v, std::string(40, 'y'));
  EXPECT_EQ(takeReport(), "STRING HEAP WRITE OUT OF BOUNDS (OVER)");
  EXPECT_EQ(text(v), "short");
  bytes[32] = static_cast<char>(0xFF);
}

TEST(GuardedBlocks, GeneralBlocksHaveTheirOwnMagicAndWords) {
  char* bytes = AllocGuardedBlock(BlockKind::General, 10);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(CheckGuardedBlock(BlockKind::General, bytes), BlockCheck::Intact);
  EXPECT_EQ(CheckGuardedBlock(BlockKind::Text, bytes), BlockCheck::WrongMagic);
  EXPECT_EQ(BlockCheckMessage(BlockKind::General, BlockCheck::WrongMagic), "INVALID HEAP POINTER");
  bytes[10] = 0;
  EXPECT_EQ(CheckGuardedBlock(BlockKind::General, bytes), BlockCheck::OverRun);
  EXPECT_EQ(BlockCheckMessage(BlockKind::General, BlockCheck::OverRun), "HEAP WRITE OUT OF BOUNDS (OVER)");
  bytes[10] = static_cast<char>(0xFF);
  bytes[-2] = 0;
  EXPECT_EQ(CheckGuardedBlock(BlockKind::General, bytes), BlockCheck::UnderRun);
  EXPECT_EQ(BlockCheckMessage(BlockKind::General, BlockCheck::UnderRun), "HEAP WRITE OUT OF BOUNDS (UNDER)");
  bytes[-2] = static_cast<char>(0xFF);
  FreeGuardedBlock(bytes);
}

// ---- allocation diagnostics -------------------------------------------------------------------

TEST_F(HeapTest, ManyOrLargeAllocationsPrintAtMostTenLines) {
  heap = makeHeap({400, 100, kStringHandleWindow});
  std::vector<StringValue> held;
  for (int i = 0; i < 251; ++i) held.push_back(heap->StringAlloc(1));
  EXPECT_TRUE(notices.empty());
  const int manyLine = __LINE__ + 1;
  held.push_back(heap->StringAlloc(1));
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0], "LARGE NUMBER OF STRING ALLOCATIONS dynamic_strings_test(" + std::to_string(manyLine) + ")\n");
  for (StringValue& v : held) heap->StringRelease(v);
  notices.clear();

  held.push_back(heap->StringAlloc(5000));
  EXPECT_TRUE(notices.empty());
  const int largeLine = __LINE__ + 1;
  held.push_back(heap->StringAlloc(5001));
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0], "LARGE STRING ALLOCATION 5001 dynamic_strings_test(" + std::to_string(largeLine) + ")\n");

  for (int i = 0; i < 20; ++i) held.push_back(heap->StringAlloc(6000));
  EXPECT_EQ(notices.size(), 9u);
  EXPECT_EQ(heap->stats().noticesPrinted, 10);
  for (StringValue& v : held) heap->StringRelease(v);
  EXPECT_TRUE(reports.empty());
}

}  // namespace
}  // namespace kl

namespace kl {
namespace {

TEST(StringHeapWithoutSink, AReportStillEndsTheProcess) {
  EXPECT_DEATH(
      {
        auto heap = CreateStringHeap(nullptr, nullptr, {4, 4, kStringHandleWindow});
        heap->StringAddRef(StringHandleOf(2));
      },
      "string heap: refcount error:DynamicStrings:.+");
}

}  // namespace
}  // namespace kl
