// DynamicStrings: the reference-counted string heap under every text value of the program.
//
// A string is passed around as one word, a `StringValue`:
//   0                                  the empty string
//   kStringHandleBase + index          a handle: entry `index` of the string table
//   any other value                    the address of constant zero-terminated text, used in
//                                      place, never counted and never freed
// Text built at run time lives in guarded text blocks, shared between holders and copied only
// when a holder changes a shared string (copy on write).
//
// Word width. A StringValue is a std::uintptr_t: exactly the 32-bit word on a 32-bit build,
// and on a 64-bit build wide enough for a constant's address. The three kinds and the handle
// numbering are the same on both (0xFF000000 + index, at most 0x01000000 entries). Where an
// address could fall into the handle window, two guards keep the kinds apart: constant text at
// such an address is copied into a handle instead of being used in place, and a text block whose
// address falls there is exchanged for another before it is used.
//
// Sizes. An entry's `size` is 32-bit, so a string (the contents of a file, say) may exceed 64 KB;
// a request past kMaxStringSize is reported as "OUT OF STRING HEAP SPACE", never truncated.
//
// Allocation diagnostics name the calling unit by its source file name without folder and
// extension, and its line, as SourceLocation gives them at the call site.
//
// The heap is an object owned by the session, not process-wide state. Every operation takes
// the one lock (a std::mutex); reports and diagnostic lines are delivered after the lock is
// left, so that whatever prints them may use strings itself.
//
// Reports. Every inconsistency goes to the error sink with its message and the line of this
// unit that found it; the program's sink ends the run. A sink that returns (tests) sees the
// operation abandoned: nothing more is changed or freed, and an operation that should have made
// a string gives the empty string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "Pellmar/source_location.h"

namespace kl {

using StringValue = std::uintptr_t;

inline constexpr StringValue kStringHandleBase = 0xFF000000u;
// The handle window: the most entries a string table can have.
inline constexpr std::size_t kStringHandleWindow = 0x01000000u;
// Text blocks hold at most this many bytes; the table's size field is 32-bit signed.
inline constexpr int32_t kMaxStringSize = 0x40000000;

// The size of a string of `length` bytes; past the largest string it is a size that the
// allocation refuses.
inline constexpr int32_t StringSizeFor(std::size_t length) {
  return length < static_cast<std::size_t>(kMaxStringSize) ? static_cast<int32_t>(length + 1) : kMaxStringSize + 1;
}

// memcpy that accepts the empty text of a zero value (no address at all).
void CopyStringBytes(char* to, const char* from, std::size_t count);

inline constexpr bool IsStringHandle(StringValue v) {
  return v >= kStringHandleBase && v - kStringHandleBase < kStringHandleWindow;
}
inline constexpr StringValue StringHandleOf(std::size_t index) {
  return kStringHandleBase + static_cast<StringValue>(index);
}

// One entry of the string table. Fields as the heap keeps them; on a 64-bit build `data` is a
// full address and `size` is 32-bit, so the entry is not the packed 9-byte record of the 32-bit
// layout.
struct StringEntry {
  StringValue data;   // address of the text while in use; next free handle while free (0 ends)
  uint16_t refCount;  // holders: 1..0x7FFF in use, 0 free
  uint8_t flags;      // bit 0 set while in use
  int32_t size;       // text bytes including the terminating zero; 0 when free
};

inline constexpr uint8_t kEntryInUse = 0x01;
inline constexpr uint16_t kMaxRefCount = 0x7FFF;

// Capacity of a text block holding `size` bytes: rounded up to a multiple of 32, 0 stays 0.
inline constexpr int32_t StringCapacity(int32_t size) {
  return size <= 0 ? 0 : ((size - 1) & ~31) + 32;
}

struct StringHeapLimits {
  std::size_t initialEntries = 1'000'000;
  std::size_t growthEntries = 1'000'000;
  std::size_t maxEntries = kStringHandleWindow;
};

// message, line of this unit. The program wires it to its runtime error report, which does not
// return. A heap made without one prints the report on the error stream and aborts.
using StringErrorSink = std::function<void(std::string_view message, int line)>;
// One allocation diagnostic line, ending in "\n", for standard output.
using StringNoticeSink = std::function<void(std::string_view line)>;

struct StringHeapStats {
  std::size_t tableEntries = 0;
  std::size_t stringsInUse = 0;
  int highestRefCount = 0;
  int noticesPrinted = 0;
};

inline constexpr int kManyStringsThreshold = 250;
inline constexpr int32_t kLargeStringThreshold = 5000;
inline constexpr int kMaxNotices = 10;

class StringHeap {
 public:
  using Where = SourceLocation;

  StringHeap(const StringHeap&) = delete;
  StringHeap& operator=(const StringHeap&) = delete;
  // Frees the blocks of strings still in use; every holder must be gone by then.
  ~StringHeap();

  // A handle with refCount 1 and `size` zero bytes (a negative size counts as 0).
  StringValue StringAlloc(int32_t size, Where where = Where::current());
  // One more holder of a handle.
  void StringAddRef(StringValue value);
  // One holder less; `value` becomes 0.
  void StringRelease(StringValue& value);
  // The value for a new holder: a handle gains a holder, constant text is copied into a handle.
  StringValue StringShare(StringValue value, Where where = Where::current());
  // Releases `destination` and stores StringShare(source). Assigning a string to itself is safe.
  void StringAssign(StringValue& destination, StringValue source, Where where = Where::current());
  // Releases `destination` and stores the text's address, or 0 for empty text. The text must
  // live and stay unchanged for the heap's lifetime.
  void StringAssignConst(StringValue& destination, const char* text, Where where = Where::current());
  // Makes `value` a string this holder alone owns, copying it when shared or constant.
  void StringMakeUnique(StringValue& value, Where where = Where::current());
  // Replaces the character at `index` (0 .. length - 1) after making the string unique.
  void _PutStringElement(StringValue& value, int32_t index, char c, Where where = Where::current());
  // -1, 0 or 1; bytes compare unsigned, a proper prefix is smaller.
  int StringCompare(StringValue a, StringValue b);
  // A new string holding a followed by b.
  StringValue StringConcat(StringValue a, StringValue b, Where where = Where::current());

  // Utilities. Negative positions and counts count as 0; ranges are clipped to the string.
  // The text arguments may point into the string they change.
  StringValue StringFromBytes(std::string_view bytes, Where where = Where::current());
  // The byte at the new length becomes the terminating zero; bytes gained are zero.
  void StringSetLength(StringValue& value, int32_t length, Where where = Where::current());
  StringValue StringSubstring(StringValue value, int32_t start, int32_t count, Where where = Where::current());
  void StringInsert(StringValue& value, int32_t position, std::string_view text, Where where = Where::current());
  void StringDelete(StringValue& value, int32_t position, int32_t count, Where where = Where::current());
  void StringReplace(StringValue& value, int32_t position, int32_t count, std::string_view text,
                     Where where = Where::current());
  void StringAppend(StringValue& value, std::string_view text, Where where = Where::current());
  void StringAppendChar(StringValue& value, char c, Where where = Where::current());
  // The string's bytes after making it unique (length + 1 of them, the last one the zero);
  // nullptr for the empty string.
  char* StringWritablePointer(StringValue& value, Where where = Where::current());

  // The text of a value. Valid while the caller holds its reference and does not change it.
  std::string_view StringView(StringValue value);
  int32_t StringLength(StringValue value);

  StringHeapStats stats() const;

 private:
  friend std::unique_ptr<StringHeap> CreateStringHeap(StringErrorSink, StringNoticeSink, StringHeapLimits);
  friend struct StringHeapInspector;  // tests: reads and damages entries on purpose

  // A report waiting for the lock to be left.
  struct Fault {
    const char* message = nullptr;
    int line = 0;
    explicit operator bool() const { return message != nullptr; }
  };
  // What one operation has to say once it has left the lock.
  struct Pending {
    Fault fault;
    std::vector<std::string> notices;
  };
  static Fault fault(const char* message, SourceLocation at = SourceLocation::current());

  StringHeap(StringErrorSink errors, StringNoticeSink notices, StringHeapLimits limits);
  bool createTable();
  void deliver(Pending& pending);

  // Everything below runs with the lock held.
  bool growTable();
  StringEntry* entryOf(StringValue handle);
  // Checks of an entry that a holder uses; `entry` is set when the handle lies in the table.
  Fault checkInUse(StringValue handle, StringEntry*& entry);
  char* textOf(StringValue handle);
  StringValue allocLocked(int32_t size, Pending& p, const Where& where);
  char* newTextBlock(int32_t capacity);
  void releaseLocked(StringValue& value, Pending& p);
  StringValue retainLocked(StringValue value, Pending& p);
  StringValue shareLocked(StringValue value, Pending& p, const Where& where);
  std::string_view viewLocked(StringValue value, Pending& p);
  bool makeUniqueLocked(StringValue& value, Pending& p, const Where& where);
  bool resizeLocked(StringValue& value, int32_t newSize, Pending& p, const Where& where);
  void spliceLocked(StringValue& value, int32_t position, int32_t count, std::string_view text,
                    Pending& p, const Where& where);
  void noteAllocation(int32_t size, Pending& p, const Where& where);

  // Runs `op` under the lock, then delivers what it has to report.
  template <typename Op>
  auto underLock(Op&& op) {
    Pending p;
    if constexpr (std::is_void_v<decltype(op(p))>) {
      {
        std::lock_guard<std::mutex> hold(lock_);
        op(p);
      }
      deliver(p);
    } else {
      auto result = [&] {
        std::lock_guard<std::mutex> hold(lock_);
        return op(p);
      }();
      deliver(p);
      return result;
    }
  }

  StringErrorSink errors_;
  StringNoticeSink notices_;
  StringHeapLimits limits_;

  mutable std::mutex lock_;
  std::unique_ptr<StringEntry[]> table_;
  std::size_t tableSize_ = 0;
  StringValue freeHead_ = 0;
  std::size_t inUse_ = 0;
  int highestRefCount_ = 0;
  int noticesPrinted_ = 0;
};

// -1, 0 or 1: the first differing byte decides (unsigned), else the shorter text is smaller.
int CompareStringBytes(std::string_view a, std::string_view b);

// Makes the heap with its string table; reports "Unable to create string heap" and gives
// nullptr when the table cannot be had.
std::unique_ptr<StringHeap> CreateStringHeap(StringErrorSink errors, StringNoticeSink notices,
                                             StringHeapLimits limits = {});

}  // namespace kl
