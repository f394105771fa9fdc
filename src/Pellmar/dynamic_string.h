// DynamicString: how program code holds text from the string heap. A value owns one reference:
// copying adds a holder, destruction releases it, and every change makes the text unique first,
// so no code outside DynamicStrings counts references by hand.
//
// Each value keeps a pointer to its heap next to its handle. The heap belongs to the session and
// there is no process-wide heap to fall back on, so the pointer is how a value finds the table
// its handle indexes; it costs one word and lets values from test heaps and the program's heap
// never mix up handles. The heap must outlive every value made from it.
//
// Like std::string, one DynamicString object is not to be changed from two threads at once;
// distinct values that share the same text may be copied, changed and destroyed concurrently.
#pragma once

#include <compare>
#include <ostream>
#include <cstdint>
#include <string>
#include <string_view>

#include "Pellmar/dynamic_strings.h"
#include "Pellmar/source_location.h"

namespace kl {

// Text that lives for the whole run: a string literal or other constant, named on purpose as
// ConstantText("...") (a plain literal makes a heap copy). The immediate
// constructor only accepts addresses known at compile time, so the text of a local buffer
// cannot be passed off as a constant.
class ConstantText {
 public:
  explicit consteval ConstantText(const char* text) : text_(text) {}
  const char* text() const { return text_; }

 private:
  const char* text_;
};

class DynamicString {
 public:
  using Where = SourceLocation;

  // The empty string, tied to no heap yet: it can be read, copied and assigned to (which
  // gives it the heap of the value assigned), but changing it in place is a fault that ends
  // the process. Records that start out empty use it.
  DynamicString() noexcept = default;
  // The empty string.
  explicit DynamicString(StringHeap& heap) noexcept : heap_(&heap) {}
  // A copy of `text` in the heap.
  DynamicString(StringHeap& heap, std::string_view text, Where where = Where::current());
  // Constant text, used in place until someone changes it.
  DynamicString(StringHeap& heap, ConstantText text, Where where = Where::current());
  // Takes over one reference the caller holds.
  static DynamicString adopt(StringHeap& heap, StringValue value) noexcept;

  DynamicString(const DynamicString& other);
  DynamicString(DynamicString&& other) noexcept;
  DynamicString& operator=(const DynamicString& other);
  DynamicString& operator=(DynamicString&& other) noexcept;
  ~DynamicString();

  // The value's heap; asking a value without one is a fault.
  StringHeap& heap(Where where = Where::current()) const { return changeableHeap(where); }
  bool hasHeap() const { return heap_ != nullptr; }
  // The word itself, still owned by this value.
  StringValue value() const { return value_; }
  // Hands the reference over to the caller; this value becomes empty.
  StringValue detach() noexcept;

  // Valid until this value is changed or destroyed.
  std::string_view view() const;
  std::string str() const { return std::string(view()); }
  // Reads as text wherever a string_view is taken.
  operator std::string_view() const { return view(); }
  int32_t length() const { return static_cast<int32_t>(view().size()); }
  bool empty() const { return value_ == 0 || view().empty(); }

  // Changes. Positions and counts are clipped as the heap's utilities do.
  DynamicString& append(std::string_view text, Where where = Where::current());
  DynamicString& append(char c, Where where = Where::current());
  DynamicString& insert(int32_t position, std::string_view text, Where where = Where::current());
  DynamicString& erase(int32_t position, int32_t count, Where where = Where::current());
  DynamicString& replace(int32_t position, int32_t count, std::string_view text, Where where = Where::current());
  DynamicString& setLength(int32_t length, Where where = Where::current());
  // Replaces one character; an index out of range is reported.
  void put(int32_t index, char c, Where where = Where::current());
  // Writable bytes of this value alone (length + 1, the last one the zero); nullptr when empty.
  char* writableData(Where where = Where::current());

  DynamicString substr(int32_t start, int32_t count, Where where = Where::current()) const;

  friend DynamicString operator+(const DynamicString& a, const DynamicString& b);
  friend bool operator==(const DynamicString& a, const DynamicString& b) { return compare(a, b) == 0; }
  friend std::strong_ordering operator<=>(const DynamicString& a, const DynamicString& b) {
    return compare(a, b) <=> 0;
  }
  friend bool operator==(const DynamicString& a, std::string_view b) { return a.view() == b; }
  friend bool operator==(const DynamicString& a, const char* b) { return a.view() == std::string_view(b); }
  friend std::ostream& operator<<(std::ostream& out, const DynamicString& text) { return out << text.view(); }

 private:
  DynamicString(StringHeap* heap, StringValue value) noexcept : heap_(heap), value_(value) {}
  static int compare(const DynamicString& a, const DynamicString& b);
  // The heap for a change; a value without one ends the process with a report.
  StringHeap& changeableHeap(const Where& where) const;

  StringHeap* heap_ = nullptr;
  StringValue value_ = 0;
};

}  // namespace kl
