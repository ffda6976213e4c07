// Deliberately no <termios.h> here: <asm/termbits.h> redefines its types.
#include "device/termios2_rate.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>

#include <cerrno>

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace talmo {

int SetCustomRate(int fd, std::uint32_t rate) {
  struct termios2 t2 {};
  if (ioctl(fd, TCGETS2, &t2) != 0) return errno;
  t2.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  t2.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t2.c_ispeed = rate;
  t2.c_ospeed = rate;
  if (ioctl(fd, TCSETS2, &t2) != 0) return errno;
  return 0;
}

int GetRates(int fd, std::uint32_t& inRate, std::uint32_t& outRate) {
  struct termios2 t2 {};
  if (ioctl(fd, TCGETS2, &t2) != 0) return errno;
  inRate = t2.c_ispeed;
  outRate = t2.c_ospeed;
  return 0;
}

}  // namespace talmo
