// The string utilities of DynamicStrings: building, resizing and editing strings in place.
#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include "Pellmar/dynamic_strings.h"
#include "Pellmar/guarded_blocks.h"

namespace kl {
namespace {

// Clips a (position, count) pair to a string of `length` bytes.
struct Range {
  int32_t position;
  int32_t count;
};
Range clip(int32_t position, int32_t count, std::size_t length) {
  const int32_t n = static_cast<int32_t>(length);
  const int32_t start = std::clamp<int32_t>(position, 0, n);
  return Range{start, std::clamp<int32_t>(count, 0, n - start)};
}

bool liesWithin(std::string_view text, const char* block, std::size_t bytes) {
  const std::less_equal<const char*> notAfter;
  return !text.empty() && notAfter(block, text.data()) && std::less<const char*>()(text.data(), block + bytes);
}

}  // namespace

bool StringHeap::resizeLocked(StringValue& value, int32_t newSize, Pending& p, const Where& where) {
  if (newSize == 0) {
    releaseLocked(value, p);
    return !p.fault;
  }
  if (newSize > kMaxStringSize) {
    p.fault = fault("OUT OF STRING HEAP SPACE");
    return false;
  }
  const std::string_view current = viewLocked(value, p);
  if (p.fault) return false;
  if (IsStringHandle(value)) {
    StringEntry* e = entryOf(value);
    if (e->refCount == 1) {
      const int32_t oldSize = e->size;
      char* text = reinterpret_cast<char*>(e->data);
      if (StringCapacity(newSize) == StringCapacity(oldSize)) {
        // Same block: only the size changes.
        if (newSize > oldSize) std::memset(text + oldSize, 0, static_cast<std::size_t>(newSize - oldSize));
        e->size = newSize;
        text[newSize - 1] = '\0';
        return true;
      }
      char* moved = newTextBlock(StringCapacity(newSize));
      if (moved == nullptr) {
        p.fault = fault("OUT OF STRING HEAP SPACE");
        return false;
      }
      const BlockCheck check =
          CheckGuardedBlock(BlockKind::Text, text, static_cast<std::size_t>(StringCapacity(oldSize)));
      if (check != BlockCheck::Intact) {
        DiscardGuardedBlock(moved);
        p.fault = fault(BlockCheckMessage(BlockKind::Text, check).data());
        return false;
      }
      noteAllocation(newSize, p, where);
      std::memcpy(moved, text, static_cast<std::size_t>(std::min(oldSize, newSize)));
      moved[newSize - 1] = '\0';
      FreeGuardedBlock(text);
      e->data = reinterpret_cast<StringValue>(moved);
      e->size = newSize;
      return true;
    }
  }
  // Shared, constant or empty: the resized text goes to a new handle. The old text stays with
  // its other holders (or in the program image), so `current` is still readable after the
  // allocation.
  const StringValue resized = allocLocked(newSize, p, where);
  if (p.fault) return false;
  char* text = textOf(resized);
  CopyStringBytes(text, current.data(), std::min(current.size(), static_cast<std::size_t>(newSize - 1)));
  if (IsStringHandle(value)) --entryOf(value)->refCount;
  value = resized;
  return true;
}

void StringHeap::spliceLocked(StringValue& value, int32_t position, int32_t count, std::string_view text,
                              Pending& p, const Where& where) {
  const std::string_view current = viewLocked(value, p);
  if (p.fault) return;
  const Range range = clip(position, count, current.size());
  if (range.count == 0 && text.empty()) return;

  // Text out of this string's own block would move or be overwritten under our hands.
  std::string ownCopy;
  if (IsStringHandle(value) &&
      liesWithin(text, textOf(value), static_cast<std::size_t>(StringCapacity(entryOf(value)->size)))) {
    ownCopy.assign(text);
    text = ownCopy;
  }

  const std::size_t tail = current.size() - static_cast<std::size_t>(range.position + range.count);
  const std::size_t newLength = current.size() - static_cast<std::size_t>(range.count) + text.size();
  if (newLength == 0) {
    releaseLocked(value, p);
    return;
  }
  const int32_t newSize = StringSizeFor(newLength);
  const std::size_t at = static_cast<std::size_t>(range.position);
  const std::size_t oldTail = at + static_cast<std::size_t>(range.count);
  if (newLength > current.size()) {
    if (!resizeLocked(value, newSize, p, where)) return;
    char* bytes = textOf(value);
    std::memmove(bytes + at + text.size(), bytes + oldTail, tail);
    CopyStringBytes(bytes + at, text.data(), text.size());
  } else {
    if (!makeUniqueLocked(value, p, where)) return;
    char* bytes = textOf(value);
    std::memmove(bytes + at + text.size(), bytes + oldTail, tail);
    CopyStringBytes(bytes + at, text.data(), text.size());
    resizeLocked(value, newSize, p, where);
  }
}

StringValue StringHeap::StringFromBytes(std::string_view bytes, Where where) {
  return underLock([&](Pending& p) -> StringValue {
    if (bytes.empty()) return 0;
    const StringValue made = allocLocked(StringSizeFor(bytes.size()), p, where);
    if (p.fault) return 0;
    std::memcpy(textOf(made), bytes.data(), bytes.size());
    return made;
  });
}

void StringHeap::StringSetLength(StringValue& value, int32_t length, Where where) {
  underLock([&](Pending& p) {
    resizeLocked(value, length <= 0 ? 0 : StringSizeFor(static_cast<std::size_t>(length)), p, where);
  });
}

StringValue StringHeap::StringSubstring(StringValue value, int32_t start, int32_t count, Where where) {
  return underLock([&](Pending& p) -> StringValue {
    const std::string_view text = viewLocked(value, p);
    if (p.fault) return 0;
    const Range range = clip(start, count, text.size());
    if (range.count == 0) return 0;
    const StringValue part = allocLocked(range.count + 1, p, where);
    if (p.fault) return 0;
    std::memcpy(textOf(part), text.data() + range.position, static_cast<std::size_t>(range.count));
    return part;
  });
}

void StringHeap::StringInsert(StringValue& value, int32_t position, std::string_view text, Where where) {
  underLock([&](Pending& p) { spliceLocked(value, position, 0, text, p, where); });
}

void StringHeap::StringDelete(StringValue& value, int32_t position, int32_t count, Where where) {
  underLock([&](Pending& p) { spliceLocked(value, position, count, {}, p, where); });
}

void StringHeap::StringReplace(StringValue& value, int32_t position, int32_t count, std::string_view text,
                               Where where) {
  underLock([&](Pending& p) { spliceLocked(value, position, count, text, p, where); });
}

void StringHeap::StringAppend(StringValue& value, std::string_view text, Where where) {
  underLock([&](Pending& p) { spliceLocked(value, kMaxStringSize, 0, text, p, where); });
}

void StringHeap::StringAppendChar(StringValue& value, char c, Where where) {
  StringAppend(value, std::string_view(&c, 1), where);
}

char* StringHeap::StringWritablePointer(StringValue& value, Where where) {
  return underLock([&](Pending& p) -> char* {
    if (!makeUniqueLocked(value, p, where) || value == 0) return nullptr;
    return textOf(value);
  });
}

}  // namespace kl
