#include "Pellmar/dynamic_string.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace kl {

DynamicString::DynamicString(StringHeap& heap, std::string_view text, Where where)
    : heap_(&heap), value_(heap.StringFromBytes(text, where)) {}

DynamicString::DynamicString(StringHeap& heap, ConstantText text, Where where) : heap_(&heap) {
  heap.StringAssignConst(value_, text.text(), where);
}

DynamicString DynamicString::adopt(StringHeap& heap, StringValue value) noexcept {
  return DynamicString(&heap, value);
}

// Constant text is uncounted, so a copy simply uses it too; only handles gain a holder.
DynamicString::DynamicString(const DynamicString& other)
    : heap_(other.heap_), value_(IsStringHandle(other.value_) ? other.heap_->StringShare(other.value_) : other.value_) {}

DynamicString::DynamicString(DynamicString&& other) noexcept
    : heap_(other.heap_), value_(std::exchange(other.value_, 0)) {}

DynamicString& DynamicString::operator=(const DynamicString& other) {
  if (this != &other) *this = DynamicString(other);
  return *this;
}

DynamicString& DynamicString::operator=(DynamicString&& other) noexcept {
  if (this != &other) {
    // The old text goes now, not whenever `other` happens to die.
    StringHeap* oldHeap = std::exchange(heap_, other.heap_);
    StringValue old = std::exchange(value_, std::exchange(other.value_, 0));
    if (IsStringHandle(old)) oldHeap->StringRelease(old);
  }
  return *this;
}

DynamicString::~DynamicString() {
  if (IsStringHandle(value_)) heap_->StringRelease(value_);
}

StringValue DynamicString::detach() noexcept { return std::exchange(value_, 0); }

// The zero value is the empty text in every heap, and the only value a heapless string has.
std::string_view DynamicString::view() const { return value_ == 0 ? std::string_view() : heap_->StringView(value_); }

StringHeap& DynamicString::changeableHeap(const Where& where) const {
  if (heap_ == nullptr) {
    std::fprintf(stderr, "Runtime error: change of a string that has no heap (%s line %u)\n", where.file_name(),
                 static_cast<unsigned>(where.line()));
    std::abort();
  }
  return *heap_;
}

DynamicString& DynamicString::append(std::string_view text, Where where) {
  changeableHeap(where).StringAppend(value_, text, where);
  return *this;
}

DynamicString& DynamicString::append(char c, Where where) {
  changeableHeap(where).StringAppendChar(value_, c, where);
  return *this;
}

DynamicString& DynamicString::insert(int32_t position, std::string_view text, Where where) {
  changeableHeap(where).StringInsert(value_, position, text, where);
  return *this;
}

DynamicString& DynamicString::erase(int32_t position, int32_t count, Where where) {
  changeableHeap(where).StringDelete(value_, position, count, where);
  return *this;
}

DynamicString& DynamicString::replace(int32_t position, int32_t count, std::string_view text, Where where) {
  changeableHeap(where).StringReplace(value_, position, count, text, where);
  return *this;
}

DynamicString& DynamicString::setLength(int32_t length, Where where) {
  changeableHeap(where).StringSetLength(value_, length, where);
  return *this;
}

void DynamicString::put(int32_t index, char c, Where where) {
  changeableHeap(where)._PutStringElement(value_, index, c, where);
}

char* DynamicString::writableData(Where where) {
  if (heap_ == nullptr) return nullptr;  // empty: nothing to write
  return heap_->StringWritablePointer(value_, where);
}

DynamicString DynamicString::substr(int32_t start, int32_t count, Where where) const {
  if (heap_ == nullptr) return DynamicString();
  return DynamicString(heap_, heap_->StringSubstring(value_, start, count, where));
}

DynamicString operator+(const DynamicString& a, const DynamicString& b) {
  if (a.heap_ == nullptr) return b;  // a is empty
  if (a.heap_ == b.heap_) return DynamicString(a.heap_, a.heap_->StringConcat(a.value_, b.value_));
  DynamicString joined(a);
  joined.append(b.view());
  return joined;
}

int DynamicString::compare(const DynamicString& a, const DynamicString& b) {
  if (a.heap_ != nullptr && a.heap_ == b.heap_) return a.heap_->StringCompare(a.value_, b.value_);
  return CompareStringBytes(a.view(), b.view());
}

}  // namespace kl
