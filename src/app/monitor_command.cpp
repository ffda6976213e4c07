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
#include "session/block_queue.h"
#include "session/hold_off.h"
#include "session/receive_session.h"
#include "session/reconnect_policy.h"

namespace talmo {

std::string MonitorUsage() {
  return std::string(
             "usage: talmocli monitor (--port [LABEL=]COMn | --device [LABEL=]PATH)...\n"
             "                        [--baud N] [--databits 7|8] [--parity none|odd|even]\n"
             "                        [--stopbits 1|1.5|2] [--flow none|rtscts|xonxoff]\n"
             "                        [--dtr on|off] [--rts on|off] [--break-at-open]\n"
             "                        [--lines] [framing options]\n"
             "                        [--capture FILE] [--seconds N] [--reconnect]\n"
             "                        [--send FILE [--repeat MS]]\n"
             "Prints every display line of the port as it is finished, and its line\n"
             "errors. Several ports (--port and --device repeated) go on one timeline:\n"
             "their lines in the order they arrived, each led by its port's label\n"
             "and a space. A label (letters, digits, '-', '_') names a port, as in\n"
             "--port host=COM5 or --device dev=/dev/ttyUSB1; by default it is the\n"
             "port's name or path. Line settings given before the first port are\n"
             "every port's; those after a port are that port's own.\n") +
         kPortOptionsHelp +
         "  --capture FILE  write the raw received bytes to FILE (several ports: a\n"
         "                  timed capture, FILE.pcapng, with one interface each)\n"
         "  --seconds N     end after N seconds (default: at Ctrl+C)\n"
         "  --reconnect     when the device or connection goes away, wait for it\n"
         "                  to come back (trying at most once a second) and go\n"
         "                  on with the same settings and the same capture;\n"
         "                  without it a lost port ends the run, or, among\n"
         "                  several, the run goes on with the others (exit 1)\n"
         "  --send FILE     send FILE's bytes once the port is open, at the\n"
         "                  line's pace (any size; a FIFO or a device too; one\n"
         "                  port only);\n"
         "  --repeat MS     and again every MS milliseconds, each copy after\n"
         "                  the previous one has gone out\n"
         "Framing options, as for decode (every port's):\n" +
         kFramingOptionsHelp;
}

namespace {

using Clock = std::chrono::steady_clock;

// How long a block read may wait before it is handled: under a stream,
// a few dozen frames go through framing, decoding and output together,
// each with its own arrival time, instead of one wake-up's worth of that
// work each. Not a delay anybody watching the lines can see.
constexpr Clock::duration kGatherFor = std::chrono::milliseconds(40);

struct TMonitorPortRequest {
  TPortRequest Line;
  std::string Label;  // as given; empty: the port's name or path

  // The port's name on the timeline and in a timed capture.
  std::string Name() const { return Label.empty() ? Line.Port.value_or(*Line.Device) : Label; }
};

struct TMonitorRequest {
  std::vector<TMonitorPortRequest> Ports;
  std::optional<std::string> Capture, Send;
  std::optional<long long> Seconds, RepeatMs;
  bool Reconnect = false;
  TFramingRequest Framing;
};

// Line settings follow the port they come after, so that each port of a
// Y-cable or a bench can have its own; those before the first port are the
// defaults of all, which also keeps every one-port command line as it was.
TMonitorRequest Parse(const std::vector<std::string>& args, const TMonitorMode& mode) {
  TMonitorRequest r;
  TPortRequest defaults;
  TArgScanner s(args);
  while (s.Next()) {
    if (!s.IsOption()) s.Unknown();
    const std::string n = s.Word();
    if (n == "--port" || n == "--device") {
      const TLabelledPort given = SplitPortLabel(n, s.Value());
      TMonitorPortRequest port;
      port.Line = defaults;
      (n == "--port" ? port.Line.Port : port.Line.Device) = given.Name;
      port.Label = given.Label;
      r.Ports.push_back(std::move(port));
      continue;
    }
    if (r.Framing.Take(s)) continue;
    if ((r.Ports.empty() ? defaults : r.Ports.back().Line).Take(s)) continue;
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
  if (r.Ports.empty()) defaults.CheckOne();
  if (r.RepeatMs && !r.Send) throw EUsageError("--repeat needs --send");
  for (std::size_t i = 0; i < r.Ports.size(); ++i)
    for (std::size_t j = 0; j < i; ++j)
      if (r.Ports[i].Name() == r.Ports[j].Name())
        throw EUsageError("two ports are named '" + r.Ports[i].Name() +
                          "': give each its own label (--port LABEL=COMn, --device LABEL=PATH)");
  if (r.Ports.size() > 1) {
    if (r.Send)
      throw EUsageError("--send takes one port: with several it is not clear which one sends");
    if (r.Capture && !mode.TimedCapture && !pcapng::IsTimedName(*r.Capture))
      throw EUsageError("a capture of several ports is a timed one (a name ending in .pcapng): '" +
                        *r.Capture + "' would be raw, which cannot tell the ports apart");
  }
  return r;
}

class TMonitorRun;

// One port of a run: its component, its receive session, and the state of
// its loss and return. Each port goes away and comes back on its own; the
// run's loop, its output, its capture and its clock are shared.
class TPortRun {
 public:
  TPortRun(TMonitorRun& run, const TMonitorPortRequest& req, std::string path, TPortRun* first);
  TPortRun(const TPortRun&) = delete;
  TPortRun& operator=(const TPortRun&) = delete;

  TSerComm& Comm() { return FComm; }
  TReceiveSession& Session() { return FSession; }
  const std::string& Path() const { return FPath; }
  const TMonitorPortRequest& Request() const { return FReq; }
  // Opens the port; a failure is said. False when it did not open.
  bool Open();
  // Closes the port; a failure is said. False when the close failed.
  bool Close();
  // The device went away and the loop has not dealt with it yet.
  bool LossPending() const { return FDeviceGone; }
  // --reconnect: the device has gone and is waited for.
  bool Waiting() const { return FReturn.Waiting(); }
  // Gone for good (no --reconnect): closed, and no more of it comes.
  bool Gone() const { return FGone; }
  std::optional<Clock::time_point> RetryDue() const { return FReturn.Due(); }
  void TryReturn();
  // The loss with --reconnect: close and wait for the device.
  void WaitForReturn();
  // The loss of one of several ports without --reconnect: told now; the
  // others go on.
  void Drop(bool last);
  // The loss as the end of a one-port run tells it.
  void SayLost();
  // Served by the run's loop: open, and its device has a descriptor.
  bool Polled() const { return FComm.Active() && FComm.PollFd() >= 0; }
  // What leads the run's messages about this port: its label among
  // several ports, nothing for one.
  std::string Lead() const;
  // Blocks read and not yet handed to the session (see kGatherFor).
  TBlockQueue& Pending() { return FPending; }

 private:
  TSessionSink Sink();

  TMonitorRun& FRun;
  const TMonitorPortRequest& FReq;
  const std::string FPath;
  // Before each of its lines on a timeline of several ports.
  const std::string FMark;
  TSerComm FComm;
  TReceiveSession FSession;
  // Only the port closes meanwhile; the capture and the line being
  // collected stay as they are, and go on when it is back.
  TPortReturn FReturn;
  TBlockQueue FPending;
  bool FDeviceGone = false;
  bool FGone = false;
};

// One run of the monitor: its ports, the send source, the hold-off and the
// capture, joined by one loop that sleeps until the next thing to do. All
// ports hand their events to one queue, so they are dispatched in the
// order they came.
class TMonitorRun {
 public:
  TMonitorRun(const TMonitorRequest& req, const std::vector<std::string>& paths, std::FILE* out,
              std::FILE* err, TMonitorStop* stop, const TMonitorClock& clock,
              const TMonitorMode& mode);
  int Run();

 private:
  friend class TPortRun;

  bool Start();
  // One turn of the loop; false when the run ends.
  bool Turn();
  bool SendStep(Clock::time_point now);
  void Sleep();
  int Finish();
  void CloseAll();
  // The unfinished lines of every port whose time-out fell due by `t`, in
  // the order due: before a block that came later on another port.
  void LinesDueBy(Clock::time_point t);
  // The blocks read and not yet handled, to their sessions in the order
  // they came, each with its own time.
  void HandOn();
  // The port whose oldest block not yet handled came first (nullptr: none
  // waits), and when that block came.
  TPortRun* EarliestPending();
  std::optional<Clock::time_point> FirstPending();
  void CaptureStopped(const std::string& message);
  bool Several() const { return FPorts.size() > 1; }
  // The port --send sends on (there is only one then).
  TPortRun& Sender() { return *FPorts.front(); }

  const TMonitorRequest& FReq;
  const TMonitorMode FMode;
  std::FILE* FErr;
  TMonitorStop* FStop;
  const TMonitorClock& FClock;
  TPortLoop FLoop;
  TLineOutput FOut;
  TReaderWatch FReader;
  TPollSync FSync;
  TFormatOptions FOptions;
  // Every port's Modbus frames pair on one timeline.
  std::shared_ptr<TModbusPairing> FModbus;
  std::vector<std::unique_ptr<TPortRun>> FPorts;
  std::vector<TReceiveSession*> FSessionsDue;  // reused: the time-outs run per block
  std::vector<int> FPortSlots;                 // reused: each polled port's slot
  std::optional<TSendSource> FSend;
  THoldOff FHold;
  // Ports whose every block is handled as it comes (time stamps, silences,
  // Modbus, several ports: no hold-off) are polled by the loop itself: the
  // block's time is taken as it is read, and no hand-off between threads
  // costs wake-ups. A port without a descriptor (remote) or with modem
  // lines runs its threads all the same.
  const bool FPolledPorts;
  // Polled ports on the system's clock read each block as it comes but
  // hand it on within kGatherFor (a test's clock moves only when told:
  // there every block is handled at once).
  const bool FGathered;

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
// came; a timed capture records that moment for every block, and the
// order of several ports' lines is that moment's.
bool HoldOffAllowed(const TMonitorRequest& req, const TFormatOptions& options,
                    const TMonitorMode& mode) {
  const bool timedCapture = req.Capture && (mode.TimedCapture || pcapng::IsTimedName(*req.Capture));
  const TLineRules lines = req.Framing.Lines();
  const bool timedLines = lines.Stamp != TStampForm::None || lines.GapNs > 0 ||
                          lines.GapChars > 0 || lines.Modbus != TModbusMode::None;
  return !options.Time && !options.PROD2 && !timedLines && !timedCapture && req.Ports.size() == 1;
}

TSessionOptions SessionOptionsOf(const TMonitorPortRequest& req, const TFramingRequest& framing,
                                 std::shared_ptr<TModbusPairing> pairing) {
  TSessionOptions o;
  o.Label = req.Label;
  o.Lines = framing.Lines();
  o.ModbusPairing = std::move(pairing);
  req.Line.ApplySession(o);
  return o;
}

// The ports after the first read UTC on the first one's base, so that the
// stamps of all ports in a capture compare as their arrivals did.
TReceiveSession::TWallNow WallClockOf(TPortRun* first, const TMonitorClock& clock) {
  if (!first) return UtcNanoseconds;
  return [first, &clock] { return first->Session().UtcNsOf(clock.Now()); };
}

TPortRun::TPortRun(TMonitorRun& run, const TMonitorPortRequest& req, std::string path,
                   TPortRun* first)
    : FRun(run),
      FReq(req),
      FPath(std::move(path)),
      FMark(run.Several() ? req.Name() + " " : ""),
      FComm(std::make_shared<TSerDeviceDriver>([p = FPath](const std::string&) { return p; }),
            run.FSync),
      FSession(FComm, req.Line.SessionDevice(FPath), run.FOptions, Sink(), run.FClock.Now,
               SessionOptionsOf(req, run.FReq.Framing, run.FModbus),
               WallClockOf(first, run.FClock)),
      FReturn(
          FSession, [&run](const TOpenFailure& f) { SayOpenFailure(run.FErr, f); }, Lead()) {
  FComm.SetTiming(PortTimingOf(run.FClock, run.FStop));
  FComm.SetPolled(run.FPolledPorts);
  if (run.FGathered) FSession.QueueBlocks(&FPending);
  // The component's messages name the device by its path; the port name,
  // when one was given, leads the line.
  FComm.SetDeviceName(FPath);
  req.Line.Apply(FComm);
  FSession.Attach();
  if (run.FGathered) {
    // What came before an error or the loss is handled before it.
    auto error = FComm.OnError;
    FComm.OnError = [this, error](TSerCustomComm* comm, int errors) {
      FRun.HandOn();
      error(comm, errors);
    };
  } else if (run.Several()) {
    // Another port's line that fell due before this block is shown first,
    // as a decode of the capture shows it.
    auto received = FComm.OnRxChar;
    FComm.OnRxChar = [this, received](TSerCustomComm* comm, int count) {
      FRun.LinesDueBy(FRun.FClock.Now());
      received(comm, count);
    };
  }
  FSession.Formatter().SetSigns(run.FReq.Framing.FirstSign(), run.FReq.Framing.LastSign());
  FSession.StartFrameClock();
}

// Lines and line errors go to standard output in the order they came; a
// loss is told when the loop has closed the port.
TSessionSink TPortRun::Sink() {
  TSessionSink sink;
  if (!FRun.FMode.CaptureOnly) {
    sink.Line = [this](std::string_view line) { FRun.FOut.Line(FMark, line); };
    sink.ErrorLine = [this](const std::string& line) { FRun.FOut.Line(FMark, line); };
  }
  sink.Notice = [this](const std::string& text) { Say(FRun.FErr, Lead() + text); };
  sink.Lost = [this] { FDeviceGone = true; };
  sink.CaptureStopped = [this](const std::string& message) { FRun.CaptureStopped(message); };
  return sink;
}

std::string TPortRun::Lead() const { return FRun.Several() ? FReq.Name() + ": " : ""; }

bool TPortRun::Open() {
  std::optional<TOpenFailure> failure = FSession.Open();
  if (!failure) return true;
  failure->Message = Lead() + failure->Message;
  SayOpenFailure(FRun.FErr, *failure);
  return false;
}

bool TPortRun::Close() {
  try {
    FComm.Close();
    return true;
  } catch (const std::exception& e) {
    Say(FRun.FErr, Lead() + e.what());
    return false;
  }
}

void TPortRun::TryReturn() {
  if (FReturn.TryIfDue(FRun.FClock.Now))
    Say(FRun.FErr,
        Lead() + FSession.Device().Title() + ": The device is back; monitoring goes on.");
}

void TPortRun::WaitForReturn() {
  FDeviceGone = false;
  Close();
  // After the close's own pause: the first try still waits its time.
  const auto now = FRun.FClock.Now();
  // What was in the write queue went with the device.
  if (FRun.FSend) FRun.FSend->QueueLost();
  FRun.FHold.Release(now);
  FReturn.Lost(now);
  SayDeviceGone(FRun.FErr, Lead() + FSession.Device().Title(), "Waiting for it to come back.");
}

void TPortRun::Drop(bool last) {
  FDeviceGone = false;
  FGone = true;
  // What came before the loss is out before the loss is told.
  FRun.FOut.Flush();
  SayDeviceGone(FRun.FErr, Lead() + FSession.Device().Title(),
                last ? "" : "The other ports go on.");
  Close();
}

void TPortRun::SayLost() { SayDeviceGone(FRun.FErr, Lead() + FSession.Device().Title()); }

void TMonitorRun::CaptureStopped(const std::string& message) {
  // The ports share the capture: it stops once.
  if (FCaptureStopped) return;
  FCaptureStopped = true;
  // Wireshark closing its end of the FIFO is how a capture is stopped.
  if (FMode.CaptureOnly && FReq.Capture && ReaderGone(*FReq.Capture)) return;
  FCaptureFailed = true;
  Say(FErr, message);
}

TMonitorRun::TMonitorRun(const TMonitorRequest& req, const std::vector<std::string>& paths,
                         std::FILE* out, std::FILE* err, TMonitorStop* stop,
                         const TMonitorClock& clock, const TMonitorMode& mode)
    : FReq(req),
      FMode(mode),
      FErr(err),
      FStop(stop),
      FClock(clock),
      FLoop(clock, stop),
      FOut(out, true),
      FOptions(req.Framing.Options()),
      FHold(HoldOffAllowed(req, FOptions, mode), clock.Now()),
      FPolledPorts(!FHold.Allowed()),
      FGathered(FPolledPorts && clock.IsSystem) {
  if (const TLineRules lines = req.Framing.Lines(); lines.Modbus != TModbusMode::None)
    FModbus = std::make_shared<TModbusPairing>(lines.Modbus, lines.AnswerTimeoutNs);
  // Sized first: Several() holds while the ports are made.
  FPorts.resize(req.Ports.size());
  for (std::size_t i = 0; i < req.Ports.size(); ++i)
    FPorts[i] = std::make_unique<TPortRun>(*this, req.Ports[i], paths[i],
                                           i == 0 ? nullptr : FPorts.front().get());
  if (req.Send) {
    TSerComm& comm = Sender().Comm();
    FSend.emplace(*req.Send, req.RepeatMs,
                  static_cast<std::size_t>(std::max(1, comm.Buffers().WriteSize())));
    comm.OnTxEmpty = [this](TSerCustomComm*) {
      if (FSend) FSend->QueueEmptied();
    };
  }
}

void TMonitorRun::CloseAll() {
  for (auto& port : FPorts) port->Close();
}

// Everything that can be checked is checked before the ports open, so a
// failure leaves nothing half-done.
bool TMonitorRun::Start() {
  int fifo = -1;
  if (!BeginRun(FOut, FLoop, FReq.Seconds, FReq.Capture, fifo, FSend ? &*FSend : nullptr,
                FSend ? FSend->Path() : std::string(), FErr))
    return false;
  const TFdCloser fifoHeld(fifo);
  for (auto& port : FPorts)
    if (!port->Open()) {
      CloseAll();
      return false;
    }
  if (FReq.Capture) {
    // One file: the first port starts it, the others join as interfaces
    // of their own.
    try {
      TReceiveSession& owner = FPorts.front()->Session();
      owner.StartCaptureExact(*FReq.Capture,
                              FMode.TimedCapture ? std::optional<bool>(true) : std::nullopt);
      for (std::size_t i = 1; i < FPorts.size(); ++i) FPorts[i]->Session().JoinCapture(owner);
    } catch (const ECaptureError& e) {
      Say(FErr, e.what());
      CloseAll();
      return false;
    }
  }
  if (!FMode.CaptureOnly) {
    for (std::size_t i = 0; i < FPorts.size(); ++i) {
      const TPortRun& p = *FPorts[i];
      const TPortRequest& line = p.Request().Line;
      Say(FErr, "monitoring " + (Several() ? p.Request().Name() + ": " : "") +
                    line.Port.value_or(p.Path()) + " (" + p.Path() + ") at " + line.Describe() +
                    (i + 1 == FPorts.size() ? "; Ctrl+C ends" : ""));
    }
  }
  const auto now = FClock.Now();
  FLoop.EndAfter(FReq.Seconds);
  if (FSend) FSend->Begin(now);
  return true;
}

int TMonitorRun::Run() {
  if (!Start()) return kExitFailure;
  while (Turn()) Sleep();
  return Finish();
}

void TMonitorRun::HandOn() {
  while (TPortRun* next = EarliestPending()) {
    const TBlockQueue::TBlock block = next->Pending().Front();
    // Another port's line that fell due before this block is shown first,
    // as a decode of the capture shows it.
    if (Several()) LinesDueBy(block.Arrived);
    next->Session().HandleQueued(block.Data, block.Size, block.Arrived);
    next->Pending().Pop();
  }
}

TPortRun* TMonitorRun::EarliestPending() {
  TPortRun* first = nullptr;
  for (auto& port : FPorts)
    if (!port->Pending().Empty() &&
        (!first || port->Pending().Front().Arrived < first->Pending().Front().Arrived))
      first = port.get();
  return first;
}

std::optional<Clock::time_point> TMonitorRun::FirstPending() {
  TPortRun* first = EarliestPending();
  return first ? std::optional(first->Pending().Front().Arrived) : std::nullopt;
}

void TMonitorRun::LinesDueBy(Clock::time_point t) {
  std::vector<TReceiveSession*>& sessions = FSessionsDue;
  sessions.clear();
  for (auto& port : FPorts) sessions.push_back(&port->Session());
  EndLinesDueBy(sessions, t);
}

bool TMonitorRun::Turn() {
  if (FLoop.Ended()) return false;
  const auto now = FClock.Now();
  std::optional<Clock::time_point> first = FirstPending();
  if (first && now >= *first + kGatherFor) {
    HandOn();
    first.reset();
  }
  // Time-outs are worked out once every block before them is handled.
  if (!first) LinesDueBy(now);
  for (auto& port : FPorts) port->TryReturn();
  if (FSend && !Sender().Waiting() && !SendStep(FClock.Now())) {
    FStatus = kExitFailure;
    return false;
  }
  if (FOut.Waiting()) FOut.Flush();
  FReader.Look(FOut, now);
  SayUnshown(FOut, FErr);
  if (const std::string failure = FSync.TakeFailure(); !failure.empty()) Say(FErr, failure);
  if (FOut.Failed()) return false;
  // Nothing left to do once the capture, the run's only product, stopped.
  if (FMode.CaptureOnly && FCaptureStopped) return false;
  for (auto& port : FPorts) {
    if (!port->LossPending()) continue;
    if (FReq.Reconnect) {
      port->WaitForReturn();
    } else if (!Several()) {
      return false;  // the run's end tells it
    } else {
      FStatus = kExitFailure;
      const bool last = std::all_of(FPorts.begin(), FPorts.end(),
                                    [&port](const auto& p) { return p == port || p->Gone(); });
      port->Drop(last);
    }
  }
  return !std::all_of(FPorts.begin(), FPorts.end(), [](const auto& p) { return p->Gone(); });
}

// The send source's work; false when the send failed (said on err).
bool TMonitorRun::SendStep(Clock::time_point now) {
  int code = 0;
  try {
    code = FSend->Step(now, [this](const std::uint8_t* data, int count) {
      Sender().Comm().WriteBuf(data, count);
      Sender().Session().Sent(data, static_cast<std::size_t>(count));
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
  // Only a hold-off asks the time here: a polled port's turn reads the
  // clock as little as it can.
  const bool held = FHold.Allowed() && FHold.Holding(FClock.Now());
  // While blocks wait, the sessions' time-outs are not yet what those
  // blocks make them: they are worked out when the blocks are handed on.
  const std::optional<Clock::time_point> first = FirstPending();
  if (first) FLoop.WakeBy(*first + kGatherFor);
  for (auto& port : FPorts) {
    if (!first) FLoop.WakeBy(port->Session().ShowDue());
    FLoop.WakeBy(port->RetryDue());
    if (port->Polled()) FLoop.WakeBy(port->Comm().PollDue());
  }
  const bool sending = FSend && !Sender().Waiting();
  if (sending) FLoop.WakeBy(FSend->Due());
  // A reader that still reads is waited for, as a blocking output would
  // wait: the port's bytes wait in the line meanwhile.
  const bool waitReader = FReader.Waiting(FOut);
  if (waitReader) FLoop.WakeBy(FReader.Due());
  const bool holding = held || waitReader;
  if (held) FLoop.WakeBy(FHold.Until());
  // Only a port's threads post to the queue: ports all polled leave it out.
  const bool threads =
      std::any_of(FPorts.begin(), FPorts.end(), [](const auto& p) { return !p->Polled(); });
  const int syncAt = FLoop.Watch(holding || !threads ? -1 : FSync.Fd(), POLLIN);
  const int sourceAt = FLoop.Watch(sending ? FSend->WaitFd() : -1, POLLIN);
  FLoop.Watch(FOut.Held() ? FOut.Fd() : -1, POLLOUT);
  // A reader that still reads holds the ports' bytes in the line, as the
  // hold-off holds the hand-off.
  FPortSlots.clear();
  for (auto& port : FPorts)
    FPortSlots.push_back(port->Polled() ? FLoop.Watch(port->Comm().PollFd(),
                                                      static_cast<short>(port->Comm().PollEvents() &
                                                                         ~(holding ? POLLIN : 0)))
                                        : -1);
  const int ready = FLoop.Sleep();
  for (std::size_t i = 0; i < FPorts.size(); ++i) {
    TSerComm& comm = FPorts[i]->Comm();
    if (!FPorts[i]->Polled()) continue;
    const short events = FLoop.Events(FPortSlots[i]);
    if (events || comm.PollDue()) comm.Serve(events);
  }
  if (ready <= 0) return;
  if (FLoop.Events(sourceAt)) FSend->Readable();
  if (FLoop.Events(syncAt)) {
    FSync.Clear();
    const auto received = [this] {
      std::uint64_t n = 0;
      for (auto& port : FPorts) n += port->Session().BytesReceived();
      return n;
    };
    const std::uint64_t before = received();
    FSync.ProcessPending();
    FHold.Batch(received() - before, FClock.Now());
  }
}

int TMonitorRun::Finish() {
  HandOn();
  // The lines open at the end come out in the order they began, as a
  // decode ends.
  std::vector<TReceiveSession*> sessions;
  for (auto& port : FPorts) sessions.push_back(&port->Session());
  EndOpenLines(sessions);
  if (!EndOutput(FOut, FLoop, FErr)) FStatus = kExitFailure;
  if (FOut.FailedToTell()) {
    SayOutputFailed(FErr, FOut.Error());
    FStatus = kExitFailure;
  }
  for (auto& port : FPorts)
    if (port->LossPending()) {
      port->SayLost();
      FStatus = kExitFailure;
    }
  for (auto& port : FPorts) {
    // The run is over: its last close keeps the component's own pause, in
    // real time (a test's clock has nothing left to measure).
    port->Comm().SetTiming(TSerTiming::System());
    if (!port->Close()) FStatus = kExitFailure;
  }
  if (FCaptureFailed) FStatus = kExitFailure;
  for (auto& port : FPorts) port->Session().StopCapture();
  return FStatus;
}

}  // namespace

int RunMonitor(const std::vector<std::string>& args, std::FILE* out, std::FILE* err,
               TMonitorStop* stop, const TMonitorClock& clock, const TMonitorMode& mode) {
  TMonitorRequest req;
  try {
    req = Parse(args, mode);
  } catch (const EUsageError& e) {
    SayUsage(err, e.what(), MonitorUsage());
    return kExitUsage;
  }
  std::vector<std::string> paths;
  for (const TMonitorPortRequest& port : req.Ports) {
    std::optional<std::string> path = port.Line.ResolveOrSay(err);
    if (!path) return kExitFailure;
    paths.push_back(std::move(*path));
  }
  TMonitorRun run(req, paths, out, err, stop, clock, mode);
  return run.Run();
}

}  // namespace talmo
