// Line speeds through the kernel's termios2 interface, which takes any rate (128000 and the
// fast rates have no standard constant). Kept apart: its kernel header clashes with <termios.h>.
#pragma once

#include <cstdint>

namespace kl {

// Sets input and output speed of the open terminal `fd`; false with errno set on failure.
bool SetLineSpeed(int fd, uint32_t baud);
// The output speed the terminal reports; 0 when it cannot be read.
uint32_t LineSpeed(int fd);

}  // namespace kl
