#include "device/posix_device.h"

#include "device/device_access.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/control_lines.h"
#include "base/error_text.h"
#include "base/trace.h"
#include "device/modem_emulation.h"
#include "device/termios2_rate.h"
#include "device/termios_map.h"
#include "device/wake_fd.h"

namespace talmo {

namespace {

constexpr std::uint32_t kModemEvents = EV_CTS | EV_DSR | EV_RING | EV_RLSD;
constexpr std::uint32_t kCountEvents = EV_ERR | EV_BREAK;
// How often modem lines are looked at on a driver that cannot wait for
// them (TIOCMIWAIT), and error counters while received bytes, which bring
// them, are not watched; poll() wakes for neither.
constexpr int kWatchIntervalMs = 10;
// Ends the modem watch's wait in the kernel: TIOCMIWAIT wakes for no
// descriptor, only for a signal (a handler without SA_RESTART).
int WatchSignal() { return SIGRTMIN + 4; }

// Calls a device does not support are not errors: pseudo-terminals answer
// ENOTTY, some drivers EINVAL.
bool Unsupported(int code) { return code == ENOTTY || code == EINVAL || code == ENOTSUP; }

// Unix98 pseudo-terminal slaves (the built-in loopback port is one).
// "DTR RTS CTS" for the trace: the TIOCM_* lines that are set.
std::string ModemText(int tiocm) {
  static constexpr struct {
    int Bit;
    const char* Name;
  } kNames[] = {{TIOCM_DTR, "DTR"}, {TIOCM_RTS, "RTS"}, {TIOCM_CTS, "CTS"},
                {TIOCM_DSR, "DSR"}, {TIOCM_CD, "DCD"},  {TIOCM_RNG, "RI"}};
  std::string out;
  for (const auto& n : kNames)
    if (tiocm & n.Bit) out += out.empty() ? n.Name : std::string(" ") + n.Name;
  return out.empty() ? "none" : out;
}

// "Input/output error (errno 5)" for the trace.
std::string CodeText(int code) {
  return SysErrorText(code) + " (errno " + std::to_string(code) + ")";
}

bool IsPseudoTerminal(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  const unsigned m = major(st.st_rdev);
  return m >= 136 && m <= 143;
}

// A thread that waits in the kernel (TIOCMIWAIT) for CTS, DSR, DCD or RI to
// change and signals an eventfd after each change, so that the event
// thread's poll() wakes for them and sleeps while nothing moves.
class TModemWatch {
 public:
  ~TModemWatch() { Stop(); }
  // 0, or the errno code of a thread that could not start.
  int Start(int fd, int notifyFd);
  // Ends the wait and joins the thread; nothing when none runs.
  void Stop();
  // The driver cannot wait for the lines (or the device went): the
  // caller looks at them itself.
  bool Failed() const { return FFailed.load(); }

 private:
  void Run(int fd, int notifyFd);

  std::thread FThread;
  pthread_t FNative{};
  std::atomic<bool> FStop{false};
  std::atomic<bool> FDone{false};
  std::atomic<bool> FFailed{false};
};

int TModemWatch::Start(int fd, int notifyFd) {
  static std::once_flag installed;
  std::call_once(installed, [] {
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the ioctl returns EINTR
    ::sigaction(WatchSignal(), &sa, nullptr);
  });
  FStop.store(false);
  FDone.store(false);
  FFailed.store(false);
  try {
    FThread = std::thread([this, fd, notifyFd] { Run(fd, notifyFd); });
  } catch (const std::system_error& e) {
    FFailed.store(true);
    return e.code().value();
  }
  FNative = FThread.native_handle();
  return 0;
}

void TModemWatch::Run(int fd, int notifyFd) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, WatchSignal());
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  // The counters tell a change that came between two waits, which no
  // wait would see.
  serial_icounter_struct seen{};
  const bool counts = ioctl(fd, TIOCGICOUNT, &seen) == 0;
  const auto changed = [&] {
    serial_icounter_struct now{};
    if (!counts || ioctl(fd, TIOCGICOUNT, &now) != 0) return false;
    const bool moved =
        now.cts != seen.cts || now.dsr != seen.dsr || now.rng != seen.rng || now.dcd != seen.dcd;
    seen = now;
    return moved;
  };
  while (!FStop.load()) {
    if (changed()) {
      SignalWake(notifyFd);
      continue;
    }
    const int r = ioctl(fd, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG);
    if (FStop.load()) break;
    if (r == 0) {
      (void)changed();
      SignalWake(notifyFd);
      continue;
    }
    if (errno == EINTR) continue;
    // A driver without the wait, or a device that went: the event thread
    // takes over (and finds out which).
    TALMO_TRACE("modem watch", "TIOCMIWAIT failed: %s", SysErrorText(errno).c_str());
    FFailed.store(true);
    SignalWake(notifyFd);
    break;
  }
  FDone.store(true);
}

void TModemWatch::Stop() {
  if (!FThread.joinable()) return;
  FStop.store(true);
  // A signal that comes just before the wait begins is lost: sent again
  // until the thread has ended.
  while (!FDone.load()) {
    pthread_kill(FNative, WatchSignal());
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  FThread.join();
}

class TSerPosixDevice final : public TSerDevice {
 public:
  TSerPosixDevice(int fd, int wakeFd, int modemFd, std::string path,
                  std::shared_ptr<TModemEmulation> emulation)
      : FFd(fd),
        FWakeFd(wakeFd),
        FModemFd(modemFd),
        FPath(std::move(path)),
        FEmulation(std::move(emulation)) {
    if (FEmulation) FEmulation->Opened();
    int lines = 0;
    FHasModem = GetModem(lines) == 0;
  }
  ~TSerPosixDevice() override { Close(); }

  int SetState(const TSerDCB& dcb) override;
  int SetEventMask(std::uint32_t mask) override;
  int WaitEvent(std::uint32_t& events) override;
  int Read(void* buf, std::size_t count, std::size_t& got) override;
  int Write(const void* buf, std::size_t count, std::size_t& written, int timeoutMs) override;
  int ClearError(std::uint32_t& errors, TSerComStat& stat) override {
    return Status(errors, stat, true, true);
  }
  int ClearErrorForRead(std::uint32_t& errors, TSerComStat& stat, bool inCount) override {
    return Status(errors, stat, inCount, false);
  }
  std::vector<std::string> TakeNotices() override {
    std::vector<std::string> notices;
    notices.swap(FNotices);
    return notices;
  }
  std::uint8_t ControlLines() const override { return FLines.load(); }
  int SetModemLine(std::uint8_t line, bool on) override;
  int SetBreak(bool on) override;
  bool HasModemLines() const override { return FHasModem; }
  int PollFd() const override { return Fd(); }
  void Cancel() override;
  void Close() override;

 private:
  int Fd() const { return FFd.load(); }
  int WriteSome(const void* buf, std::size_t count, std::size_t& written, int timeoutMs);
  const char* Path() const { return FPath.c_str(); }
  // Returns `code`, traced with what failed.
  int Failed(const char* what, int code) {
    TALMO_TRACE(Path(), "%s failed: %s", what, CodeText(code).c_str());
    return code;
  }
  int Status(std::uint32_t& errors, TSerComStat& stat, bool withIn, bool withOut);
  // The modem-line calls, answered by the loopback's wiring where the tty
  // has none. 0 or an errno code.
  int GetModem(int& tiocm) const;
  int ModemBits(bool set, int bits);
  int GetCounts(serial_icounter_struct& counts) const;
  // What wakes WaitEvent for a change of the modem lines, or -1 (then
  // they are looked at on a timer).
  int ModemChangeFd() const;
  void DrainModemChange();
  void NoteLines(int tiocm);
  std::uint32_t ModemEvents(std::uint32_t mask);
  std::uint32_t CountEvents(std::uint32_t mask);

  std::atomic<int> FFd;
  std::atomic<int> FWakeFd;
  std::atomic<int> FModemFd;  // the modem watch's eventfd
  const std::string FPath;    // as opened, for the trace
  const std::shared_ptr<TModemEmulation> FEmulation;
  bool FHasModem = false;
  TModemWatch FWatch;
  bool FWatching = false;  // FWatch started for this mask (GUI thread)
  std::atomic<bool> FCancelled{false};
  std::atomic<std::uint32_t> FMask{0};
  // Set by Read: the receiver has taken bytes, so input still waiting
  // deserves a new report. Without it, unread input would be reported at
  // every wait.
  std::atomic<bool> FReadSeen{false};
  // The control lines as last read (TIOCMGET), for a timed capture.
  std::atomic<std::uint8_t> FLines{0};

  // Event thread only (and SetEventMask before it starts).
  bool FRxReported = false;
  int FLastQueued = 0;
  bool FModemOk = true;
  int FModemLast = 0;
  bool FWaitCountOk = true;
  serial_icounter_struct FWaitCount{};

  // What the user hears of once: the format a pseudo-terminal ignores (GUI
  // thread).
  std::vector<std::string> FNotices;

  // ClearError's own baseline (GUI thread).
  std::mutex FErrLock;
  bool FErrCountOk = true;
  serial_icounter_struct FErrCount{};
};

int TSerPosixDevice::SetState(const TSerDCB& dcb) {
  const int fd = Fd();
  termios current{};
  if (tcgetattr(fd, &current) != 0) return Failed("tcgetattr", errno);
  if (TraceOn()) {
    static const char* const kParity[] = {"none", "odd", "even", "mark", "space"};
    static const char* const kStop[] = {"1", "1.5", "2"};
    TraceLine(Path(), "settings asked: %u baud, %u data bits, parity %s, %s stop bits, flags 0x%x",
              dcb.BaudRate, dcb.ByteSize, dcb.Parity < 5 ? kParity[dcb.Parity] : "?",
              dcb.StopBits < 3 ? kStop[dcb.StopBits] : "?", dcb.Flags);
  }
  TTermiosPlan plan;
  if (int err = PlanTermios(dcb, current, plan)) return Failed("settings plan", err);
  // A pseudo-terminal keeps 8 data bits and no parity whatever it is told,
  // and refuses a write whose only change is the format. It opens with what
  // it can, and the user hears once what it ignores. A real UART that
  // refuses a setting still fails.
  const bool pty = IsPseudoTerminal(fd);
  TALMO_TRACE(Path(), "tcsetattr: iflag 0x%x oflag 0x%x cflag 0x%x lflag 0x%x%s", plan.Tio.c_iflag,
              plan.Tio.c_oflag, plan.Tio.c_cflag, plan.Tio.c_lflag,
              plan.CustomRate ? ", rate through termios2" : "");
  if (tcsetattr(fd, TCSANOW, &plan.Tio) != 0) {
    const int code = errno;
    if (!pty || code != EINVAL) return Failed("tcsetattr", code);
    TALMO_TRACE(Path(), "tcsetattr refused the format (pseudo-terminal): the format kept");
    const termios kept = WithKeptFormat(plan.Tio, current);
    if (tcsetattr(fd, TCSANOW, &kept) != 0) return Failed("tcsetattr", errno);
  }
  if (pty) {
    termios now{};
    if (tcgetattr(fd, &now) == 0)
      if (const std::string ignored = IgnoredFormat(plan.Tio, now); !ignored.empty())
        FNotices.assign(1, "The device ignores " + ignored +
                               ": a pseudo-terminal keeps 8 data bits and no parity.");
  }
  if (plan.CustomRate)
    if (int err = SetCustomRate(fd, plan.Rate)) return Failed("termios2 rate", err);
  // A device may take a rate without keeping it: read it back.
  std::uint32_t in = 0, out = 0;
  const int readBack = GetRates(fd, in, out);
  if (TraceOn()) {
    termios now{};
    if (readBack != 0 || tcgetattr(fd, &now) != 0)
      TraceLine(Path(), "read back failed: %s", CodeText(readBack ? readBack : errno).c_str());
    else
      TraceLine(Path(),
                "read back: %u/%u baud (in/out), iflag 0x%x oflag 0x%x cflag 0x%x lflag 0x%x", in,
                out, now.c_iflag, now.c_oflag, now.c_cflag, now.c_lflag);
  }
  if (readBack == 0 && !RateKept(plan.Rate, in, out)) {
    TALMO_TRACE(Path(), "rate %u not kept: the settings fail", plan.Rate);
    return EINVAL;
  }
  if (plan.ModemSet)
    if (const int code = ModemBits(true, plan.ModemSet); code && !Unsupported(code)) return code;
  if (plan.ModemClear)
    if (const int code = ModemBits(false, plan.ModemClear); code && !Unsupported(code)) return code;
  if (int lines = 0; GetModem(lines) == 0) {
    TALMO_TRACE(Path(), "modem lines: %s", ModemText(lines).c_str());
    NoteLines(lines);
  }
  return 0;
}

int TSerPosixDevice::GetModem(int& tiocm) const {
  if (FEmulation) {
    tiocm = FEmulation->Lines();
    return 0;
  }
  return ioctl(Fd(), TIOCMGET, &tiocm) == 0 ? 0 : errno;
}

int TSerPosixDevice::ModemBits(bool set, int bits) {
  int code = 0;
  if (FEmulation)
    FEmulation->Change(set ? bits : 0, set ? 0 : bits);
  else if (ioctl(Fd(), set ? TIOCMBIS : TIOCMBIC, &bits) != 0)
    code = errno;
  TALMO_TRACE(Path(), "%s %s: %s", set ? "TIOCMBIS" : "TIOCMBIC", ModemText(bits).c_str(),
              code == 0 ? "ok" : CodeText(code).c_str());
  return code;
}

int TSerPosixDevice::GetCounts(serial_icounter_struct& counts) const {
  if (FEmulation) {
    counts = serial_icounter_struct{};
    counts.brk = static_cast<int>(FEmulation->BreaksIn());
    return 0;
  }
  return ioctl(Fd(), TIOCGICOUNT, &counts) == 0 ? 0 : errno;
}

int TSerPosixDevice::ModemChangeFd() const {
  if (FEmulation) return FEmulation->ChangeFd();
  return FWatching && !FWatch.Failed() ? FModemFd.load() : -1;
}

void TSerPosixDevice::DrainModemChange() {
  if (FEmulation) {
    FEmulation->Drain();
    return;
  }
  std::uint64_t n = 0;
  (void)!::read(FModemFd.load(), &n, sizeof n);
}

int TSerPosixDevice::SetModemLine(std::uint8_t line, bool on) {
  const int bits = (line & kLineDtr ? TIOCM_DTR : 0) | (line & kLineRts ? TIOCM_RTS : 0);
  if (bits == 0) return EINVAL;
  const int code = ModemBits(on, bits);
  if (code && !Unsupported(code)) return Failed(on ? "TIOCMBIS" : "TIOCMBIC", code);
  if (int lines = 0; GetModem(lines) == 0) NoteLines(lines);
  return 0;
}

int TSerPosixDevice::SetBreak(bool on) {
  if (FEmulation) {
    TALMO_TRACE(Path(), "break %s (loopback wiring)", on ? "on" : "off");
    FEmulation->Break(on);
    return 0;
  }
  const int rc = ioctl(Fd(), on ? TIOCSBRK : TIOCCBRK);
  const int code = rc != 0 ? errno : 0;
  TALMO_TRACE(Path(), "%s: %s", on ? "TIOCSBRK" : "TIOCCBRK",
              rc == 0 ? "ok" : CodeText(code).c_str());
  return code && !Unsupported(code) ? code : 0;
}

void TSerPosixDevice::NoteLines(int tiocm) {
  static constexpr struct {
    int Tiocm;
    std::uint8_t Line;
  } kMap[] = {{TIOCM_CTS, kLineCts}, {TIOCM_CD, kLineDcd},  {TIOCM_DSR, kLineDsr},
              {TIOCM_RTS, kLineRts}, {TIOCM_DTR, kLineDtr}, {TIOCM_RNG, kLineRing}};
  std::uint8_t lines = 0;
  for (const auto& m : kMap)
    if (tiocm & m.Tiocm) lines |= m.Line;
  FLines.store(lines);
}

int TSerPosixDevice::SetEventMask(std::uint32_t mask) {
  const int fd = Fd();
  FMask.store(mask);
  FRxReported = false;
  FModemOk = GetModem(FModemLast) == 0;
  if (FModemOk) NoteLines(FModemLast);
  if (FEmulation) FEmulation->Drain();
  FWatch.Stop();
  FWatching = false;
  // The kernel waits for the lines; a driver that cannot falls back to
  // the timer (ModemChangeFd -1).
  if ((mask & kModemEvents) && FModemOk && !FEmulation && FModemFd.load() >= 0)
    FWatching = FWatch.Start(fd, FModemFd.load()) == 0;
  FWaitCountOk = GetCounts(FWaitCount) == 0;
  std::lock_guard lock(FErrLock);
  FErrCountOk = GetCounts(FErrCount) == 0;
  return 0;
}

std::uint32_t TSerPosixDevice::ModemEvents(std::uint32_t mask) {
  int lines = 0;
  if (GetModem(lines) != 0) {
    FModemOk = false;
    return 0;
  }
  const int changed = lines ^ FModemLast;
  if (changed)
    TALMO_TRACE(Path(), "modem lines: %s (changed: %s)", ModemText(lines).c_str(),
                ModemText(changed).c_str());
  FModemLast = lines;
  NoteLines(lines);
  std::uint32_t ev = 0;
  if (changed & TIOCM_CTS) ev |= EV_CTS;
  if (changed & TIOCM_DSR) ev |= EV_DSR;
  if (changed & TIOCM_RNG) ev |= EV_RING;
  if (changed & TIOCM_CD) ev |= EV_RLSD;
  return ev & mask;
}

std::uint32_t TSerPosixDevice::CountEvents(std::uint32_t mask) {
  serial_icounter_struct now{};
  if (GetCounts(now) != 0) {
    FWaitCountOk = false;
    return 0;
  }
  std::uint32_t ev = 0;
  if (now.frame != FWaitCount.frame || now.overrun != FWaitCount.overrun ||
      now.parity != FWaitCount.parity || now.buf_overrun != FWaitCount.buf_overrun)
    ev |= EV_ERR;
  if (now.brk != FWaitCount.brk) ev |= EV_BREAK;
  if (ev)
    TALMO_TRACE(Path(), "line counters: frame %d overrun %d parity %d brk %d buf_overrun %d",
                now.frame, now.overrun, now.parity, now.brk, now.buf_overrun);
  FWaitCount = now;
  return ev & mask;
}

int TSerPosixDevice::WaitEvent(std::uint32_t& events) {
  events = 0;
  for (;;) {
    if (FCancelled.load()) return 0;
    const std::uint32_t mask = FMask.load();
    const bool wantRx = (mask & EV_RXCHAR) != 0;
    if (FReadSeen.exchange(false)) FRxReported = false;
    const bool watchModem = (mask & kModemEvents) && FModemOk;
    const bool watchCount = (mask & kCountEvents) && FWaitCountOk;
    const bool watchQueue = wantRx && FRxReported;
    // A change of the modem lines wakes the poll (the kernel's wait in the
    // watch thread, or the loopback's wiring); line errors come with the
    // bytes they hit. Only what nothing wakes for is looked at on a timer,
    // so a quiet line costs no wake-ups.
    const int modemFd = watchModem ? ModemChangeFd() : -1;
    const bool timed = (watchModem && modemFd < 0) || (watchCount && !wantRx) || watchQueue;

    pollfd p[3] = {{Fd(), static_cast<short>(wantRx && !FRxReported ? POLLIN : 0), 0},
                   {FWakeFd.load(), POLLIN, 0},
                   {modemFd, POLLIN, 0}};
    const int r = poll(p, 3, timed ? kWatchIntervalMs : -1);
    if (r < 0) {
      if (errno == EINTR) continue;
      return Failed("poll", errno);
    }
    if (FCancelled.load()) return 0;
    if (p[2].revents & POLLIN) DrainModemChange();

    if (wantRx && ((p[0].revents & POLLIN) || watchQueue)) {
      int queued = 0;
      if (ioctl(Fd(), FIONREAD, &queued) == 0 && queued > 0 &&
          (!FRxReported || queued > FLastQueued)) {
        events |= EV_RXCHAR;
        FRxReported = true;
        FLastQueued = queued;
      }
    }
    if (watchModem) events |= ModemEvents(mask);
    if (watchCount) events |= CountEvents(mask);
    if (events) return 0;
    // Input still there is reported above first, so nothing is lost when
    // the device goes.
    if (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
      TALMO_TRACE(Path(), "hang-up (poll revents 0x%x): the device has gone", p[0].revents);
      return EIO;
    }
  }
}

int TSerPosixDevice::Read(void* buf, std::size_t count, std::size_t& got) {
  got = 0;
  if (count == 0) return 0;
  for (;;) {
    const ssize_t r = ::read(Fd(), buf, count);
    if (r > 0) {
      got = static_cast<std::size_t>(r);
      FReadSeen.store(true);
      TALMO_TRACE(Path(), "read %zd of %zu bytes", r, count);
      return 0;
    }
    if (r == 0) {
      TALMO_TRACE(Path(), "read: end of file");
      return 0;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return Failed("read", errno);
  }
}

int TSerPosixDevice::Write(const void* buf, std::size_t count, std::size_t& written,
                           int timeoutMs) {
  const int err = WriteSome(buf, count, written, timeoutMs);
  TALMO_TRACE(Path(), "write %zu of %zu bytes%s", written, count,
              err ? (": " + CodeText(err)).c_str() : "");
  return err;
}

int TSerPosixDevice::WriteSome(const void* buf, std::size_t count, std::size_t& written,
                               int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  written = 0;
  const auto* p = static_cast<const std::uint8_t*>(buf);
  // The clock is read only once the device has no room: most writes go
  // at once.
  std::optional<Clock::time_point> deadline;
  while (written < count) {
    if (FCancelled.load()) return 0;
    const ssize_t r = ::write(Fd(), p + written, count - written);
    if (r > 0) {
      written += static_cast<std::size_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return errno;
    int wait = -1;
    if (timeoutMs >= 0) {
      const auto now = Clock::now();
      if (!deadline) deadline = now + std::chrono::milliseconds(timeoutMs);
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - now);
      if (left.count() <= 0) return 0;
      wait = static_cast<int>(left.count());
    }
    pollfd fds[2] = {{Fd(), POLLOUT, 0}, {FWakeFd.load(), POLLIN, 0}};
    const int pr = poll(fds, 2, wait);
    if (pr < 0 && errno != EINTR) return errno;
    if (pr > 0 && (fds[1].revents & POLLIN)) return 0;
    if (pr > 0 && !(fds[0].revents & POLLOUT) && (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)))
      return EIO;
  }
  return 0;
}

int TSerPosixDevice::Status(std::uint32_t& errors, TSerComStat& stat, bool withIn, bool withOut) {
  const int fd = Fd();
  errors = 0;
  stat = TSerComStat{};
  {
    std::lock_guard lock(FErrLock);
    serial_icounter_struct now{};
    if (FErrCountOk && GetCounts(now) == 0) {
      if (now.buf_overrun != FErrCount.buf_overrun) errors |= CE_RXOVER;
      if (now.overrun != FErrCount.overrun) errors |= CE_OVERRUN;
      if (now.parity != FErrCount.parity) errors |= CE_RXPARITY;
      if (now.frame != FErrCount.frame) errors |= CE_FRAME;
      if (now.brk != FErrCount.brk) errors |= CE_BREAK;
      FErrCount = now;
      if (errors) TALMO_TRACE(Path(), "line errors: CE 0x%x", errors);
    } else {
      FErrCountOk = false;
    }
  }
  int in = 0;
  if (withIn && ioctl(fd, FIONREAD, &in) != 0) return Failed("FIONREAD", errno);
  int out = 0;
  if (withOut && ioctl(fd, TIOCOUTQ, &out) != 0) out = 0;
  stat.cbInQue = in > 0 ? static_cast<std::uint32_t>(in) : 0;
  stat.cbOutQue = out > 0 ? static_cast<std::uint32_t>(out) : 0;
  return 0;
}

void TSerPosixDevice::Cancel() {
  FCancelled.store(true);
  // The counter is never read back, so every later poll sees it too.
  SignalWake(FWakeFd.load());
}

void TSerPosixDevice::Close() {
  FCancelled.store(true);
  // Out of its wait before the descriptor it waits on goes.
  FWatch.Stop();
  FWatching = false;
  if (FEmulation && FFd.load() >= 0) FEmulation->Closed();
  const int fd = FFd.exchange(-1);
  if (fd >= 0) {
    TALMO_TRACE(Path(), "close fd %d", fd);
    ::close(fd);  // also drops the flock
  }
  for (std::atomic<int>* other : {&FWakeFd, &FModemFd})
    if (const int e = other->exchange(-1); e >= 0) ::close(e);
}

}  // namespace

void ApplyPosixThreadPriority(TThreadPriority priority) {
  static constexpr int kNiceLevels[] = {19, 10, 5, 0, -5, -10, -20};
  if (priority > tpTimeCritical) return;
  // Best effort: without the right to raise it the thread keeps its own.
  (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kNiceLevels[priority]);
}

std::string PosixOpenHint(const std::string& path, int error) {
  if (error != EACCES && error != EPERM) return {};
  if (path.empty()) return {};
  return DeviceAccessHint(path);
}

std::unique_ptr<TSerDevice> OpenPosixDevice(const std::string& path, int& error) {
  error = 0;
  if (path.empty()) {
    error = ENOENT;
    return nullptr;
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    TALMO_TRACE(path.c_str(), "open failed: %s", CodeText(error).c_str());
    return nullptr;
  }
  // TIOCEXCL keeps other users out but not root; the flock holds for all
  // who look for it.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    error = (errno == EWOULDBLOCK) ? EBUSY : errno;
    TALMO_TRACE(path.c_str(), "open failed: flock: %s", CodeText(error).c_str());
    ::close(fd);
    return nullptr;
  }
  (void)ioctl(fd, TIOCEXCL);
  // A port starts empty when it opens: bytes that waited in the tty while it
  // was closed (the loopback port keeps its line open) belong to nobody.
  (void)tcflush(fd, TCIOFLUSH);
  const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    error = errno;
    TALMO_TRACE(path.c_str(), "open failed: eventfd: %s", CodeText(error).c_str());
    ::close(fd);
    return nullptr;
  }
  // Not having it only costs the kernel's wait for the modem lines.
  const int modem = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  std::shared_ptr<TModemEmulation> emulation;
  if (struct stat st{}; fstat(fd, &st) == 0 && S_ISCHR(st.st_mode))
    emulation = FindModemEmulation(st.st_rdev);
  TALMO_TRACE(path.c_str(), "open fd %d%s", fd,
              emulation              ? " (the loopback port: its wiring stands for modem lines)"
              : IsPseudoTerminal(fd) ? " (pseudo-terminal)"
                                     : "");
  return std::make_unique<TSerPosixDevice>(fd, wake, modem, path, std::move(emulation));
}

}  // namespace talmo
