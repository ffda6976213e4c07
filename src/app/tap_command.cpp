#include "app/tap_command.h"
#include "capture/pcapng.h"

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string_view>

#include "app/cli_args.h"
#include "app/cli_output.h"
#include "app/monitor_command.h"
#include "app/poll_sync.h"
#include "app/port_args.h"
#include "base/byte_queue.h"
#include "base/error_text.h"
#include "device/device_driver.h"
#include "device/pty_tap.h"
#include "engine/clock.h"
#include "serial/ser_comm.h"
#include "serial/ser_sync.h"
#include "session/receive_session.h"
#include "session/reconnect_policy.h"

namespace talmo {

std::string TapUsage() {
  return std::string(
             "usage: talmocli tap (--port COMn | --device PATH) [--baud N]\n"
             "                    [--databits 7|8] [--parity none|odd|even]\n"
             "                    [--stopbits 1|1.5|2] [--flow none|rtscts|xonxoff]\n"
             "                    [--dtr on|off] [--rts on|off] [--break-at-open]\n"
             "                    [--lines] [framing options]\n"
             "                    [--link PATH] [--capture FILE] [--seconds N] [--reconnect]\n"
             "                    [--quiet]\n"
             "Stands between a program and the port: the program opens the link\n"
             "instead of the device, every byte is forwarded both ways, and both\n"
             "directions are shown framed on one timeline, each line marked 'RX '\n"
             "(from the device) or 'TX ' (from the program). When the program changes\n"
             "its line (speed, stop bits, RTS/CTS or XON/XOFF flow control), the port\n"
             "follows, once what the program sent before has gone out, and a line\n"
             "'-- the program set ...' tells it. A pseudo-terminal always reports 8\n"
             "data bits and no parity: those stay as --databits and --parity say.\n"
             "A pseudo-terminal has no modem lines either: the program's DTR and RTS\n"
             "calls fail on the link and cannot reach the device, so --dtr and --rts\n"
             "set them on the device, and --lines shows the device's CTS, DSR, DCD\n"
             "and RI.\n") +
         kPortOptionsHelp +
         "  --link PATH     the link the program opens (default:\n"
         "                  $XDG_RUNTIME_DIR/talmo-tap, or /tmp/talmo-tap-UID);\n"
         "                  a file that is not a tap's link is never replaced\n"
         "  --capture FILE  a timed capture (FILE.pcapng) of both directions; any\n"
         "                  other name: the raw bytes from the device\n"
         "  --seconds N     end after N seconds (default: at Ctrl+C)\n"
         "  --reconnect     when the device or connection goes away, wait for it\n"
         "                  to come back (trying at most once a second) and go\n"
         "                  on; the program keeps the link open meanwhile\n"
         "  --quiet         show nothing: only forward (the line settings still\n"
         "                  follow) and capture\n"
         "Framing options, as for decode:\n" +
         kFramingOptionsHelp;
}

namespace {

using Clock = std::chrono::steady_clock;

// Bytes from the device that the program has not read yet: beyond this the
// tap stops taking from the device, which keeps the rest.
constexpr std::size_t kHoldForProgram = 64 * 1024;
// The port's write queue.
constexpr int kWriteQueue = 16 * 1024;
// Lines reach the output this long after they were made, at the next
// wake-up for a block: one write for the lines of many blocks, not one for
// each block forwarded. When nothing more comes, a wake-up of their own
// shows them at most kShowLate after that.
constexpr auto kShowWithin = std::chrono::milliseconds(20);
constexpr auto kShowLate = std::chrono::milliseconds(80);

struct TTapRequest {
  TPortRequest Line;
  std::optional<std::string> Capture, Link;
  std::optional<long long> Seconds;
  bool Reconnect = false;
  bool Quiet = false;
  TFramingRequest Framing;
};

TTapRequest Parse(const std::vector<std::string>& args) {
  TTapRequest r;
  TArgScanner s(args);
  while (s.Next()) {
    if (!s.IsOption()) s.Unknown();
    const std::string n = s.Word();
    if (r.Framing.Take(s)) continue;
    if (r.Line.Take(s)) continue;
    if (n == "--capture")
      r.Capture = s.Value();
    else if (n == "--link")
      r.Link = s.Value();
    else if (n == "--seconds")
      r.Seconds = s.Number(0, 100000000);
    else if (n == "--reconnect") {
      s.NoValue();
      r.Reconnect = true;
    } else if (n == "--quiet") {
      s.NoValue();
      r.Quiet = true;
    } else
      s.Unknown();
  }
  r.Framing.Check();
  r.Line.CheckOne();
  if (r.Link && r.Link->empty()) throw EUsageError("--link needs a path");
  return r;
}

class TTapRun {
 public:
  TTapRun(const TTapRequest& req, std::string path, std::string link, std::FILE* out,
          std::FILE* err, TMonitorStop* stop, const TMonitorClock& clock);
  int Run();

 private:
  bool Start();
  bool Turn();
  void Sleep();
  int Finish();
  void Deliver();

  void DeviceBytes(int count);
  void ToProgram(const std::uint8_t* data, std::size_t n);
  void FlushToProgram();
  void ReadProgram();
  void ProgramBytes(const std::uint8_t* data, std::size_t n);
  void CheckSettings();
  bool Drained();
  void ApplySettings();
  void PushToDevice();
  void TryReturn();
  void DeviceLost();
  void DueBefore(Clock::time_point t);
  bool HoldingDevice() const { return FToProgram.Size() >= kHoldForProgram; }
  // What the program has not had yet: held here and in the pty.
  std::size_t ForProgram() const { return FToProgram.Size() + FPty.Unread(); }
  // What the device has not had yet: held here, in the port's queue and in
  // the driver's.
  std::size_t ForDevice();
  bool ReadingProgram() const {
    return !FWaiting && FComm.Active() && FToDevice.Empty() && !FApplyDue && !FFailed;
  }
  TSessionSink Sink(std::string_view mark, bool device);
  void Shown() {
    if (!FShowBy) FShowBy = FWoke + kShowWithin;
  }

  const TTapRequest& FReq;
  const std::string FPath, FLink;
  std::FILE* FErr;
  const TMonitorClock& FClock;
  TPortLoop FLoop;
  TLineOutput FOut;
  std::optional<Clock::time_point> FShowBy;  // lines wait in the output
  TPollSync FSync;
  TSerComm FComm;
  // The program's side: a port never opened, whose session frames what the
  // program sends, as decode does.
  TSerQueueSync FTxSync;
  TSerComm FTxPort{std::make_shared<TSerDeviceDriver>(), FTxSync};
  TFormatOptions FOptions;
  // While set, the sessions' clock stands still: both start on one moment.
  std::optional<Clock::time_point> FFrozen;
  // When the last poll returned: the time of everything that wake brought
  // (one clock read per wake-up, not one per step).
  Clock::time_point FWoke;
  std::unique_ptr<TReceiveSession> FDev, FTx;
  TPtyTap FPty;
  TPtyLine FProgramLine;
  bool FApplyDue = false;
  bool FLinkMade = false;
  TByteQueue FToProgram, FToDevice;
  std::vector<std::uint8_t> FRxBuffer;
  std::optional<TPortReturn> FReturn;
  bool FDeviceGone = false;
  bool FWaiting = false;
  bool FCaptureFailed = false;
  bool FFailed = false;  // the pseudo-terminal failed: the run ends
  int FStatus = kExitOk;
};

TSessionSink TTapRun::Sink(std::string_view mark, bool device) {
  TSessionSink sink;
  // Quiet: no lines, and so no text made for them.
  if (!FReq.Quiet) {
    sink.Line = [this, mark](std::string_view line) {
      Shown();
      FOut.Line(mark, line);
    };
    sink.ErrorLine = [this, mark](const std::string& line) {
      Shown();
      FOut.Line(mark, line);
    };
    // The device's lines, not a direction's: unmarked, as the settings'.
    sink.ModemLine = [this](const std::string& line) {
      Shown();
      FOut.Line("", line);
    };
  }
  if (device) {
    sink.Notice = [this](const std::string& text) { Say(FErr, text); };
    sink.Lost = [this] { FDeviceGone = true; };
    sink.CaptureStopped = [this](const std::string& message) {
      FCaptureFailed = true;
      Say(FErr, message);
    };
  }
  return sink;
}

TTapRun::TTapRun(const TTapRequest& req, std::string path, std::string link, std::FILE* out,
                 std::FILE* err, TMonitorStop* stop, const TMonitorClock& clock)
    : FReq(req),
      FPath(std::move(path)),
      FLink(std::move(link)),
      FErr(err),
      FClock(clock),
      FLoop(clock, stop),
      FOut(out, true),
      FComm(std::make_shared<TSerDeviceDriver>([p = FPath](const std::string&) { return p; }),
            FSync),
      FOptions(req.Framing.Options()) {
  FComm.SetDeviceName(FPath);
  FComm.SetTiming(PortTimingOf(clock, stop));
  // Every block is forwarded from this thread: no hand-offs to wait for.
  FComm.SetPolled(true);
  req.Line.Apply(FComm);
  TSerBuffers buffers;
  buffers.Assign(FComm.Buffers());
  buffers.SetWriteSize(kWriteQueue);
  FComm.SetBuffers(buffers);
  // One moment for both sessions' clocks and frame clocks, so that the
  // capture's decode stamps the program's lines as they were shown here.
  FFrozen = FClock.Now();
  FWoke = *FFrozen;
  const std::int64_t wall = UtcNanoseconds();
  const auto now = [this] { return FFrozen ? *FFrozen : FClock.Now(); };
  const auto wallNow = [wall] { return wall; };
  TSessionOptions lines;
  lines.Lines = req.Framing.Lines();
  // Both directions pair on one timeline; the program's side has the
  // line's settings, of which its silence is counted.
  if (lines.Lines.Modbus != TModbusMode::None)
    lines.ModbusPairing =
        std::make_shared<TModbusPairing>(lines.Lines.Modbus, lines.Lines.AnswerTimeoutNs);
  req.Line.Apply(FTxPort);
  TSessionOptions devOptions = lines;
  req.Line.ApplySession(devOptions);
  FDev = std::make_unique<TReceiveSession>(FComm, req.Line.SessionDevice(FPath), FOptions,
                                           Sink("RX ", true), now, devOptions, wallNow);
  FTx = std::make_unique<TReceiveSession>(FTxPort, TSessionDevice{"", FLink}, FOptions,
                                          Sink("TX ", false), now, lines, wallNow);
  FDev->Attach();
  // The device's bytes are read here, so that they also reach the program.
  FComm.OnRxChar = [this](TSerCustomComm*, int count) { DeviceBytes(count); };
  for (TReceiveSession* s : {FDev.get(), FTx.get()}) {
    s->Formatter().SetSigns(req.Framing.FirstSign(), req.Framing.LastSign());
    s->StartFrameClock();
  }
  FFrozen.reset();
  FReturn.emplace(*FDev, [this](const TOpenFailure& f) { SayOpenFailure(FErr, f); });
}

// Everything that can be refused is refused before the port opens; the
// link is made last, once the program has something to talk to.
bool TTapRun::Start() {
  FProgramLine.Rate = static_cast<std::uint32_t>(FReq.Line.Baud);
  FProgramLine.TwoStopBits = FReq.Line.Stopbits == sb2;
  if (const int code = FPty.Open(FProgramLine)) {
    Say(FErr, "cannot make a pseudo-terminal: " + SysErrorText(code));
    return false;
  }
  if (const std::string refusal = LinkRefusal(LinkStateOf(FLink, FPty.SlavePath()), FLink);
      !refusal.empty()) {
    Say(FErr, refusal);
    return false;
  }
  int fifo = -1;
  if (!BeginRun(FOut, FLoop, FReq.Seconds, FReq.Capture, fifo, nullptr, {}, FErr)) return false;
  const TFdCloser fifoHeld(fifo);
  if (!OpenOrSay(*FDev, FErr)) return false;
  // The capture starts last: a start that fails leaves its file as it was.
  if (const int code = MakeLink(FLink, FPty.SlavePath())) {
    Say(FErr, "cannot make the link '" + FLink + "': " + SysErrorText(code));
    FComm.Close();
    return false;
  }
  FLinkMade = true;
  if (FReq.Capture) {
    try {
      FDev->StartCaptureExact(*FReq.Capture);
    } catch (const ECaptureError& e) {
      Say(FErr, e.what());
      FComm.Close();
      RemoveLinkTo(FLink, FPty.SlavePath());
      FLinkMade = false;
      return false;
    }
  }
  FPty.ReadLine(FProgramLine);
  Say(FErr, "tapping " + FDev->Device().Title() + " at " + FReq.Line.Describe() +
                "; the program under test opens " + FLink + "; Ctrl+C ends");
  FWoke = FClock.Now();
  FLoop.EndAfter(FReq.Seconds);
  return true;
}

int TTapRun::Run() {
  if (!Start()) return kExitFailure;
  while (Turn()) Sleep();
  return Finish();
}

bool TTapRun::Turn() {
  if (FLoop.Ended()) return false;
  const auto now = FWoke;
  TryReturn();
  FlushToProgram();
  PushToDevice();
  if ((FShowBy && now >= *FShowBy) || FOut.Held()) {
    FOut.Flush();
    FShowBy.reset();
    SayUnshown(FOut, FErr);
  }
  if (const std::string failure = FSync.TakeFailure(); !failure.empty()) Say(FErr, failure);
  if (FFailed || FOut.Failed() || (FDeviceGone && !FReq.Reconnect)) return false;
  if (FDeviceGone) DeviceLost();
  return true;
}

// Lines whose time-out fell due before `t` end first, in the order due, as
// a decode of the capture ends them.
void TTapRun::DueBefore(Clock::time_point t) {
  TReceiveSession* const sessions[] = {FDev.get(), FTx.get()};
  EndLinesDueBy(sessions, t);
}

void TTapRun::DeviceBytes(int count) {
  if (count <= 0 || !FComm.Active() || HoldingDevice()) return;
  std::vector<std::uint8_t>& buf = FRxBuffer;
  const std::size_t room = kHoldForProgram - FToProgram.Size();
  const std::size_t want = std::min<std::size_t>(static_cast<std::size_t>(count), room);
  if (buf.size() < want) buf.resize(want);
  const int n = FComm.ReadBuf(buf.data(), static_cast<int>(want));
  const Clock::time_point arrived = FWoke;
  if (n <= 0) return;
  // On its way first; the display waits, not the program.
  ToProgram(buf.data(), static_cast<std::size_t>(n));
  FDev->Receive(buf.data(), static_cast<std::size_t>(n), arrived);
}

void TTapRun::ToProgram(const std::uint8_t* data, std::size_t n) {
  if (FToProgram.Empty()) {
    const long w = FPty.Write(data, n);
    if (w < 0) {
      Say(FErr,
          "cannot write to the program's side (" + FPty.SlavePath() + "): " + SysErrorText(errno));
      FFailed = true;
      return;
    }
    data += w;
    n -= static_cast<std::size_t>(w);
  }
  if (n) FToProgram.Append(data, n);
}

void TTapRun::FlushToProgram() {
  while (!FToProgram.Empty() && !FFailed) {
    const long w = FPty.Write(FToProgram.Front(), FToProgram.Size());
    if (w < 0) {
      Say(FErr,
          "cannot write to the program's side (" + FPty.SlavePath() + "): " + SysErrorText(errno));
      FFailed = true;
      return;
    }
    if (w == 0) return;
    FToProgram.Drop(static_cast<std::size_t>(w));
  }
}

// Packets from the program, one at a time while nothing waits for the
// device: a settings change always takes effect between the bytes it came
// between.
void TTapRun::ReadProgram() {
  std::uint8_t buf[4096];
  while (ReadingProgram()) {
    const TPtyTap::TReadResult r = FPty.Read(buf, sizeof buf);
    switch (r.Kind) {
      case TPtyTap::TRead::Again: return;
      case TPtyTap::TRead::Failed:
        Say(FErr,
            "cannot read the program's side (" + FPty.SlavePath() + "): " + SysErrorText(r.Code));
        FFailed = true;
        return;
      // A flow-control report comes without the settings bit when EXTPROC
      // was off: look all the same.
      case TPtyTap::TRead::SettingsReport:
      case TPtyTap::TRead::OtherReport: CheckSettings(); break;
      case TPtyTap::TRead::Data: ProgramBytes(buf, r.Size); break;
    }
    PushToDevice();
    // A packet shorter than the room took all there was: poll says when
    // more comes, without a read that finds nothing.
    if (r.Kind == TPtyTap::TRead::Data && r.Size < sizeof buf) return;
  }
}

void TTapRun::ProgramBytes(const std::uint8_t* data, std::size_t n) {
  // No look at the line here: every change is reported before the bytes
  // written after it, even the one that clears EXTPROC (the pty reports
  // when the old or the new modes have it), and the report's look sets it
  // again.
  const Clock::time_point arrived = FWoke;
  // On its way first; the display waits, not the device.
  FToDevice.Append(data, n);
  PushToDevice();
  FTx->Receive(data, n, arrived);
  FDev->Sent(data, n, arrived);
}

std::size_t TTapRun::ForDevice() {
  std::size_t n = FToDevice.Size() + FComm.WriteQueueCount();
  if (!FComm.Active()) return n;
  std::uint32_t errors = 0;
  TSerComStat stat;
  try {
    FComm.ReadStatus(errors, stat);
  } catch (const std::exception&) {
    return n;
  }
  if (errors) FDev->Error(errors);
  return n + stat.cbOutQue;
}

void TTapRun::CheckSettings() {
  TPtyLine line;
  if (!FPty.ReadLine(line) || line == FProgramLine) return;
  const std::string change = DescribeLineChange(FProgramLine, line);
  FProgramLine = line;
  FApplyDue = true;
  DueBefore(FClock.Now());
  const std::string comment = std::string(pcapng::kProgramSetComment) + change;
  if (!FReq.Quiet) {
    Shown();
    FOut.Line("-- " + comment);
  }
  FDev->RecordStatus(comment);
}

// What was queued before the change has left the port, as TCSADRAIN
// would wait for it.
bool TTapRun::Drained() {
  if (FComm.WriteQueueCount() != 0) return false;
  std::uint32_t errors = 0;
  TSerComStat stat;
  try {
    FComm.ReadStatus(errors, stat);
  } catch (const std::exception&) {
    return true;  // the loss is told by the port's own report
  }
  // The counters' growth is read only once: what it says goes on.
  if (errors) FDev->Error(errors);
  return stat.cbOutQue == 0;
}

void TTapRun::ApplySettings() {
  FApplyDue = false;
  try {
    TPortRequest line = FReq.Line;
    line.Baud = FProgramLine.Rate ? FProgramLine.Rate : line.Baud;
    line.Stopbits = FProgramLine.TwoStopBits ? sb2 : sb1;
    line.Apply(FComm);
    TSerFlowControl flow;
    flow.Assign(FComm.FlowControl());
    flow.SetOutCtsFlow(FProgramLine.RtsCts);
    // A program's RTS calls cannot reach us through the link (a pty has no
    // modem lines): RTS stays as --rts set it, unless the handshake owns it.
    flow.SetControlRts(FProgramLine.RtsCts ? rtsHandshake
                       : FReq.Line.Rts     ? (*FReq.Line.Rts ? rtsEnabled : rtsDisabled)
                                           : rtsDisabled);
    flow.SetXonXoffOut(FProgramLine.XonXoffOut);
    flow.SetXonXoffIn(FProgramLine.XonXoffIn);
    FComm.SetFlowControl(flow);
  } catch (const std::exception& e) {
    Say(FErr, FDev->Device().Title() + ": the program's settings could not be set: " + e.what());
  }
}

void TTapRun::PushToDevice() {
  if (FWaiting || !FComm.Active()) return;
  if (FApplyDue) {
    if (!Drained()) return;
    ApplySettings();
  }
  while (!FToDevice.Empty()) {
    const long room =
        static_cast<long>(FComm.Buffers().WriteSize()) - static_cast<long>(FComm.WriteQueueCount());
    if (room <= 0) return;
    const int n =
        static_cast<int>(std::min<std::size_t>(FToDevice.Size(), static_cast<std::size_t>(room)));
    try {
      FComm.WriteBuf(FToDevice.Front(), n);
    } catch (const ESerQueueFullError&) {
      return;  // nothing went: again once the queue has drained
    } catch (const std::exception& e) {
      Say(FErr, e.what());
      return;
    }
    FToDevice.Drop(static_cast<std::size_t>(n));
  }
}

void TTapRun::TryReturn() {
  if (!FReturn->TryIfDue(FClock.Now)) return;
  FWaiting = false;
  Say(FErr, FDev->Device().Title() + ": The device is back; the tap goes on.");
}

// Only the port closes: the link, the capture and the bytes on their way
// stay, and go on when the device is back.
void TTapRun::DeviceLost() {
  FDeviceGone = false;
  try {
    FComm.Close();
  } catch (const std::exception& e) {
    Say(FErr, e.what());
  }
  FReturn->Lost(FClock.Now());
  FWaiting = true;
  SayDeviceGone(FErr, FDev->Device().Title(), "Waiting for it to come back.");
}

// Sleeps until something happens or the nearest deadline: no wake-up while
// nothing moves.
void TTapRun::Sleep() {
  FLoop.WakeBy(FDev->ShowDue());
  FLoop.WakeBy(FTx->ShowDue());
  FLoop.WakeBy(FReturn->Due());
  FLoop.WakeBy(FComm.PollDue());
  if (FShowBy) FLoop.WakeBy(*FShowBy + kShowLate);
  const bool holding = HoldingDevice();
  const bool polled = FComm.PollFd() >= 0;
  // The port's drain tells nobody (a UART's own buffer), and while the
  // device's bytes are held a threaded port's reports are not served: look
  // again soon.
  if (!FWaiting && FComm.Active() && (FApplyDue || (!polled && holding && !FToDevice.Empty())))
    FLoop.WakeBy(FLoop.Now() + std::chrono::milliseconds(1));
  // A polled port hands nothing over: what fails in its handlers is taken
  // by the next turn.
  const int syncAt = FLoop.Watch(!polled && !holding ? FSync.Fd() : -1, POLLIN);
  // Held bytes stay in the device until the program has read its share;
  // with nothing to write either, the port is not polled at all (a hung-up
  // device would wake every poll while its last bytes wait).
  const short portWants = polled ? FComm.PollEvents() & ~(holding ? POLLIN : 0) : 0;
  const int portAt = FLoop.Watch(FComm.PollFd(), portWants);
  short events = 0;
  if (ReadingProgram()) events |= POLLIN;
  if (!FToProgram.Empty()) events |= POLLOUT;
  const int ptyAt = FLoop.Watch(FPty.MasterFd(), events);
  FLoop.Watch(FOut.Held() ? FOut.Fd() : -1, POLLOUT);
  const int ready = FLoop.Sleep();
  FWoke = FLoop.Woke();
  // Lines whose time-out fell due end before anything this wake brings.
  DueBefore(FWoke);
  const short portEvents = FLoop.Events(portAt);
  if (polled && (portEvents != 0 || FComm.PollDue())) FComm.Serve(portEvents);
  if (ready <= 0) return;
  const short ptyEvents = FLoop.Events(ptyAt);
  if (ptyEvents & POLLOUT) FlushToProgram();
  if (FLoop.Events(syncAt)) {
    FSync.Clear();
    FSync.ProcessPending();
  }
  if (ptyEvents & (POLLIN | POLLERR | POLLHUP)) ReadProgram();
}

// What the tap holds goes on to where it was going as long as it moves:
// the device's bytes to the program (also those it has not read from the
// pty yet, which the close would drop), the program's to the device. No
// more is taken from either side meanwhile.
void TTapRun::Deliver() {
  const bool toDevice = FComm.Active() && !FDeviceGone && !FWaiting;
  TEndWait programWait(FLoop.Now()), deviceWait(FLoop.Now());
  std::size_t forProgram = 0, forDevice = 0;
  for (;;) {
    FlushToProgram();
    if (toDevice) PushToDevice();
    const auto now = FLoop.Now();
    forProgram = FFailed ? FToProgram.Size() : ForProgram();
    forDevice = toDevice ? ForDevice() : FToDevice.Size();
    const bool programMoves = !FFailed && forProgram && programWait.Moving(forProgram, now);
    const bool deviceMoves = toDevice && forDevice && deviceWait.Moving(forDevice, now);
    if ((!programMoves && !deviceMoves) || FLoop.Insisted()) break;
    if (programMoves) FLoop.WakeBy(programWait.Due());
    if (deviceMoves) FLoop.WakeBy(deviceWait.Due());
    // Neither the program's reading nor a UART's drain wakes a poll.
    FLoop.WakeBy(now + std::chrono::milliseconds(10));
    const bool polled = toDevice && FComm.PollFd() >= 0;
    if (polled) FLoop.WakeBy(FComm.PollDue());
    const int portAt =
        FLoop.Watch(polled ? FComm.PollFd() : -1, static_cast<short>(FComm.PollEvents() & POLLOUT));
    FLoop.Watch(FToProgram.Empty() || FFailed ? -1 : FPty.MasterFd(), POLLOUT);
    FLoop.Sleep();
    if (polled && (FLoop.Events(portAt) || FComm.PollDue())) FComm.Serve(FLoop.Events(portAt));
  }
  if (forProgram) {
    Say(FErr, std::to_string(forProgram) + " bytes from the device did not reach the program: " +
                  (FFailed ? "its side failed" : "it did not read them"));
    FStatus = kExitFailure;
  }
  if (forDevice) {
    Say(FErr, std::to_string(forDevice) + " bytes from the program did not go out to " +
                  FDev->Device().Title() + ": " +
                  (toDevice ? "it took nothing more" : "the device is gone"));
    FStatus = kExitFailure;
  }
}

int TTapRun::Finish() {
  // The lines open at the end come out in the order they began.
  EndOpenLines({FDev.get(), FTx.get()});
  FOut.Flush();
  if (FComm.Active() && !FDeviceGone && FApplyDue) ApplySettings();
  Deliver();
  if (!EndOutput(FOut, FLoop, FErr)) FStatus = kExitFailure;
  if (FOut.FailedToTell()) {
    SayOutputFailed(FErr, FOut.Error());
    FStatus = kExitFailure;
  }
  if (FDeviceGone) {
    SayDeviceGone(FErr, FDev->Device().Title());
    FStatus = kExitFailure;
  }
  if (FFailed) FStatus = kExitFailure;
  try {
    FComm.Close();
  } catch (const std::exception& e) {
    Say(FErr, e.what());
    FStatus = kExitFailure;
  }
  if (FCaptureFailed) FStatus = kExitFailure;
  FDev->StopCapture();
  if (FLinkMade) RemoveLinkTo(FLink, FPty.SlavePath());
  return FStatus;
}

}  // namespace

int RunTap(const std::vector<std::string>& args, std::FILE* out, std::FILE* err, TMonitorStop* stop,
           const TMonitorClock& clock) {
  TTapRequest req;
  try {
    req = Parse(args);
  } catch (const EUsageError& e) {
    SayUsage(err, e.what(), TapUsage());
    return kExitUsage;
  }
  const std::optional<std::string> path = req.Line.ResolveOrSay(err);
  if (!path) return kExitFailure;
  TTapRun run(req, *path, req.Link.value_or(DefaultLinkPath()), out, err, stop, clock);
  return run.Run();
}

}  // namespace talmo
