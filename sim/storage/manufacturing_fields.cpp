#include "sim/storage/manufacturing_fields.h"

#include "wire/crc16.h"

namespace kl::sim {

namespace {

void putCrc(FieldBytes& fields, size_t from, size_t count) {
  const uint16_t crc = wire::crc16(fields.data() + from, count);
  fields[from + count] = static_cast<uint8_t>(crc >> 8);
  fields[from + count + 1] = static_cast<uint8_t>(crc);
}

bool crcMatches(std::span<const uint8_t> fields, size_t from, size_t count) {
  const uint16_t crc = wire::crc16(fields.data() + from, count);
  return fields[from + count] == (crc >> 8) && fields[from + count + 1] == (crc & 0xFF);
}

}  // namespace

FieldBytes makeFields(int32_t serial) {
  FieldBytes fields{};
  const uint32_t enciphered = static_cast<uint32_t>(serial) ^ kSerialCipher;
  for (size_t i = 0; i < 4; ++i) fields[i] = static_cast<uint8_t>(enciphered >> (24 - 8 * i));
  putCrc(fields, 0, 4);
  for (size_t i = 0; i < 32; ++i)
    fields[6 + i] = static_cast<uint8_t>(static_cast<size_t>(fields[i % 4]) * 31 + i * 17 + 5);
  putCrc(fields, 6, 32);
  return fields;
}

FieldsCheck checkFields(std::span<const uint8_t> fields) {
  if (fields.size() != kFieldsSize || !crcMatches(fields, 0, 4)) return FieldsCheck::BadSerial;
  return crcMatches(fields, 6, 32) ? FieldsCheck::Valid : FieldsCheck::BadKeys;
}

int32_t fieldsSerial(const FieldBytes& fields) {
  uint32_t enciphered = 0;
  for (size_t i = 0; i < 4; ++i) enciphered = enciphered << 8 | fields[i];
  return static_cast<int32_t>(enciphered ^ kSerialCipher);
}

ManufacturingFields::ManufacturingFields(McuFlash& flash) : flash_(flash) {
  if (flash.memory()) area_ = flash.memory()->manufacturingFields;
}

std::optional<FieldBytes> ManufacturingFields::valid(Copy copy) const {
  if (!present()) return std::nullopt;
  FieldBytes fields{};
  const auto bytes = flash_.read(address(copy), kFieldsSize);
  std::copy(bytes.begin(), bytes.end(), fields.begin());
  if (!fieldsValid(fields)) return std::nullopt;
  return fields;
}

std::optional<FieldBytes> ManufacturingFields::current() const {
  if (auto main = valid(Copy::Main)) return main;
  return valid(Copy::Secondary);
}

bool ManufacturingFields::store(Copy copy, const FieldBytes& fields) {
  if (!present() || flash_.pageFails(address(copy), kFieldsSize)) return false;
  flash_.overwrite(address(copy), fields);
  return true;
}

}  // namespace kl::sim
