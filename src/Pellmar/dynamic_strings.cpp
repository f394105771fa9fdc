#include "Pellmar/dynamic_strings.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "Pellmar/guarded_blocks.h"
#include "Pellmar/writers.h"

namespace kl {
namespace {

StringValue addressOf(const char* text) { return reinterpret_cast<StringValue>(text); }
const char* constantText(StringValue value) { return reinterpret_cast<const char*>(value); }

// The calling unit as the diagnostics name it: the source file's name without folder and
// extension.
std::string_view unitOf(const SourceLocation& where) {
  std::string_view file = where.file_name();
  const std::size_t slash = file.find_last_of("/\\");
  if (slash != std::string_view::npos) file.remove_prefix(slash + 1);
  return file.substr(0, file.find('.'));
}

void linkFree(StringEntry* table, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to; ++i) {
    table[i] = StringEntry{i + 1 < to ? StringHandleOf(i + 1) : 0, 0, 0, 0};
  }
}

}  // namespace

void CopyStringBytes(char* to, const char* from, std::size_t count) {
  if (count != 0) std::memcpy(to, from, count);
}

int CompareStringBytes(std::string_view a, std::string_view b) {
  if (a.empty()) return b.empty() ? 0 : -1;
  if (b.empty()) return 1;
  const int bytes = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
  if (bytes != 0) return bytes < 0 ? -1 : 1;
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

StringHeap::Fault StringHeap::fault(const char* message, SourceLocation at) {
  return Fault{message, static_cast<int>(at.line())};
}

StringHeap::StringHeap(StringErrorSink errors, StringNoticeSink notices, StringHeapLimits limits)
    : errors_(std::move(errors)), notices_(std::move(notices)), limits_(limits) {}

std::unique_ptr<StringHeap> CreateStringHeap(StringErrorSink errors, StringNoticeSink notices,
                                             StringHeapLimits limits) {
  if (!errors) {
    // Nothing in the heap may fail silently: without a sink a report ends the process here.
    errors = [](std::string_view message, int line) {
      std::fprintf(stderr, "\r\n%.*s:DynamicStrings:%d\r\n", static_cast<int>(message.size()), message.data(), line);
      std::abort();
    };
  }
  std::unique_ptr<StringHeap> heap(new StringHeap(std::move(errors), std::move(notices), limits));
  if (!heap->createTable()) {
    StringHeap::Pending p;
    p.fault = StringHeap::fault("Unable to create string heap");
    heap->deliver(p);
    return nullptr;
  }
  return heap;
}

StringHeap::~StringHeap() {
  for (std::size_t i = 0; i < tableSize_; ++i) {
    const StringEntry& e = table_[i];
    if ((e.flags & kEntryInUse) && e.data != 0 && !IsStringHandle(e.data)) {
      DiscardGuardedBlock(reinterpret_cast<char*>(e.data));
    }
  }
}

bool StringHeap::createTable() {
  const std::size_t n = limits_.initialEntries;
  if (n == 0 || limits_.maxEntries > kStringHandleWindow || n > limits_.maxEntries) return false;
  table_.reset(new (std::nothrow) StringEntry[n]);
  if (!table_) return false;
  linkFree(table_.get(), 0, n);
  tableSize_ = n;
  freeHead_ = StringHandleOf(0);
  return true;
}

void StringHeap::deliver(Pending& pending) {
  if (notices_) {
    for (const std::string& line : pending.notices) notices_(line);
  }
  if (pending.fault && errors_) errors_(pending.fault.message, pending.fault.line);
}

StringHeapStats StringHeap::stats() const {
  std::lock_guard<std::mutex> hold(lock_);
  return StringHeapStats{tableSize_, inUse_, highestRefCount_, noticesPrinted_};
}

// ---- under the lock -------------------------------------------------------------------------

bool StringHeap::growTable() {
  const std::size_t newSize = std::min(tableSize_ + limits_.growthEntries, limits_.maxEntries);
  if (newSize <= tableSize_) return false;
  std::unique_ptr<StringEntry[]> bigger(new (std::nothrow) StringEntry[newSize]);
  if (!bigger) return false;
  std::copy_n(table_.get(), tableSize_, bigger.get());
  linkFree(bigger.get(), tableSize_, newSize);
  freeHead_ = StringHandleOf(tableSize_);
  table_ = std::move(bigger);
  tableSize_ = newSize;
  return true;
}

StringEntry* StringHeap::entryOf(StringValue handle) {
  const std::size_t index = handle - kStringHandleBase;
  return IsStringHandle(handle) && index < tableSize_ ? &table_[index] : nullptr;
}

char* StringHeap::textOf(StringValue handle) { return reinterpret_cast<char*>(entryOf(handle)->data); }

StringHeap::Fault StringHeap::checkInUse(StringValue handle, StringEntry*& entry) {
  entry = entryOf(handle);
  // A handle past the end of the table has never been handed out.
  if (entry == nullptr) return fault("CORRUPT STRING HEAP (free block in use)");
  if (entry->data == 0) return fault("CORRUPT STRING HEAP (used block data is zero)");
  if (IsStringHandle(entry->data)) return fault("CORRUPT STRING HEAP (used block data is pointing into table)");
  if (!(entry->flags & kEntryInUse)) return fault("CORRUPT STRING HEAP (free block in use)");
  if (entry->refCount == 0) return fault("CORRUPT STRING HEAP (unreferenced block in use)");
  if (entry->size < 0) return fault("CORRUPT STRING HEAP (empty block in use)");
  return {};
}

char* StringHeap::newTextBlock(int32_t capacity) {
  char* text = AllocGuardedBlock(BlockKind::Text, static_cast<std::size_t>(capacity));
  if (text != nullptr && IsStringHandle(addressOf(text))) {
    // The address would read as a handle. Ask again while still holding this block.
    char* other = AllocGuardedBlock(BlockKind::Text, static_cast<std::size_t>(capacity));
    DiscardGuardedBlock(text);
    text = other;
    if (text != nullptr && IsStringHandle(addressOf(text))) {
      DiscardGuardedBlock(text);
      text = nullptr;
    }
  }
  return text;
}

void StringHeap::noteAllocation(int32_t size, Pending& p, const Where& where) {
  const bool many = inUse_ > static_cast<std::size_t>(kManyStringsThreshold);
  const bool large = size > kLargeStringThreshold;
  if (!(many || large) || noticesPrinted_ >= kMaxNotices) return;
  const std::string place =
      std::string(unitOf(where)) + "(" + decimalText(static_cast<int64_t>(where.line())) + ")\n";
  const auto note = [&](std::string line) {
    if (noticesPrinted_ >= kMaxNotices) return;
    ++noticesPrinted_;
    p.notices.push_back(std::move(line));
  };
  if (many) note("LARGE NUMBER OF STRING ALLOCATIONS " + place);
  if (large) note("LARGE STRING ALLOCATION " + decimalText(size) + " " + place);
}

StringValue StringHeap::allocLocked(int32_t size, Pending& p, const Where& where) {
  size = std::max<int32_t>(size, 0);
  if (size > kMaxStringSize) {
    p.fault = fault("OUT OF STRING HEAP SPACE");
    return 0;
  }
  if (freeHead_ == 0 && !growTable()) {
    p.fault = fault("OUT OF STRING HEAP SPACE");
    return 0;
  }
  char* text = newTextBlock(StringCapacity(size));
  if (text == nullptr) {
    p.fault = fault("OUT OF STRING HEAP SPACE");
    return 0;
  }
  StringEntry* e = entryOf(freeHead_);
  if (e == nullptr || (e->flags & kEntryInUse)) {
    p.fault = fault("CORRUPT STRING HEAP (used block in free chain)");
  } else if (e->refCount != 0) {
    p.fault = fault("CORRUPT STRING HEAP (referenced block in free chain)");
  } else if (e->size > 0) {
    p.fault = fault("CORRUPT STRING HEAP (non-empty block in free chain)");
  }
  if (p.fault) {
    DiscardGuardedBlock(text);
    return 0;
  }
  noteAllocation(size, p, where);
  const StringValue handle = freeHead_;
  freeHead_ = e->data;
  *e = StringEntry{addressOf(text), 1, kEntryInUse, size};
  ++inUse_;
  highestRefCount_ = std::max(highestRefCount_, 1);
  return handle;
}

void StringHeap::releaseLocked(StringValue& value, Pending& p) {
  if (IsStringHandle(value)) {
    StringEntry* e = nullptr;
    if ((p.fault = checkInUse(value, e))) return;
    if (e->refCount > 1) {
      --e->refCount;
    } else {
      char* text = reinterpret_cast<char*>(e->data);
      const BlockCheck check =
          CheckGuardedBlock(BlockKind::Text, text, static_cast<std::size_t>(StringCapacity(e->size)));
      if (check != BlockCheck::Intact) {
        // Leave entry and block as they are: the report ends the run.
        p.fault = fault(BlockCheckMessage(BlockKind::Text, check).data());
        return;
      }
      FreeGuardedBlock(text);
      *e = StringEntry{freeHead_, 0, 0, 0};
      freeHead_ = value;
      --inUse_;
    }
  }
  value = 0;
}

StringValue StringHeap::retainLocked(StringValue value, Pending& p) {
  if (!IsStringHandle(value)) return value;
  StringEntry* e = entryOf(value);
  if (e == nullptr || !(e->flags & kEntryInUse) || e->refCount == 0) {
    p.fault = fault("string heap: refcount error");
    return 0;
  }
  if (e->refCount >= kMaxRefCount) {
    p.fault = fault("string heap: refcount overflow");
    return 0;
  }
  ++e->refCount;
  highestRefCount_ = std::max<int>(highestRefCount_, e->refCount);
  return value;
}

StringValue StringHeap::shareLocked(StringValue value, Pending& p, const Where& where) {
  if (value == 0 || IsStringHandle(value)) return retainLocked(value, p);
  const std::string_view text = constantText(value);
  if (text.empty()) return 0;
  const StringValue copy = allocLocked(StringSizeFor(text.size()), p, where);
  if (copy != 0) std::memcpy(textOf(copy), text.data(), text.size());
  return copy;
}

std::string_view StringHeap::viewLocked(StringValue value, Pending& p) {
  if (value == 0) return {};
  if (!IsStringHandle(value)) return constantText(value);
  StringEntry* e = nullptr;
  if ((p.fault = checkInUse(value, e))) return {};
  if (e->size <= 0) return {};
  return std::string_view(reinterpret_cast<const char*>(e->data), static_cast<std::size_t>(e->size - 1));
}

bool StringHeap::makeUniqueLocked(StringValue& value, Pending& p, const Where& where) {
  if (value == 0) return true;
  int32_t size = 0;
  const char* source = nullptr;
  if (IsStringHandle(value)) {
    StringEntry* e = nullptr;
    if ((p.fault = checkInUse(value, e))) return false;
    if (e->refCount == 1) return true;
    size = e->size;
    source = reinterpret_cast<const char*>(e->data);
  } else {
    source = constantText(value);
    size = StringSizeFor(std::strlen(source));
  }
  // Text blocks never move when the table grows, so `source` stays valid across the allocation.
  const StringValue copy = allocLocked(size, p, where);
  if (p.fault) return false;
  std::memcpy(textOf(copy), source, static_cast<std::size_t>(size));
  if (IsStringHandle(value)) --entryOf(value)->refCount;  // more than one holder: nothing is freed
  value = copy;
  return true;
}

// ---- the interface --------------------------------------------------------------------------

StringValue StringHeap::StringAlloc(int32_t size, Where where) {
  return underLock([&](Pending& p) { return allocLocked(size, p, where); });
}

void StringHeap::StringAddRef(StringValue value) {
  underLock([&](Pending& p) { retainLocked(value, p); });
}

void StringHeap::StringRelease(StringValue& value) {
  underLock([&](Pending& p) { releaseLocked(value, p); });
}

StringValue StringHeap::StringShare(StringValue value, Where where) {
  return underLock([&](Pending& p) { return shareLocked(value, p, where); });
}

void StringHeap::StringAssign(StringValue& destination, StringValue source, Where where) {
  underLock([&](Pending& p) {
    // Share before releasing, so that assigning a sole holder's string to itself keeps it.
    StringValue shared = shareLocked(source, p, where);
    if (p.fault) return;
    releaseLocked(destination, p);
    if (p.fault) {
      Pending ignored;
      releaseLocked(shared, ignored);
      return;
    }
    destination = shared;
  });
}

void StringHeap::StringAssignConst(StringValue& destination, const char* text, Where where) {
  underLock([&](Pending& p) {
    StringValue stored = 0;
    if (text != nullptr && *text != '\0') {
      stored = addressOf(text);
      // An address that reads as a handle cannot be used in place.
      if (IsStringHandle(stored)) {
        const std::string_view bytes(text);
        stored = allocLocked(StringSizeFor(bytes.size()), p, where);
        if (p.fault) return;
        std::memcpy(textOf(stored), bytes.data(), bytes.size());
      }
    }
    releaseLocked(destination, p);
    if (p.fault) {
      Pending ignored;
      releaseLocked(stored, ignored);
      return;
    }
    destination = stored;
  });
}

void StringHeap::StringMakeUnique(StringValue& value, Where where) {
  underLock([&](Pending& p) { makeUniqueLocked(value, p, where); });
}

void StringHeap::_PutStringElement(StringValue& value, int32_t index, char c, Where where) {
  underLock([&](Pending& p) {
    const std::string_view text = viewLocked(value, p);
    if (p.fault) return;
    if (index < 0 || static_cast<std::size_t>(index) >= text.size()) {
      p.fault = fault("_PutStringElement: Index out of range");
      return;
    }
    if (!makeUniqueLocked(value, p, where)) return;
    textOf(value)[index] = c;
  });
}

int StringHeap::StringCompare(StringValue a, StringValue b) {
  // The caller holds both strings, so their text stays put once it has been looked up.
  std::string_view textA;
  std::string_view textB;
  const bool ok = underLock([&](Pending& p) {
    textA = viewLocked(a, p);
    if (!p.fault) textB = viewLocked(b, p);
    return !p.fault;
  });
  return ok ? CompareStringBytes(textA, textB) : 0;
}

StringValue StringHeap::StringConcat(StringValue a, StringValue b, Where where) {
  return underLock([&](Pending& p) -> StringValue {
    const std::string_view textA = viewLocked(a, p);
    if (p.fault) return 0;
    const std::string_view textB = viewLocked(b, p);
    if (p.fault) return 0;
    const std::size_t length = textA.size() + textB.size();
    if (length == 0) return 0;
    const StringValue joined = allocLocked(StringSizeFor(length), p, where);
    if (p.fault) return 0;
    char* text = textOf(joined);
    CopyStringBytes(text, textA.data(), textA.size());
    CopyStringBytes(text + textA.size(), textB.data(), textB.size());
    return joined;
  });
}

std::string_view StringHeap::StringView(StringValue value) {
  return underLock([&](Pending& p) { return viewLocked(value, p); });
}

int32_t StringHeap::StringLength(StringValue value) { return static_cast<int32_t>(StringView(value).size()); }

}  // namespace kl
