#include "device/termios_map.h"

#include <sys/ioctl.h>

#include <cerrno>
#include <cstdlib>

namespace talmo {

namespace {

int SetDatabits(termios& t, std::uint8_t byteSize) {
  t.c_cflag &= ~CSIZE;
  switch (byteSize) {
    case 5: t.c_cflag |= CS5; return 0;
    case 6: t.c_cflag |= CS6; return 0;
    case 7: t.c_cflag |= CS7; return 0;
    case 8: t.c_cflag |= CS8; return 0;
    default: return EINVAL;  // 4 data bits: no UART here can
  }
}

int SetParity(termios& t, std::uint8_t parity) {
  t.c_cflag &= ~(PARENB | PARODD | CMSPAR);
  switch (parity) {
    case 0: return 0;
    case 1: t.c_cflag |= PARENB | PARODD; return 0;
    case 2: t.c_cflag |= PARENB; return 0;
    // CMSPAR turns odd into a parity bit always 1, even into always 0.
    case 3: t.c_cflag |= PARENB | PARODD | CMSPAR; return 0;
    case 4: t.c_cflag |= PARENB | CMSPAR; return 0;
    default: return EINVAL;
  }
}

int SetStopbits(termios& t, std::uint8_t stopBits, std::uint8_t byteSize) {
  t.c_cflag &= ~CSTOPB;
  switch (stopBits) {
    case 0: return 0;
    // With 5 data bits a UART's "two" stop bits are one and a half.
    case 1:
      if (byteSize != 5) return EINVAL;
      t.c_cflag |= CSTOPB;
      return 0;
    case 2: t.c_cflag |= CSTOPB; return 0;
    default: return EINVAL;
  }
}

void SetFlow(termios& t, const TSerDCB& dcb, TTermiosPlan& out) {
  t.c_cflag &= ~CRTSCTS;
  if ((dcb.Flags & fOutxCtsFlow) || dcb.RtsControl() == 2) t.c_cflag |= CRTSCTS;
  t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  if (dcb.Flags & fOutX) t.c_iflag |= IXON;
  if (dcb.Flags & fInX) t.c_iflag |= IXOFF;
  if (dcb.Flags & fParity) t.c_iflag |= INPCK;
  t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);

  // DTR: disabled drops it, enabled and handshake raise it (the kernel has
  // no DTR handshake). RTS: disabled drops it; enabled and toggle raise it;
  // under handshake the driver owns it.
  switch (dcb.DtrControl()) {
    case 0: out.ModemClear |= TIOCM_DTR; break;
    default: out.ModemSet |= TIOCM_DTR; break;
  }
  switch (dcb.RtsControl()) {
    case 0: out.ModemClear |= TIOCM_RTS; break;
    case 2: break;
    default: out.ModemSet |= TIOCM_RTS; break;
  }
}

}  // namespace

speed_t StandardSpeed(std::uint32_t rate) {
  switch (rate) {
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 500000: return B500000;
    case 576000: return B576000;
    case 921600: return B921600;
    case 1000000: return B1000000;
    case 1152000: return B1152000;
    case 1500000: return B1500000;
    case 2000000: return B2000000;
    case 2500000: return B2500000;
    case 3000000: return B3000000;
    case 3500000: return B3500000;
    case 4000000: return B4000000;
    default: return B0;
  }
}

int PlanTermios(const TSerDCB& dcb, const termios& current, TTermiosPlan& out) {
  out = TTermiosPlan{};
  termios t = current;
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  // A rate of 0 would hang the line up (B0); a device refuses it.
  if (dcb.BaudRate == 0) return EINVAL;
  out.Rate = dcb.BaudRate;
  const speed_t sp = StandardSpeed(dcb.BaudRate);
  out.CustomRate = sp == B0;
  // An input rate left over from an earlier custom rate would survive
  // cfsetspeed; with CIBAUD clear the input follows the output rate.
  t.c_cflag &= ~CIBAUD;
  // A custom rate is set afterwards through termios2; keep 38400 meanwhile.
  cfsetspeed(&t, out.CustomRate ? B38400 : sp);
  if (int err = SetDatabits(t, dcb.ByteSize)) return err;
  if (int err = SetParity(t, dcb.Parity)) return err;
  if (int err = SetStopbits(t, dcb.StopBits, dcb.ByteSize)) return err;
  SetFlow(t, dcb, out);
  out.Tio = t;
  return 0;
}

bool RateKept(std::uint32_t rate, std::uint32_t inRate, std::uint32_t outRate) {
  const auto near = [rate](std::uint32_t r) {
    return std::llabs(static_cast<long long>(r) - rate) * 50 <= static_cast<long long>(rate);
  };
  return near(outRate) && (inRate == 0 || near(inRate));
}

namespace {

constexpr tcflag_t kFormatBits = CSIZE | PARENB | PARODD | CMSPAR;

std::string FormatText(tcflag_t c) {
  std::string bits;
  switch (c & CSIZE) {
    case CS5: bits = "5"; break;
    case CS6: bits = "6"; break;
    case CS7: bits = "7"; break;
    default: bits = "8"; break;
  }
  return bits;
}

std::string ParityText(tcflag_t c) {
  if (!(c & PARENB)) return "none";
  if (c & CMSPAR) return c & PARODD ? "mark" : "space";
  return c & PARODD ? "odd" : "even";
}

}  // namespace

std::string IgnoredFormat(const termios& asked, const termios& kept) {
  std::string ignored;
  if ((asked.c_cflag & CSIZE) != (kept.c_cflag & CSIZE))
    ignored = FormatText(asked.c_cflag) + " data bits";
  if (ParityText(asked.c_cflag) != ParityText(kept.c_cflag))
    ignored += (ignored.empty() ? "" : ", ") + std::string("parity ") + ParityText(asked.c_cflag);
  return ignored;
}

termios WithKeptFormat(const termios& asked, const termios& kept) {
  termios t = asked;
  t.c_cflag = (asked.c_cflag & ~kFormatBits) | (kept.c_cflag & kFormatBits);
  return t;
}

}  // namespace talmo
