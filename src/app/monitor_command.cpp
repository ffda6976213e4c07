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
#include "app/cli_output.h"
#include "app/poll_sync.h"
#include "app/port_args.h"
#include "app/send_source.h"
#include "capture/pcapng.h"
#include "device/device_driver.h"
#include "device/wake_fd.h"
#include "engine/formatter.h"
#include "serial/ser_comm.h"
#include "serial/ser_sync.h"
#include "session/hold_off.h"
#include "session/receive_session.h"
#include "session/reconnect_policy.h"

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

// One run of the monitor: the port and its receive session, the send
// source, the reconnect policy and the hold-off, joined by one loop that
// sleeps until the next thing to do.
class TMonitorRun {
 public:
  TMonitorRun(const TMonitorRequest& req, std::string path, std::FILE* out, std::FILE* err,
              TMonitorStop* stop, const TMonitorClock& clock, const TMonitorMode& mode);
  int Run();

 private:
  bool Start();
  // One turn of the loop; false when the run ends.
  bool Turn();
  void TryReturn(Clock::time_point now);
  void DeviceLost();
  bool SendStep(Clock::time_point now);
  void Sleep();
  int Finish();

  TSessionSink Sink();

  const TMonitorRequest& FReq;
  const TMonitorMode FMode;
  const std::string FPath;
  std::FILE* FErr;
  TMonitorStop* FStop;
  const TMonitorClock& FClock;
  TLineOutput FOut;
  TPollSync FSync;
  TSerComm FComm;
  TFormatOptions FOptions;
  TReceiveSession FSession;
  std::optional<TSendSource> FSend;
  THoldOff FHold;
  TReconnectPolicy FReconnect;
  std::optional<Clock::time_point> FEndAt;
  bool FDeviceGone = false;
  // --reconnect: the device has gone and is waited for. Only the port
  // closes meanwhile; the capture, the line being collected and the send
  // source stay as they are, and go on when it is back.
  bool FWaiting = false;
  Clock::time_point FRetryAt;
  // Why the device cannot be opened again, told once each; that it is not
  // there (yet) is no news after the loss, so that one is not told first.
  std::vector<std::string> FOpenFailures;
  bool FCaptureFailed = false;
  bool FCaptureStopped = false;
  int FStatus = kExitOk;
};

// A FIFO that nobody reads any more.
bool ReaderGone(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode)) return false;
  const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    ::close(fd);
    return false;
  }
  return errno == ENXIO;
}

// Blocks are gathered and handled late only where nobody sees when they
// came; a timed capture records that moment for every block.
bool HoldOffAllowed(const TMonitorRequest& req, const TFormatOptions& options,
                    const TMonitorMode& mode) {
  const bool timedCapture = req.Capture && (mode.TimedCapture || pcapng::IsTimedName(*req.Capture));
  return !options.Time && !options.PROD2 && !timedCapture;
}

TSerTiming PortTimingOf(const TMonitorClock& clock, TMonitorStop* stop) {
  if (clock.IsSystem) return TSerTiming::System();
  // The component's own waits (the pause of Close) run on the monitor's
  // clock too; a stop request ends them.
  TSerTiming t;
  t.Now = clock.Now;
  t.Sleep = [&clock, stop](std::chrono::milliseconds ms) {
    pollfd fd{stop ? stop->WaitFd() : -1, POLLIN, 0};
    clock.Poll(&fd, stop ? 1 : 0, static_cast<int>(ms.count()));
  };
  return t;
}

// Lines and line errors go to standard output in the order they came; a
// loss is told when the loop has closed the port.
TSessionSink TMonitorRun::Sink() {
  TSessionSink sink;
  if (!FMode.CaptureOnly) {
    sink.Line = [this](std::string_view line) { FOut.Line(line); };
    sink.ErrorLine = [this](const std::string& line) { FOut.Line(line); };
  }
  sink.Notice = [this](const std::string& text) { Say(FErr, text); };
  sink.Lost = [this] { FDeviceGone = true; };
  sink.CaptureStopped = [this](const std::string& message) {
    FCaptureStopped = true;
    // Wireshark closing its end of the FIFO is how a capture is stopped.
    if (FMode.CaptureOnly && FReq.Capture && ReaderGone(*FReq.Capture)) return;
    FCaptureFailed = true;
    Say(FErr, message);
  };
  return sink;
}

TMonitorRun::TMonitorRun(const TMonitorRequest& req, std::string path, std::FILE* out,
                         std::FILE* err, TMonitorStop* stop, const TMonitorClock& clock,
                         const TMonitorMode& mode)
    : FReq(req),
      FMode(mode),
      FPath(std::move(path)),
      FErr(err),
      FStop(stop),
      FClock(clock),
      FOut(out),
      FComm(std::make_shared<TSerDeviceDriver>([p = FPath](const std::string&) { return p; }),
            FSync),
      FOptions(req.Framing.Options()),
      FSession(FComm, req.Line.SessionDevice(FPath), FOptions, Sink(), clock.Now),
      FHold(HoldOffAllowed(req, FOptions, mode), clock.Now()) {
  FComm.SetTiming(PortTimingOf(clock, stop));
  // The component's messages name the device by its path; the port name,
  // when one was given, leads the line.
  FComm.SetDeviceName(FPath);
  req.Line.Apply(FComm);
  FSession.Attach();
  FSession.Formatter().SetSigns(req.Framing.FirstSign(), req.Framing.LastSign());
  FSession.StartFrameClock();
  if (req.Send)
    FSend.emplace(*req.Send, req.RepeatMs,
                  static_cast<std::size_t>(std::max(1, FComm.Buffers().WriteSize())));
  FComm.OnTxEmpty = [this](TSerCustomComm*) {
    if (FSend) FSend->QueueEmptied();
  };
}

// Everything that can be checked is checked before the port opens, so a
// failure leaves nothing half-done.
bool TMonitorRun::Start() {
  if (FSend)
    if (const int code = FSend->Open()) {
      SayCannotRead(FErr, FSend->Path(), code);
      return false;
    }
  if (!OpenOrSay(FSession, FErr)) return false;
  if (FReq.Capture) {
    try {
      FSession.StartCaptureExact(*FReq.Capture,
                                 FMode.TimedCapture ? std::optional<bool>(true) : std::nullopt);
    } catch (const ECaptureError& e) {
      Say(FErr, e.what());
      FComm.Close();
      return false;
    }
  }
  if (!FMode.CaptureOnly)
    Say(FErr, "monitoring " + FReq.Line.Port.value_or(FPath) + " (" + FPath + ") at " +
                  FReq.Line.Describe() + "; Ctrl+C ends");
  const auto now = FClock.Now();
  if (FReq.Seconds) FEndAt = now + std::chrono::seconds(*FReq.Seconds);
  if (FSend) FSend->Begin(now);
  return true;
}

int TMonitorRun::Run() {
  if (!Start()) return kExitFailure;
  while (Turn()) Sleep();
  return Finish();
}

bool TMonitorRun::Turn() {
  if (FStop && FStop->Requested()) return false;
  const auto now = FClock.Now();
  if (FEndAt && now >= *FEndAt) return false;
  FSession.CheckTimeout(now);
  if (FWaiting && now >= FRetryAt) TryReturn(now);
  if (!FWaiting && FSend && !SendStep(FClock.Now())) {
    FStatus = kExitFailure;
    return false;
  }
  FOut.Flush();
  if (const std::string failure = FSync.TakeFailure(); !failure.empty()) Say(FErr, failure);
  if (FOut.Failed() || (FDeviceGone && !FReq.Reconnect)) return false;
  // Nothing left to do once the capture, the run's only product, stopped.
  if (FMode.CaptureOnly && FCaptureStopped) return false;
  if (FDeviceGone) DeviceLost();
  return true;
}

void TMonitorRun::TryReturn(Clock::time_point now) {
  const std::optional<TOpenFailure> failure = FSession.Open();
  now = FClock.Now();
  if (!failure) {
    FWaiting = false;
    FReconnect.Back(now);
    FOpenFailures.clear();
    Say(FErr, FSession.Device().Title() + ": The device is back; monitoring goes on.");
    return;
  }
  const std::string text = failure->Message + "\n" + failure->Hint;
  if (std::find(FOpenFailures.begin(), FOpenFailures.end(), text) == FOpenFailures.end()) {
    if (!FOpenFailures.empty() || !IsAbsence(*failure)) SayOpenFailure(FErr, *failure);
    FOpenFailures.push_back(text);
  }
  FRetryAt = FReconnect.Failed(now);
}

void TMonitorRun::DeviceLost() {
  FDeviceGone = false;
  try {
    FComm.Close();
  } catch (const std::exception& e) {
    Say(FErr, e.what());
  }
  // After the close's own pause: the first try still waits its time.
  const auto now = FClock.Now();
  // What was in the write queue went with the device.
  if (FSend) FSend->QueueLost();
  FHold.Release(now);
  FRetryAt = FReconnect.Lost(now);
  FWaiting = true;
  SayDeviceGone(FErr, FSession.Device().Title(), "Waiting for it to come back.");
}

// The send source's work; false when the send failed (said on err).
bool TMonitorRun::SendStep(Clock::time_point now) {
  int code = 0;
  try {
    code = FSend->Step(now, [this](const std::uint8_t* data, int count) {
      FComm.WriteBuf(data, count);
      FSession.Sent(data, static_cast<std::size_t>(count));
    });
  } catch (const std::exception& e) {
    Say(FErr, "sending '" + FSend->Path() + "' failed: " + e.what());
    return false;
  }
  if (code) SayCannotRead(FErr, FSend->Path(), code);
  return code == 0;
}

// Sleeps until something happens or the nearest deadline.
void TMonitorRun::Sleep() {
  const auto now = FClock.Now();
  std::optional<Clock::time_point> wake = FEndAt;
  const auto nearer = [&wake](std::optional<Clock::time_point> t) {
    if (t && (!wake || *t < *wake)) wake = t;
  };
  nearer(FSession.TimeoutDue());
  if (FSend && !FWaiting) nearer(FSend->Due());
  if (FWaiting) nearer(FRetryAt);
  const bool holding = FHold.Holding(now);
  if (holding) nearer(FHold.Until());
  pollfd fds[3];
  nfds_t nfds = 0;
  int syncAt = -1, sourceAt = -1;
  if (FStop) fds[nfds++] = {FStop->WaitFd(), POLLIN, 0};
  if (!holding) {
    syncAt = static_cast<int>(nfds);
    fds[nfds++] = {FSync.Fd(), POLLIN, 0};
  }
  if (const int fd = FSend && !FWaiting ? FSend->WaitFd() : -1; fd >= 0) {
    sourceAt = static_cast<int>(nfds);
    fds[nfds++] = {fd, POLLIN, 0};
  }
  int timeout = -1;
  if (wake) {
    // Rounded up: waking a little early would only come back to sleep.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*wake - FClock.Now()).count();
    timeout = static_cast<int>(std::clamp<long long>(left, 0, 24 * 3600 * 1000));
  }
  if (FClock.Poll(fds, nfds, timeout) <= 0) return;
  if (sourceAt >= 0 && fds[sourceAt].revents) FSend->Readable();
  if (syncAt >= 0 && fds[syncAt].revents) {
    FSync.Clear();
    const std::uint64_t before = FSession.BytesReceived();
    FSync.ProcessPending();
    FHold.Batch(FSession.BytesReceived() - before, FClock.Now());
  }
}

int TMonitorRun::Finish() {
  FSession.Timeout();
  FOut.Flush();
  if (FOut.FailedToTell()) {
    SayOutputFailed(FErr, FOut.Error());
    FStatus = kExitFailure;
  }
  if (FDeviceGone) {
    SayDeviceGone(FErr, FSession.Device().Title());
    FStatus = kExitFailure;
  }
  // The run is over: its last close keeps the component's own pause, in
  // real time (a test's clock has nothing left to measure).
  FComm.SetTiming(TSerTiming::System());
  try {
    FComm.Close();
  } catch (const std::exception& e) {
    Say(FErr, e.what());
    FStatus = kExitFailure;
  }
  if (FCaptureFailed) FStatus = kExitFailure;
  FSession.StopCapture();
  return FStatus;
}

}  // namespace

TMonitorStop::TMonitorStop() : FFd(MakeWakeFd()) {}

TMonitorStop::~TMonitorStop() { ::close(FFd); }

void TMonitorStop::Request() noexcept {
  FRequested.store(true);
  SignalWake(FFd);  // leaves errno as it found it, as a signal handler must
}

TMonitorClock TMonitorClock::System() {
  return {[] { return Clock::now(); },
          [](pollfd* fds, nfds_t count, int timeoutMs) { return ::poll(fds, count, timeoutMs); },
          true};
}

int RunMonitor(const std::vector<std::string>& args, std::FILE* out, std::FILE* err,
               TMonitorStop* stop, const TMonitorClock& clock, const TMonitorMode& mode) {
  TMonitorRequest req;
  try {
    req = Parse(args);
  } catch (const EUsageError& e) {
    SayUsage(err, e.what(), MonitorUsage());
    return kExitUsage;
  }
  const std::optional<std::string> path = req.Line.ResolveOrSay(err);
  if (!path) return kExitFailure;
  TMonitorRun run(req, *path, out, err, stop, clock, mode);
  return run.Run();
}

}  // namespace talmo
