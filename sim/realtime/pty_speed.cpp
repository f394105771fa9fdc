// The speed the program set on the pseudo-terminal, including rates without a B constant.
// Kept apart: <asm/termbits.h> cannot share a file with <termios.h>.
#include <asm/ioctls.h>
#include <asm/termbits.h>

#include <cstdint>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace kl::sim {

uint32_t ptySpeed(int fd) {
  struct termios2 settings {};
  if (ioctl(fd, TCGETS2, &settings) != 0) return 0;
  return settings.c_ospeed;
}

}  // namespace kl::sim
