#include "app/monitor_command.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>

#include "app/cli_args.h"
#include "app/port_args.h"
#include "engine/formatter.h"
#include "platform/capture_file.h"
#include "platform/port_list.h"
#include "platform/posix_device.h"
#include "platform/registry.h"
#include "serial/port_messages.h"
#include "serial/ser_comm.h"
#include "serial/ser_sync.h"

namespace talmo {

std::string MonitorUsage() {
  return std::string(
             "usage: talmocli monitor (--port COMn | --device PATH) [--baud N]\n"
             "                        [--databits 7|8] [--parity none|odd|even]\n"
             "                        [--stopbits 1|1.5|2] [framing options]\n"
             "                        [--capture FILE] [--seconds N] [--reconnect]\n"
             "                        [--send FILE [--repeat MS]]\n"
             "Prints every display line of the port as it is finished, and its line\n"
             "errors.\n") +
         kPortOptionsHelp +
         "  --capture FILE  write the raw received bytes to FILE\n"
         "  --seconds N     end after N seconds (default: at Ctrl+C)\n"
         "  --reconnect     when the device or connection goes away, wait for it\n"
         "                  to come back (trying at most once a second) and go\n"
         "                  on with the same settings and the same capture\n"
         "  --send FILE     send FILE's bytes once the port is open, at the\n"
         "                  line's pace (any size; a FIFO or a device too);\n"
         "  --repeat MS     and again every MS milliseconds, each copy after\n"
         "                  the previous one has gone out\n"
         "Framing options, as for decode:\n" +
         kFramingOptionsHelp;
}

namespace {

using Clock = std::chrono::steady_clock;

// The window's line time-out.
constexpr auto kLineTimeout = std::chrono::milliseconds(kLineTimeoutMs);

struct TMonitorRequest {
  TPortRequest Line;
  std::optional<std::string> Capture, Send;
  std::optional<long long> Seconds, RepeatMs;
  bool Reconnect = false;
  TFramingRequest Framing;
};

TMonitorRequest Parse(const std::vector<std::string>& args) {
  TMonitorRequest r;
  TArgScanner s(args);
  while (s.Next()) {
    if (!s.IsOption()) s.Unknown();
    const std::string n = s.Word();
    if (r.Framing.Take(s)) continue;
    if (r.Line.Take(s)) continue;
    if (n == "--capture")
      r.Capture = s.Value();
    else if (n == "--seconds")
      r.Seconds = s.Number(0, 100000000);
    else if (n == "--send")
      r.Send = s.Value();
    else if (n == "--repeat")
      r.RepeatMs = s.Number(1, 100000000);
    else if (n == "--reconnect") {
      s.NoValue();
      r.Reconnect = true;
    } else
      s.Unknown();
  }
  r.Framing.Check();
  r.Line.CheckOne();
  if (r.RepeatMs && !r.Send) throw EUsageError("--repeat needs --send");
  return r;
}

}  // namespace

namespace {

// Under a slow stream the port's threads would wake this thread for every
// few bytes. The event thread already waits for its dispatch and the device
// keeps what arrives meanwhile, so while the line brings less than
// kHoldBytes per kHoldOff the hand-off is left alone that long after each
// batch, and the next dispatch takes all that came: a few times fewer
// wake-ups for a delay no reader of the lines can see. A faster stream is
// served at once, so that the device's buffer never fills because of it.
// Not with time stamps or PROD2: they take the moment each block is handled
// as the moment it arrived (stamp, pause rule), so every block is handled
// as it comes.
constexpr auto kHoldOff = std::chrono::milliseconds(20);
constexpr std::uint64_t kHoldBytes = 1024;

// A lost device (--reconnect) is tried again after kRetryFirst, then twice
// as long each time up to kRetryMost: a quick return is seen at once, a long
// absence costs one wake-up a second. A device that drops again within
// kSettled of its return goes on with the longer pause, so one that keeps
// failing comes and goes at most once a second.
constexpr auto kRetryFirst = std::chrono::milliseconds(100);
constexpr auto kRetryMost = std::chrono::milliseconds(1000);
constexpr auto kSettled = std::chrono::seconds(10);

void WriteWake(int fd) noexcept {
  const std::uint64_t one = 1;
  ssize_t r;
  do {
    r = ::write(fd, &one, sizeof one);
  } while (r < 0 && errno == EINTR);
}

int MakeWakeFd() {
  const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0)
    throw std::system_error(errno, std::generic_category(), "cannot make an event descriptor");
  return fd;
}

// The monitor's hand-off: a call from the port's threads also makes a
// descriptor readable, so that one poll() waits for calls, the stop request
// and the send source together.
class TMonitorSync final : public TMessageSync {
 public:
  TMonitorSync() : FFd(MakeWakeFd()) {}
  ~TMonitorSync() override { ::close(FFd); }
  TMonitorSync(const TMonitorSync&) = delete;
  TMonitorSync& operator=(const TMonitorSync&) = delete;

  void Post(std::shared_ptr<TSerSyncCall> call) override {
    TMessageSync::Post(std::move(call));
    WriteWake(FFd);
  }
  int Fd() const { return FFd; }
  // Takes the wake-up before the queue is served; a call posted later makes
  // the descriptor readable again.
  void Clear() {
    std::uint64_t v;
    (void)!::read(FFd, &v, sizeof v);
  }

 private:
  const int FFd;
};

// The file that --send streams: read a piece at a time, each piece put into
// the write queue once the previous one has left it, so any size goes out
// whole, in order and at the line's pace, in bounded memory.
struct TSendSource {
  std::string Path;
  int Fd = -1;
  bool Regular = false;
  bool Copying = false;     // a copy is on its way
  bool InQueue = false;     // a piece waits in the write queue (until OnTxEmpty)
  bool WaitSource = false;  // read only when the descriptor says so
  Clock::time_point CopyStart, Due;

  TSendSource() = default;
  TSendSource(const TSendSource&) = delete;
  TSendSource& operator=(const TSendSource&) = delete;
  ~TSendSource() { Close(); }

  // 0 or the reason the source cannot be read. Never blocks: a FIFO without
  // a writer is waited for in the poll, not here.
  int Open() {
    Close();
    Fd = ::open(Path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (Fd < 0) return errno;
    struct stat st {};
    int code = 0;
    if (::fstat(Fd, &st) != 0)
      code = errno;
    else if (S_ISDIR(st.st_mode))
      code = EISDIR;
    if (code) {
      Close();
      return code;
    }
    Regular = S_ISREG(st.st_mode);
    return 0;
  }
  // Starts a copy from the beginning; 0 or the reason it cannot. A FIFO or
  // a device is opened anew for a repeated copy: "again" is what it gives
  // next.
  int StartCopy(Clock::time_point now, bool again) {
    if (again && Regular && ::lseek(Fd, 0, SEEK_SET) < 0) return errno;
    if (again && !Regular)
      if (const int code = Open()) return code;
    Copying = true;
    InQueue = false;
    // Anything but a regular file may have nothing yet: poll() first, or a
    // FIFO without a writer would read as already ended.
    WaitSource = !Regular;
    CopyStart = now;
    return 0;
  }
  void Close() {
    if (Fd >= 0) ::close(Fd);
    Fd = -1;
  }
};

}  // namespace

TMonitorStop::TMonitorStop() : FFd(MakeWakeFd()) {}

TMonitorStop::~TMonitorStop() { ::close(FFd); }

void TMonitorStop::Request() noexcept {
  const int saved = errno;  // a signal handler leaves errno as it found it
  FRequested.store(true);
  WriteWake(FFd);
  errno = saved;
}

TMonitorClock TMonitorClock::System() {
  return {[] { return Clock::now(); },
          [](pollfd* fds, nfds_t count, int timeoutMs) { return ::poll(fds, count, timeoutMs); }};
}

int RunMonitor(const std::vector<std::string>& args, std::FILE* out, std::FILE* err,
               TMonitorStop* stop, const TMonitorClock& clock) {
  TMonitorRequest req;
  try {
    req = Parse(args);
  } catch (const EUsageError& e) {
    std::fprintf(err, "talmocli: %s\n%s", e.what(), MonitorUsage().c_str());
    return kExitUsage;
  }

  // Everything that can be checked is checked before the port opens, so a
  // failure leaves nothing half-done.
  const std::optional<std::string> resolved = req.Line.ResolveOrSay(err);
  if (!resolved) return kExitFailure;
  const std::string path = *resolved;
  const std::string name = req.Line.Port.value_or(path);
  // How the loss of the device names it: the port and its device, or the
  // device given.
  const std::string deviceTitle = req.Line.Title(path);
  TSendSource send;
  if (req.Send) {
    send.Path = *req.Send;
    if (const int code = send.Open()) {
      SayCannotRead(err, *req.Send, code);
      return kExitFailure;
    }
  }

  TMonitorSync sync;
  auto driver = std::make_shared<TSerPosixDriver>([path](const std::string&) { return path; });
  TSerComm comm(driver, sync);
  // The component's messages name the device by its path; the port name,
  // when one was given, leads the line.
  comm.SetDeviceName(path);
  req.Line.Apply(comm);

  // Standard output: the first failure ends the run. A reader that has gone
  // (EPIPE: `| head -1`) chose to stop, which ends it without an error.
  int outError = 0;
  const auto writeLine = [&](std::string_view line) {
    if (outError) return;
    errno = 0;
    if (std::fwrite(line.data(), 1, line.size(), out) != line.size() ||
        std::fputc('\n', out) == EOF)
      outError = errno ? errno : EIO;
  };

  const TFormatOptions opts = req.Framing.Options();
  TCaptureFile capture;
  TFormatterHooks hooks;
  hooks.Line = writeLine;
  // Each block goes to the file as it arrives, without a buffer in between:
  // what was received is in the file, whatever ends the run.
  hooks.Capture = [&capture](const std::uint8_t* b, std::size_t n) { capture.Write(b, n); };
  TReceiveFormatter formatter(opts, std::move(hooks));
  formatter.SetSigns(req.Framing.FirstSign(), req.Framing.LastSign());
  formatter.FrameWatch().Start();

  // The line time-out runs only while something is collected: an idle
  // monitor has no timer to wake for.
  bool lineArmed = false;
  Clock::time_point lineDue;
  std::uint64_t roundBytes = 0;
  std::vector<std::uint8_t> rx;
  comm.OnRxChar = [&](TSerCustomComm*, int count) {
    if (count <= 0) return;
    if (rx.size() < static_cast<std::size_t>(count)) rx.resize(static_cast<std::size_t>(count));
    const int n = comm.ReadBuf(rx.data(), count);
    if (n <= 0) return;
    formatter.FormatReceived(rx.data(), static_cast<std::size_t>(n));
    roundBytes += static_cast<std::uint64_t>(n);
    lineArmed = formatter.SignCount() != 0 || formatter.FrameState() != TFrameState::Idle ||
                !formatter.FrameRestart();
    lineDue = clock.Now() + kLineTimeout;
  };
  bool deviceGone = false;
  comm.OnError = [&](TSerCustomComm*, int errors) {
    auto bits = static_cast<std::uint32_t>(errors);
    if (bits & CE_IOE) {
      // Nothing more will come: what came before the loss is shown before
      // the loss is told.
      formatter.TimeoutFlush();
      lineArmed = false;
      deviceGone = true;
      bits &= ~CE_IOE;
    }
    if (bits == 0) return;
    for (const std::string& l : req.Line.ErrorLinesOf(comm.PortNum(), bits, path)) writeLine(l);
  };
  comm.OnTxEmpty = [&send](TSerCustomComm*) { send.InQueue = false; };

  if (!OpenOrSay(comm, err, req.Line.Lead())) return kExitFailure;
  if (req.Capture) {
    if (const int code = capture.StartExact(*req.Capture)) {
      std::fprintf(err, "talmocli: cannot create the capture '%s': %s\n", req.Capture->c_str(),
                   SysErrorText(code).c_str());
      comm.Close();
      return kExitFailure;
    }
  }
  std::fprintf(err, "talmocli: monitoring %s (%s) at %s; Ctrl+C ends\n", name.c_str(), path.c_str(),
               req.Line.Describe().c_str());

  const auto start = clock.Now();
  std::optional<Clock::time_point> endAt;
  if (req.Seconds) endAt = start + std::chrono::seconds(*req.Seconds);
  std::vector<std::uint8_t> piece;
  if (req.Send) {
    piece.resize(static_cast<std::size_t>(std::max(1, comm.Buffers().WriteSize())));
    send.StartCopy(start, false);
  }
  Clock::time_point holdUntil = start, lastBatch = start;
  const bool mayHold = !opts.Time && !opts.PROD2;
  bool captureReported = false;
  int status = kExitOk;

  // --reconnect: the device has gone and is waited for. Only the port
  // closes meanwhile; the capture, the line being collected and the send
  // source stay as they are, and go on when it is back.
  bool waiting = false;
  Clock::time_point retryAt = start;
  Clock::duration retryDelay = kRetryFirst;
  std::optional<Clock::time_point> backAt;
  // Why the device cannot be opened again: the first reason is the absence
  // itself; another one (busy, refused settings) is told, once each.
  std::vector<std::string> openFailures;

  // Puts the next piece of the send source into the empty write queue;
  // false when the send failed (said on `err`).
  const auto sendPiece = [&]() -> bool {
    ssize_t n;
    do {
      n = ::read(send.Fd, piece.data(), piece.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      send.WaitSource = true;
      return true;
    }
    if (n < 0) {
      SayCannotRead(err, send.Path, errno);
      return false;
    }
    if (n == 0) {  // this copy has gone into the queue whole
      send.Copying = false;
      if (req.RepeatMs)
        send.Due = send.CopyStart + std::chrono::milliseconds(*req.RepeatMs);
      else
        send.Close();
      return true;
    }
    try {
      comm.WriteBuf(piece.data(), static_cast<int>(n));
    } catch (const std::exception& e) {
      std::fprintf(err, "talmocli: sending '%s' failed: %s\n", send.Path.c_str(), e.what());
      return false;
    }
    send.InQueue = true;
    send.WaitSource = !send.Regular;
    return true;
  };

  for (;;) {
    if (stop && stop->Requested()) break;
    auto now = clock.Now();
    if (endAt && now >= *endAt) break;
    if (lineArmed && now >= lineDue) {
      formatter.TimeoutFlush();
      lineArmed = false;
    }
    if (waiting && now >= retryAt) {
      const std::string failure = TryOpen(comm, req.Line.Lead());
      now = clock.Now();
      if (failure.empty()) {
        waiting = false;
        backAt = now;
        openFailures.clear();
        std::fprintf(err, "talmocli: %s: The device is back; monitoring goes on.\n",
                     deviceTitle.c_str());
      } else {
        if (std::find(openFailures.begin(), openFailures.end(), failure) == openFailures.end()) {
          if (!openFailures.empty()) std::fputs(failure.c_str(), err);
          openFailures.push_back(failure);
        }
        retryDelay = std::min<Clock::duration>(retryDelay * 2, kRetryMost);
        retryAt = now + retryDelay;
      }
    }
    if (req.Send && !waiting && !send.Copying && req.RepeatMs && now >= send.Due) {
      if (const int code = send.StartCopy(now, true)) {
        SayCannotRead(err, send.Path, code);
        status = kExitFailure;
        break;
      }
    }
    if (!waiting && send.Copying && !send.InQueue && !send.WaitSource && !sendPiece()) {
      status = kExitFailure;
      break;
    }
    if (std::fflush(out) != 0 && !outError) outError = errno ? errno : EIO;
    if (const std::string failure = sync.TakeFailure(); !failure.empty())
      std::fprintf(err, "talmocli: %s\n", failure.c_str());
    if (!captureReported && !capture.WriteError().empty()) {
      captureReported = true;
      std::fprintf(err, "talmocli: %s\n", capture.WriteError().c_str());
    }
    if (outError || (deviceGone && !req.Reconnect)) break;
    if (deviceGone) {
      deviceGone = false;
      try {
        comm.Close();
      } catch (const std::exception& e) {
        std::fprintf(err, "talmocli: %s\n", e.what());
      }
      // What was in the write queue went with the device.
      send.InQueue = false;
      holdUntil = now;
      // Tried soon when it had been there a while; a device that keeps
      // dropping right after its return waits longer each time.
      retryDelay = !backAt || now - *backAt >= kSettled
                       ? Clock::duration(kRetryFirst)
                       : std::min<Clock::duration>(retryDelay * 2, kRetryMost);
      retryAt = now + retryDelay;
      waiting = true;
      SayDeviceGone(err, deviceTitle, "Waiting for it to come back.");
    }

    // Sleep until something happens or the nearest deadline.
    std::optional<Clock::time_point> wake = endAt;
    const auto nearer = [&wake](Clock::time_point t) {
      if (!wake || t < *wake) wake = t;
    };
    if (lineArmed) nearer(lineDue);
    if (req.Send && !waiting && !send.Copying && req.RepeatMs) nearer(send.Due);
    if (waiting) nearer(retryAt);
    const bool holding = now < holdUntil;
    if (holding) nearer(holdUntil);
    pollfd fds[3];
    nfds_t nfds = 0;
    int syncAt = -1, sourceAt = -1;
    if (stop) fds[nfds++] = {stop->WaitFd(), POLLIN, 0};
    if (!holding) {
      syncAt = static_cast<int>(nfds);
      fds[nfds++] = {sync.Fd(), POLLIN, 0};
    }
    if (!waiting && send.Copying && !send.InQueue && send.WaitSource) {
      sourceAt = static_cast<int>(nfds);
      fds[nfds++] = {send.Fd, POLLIN, 0};
    }
    int timeout = -1;
    if (wake) {
      // Rounded up: waking a little early would only come back to sleep.
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*wake - clock.Now()).count();
      timeout = static_cast<int>(std::clamp<long long>(left, 0, 24 * 3600 * 1000));
    }
    if (clock.Poll(fds, nfds, timeout) <= 0) continue;
    if (sourceAt >= 0 && fds[sourceAt].revents) send.WaitSource = false;
    if (syncAt >= 0 && fds[syncAt].revents) {
      sync.Clear();
      roundBytes = 0;
      sync.ProcessPending();
      if (roundBytes > 0 && mayHold) {
        // The bytes of this batch came in since the previous one.
        const auto at = clock.Now();
        const auto since =
            std::chrono::duration_cast<std::chrono::microseconds>(at - lastBatch).count();
        const auto holdUs = std::chrono::duration_cast<std::chrono::microseconds>(kHoldOff).count();
        if (roundBytes * static_cast<std::uint64_t>(holdUs) <
            kHoldBytes * static_cast<std::uint64_t>(since))
          holdUntil = at + kHoldOff;
        lastBatch = at;
      }
    }
  }

  formatter.TimeoutFlush();
  if (std::fflush(out) != 0 && !outError) outError = errno ? errno : EIO;
  if (outError && outError != EPIPE) {
    SayOutputFailed(err, outError);
    status = kExitFailure;
  }
  if (deviceGone) {
    SayDeviceGone(err, deviceTitle);
    status = kExitFailure;
  }
  try {
    comm.Close();
  } catch (const std::exception& e) {
    std::fprintf(err, "talmocli: %s\n", e.what());
    status = kExitFailure;
  }
  if (!capture.WriteError().empty()) {
    if (!captureReported) std::fprintf(err, "talmocli: %s\n", capture.WriteError().c_str());
    status = kExitFailure;
  }
  capture.Stop();
  return status;
}

}  // namespace talmo
