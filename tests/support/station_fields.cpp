#include "support/station_fields.h"

#include "Pellmar/writers.h"
#include "sim/storage/manufacturing_fields.h"

namespace kl::test {

std::string StationFieldLines(int32_t serial) {
  const sim::FieldBytes f = sim::makeFields(serial);
  const auto hexOf = [&f](size_t first, size_t count) {
    std::string text;
    for (size_t i = first; i < first + count; ++i) text += hexText(f[i], 2);
    return text;
  };
  return "EncryptedSerialNo=" + hexOf(0, 4) + "\r\nEncryptedSerialNoCRC=" + hexOf(4, 2) +
         "\r\nEncryptedSecretKeys=" + hexOf(6, 32) + "\r\nEncryptedSecretKeysCRC=" + hexOf(38, 2) + "\r\n";
}

}  // namespace kl::test
