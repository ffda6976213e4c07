#include "device/pty_tap.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "device/termios2_rate.h"

namespace talmo {

namespace {

struct TSpeed {
  speed_t Code;
  std::uint32_t Rate;
};
constexpr TSpeed kSpeeds[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000}};

std::string OnOff(bool on) { return on ? " on" : " off"; }

// "user bob" (or "user 1234" without a name), for a refusal that names
// whose a file is.
std::string UserOf(uid_t uid) {
  passwd pw{}, *found = nullptr;
  char buf[1024];
  if (::getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found && found->pw_name)
    return std::string("user ") + found->pw_name;
  return "user " + std::to_string(uid);
}

// The owner of `path` (the file itself, not where a link leads) when it is
// another user; empty when it is ours or cannot be told.
std::string OtherOwner(const std::string& path, bool follow) {
  struct stat st {};
  if ((follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) return {};
  return st.st_uid == ::geteuid() ? std::string() : UserOf(st.st_uid);
}

}  // namespace

std::string DescribeLineChange(const TPtyLine& before, const TPtyLine& after) {
  std::string s;
  const auto add = [&s](const std::string& part) { s += (s.empty() ? "" : ", ") + part; };
  if (before.Rate != after.Rate) add(std::to_string(after.Rate) + " baud");
  if (before.TwoStopBits != after.TwoStopBits)
    add(after.TwoStopBits ? "2 stop bits" : "1 stop bit");
  if (before.RtsCts != after.RtsCts) add("RTS/CTS flow control" + OnOff(after.RtsCts));
  if (before.XonXoffOut != after.XonXoffOut)
    add("XON/XOFF output flow control" + OnOff(after.XonXoffOut));
  if (before.XonXoffIn != after.XonXoffIn)
    add("XON/XOFF input flow control" + OnOff(after.XonXoffIn));
  return s;
}

TPtyTap::~TPtyTap() {
  if (FMaster >= 0) ::close(FMaster);
  if (FSlave >= 0) ::close(FSlave);
}

int TPtyTap::Open(const TPtyLine& line) {
  FMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (FMaster < 0) return errno;
  char name[128] = {};
  if (::grantpt(FMaster) != 0 || ::ptsname_r(FMaster, name, sizeof name) != 0)
    return errno ? errno : EIO;
  // grantpt leaves the group's write bit (devpts mode=620): anyone in the
  // tty group could write to the slave, and the bytes would go to the
  // device as the program's. The owner's alone, before it can be opened.
  if (::chmod(name, S_IRUSR | S_IWUSR) != 0 || ::unlockpt(FMaster) != 0) return errno ? errno : EIO;
  FSlavePath = name;
  FSlave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (FSlave < 0) return errno;
  termios t{};
  if (::tcgetattr(FSlave, &t) != 0) return errno;
  // Raw: what the device sends reaches the program unchanged, and nothing
  // is echoed back as if the program had sent it.
  ::cfmakeraw(&t);
  t.c_lflag |= EXTPROC;
  t.c_cflag |= CLOCAL | CREAD;
  if (line.TwoStopBits) t.c_cflag |= CSTOPB;
  if (line.RtsCts) t.c_cflag |= CRTSCTS;
  bool standard = false;
  for (const TSpeed& s : kSpeeds)
    if (s.Rate == line.Rate) {
      ::cfsetspeed(&t, s.Code);
      standard = true;
    }
  if (::tcsetattr(FSlave, TCSANOW, &t) != 0) return errno;
  if (!standard && line.Rate != 0)
    if (const int err = SetCustomRate(FSlave, line.Rate)) return err;
  int on = 1;
  if (::ioctl(FMaster, TIOCPKT, &on) != 0) return errno;
  // The settings just made are no news.
  std::uint8_t drop[64];
  while (::read(FMaster, drop, sizeof drop) > 0) {
  }
  return 0;
}

TPtyTap::TReadResult TPtyTap::Read(std::uint8_t* buf, std::size_t size) {
  TReadResult r;
  // One more than the caller's room: the packet's leading status byte.
  std::uint8_t packet[4097];
  const std::size_t want = size + 1 < sizeof packet ? size + 1 : sizeof packet;
  ssize_t n;
  while ((n = ::read(FMaster, packet, want)) < 0 && errno == EINTR) {
  }
  if (n < 0) {
    if (errno == EAGAIN) return r;
    r.Kind = TRead::Failed;
    r.Code = errno;
    return r;
  }
  if (n == 0) {
    r.Kind = TRead::Failed;
    r.Code = EIO;
    return r;
  }
  if (packet[0] == TIOCPKT_DATA) {
    r.Kind = TRead::Data;
    r.Size = static_cast<std::size_t>(n - 1);
    std::memcpy(buf, packet + 1, r.Size);
    return r;
  }
  r.Kind = (packet[0] & TIOCPKT_IOCTL) ? TRead::SettingsReport : TRead::OtherReport;
  return r;
}

long TPtyTap::Write(const std::uint8_t* data, std::size_t n) {
  ssize_t w;
  while ((w = ::write(FMaster, data, n)) < 0 && errno == EINTR) {
  }
  if (w < 0 && errno == EAGAIN) return 0;
  return static_cast<long>(w);
}

std::size_t TPtyTap::Unread() const {
  int n = 0;
  if (FSlave < 0 || ::ioctl(FSlave, FIONREAD, &n) != 0 || n < 0) return 0;
  return static_cast<std::size_t>(n);
}

bool TPtyTap::ReadLine(TPtyLine& line, bool* restored) {
  termios t{};
  if (::tcgetattr(FSlave, &t) != 0) return false;
  if (restored) *restored = false;
  if (!(t.c_lflag & EXTPROC)) {
    // The program wrote its own local modes: without EXTPROC its next
    // change would go unannounced.
    t.c_lflag |= EXTPROC;
    ::tcsetattr(FSlave, TCSANOW, &t);
    if (restored) *restored = true;
  }
  line.TwoStopBits = (t.c_cflag & CSTOPB) != 0;
  line.RtsCts = (t.c_cflag & CRTSCTS) != 0;
  line.XonXoffOut = (t.c_iflag & IXON) != 0;
  line.XonXoffIn = (t.c_iflag & IXOFF) != 0;
  const speed_t code = ::cfgetospeed(&t);
  line.Rate = 0;
  for (const TSpeed& s : kSpeeds)
    if (s.Code == code) line.Rate = s.Rate;
  if (line.Rate == 0) {
    // BOTHER: a rate without a constant, kept by termios2.
    std::uint32_t in = 0, out = 0;
    if (GetRates(FSlave, in, out) == 0) line.Rate = out;
  }
  return true;
}

TLinkState LinkStateOf(const std::string& path, const std::string& own) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return TLinkState::Absent;
  if (!S_ISLNK(st.st_mode)) return TLinkState::Foreign;
  // Another user's link is theirs, stale or not (their tap's, perhaps).
  if (st.st_uid != ::geteuid()) return TLinkState::OtherUsers;
  char target[4096];
  const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
  if (n <= 0) return TLinkState::Foreign;
  const std::string to(target, static_cast<std::size_t>(n));
  if (to.rfind("/dev/pts/", 0) != 0) return TLinkState::Foreign;
  if (to == own) return TLinkState::Stale;
  struct stat dest {};
  return ::stat(to.c_str(), &dest) == 0 ? TLinkState::InUse : TLinkState::Stale;
}

std::string LinkRefusal(TLinkState state, const std::string& path) {
  const std::string tail = ": it is left as it is; give another --link";
  switch (state) {
    case TLinkState::InUse:
      if (const std::string owner = OtherOwner(path, true); !owner.empty())
        return "'" + path + "' already leads to a terminal in use by " + owner + tail;
      return "'" + path + "' already leads to a terminal in use (another tap?)" + tail;
    case TLinkState::OtherUsers: {
      const std::string owner = OtherOwner(path, false);
      return "'" + path + "' is a link of " + (owner.empty() ? "another user" : owner) + tail;
    }
    case TLinkState::Foreign:
      if (const std::string owner = OtherOwner(path, false); !owner.empty())
        return "'" + path + "' exists, belongs to " + owner + " and is not a tap's link" + tail;
      return "'" + path + "' exists and is not a tap's link" + tail;
    default: return {};
  }
}

int MakeLink(const std::string& path, const std::string& target) {
  if (::symlink(target.c_str(), path.c_str()) == 0) return 0;
  const int err = errno;
  if (err != EEXIST || LinkStateOf(path, target) != TLinkState::Stale) return err;
  // A killed tap's link: replaced in one step, never removed first.
  const std::string next = path + ".new-" + std::to_string(::getpid());
  if (::symlink(target.c_str(), next.c_str()) != 0) return errno;
  if (::rename(next.c_str(), path.c_str()) != 0) {
    const int failed = errno;
    ::unlink(next.c_str());
    return failed;
  }
  return 0;
}

void RemoveLinkTo(const std::string& path, const std::string& target) {
  char buf[4096];
  const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
  if (n > 0 && std::string(buf, static_cast<std::size_t>(n)) == target) ::unlink(path.c_str());
}

std::string DefaultLinkPath() {
  const char* dir = std::getenv("XDG_RUNTIME_DIR");
  if (dir && *dir) return std::string(dir) + "/talmo-tap";
  return "/tmp/talmo-tap-" + std::to_string(::getuid());
}

}  // namespace talmo
