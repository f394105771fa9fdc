#include "wire/crc16.h"

namespace {
// The standard check value of the CRC: the build fails if the routine ever drifts from it.
constexpr uint8_t kCheckInput[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
static_assert(kl::wire::crc16(kCheckInput, sizeof kCheckInput) == 0x4B37);
}  // namespace
