#include "transfer/aa_records.h"

#include <bit>
#include <cmath>

#include "Pellmar/writers.h"
#include "transfer/transfer_context.h"

namespace kl {

namespace {

constexpr uint8_t kFirstLongType = aatype::LongText;
constexpr size_t kMaxHexDigits = 8;

uint32_t BigEndian(std::string_view bytes) {
  uint32_t value = 0;
  for (char c : bytes) value = (value << 8) | static_cast<uint8_t>(c);
  return value;
}

uint64_t BigEndian64(std::string_view bytes) {
  uint64_t value = 0;
  for (char c : bytes) value = (value << 8) | static_cast<uint8_t>(c);
  return value;
}

// Truncates towards zero; what no 32-bit integer holds is clamped (NaN reads 0).
uint32_t Truncated(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 4294967295.0) return UINT32_MAX;
  if (value <= -2147483648.0) return static_cast<uint32_t>(INT32_MIN);
  return static_cast<uint32_t>(static_cast<int64_t>(value));
}

uint32_t HexText(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  if (i < text.size() && text[i] == '$') {
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    i += 2;
  }
  uint32_t value = 0;
  for (size_t digits = 0; i < text.size() && digits < kMaxHexDigits; ++i, ++digits) {
    const int digit = hexDigitValue(text[i]);
    if (digit < 0) break;
    value = (value << 4) | static_cast<uint32_t>(digit);
  }
  return value;
}

// The record PutUIntAA stores for a non-zero value.
std::string UIntRecord(uint8_t tag, uint32_t value) {
  const uint8_t type = value < 0x100 ? aatype::UInt8 : value < 0x10000 ? aatype::UInt16 : aatype::UInt32;
  const int length = type == aatype::UInt8 ? 1 : type == aatype::UInt16 ? 2 : 4;
  std::string record;
  record.push_back(static_cast<char>(tag));
  record.push_back(static_cast<char>(type << 4 | length));
  for (int i = length - 1; i >= 0; --i) record.push_back(static_cast<char>(value >> (8 * i)));
  return record;
}

}  // namespace

std::optional<AaRecord> AaWalker::next() {
  if (!fault_.empty() || at_ >= list_.size()) return std::nullopt;
  const size_t left = list_.size() - at_;
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(list_[at_ + i]); };
  if (left < 2) {
    fault_ = "header cut short at offset " + std::to_string(at_);
    return std::nullopt;
  }
  AaRecord record;
  record.offset = at_;
  record.tag = byte(0);
  record.type = static_cast<uint8_t>(byte(1) >> 4);
  size_t header = 2;
  size_t length = byte(1) & 0x0F;
  if (record.type >= kFirstLongType) {
    if (left < 3) {
      fault_ = "long header cut short at offset " + std::to_string(at_);
      return std::nullopt;
    }
    header = 3;
    length = length << 8 | byte(2);
  }
  if (length > left - header) {
    fault_ = "record with tag " + std::to_string(record.tag) + " runs past the end at offset " + std::to_string(at_);
    return std::nullopt;
  }
  record.size = header + length;
  record.value = list_.substr(at_ + header, length);
  at_ += record.size;
  return record;
}

std::string AaListFault(std::string_view list) {
  AaWalker walker(list);
  std::optional<AaRecord> previous;
  while (const auto record = walker.next()) {
    if (previous && record->tag <= previous->tag) {
      return "tag " + std::to_string(record->tag) + " after tag " + std::to_string(previous->tag) + " at offset " +
             std::to_string(record->offset);
    }
    previous = record;
  }
  return walker.fault();
}

uint32_t GetLargeIntAA(TransferContext& s, std::string_view properties, uint8_t tag) {
  AaWalker walker(properties);
  while (const auto record = walker.next()) {
    if (record->tag != tag) continue;
    const std::string_view value = record->value;
    switch (record->type) {
      case aatype::True:
        return 1;
      case aatype::Char:
      case aatype::UInt8:
      case aatype::Int8:
        return value.empty() ? 0 : static_cast<uint8_t>(value[0]);
      case aatype::UInt16:
      case aatype::UInt32:
      case aatype::Int16:
      case aatype::Int32:
        return BigEndian(value);
      case aatype::Float32:
        return value.size() == 4 ? Truncated(std::bit_cast<float>(BigEndian(value))) : 0;
      case aatype::Float64:
        return value.size() == 8 ? Truncated(std::bit_cast<double>(BigEndian64(value))) : 0;
      case aatype::Text:
      case aatype::LongText:
        return HexText(value);
      case aatype::Bytes:
      case aatype::LongBytes:
        s.out(Channel::Console) << "\r !!! GetLargeIntAA: Cannot read bytes as largeint" << crlf;
        return 0;
      default:
        return 0;
    }
  }
  return 0;
}

void PutUIntAA(DynamicString& properties, uint8_t tag, uint32_t value) {
  const std::string record = value == 0 ? std::string() : UIntRecord(tag, value);
  AaWalker walker(properties.view());
  std::optional<AaRecord> found;
  std::optional<size_t> insertAt;
  size_t soundEnd = 0;
  while (const auto r = walker.next()) {
    soundEnd = r->offset + r->size;
    if (r->tag == tag && !found) found = r;
    if (r->tag > tag && !insertAt) insertAt = r->offset;
  }
  if (found && found->size == record.size() && properties.view().substr(found->offset, found->size) == record) return;
  if (!found && record.empty()) return;
  // A damaged tail cannot be walked past: whatever follows it would be out of reach.
  if (!walker.fault().empty()) properties.setLength(static_cast<int32_t>(soundEnd));
  const auto at = [](size_t offset) { return static_cast<int32_t>(offset); };
  if (found) {
    properties.replace(at(found->offset), at(found->size), record);
  } else if (insertAt) {
    properties.insert(at(*insertAt), record);
  } else {
    properties.append(record);
  }
}

}  // namespace kl
