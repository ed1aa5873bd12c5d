// Only kernel headers here: <asm/termbits.h> redefines what <termios.h>
// declares.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstdint>

namespace quillon {

bool setCustomSpeed(int fd, std::uint32_t baudRate) {
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) < 0) return false;
  tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  tio.c_ispeed = baudRate;
  tio.c_ospeed = baudRate;
  return ioctl(fd, TCSETS2, &tio) == 0;
}

std::uint32_t currentSpeed(int fd) {
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) < 0) return 0;
  return tio.c_ospeed;
}

}  // namespace quillon
