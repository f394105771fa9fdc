// Reads the slave's settings through the master (the kernel answers for the slave), with the
// termios2 record that carries any speed.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "pty_pair.h"

namespace kl::test {

SlaveLine ReadSlaveLine(int master) {
  struct termios2 t {};
  SlaveLine line;
  if (ioctl(master, TCGETS2, &t) != 0) return line;
  line.speed = t.c_ospeed;
  line.eightBits = (t.c_cflag & CSIZE) == CS8;
  line.twoStopBits = (t.c_cflag & CSTOPB) != 0;
  line.oddParity = (t.c_cflag & PARODD) != 0;
  line.ctsFlow = (t.c_cflag & CRTSCTS) != 0;
  line.receiverOn = (t.c_cflag & CREAD) != 0;
  line.local = (t.c_cflag & CLOCAL) != 0;
  return line;
}

}  // namespace kl::test
