// `AA` record lists: a file's properties as records sorted by ascending tag, each a short
// (types 0-13) or long (types 14, 15) header and its value, numbers most significant byte first.
// Lists come from units and may be damaged: every reader stays inside the bytes it was given.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Pellmar/dynamic_string.h"

namespace kl {

struct TransferContext;

namespace aatype {
inline constexpr uint8_t None = 0;
inline constexpr uint8_t True = 1;
inline constexpr uint8_t Char = 2;
inline constexpr uint8_t UInt8 = 3;
inline constexpr uint8_t UInt16 = 4;
inline constexpr uint8_t UInt32 = 5;
inline constexpr uint8_t Int8 = 6;
inline constexpr uint8_t Int16 = 7;
inline constexpr uint8_t Int32 = 8;
inline constexpr uint8_t Float32 = 9;
inline constexpr uint8_t Float64 = 10;
inline constexpr uint8_t Text = 12;
inline constexpr uint8_t Bytes = 13;
inline constexpr uint8_t LongText = 14;
inline constexpr uint8_t LongBytes = 15;
}  // namespace aatype

// The tag under which a file's FileCrc is stored.
inline constexpr uint8_t kFileCrcTag = 1;

struct AaRecord {
  size_t offset = 0;  // where the header starts
  size_t size = 0;    // header and value
  uint8_t tag = 0;
  uint8_t type = 0;
  std::string_view value;
};

// Walks a list record by record. A record whose header or value would run past the end ends
// the walk and leaves `fault` set.
class AaWalker {
 public:
  explicit AaWalker(std::string_view list) : list_(list) {}
  // The next record, or nothing at the end of the list or at a damaged record.
  std::optional<AaRecord> next();
  // Why the walk stopped early; empty when the list was read to its end.
  const std::string& fault() const { return fault_; }

 private:
  std::string_view list_;
  size_t at_ = 0;
  std::string fault_;
};

// Empty for a sound list; otherwise what is wrong with it and where (a record running past the
// end, a long header cut short, tags not strictly ascending).
std::string AaListFault(std::string_view list);

// The integer value of the record with `tag`; 0 when absent. Text records are read as
// hexadecimal, byte records give 0 with a console note.
uint32_t GetLargeIntAA(TransferContext& s, std::string_view properties, uint8_t tag);
// Stores `value` under `tag` in the smallest unsigned type that holds it, keeping the tags in
// order; 0 removes the record. A damaged tail of the list is dropped.
void PutUIntAA(DynamicString& properties, uint8_t tag, uint32_t value);

}  // namespace kl
