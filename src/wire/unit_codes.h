// Codes a unit reports about itself: its MCU type and its unit family. The program decodes
// them from replies; the simulator and the firmware identity blocks carry them too.
#pragma once

#include <cstdint>

namespace kl::wire {

namespace mcu {
inline constexpr uint8_t H8S2148 = 1;
inline constexpr uint8_t H8S2145 = 2;
inline constexpr uint8_t LPC2478 = 3;
inline constexpr uint8_t LPC4078 = 4;
inline constexpr uint8_t LPC1768 = 5;
inline constexpr uint8_t LPC4337 = 6;
inline constexpr uint8_t LPC4357 = 7;
}  // namespace mcu

namespace family {
inline constexpr uint8_t Any = 0;  // in image tables: serves every family
inline constexpr uint8_t Display = 1;
inline constexpr uint8_t Transmitter = 2;
inline constexpr uint8_t RemoteIo = 3;
inline constexpr uint8_t TestJig = 4;
}  // namespace family

}  // namespace kl::wire
