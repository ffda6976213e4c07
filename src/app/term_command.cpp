#include "app/term_command.h"

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <memory>
#include <optional>
#include <string_view>

#include "app/cli_args.h"
#include "app/cli_output.h"
#include "app/poll_sync.h"
#include "app/port_args.h"
#include "app/send_source.h"
#include "base/control_lines.h"
#include "capture/pcapng.h"
#include "device/device_driver.h"
#include "serial/ser_comm.h"
#include "session/console_keys.h"
#include "session/receive_session.h"

namespace talmo {

std::string TermUsage() {
  return std::string(
             "usage: talmocli term (--port COMn | --device PATH|rfc2217://HOST:PORT)\n"
             "                     [line options] [--enter cr|lf|crlf] [--echo]\n"
             "                     [--escape KEY] [--pulse MS] [look and stamp options]\n"
             "                     [--capture FILE] [--reconnect] [--wait S] [--seconds N]\n"
             "The console of a port: every key goes to the port as typed (Ctrl+C too),\n"
             "and what arrives is shown as text lines, as the device prints them.\n"
             "Ctrl+T then a letter asks for something instead (Ctrl+T ? lists them;\n"
             "Ctrl+T q quits). Standard input that is no terminal (a pipe, a file) is\n"
             "sent at the line's pace, and the run ends once it has gone out and the\n"
             "line has been quiet for --wait seconds:\n"
             "  printf 'AT\\r' | talmocli term --device /dev/ttyUSB0 --wait 1\n") +
         kPortOptionsHelp +
         "  --enter cr|lf|crlf  what the Enter key sends (default cr)\n"
         "  --echo          show typed bytes too (for a device that does not echo)\n"
         "  --escape KEY    the command key: ^T (the default), ctrl-a, a, or none\n"
         "  --pulse MS      how long DTR is turned over by Ctrl+T p (default 100)\n"
         "  --capture FILE  FILE.pcapng: a timed capture of both directions (typed\n"
         "                  bytes as sent) and of the port's events; any other\n"
         "                  name: the raw received bytes\n"
         "  --reconnect     when the device goes away, wait for it to come back\n"
         "  --wait S        with standard input no terminal: how long the line\n"
         "                  must be quiet after the input has gone out (default 1)\n"
         "  --seconds N     end after N seconds\n"
         "Look and stamp options (the default here: --text, a line per LF):\n" +
         kFramingOptionsHelp;
}

namespace {

using Clock = std::chrono::steady_clock;

// The break Ctrl+T b sends.
constexpr auto kBreakLength = std::chrono::milliseconds(250);

struct TTermRequest {
  TPortRequest Line;
  TFramingRequest Framing;
  std::optional<std::string> Capture;
  std::optional<long long> Seconds;
  long long PulseMs = 100;
  double WaitSeconds = 1;
  TEnterKey Enter = TEnterKey::Cr;
  std::uint8_t Escape = 0x14;  // Ctrl+T
  bool NoEscape = false, Echo = false, Reconnect = false;
};

TTermRequest Parse(const std::vector<std::string>& args) {
  TTermRequest r;
  r.Framing.CutByDefault = true;
  TArgScanner s(args);
  while (s.Next()) {
    if (!s.IsOption()) s.Unknown();
    const std::string n = s.Word();
    if (r.Line.Take(s) || r.Framing.Take(s)) continue;
    if (n == "--capture") {
      r.Capture = s.Value();
    } else if (n == "--seconds") {
      r.Seconds = s.Number(0, 100000000);
    } else if (n == "--pulse") {
      r.PulseMs = s.Number(1, 60000);
    } else if (n == "--wait") {
      const std::string v = s.Value();
      std::size_t used = 0;
      double w = -1;
      try {
        w = std::stod(v, &used);
      } catch (const std::exception&) {
      }
      if (used != v.size() || !(w >= 0) || w > 1e6 || v.empty() || v[0] < '0' || v[0] > '9')
        throw EUsageError("bad value for --wait: '" + v + "' (seconds such as 1 or 0.5 expected)");
      r.WaitSeconds = w;
    } else if (n == "--enter") {
      const std::string v = s.Value();
      if (v == "cr")
        r.Enter = TEnterKey::Cr;
      else if (v == "lf")
        r.Enter = TEnterKey::Lf;
      else if (v == "crlf")
        r.Enter = TEnterKey::CrLf;
      else
        throw EUsageError("bad value for --enter: '" + v + "' (cr, lf or crlf expected)");
    } else if (n == "--escape") {
      const std::string v = s.Value();
      if (!ParseCommandKey(v, r.Escape, r.NoEscape))
        throw EUsageError("bad value for --escape: '" + v +
                          "' (a control key such as ^T, ctrl-a or t, or none expected)");
    } else if (n == "--echo") {
      s.NoValue();
      r.Echo = true;
    } else if (n == "--reconnect") {
      s.NoValue();
      r.Reconnect = true;
    } else {
      s.Unknown();
    }
  }
  r.Framing.Check();
  r.Line.CheckOne();
  return r;
}

// The typed input's terminal in raw mode for the run: every key comes as
// it is typed, none is echoed or turned into a signal. Output processing
// stays, so a newline still returns the carriage. Restored on every way
// out, by the destructor.
class TRawInput {
 public:
  explicit TRawInput(int fd) : FFd(fd) {
    if (!::isatty(fd) || ::tcgetattr(fd, &FBefore) != 0) return;
    termios raw = FBefore;
    raw.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF);
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    raw.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
    raw.c_cflag |= CS8;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    // Keys typed ahead are kept: they are the user's first ones.
    FRaw = ::tcsetattr(fd, TCSADRAIN, &raw) == 0;
  }
  ~TRawInput() {
    if (FRaw) ::tcsetattr(FFd, TCSADRAIN, &FBefore);
  }
  TRawInput(const TRawInput&) = delete;
  TRawInput& operator=(const TRawInput&) = delete;

 private:
  int FFd;
  termios FBefore{};
  bool FRaw = false;
};

// "talmo-20261209-223000.pcapng", or FILE-2.pcapng after FILE.pcapng: a
// capture turned on again never writes over the one before.
std::string NextCaptureName(const std::optional<std::string>& given, int count) {
  std::string stem = "talmo", ending = ".pcapng";
  if (given) {
    const std::size_t slash = given->rfind('/');
    const std::size_t dot = given->rfind('.');
    const bool hasEnding = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    stem = hasEnding ? given->substr(0, dot) : *given;
    ending = hasEnding ? given->substr(dot) : "";
    if (count == 0) return *given;
  } else {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char s[32];
    std::strftime(s, sizeof s, "talmo-%Y%m%d-%H%M%S", &tm);
    stem = s;
  }
  for (int n = given ? count + 1 : 1;; ++n) {
    const std::string name = stem + (n > 1 ? "-" + std::to_string(n) : "") + ending;
    struct stat st {};
    if (::stat(name.c_str(), &st) != 0) return name;
  }
}

const char* LookName(TLineLook look) {
  switch (look) {
    case TLineLook::Text: return "text";
    case TLineLook::Names: return "names";
    case TLineLook::Hex: return "hex";
    case TLineLook::Raw: return "bytes";
    case TLineLook::Bytes: return "raw";
  }
  return "";
}

const char* StampName(TStampForm form) {
  static constexpr const char* kNames[] = {"none", "time", "utc", "iso", "gap", "since"};
  return kNames[static_cast<int>(form)];
}

std::string LinesText(std::uint8_t lines) {
  static constexpr struct {
    std::uint8_t Bit;
    const char* Name;
  } kLines[] = {{kLineDtr, "DTR"}, {kLineRts, "RTS"}, {kLineCts, "CTS"},
                {kLineDsr, "DSR"}, {kLineDcd, "DCD"}, {kLineRing, "RI"}};
  std::string text;
  for (const auto& l : kLines) {
    if (!text.empty()) text += ", ";
    text += l.Name;
    text += lines & l.Bit ? " on" : " off";
  }
  return text;
}

class TTermRun {
 public:
  TTermRun(const TTermRequest& req, const std::string& path, int in, std::FILE* out, std::FILE* err,
           TMonitorStop* stop, const TMonitorClock& clock);
  int Run();

 private:
  TSessionSink Sink();
  bool Start();
  bool Turn();
  void Sleep();
  int Finish();
  void Typed();
  void Act(const TConsoleKey& key);
  void Send(const std::string& bytes);
  // A line of the console's own ("-- ..."), on a line of its own.
  void Tell(const std::string& text);
  void Piece(std::string_view piece);
  void ToggleCapture();
  void Modem(TConsoleAction action, Clock::time_point now);
  void EndPulses(Clock::time_point now);
  std::optional<Clock::time_point> PulseDue() const;
  bool Interactive() const { return FInteractive; }
  std::optional<Clock::time_point> QuietDue() const;

  const TTermRequest& FReq;
  const std::string FPath;
  const int FIn;
  std::FILE* FErr;
  const TMonitorClock& FClock;
  TPortLoop FLoop;
  TLineOutput FOut;
  TReaderWatch FReader;
  TPollSync FSync;
  TFormatOptions FOptions;
  TSerComm FComm;
  TReceiveSession FSession;
  TPortReturn FReturn;
  TConsoleKeys FKeys;
  const bool FInteractive;
  std::optional<TSendSource> FSource;
  std::optional<Clock::time_point> FInputDoneAt;
  std::optional<Clock::time_point> FBreakEnd, FPulseEnd;
  bool FPulseDtr = true;  // DTR after the pulse
  bool FMidLine = false;
  bool FHexShown = false;
  std::string FHexText;  // the hex line as shown
  bool FEcho;
  bool FLost = false;
  bool FQuit = false;
  bool FCapturing = false;
  int FCaptures = 0;
  std::string FCaptureName;
  std::uint64_t FSent = 0;
  int FStatus = kExitOk;
};

TTermRun::TTermRun(const TTermRequest& req, const std::string& path, int in, std::FILE* out,
                   std::FILE* err, TMonitorStop* stop, const TMonitorClock& clock)
    : FReq(req),
      FPath(path),
      FIn(in),
      FErr(err),
      FClock(clock),
      FLoop(clock, stop),
      FOut(out, true),
      FOptions(req.Framing.Options()),
      FComm(std::make_shared<TSerDeviceDriver>([p = path](const std::string&) { return p; }),
            FSync),
      FSession(
          FComm, req.Line.SessionDevice(path), FOptions, Sink(), clock.Now,
          [&req] {
            TSessionOptions o;
            o.Lines = req.Framing.Lines();
            req.Line.ApplySession(o);
            return o;
          }(),
          UtcNanoseconds),
      FReturn(FSession, [err](const TOpenFailure& f) { SayOpenFailure(err, f); }),
      FKeys(req.Escape, !req.NoEscape, req.Enter),
      FInteractive(::isatty(in) != 0),
      FEcho(req.Echo) {
  FComm.SetTiming(PortTimingOf(clock, stop));
  // A console shows each block at once: served from this thread, without
  // the hand-offs of the port's threads (two wake-ups a block). Only the
  // threads serve the modem lines' events.
  FComm.SetPolled(!req.Line.ModemLines);
  FComm.SetDeviceName(path);
  req.Line.Apply(FComm);
  FSession.Attach();
  FSession.Formatter().SetSigns(req.Framing.FirstSign(), req.Framing.LastSign());
  FSession.StartFrameClock();
  if (!FInteractive) {
    FSource.emplace("/dev/fd/" + std::to_string(in), std::nullopt,
                    static_cast<std::size_t>(std::max(1, FComm.Buffers().WriteSize())));
    FComm.OnTxEmpty = [this](TSerCustomComm*) {
      if (FSource) FSource->QueueEmptied();
    };
  }
}

TSessionSink TTermRun::Sink() {
  TSessionSink sink;
  // Lines cut by the rules are shown as they grow; the frames' lines
  // (a frame option given) whole.
  sink.Piece = [this](std::string_view piece) { Piece(piece); };
  sink.LineEnd = [this] {
    FOut.Text("\n");
    FMidLine = false;
  };
  sink.Line = [this](std::string_view line) {
    if (FMidLine) FOut.Text("\n");
    FMidLine = false;
    FOut.Line(line);
  };
  sink.ErrorLine = [this](const std::string& line) { Tell(line); };
  sink.Notice = [this](const std::string& text) { Say(FErr, text); };
  sink.Lost = [this] { FLost = true; };
  sink.CaptureStopped = [this](const std::string& message) {
    FCapturing = false;
    Say(FErr, message);
    FStatus = kExitFailure;
  };
  return sink;
}

void TTermRun::Piece(std::string_view piece) {
  FOut.Text(piece);
  FMidLine = true;
}

void TTermRun::Tell(const std::string& text) {
  if (FMidLine) FOut.Text("\n");
  FMidLine = false;
  FOut.Line(text);
}

bool TTermRun::Start() {
  int fifo = -1;
  if (!BeginRun(FOut, FLoop, FReq.Seconds, FReq.Capture, fifo, FSource ? &*FSource : nullptr,
                "standard input", FErr))
    return false;
  const TFdCloser fifoHeld(fifo);
  if (std::optional<TOpenFailure> failure = FSession.Open()) {
    SayOpenFailure(FErr, *failure);
    return false;
  }
  if (FReq.Capture) {
    try {
      FCaptureName = *FReq.Capture;
      FSession.StartCaptureExact(FCaptureName);
      FCapturing = true;
      ++FCaptures;
    } catch (const ECaptureError& e) {
      Say(FErr, e.what());
      FComm.Close();
      return false;
    }
  }
  const std::string quit =
      FReq.NoEscape ? "Ctrl+C ends"
                    : KeyName(FReq.Escape) + " q quits, " + KeyName(FReq.Escape) + " ? helps";
  Say(FErr, "connected to " + FReq.Line.Port.value_or(FPath) + " (" + FPath + ") at " +
                FReq.Line.Describe() + (FInteractive ? "; " + quit : ""));
  FLoop.EndAfter(FReq.Seconds);
  if (FSource) FSource->Begin(FClock.Now());
  return true;
}

int TTermRun::Run() {
  // From here every way out restores the terminal; raw before the port is
  // said to be open, so no key typed after that is taken as a line.
  const TRawInput raw(FInteractive ? FIn : -1);
  if (!Start()) return kExitFailure;
  while (Turn()) Sleep();
  return Finish();
}

std::optional<Clock::time_point> TTermRun::QuietDue() const {
  if (!FInputDoneAt) return std::nullopt;
  const Clock::time_point last = std::max(*FInputDoneAt, FSession.LastArrival());
  return last + std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(FReq.WaitSeconds));
}

bool TTermRun::Turn() {
  if (FLoop.Ended() || FQuit) return false;
  const Clock::time_point now = FClock.Now();
  FSession.CheckTimeout(now);
  EndPulses(now);
  if (FReturn.TryIfDue(FClock.Now)) {
    Tell("-- " + FSession.Device().Title() + " is back");
    FLost = false;
  }
  if (FSource && !FReturn.Waiting()) {
    int code = 0;
    try {
      code = FSource->Step(now, [this](const std::uint8_t* data, int count) {
        FComm.WriteBuf(data, count);
        FSession.Sent(data, static_cast<std::size_t>(count));
        FSent += static_cast<std::uint64_t>(count);
      });
    } catch (const std::exception& e) {
      Say(FErr, std::string("sending standard input failed: ") + e.what());
      FStatus = kExitFailure;
      return false;
    }
    if (code) {
      SayCannotRead(FErr, "standard input", code);
      FStatus = kExitFailure;
      return false;
    }
    if (FSource->Done() && !FInputDoneAt) FInputDoneAt = now;
    if (const auto due = QuietDue(); due && now >= *due) return false;
  }
  FOut.Flush();
  FReader.Look(FOut, FClock.Now());
  SayUnshown(FOut, FErr);
  if (const std::string failure = FSync.TakeFailure(); !failure.empty()) Say(FErr, failure);
  if (FOut.Failed()) return false;
  if (FLost) {
    if (!FReq.Reconnect) return false;  // the end tells it
    FLost = false;
    FComm.Close();
    if (FSource) FSource->QueueLost();
    FBreakEnd.reset();
    FPulseEnd.reset();
    FReturn.Lost(FClock.Now());
    Tell("-- " + FSession.Device().Title() + " has gone away; waiting for it to come back");
  }
  return true;
}

void TTermRun::Sleep() {
  FLoop.WakeBy(FSession.TimeoutDue());
  FLoop.WakeBy(FReturn.Due());
  FLoop.WakeBy(PulseDue());
  const bool sending = FSource && !FReturn.Waiting();
  if (sending) {
    FLoop.WakeBy(FSource->Due());
    FLoop.WakeBy(QuietDue());
  }
  const bool waitReader = FReader.Waiting(FOut);
  if (waitReader) FLoop.WakeBy(FReader.Due());
  const bool polled = FComm.Active() && FComm.PollFd() >= 0;
  if (polled) FLoop.WakeBy(FComm.PollDue());
  const int syncAt = FLoop.Watch(waitReader || polled ? -1 : FSync.Fd(), POLLIN);
  const int portAt =
      FLoop.Watch(polled ? FComm.PollFd() : -1,
                  static_cast<short>(FComm.PollEvents() & ~(waitReader ? POLLIN : 0)));
  const int keysAt = FLoop.Watch(FInteractive ? FIn : -1, POLLIN);
  const int sourceAt = FLoop.Watch(sending ? FSource->WaitFd() : -1, POLLIN);
  FLoop.Watch(FOut.Held() ? FOut.Fd() : -1, POLLOUT);
  const int ready = FLoop.Sleep();
  if (polled && (FLoop.Events(portAt) || FComm.PollDue())) FComm.Serve(FLoop.Events(portAt));
  if (ready <= 0) return;
  if (FLoop.Events(sourceAt)) FSource->Readable();
  if (FLoop.Events(keysAt)) Typed();
  if (FLoop.Events(syncAt)) {
    FSync.Clear();
    FSync.ProcessPending();
  }
}

void TTermRun::Typed() {
  std::uint8_t typed[256];
  const ssize_t n = ::read(FIn, typed, sizeof typed);
  if (n <= 0) {
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    FQuit = true;  // the terminal has gone
    return;
  }
  std::vector<TConsoleKey> keys;
  FKeys.Feed(typed, static_cast<std::size_t>(n), keys);
  for (const TConsoleKey& key : keys) Act(key);
}

void TTermRun::Send(const std::string& bytes) {
  if (!FComm.Active()) {
    Tell("-- not sent: the port is not open");
    return;
  }
  try {
    FComm.WriteBuf(bytes.data(), static_cast<int>(bytes.size()));
  } catch (const std::exception& e) {
    Tell(std::string("-- not sent: ") + e.what());
    return;
  }
  FSession.Sent(bytes.data(), bytes.size());
  FSent += bytes.size();
  if (FEcho) {
    // Typed text as the text look shows it; Enter as a new line.
    std::string shown;
    for (const char c : bytes) {
      if (c == '\r' || c == '\n') {
        shown += '\n';
        FMidLine = false;
      } else {
        shown += TextLookOf(std::string_view(&c, 1));
        FMidLine = true;
      }
    }
    FOut.Text(shown);
  }
}

void TTermRun::Act(const TConsoleKey& key) {
  const Clock::time_point now = FClock.Now();
  TLineRules& rules = FSession.LineRules();
  if (FHexShown && key.Action != TConsoleAction::HexEdit) {
    // The hex line's prompt goes once the line is sent or given up.
    FOut.Text("\r\x1b[K");
    FMidLine = false;
    FHexShown = false;
    if (key.Action == TConsoleAction::Send && key.Key == 'x')
      Tell("-- sent " + HexPairs(key.Bytes));
  }
  switch (key.Action) {
    case TConsoleAction::Send: Send(key.Bytes); break;
    case TConsoleAction::Help: {
      std::string help = ConsoleKeysHelp(FReq.Escape);
      std::size_t from = 0;
      while (from < help.size()) {
        const std::size_t nl = help.find('\n', from);
        Tell("-- " + help.substr(from, nl - from));
        from = nl + 1;
      }
      break;
    }
    case TConsoleAction::Quit: FQuit = true; break;
    case TConsoleAction::NextLook:
      // Text, names, hex, and round again.
      rules.Look = rules.Look == TLineLook::Text    ? TLineLook::Names
                   : rules.Look == TLineLook::Names ? TLineLook::Hex
                                                    : TLineLook::Text;
      Tell(std::string("-- look: ") + LookName(rules.Look));
      break;
    case TConsoleAction::NextStamp:
      rules.Stamp = static_cast<TStampForm>((static_cast<int>(rules.Stamp) + 1) % 6);
      Tell(std::string("-- stamp: ") + StampName(rules.Stamp));
      break;
    case TConsoleAction::Echo:
      FEcho = !FEcho;
      Tell(std::string("-- local echo ") + (FEcho ? "on" : "off"));
      break;
    case TConsoleAction::Capture: ToggleCapture(); break;
    case TConsoleAction::ShowState:
      Tell("-- " + FSession.Device().Title() + " at " + ShortLineSettings(FComm) +
           (FComm.Active() ? "" : " (not open)") + "; received " +
           std::to_string(FSession.BytesReceived()) + " bytes, sent " + std::to_string(FSent) +
           "; look " + LookName(rules.Look) + ", stamp " + StampName(rules.Stamp) + ", echo " +
           (FEcho ? "on" : "off") + ", capture " +
           (FCapturing ? "'" + FCaptureName + "'" : std::string("off")));
      break;
    case TConsoleAction::HexEdit:
      // The hex line is edited in place on the terminal's last line.
      // Only what changed is drawn: a long line costs no more per key.
      if (FHexShown && key.Text.size() == FHexText.size() + 1 &&
          key.Text.compare(0, FHexText.size(), FHexText) == 0) {
        FOut.Text(key.Text.substr(FHexText.size()));
      } else if (FHexShown && key.Text.size() + 1 == FHexText.size() &&
                 FHexText.compare(0, key.Text.size(), key.Text) == 0) {
        FOut.Text("\b \b");
      } else {
        if (FMidLine && !FHexShown) FOut.Text("\n");
        FOut.Text("\r\x1b[Khex> " + key.Text);
      }
      FMidLine = true;
      FHexShown = true;
      FHexText = key.Text;
      break;
    case TConsoleAction::HexCancel: break;
    case TConsoleAction::HexError: Tell("-- not sent: " + key.Text); break;
    case TConsoleAction::Unknown:
      Tell("-- " + KeyName(FReq.Escape) + " " + KeyName(static_cast<std::uint8_t>(key.Key)) +
           " does nothing; " + KeyName(FReq.Escape) + " ? lists the command keys");
      break;
    case TConsoleAction::Break:
    case TConsoleAction::ToggleDtr:
    case TConsoleAction::ToggleRts:
    case TConsoleAction::PulseDtr:
    case TConsoleAction::ShowLines: Modem(key.Action, now); break;
  }
}

void TTermRun::ToggleCapture() {
  if (FCapturing) {
    FSession.StopCapture();
    FCapturing = false;
    Tell("-- capture '" + FCaptureName + "' ended");
    return;
  }
  FCaptureName = NextCaptureName(FReq.Capture, FCaptures);
  try {
    FSession.StartCaptureExact(FCaptureName);
  } catch (const ECaptureError& e) {
    Tell(std::string("-- ") + e.what());
    return;
  }
  ++FCaptures;
  FCapturing = true;
  Tell("-- capturing to '" + FCaptureName + "'");
}

void TTermRun::Modem(TConsoleAction action, Clock::time_point now) {
  if (!FComm.Active()) {
    Tell("-- the port is not open");
    return;
  }
  const std::uint8_t lines = FComm.ModemLines();
  const bool dtr = (lines & kLineDtr) != 0, rts = (lines & kLineRts) != 0;
  try {
    switch (action) {
      case TConsoleAction::ShowLines:
        Tell("-- " + LinesText(lines) +
             (FComm.HasModemLines() ? "" : " (the device has no modem lines to read)"));
        break;
      case TConsoleAction::ToggleDtr:
        FComm.SetDTR(!dtr);
        FSession.RecordStatus(std::string("DTR ") + (dtr ? "off" : "on"));
        Tell(std::string("-- DTR ") + (dtr ? "off" : "on"));
        break;
      case TConsoleAction::ToggleRts:
        FComm.SetRTS(!rts);
        FSession.RecordStatus(std::string("RTS ") + (rts ? "off" : "on"));
        Tell(std::string("-- RTS ") + (rts ? "off" : "on"));
        break;
      case TConsoleAction::Break:
        if (FBreakEnd) return;  // one at a time
        FComm.SetBreak(true);
        FSession.RecordStatus("break sent: " + std::to_string(kBreakLength.count()) + " ms");
        FBreakEnd = now + kBreakLength;
        Tell("-- break");
        break;
      case TConsoleAction::PulseDtr:
        if (FPulseEnd) return;
        // Turned over for the pulse, then back where it was.
        FPulseDtr = dtr;
        FComm.SetDTR(!dtr);
        FSession.RecordStatus("DTR pulse: " + std::string(dtr ? "off" : "on") + " for " +
                              std::to_string(FReq.PulseMs) + " ms");
        FPulseEnd = now + std::chrono::milliseconds(FReq.PulseMs);
        Tell("-- DTR pulse: " + std::string(dtr ? "off" : "on") + " for " +
             std::to_string(FReq.PulseMs) + " ms");
        break;
      default: break;
    }
  } catch (const std::exception& e) {
    Tell(std::string("-- ") + e.what());
  }
}

std::optional<Clock::time_point> TTermRun::PulseDue() const {
  if (FBreakEnd && FPulseEnd) return std::min(*FBreakEnd, *FPulseEnd);
  return FBreakEnd ? FBreakEnd : FPulseEnd;
}

void TTermRun::EndPulses(Clock::time_point now) {
  try {
    if (FBreakEnd && now >= *FBreakEnd) {
      FBreakEnd.reset();
      if (FComm.Active()) FComm.SetBreak(false);
    }
    if (FPulseEnd && now >= *FPulseEnd) {
      FPulseEnd.reset();
      if (FComm.Active()) FComm.SetDTR(FPulseDtr);
    }
  } catch (const std::exception& e) {
    Tell(std::string("-- ") + e.what());
  }
}

int TTermRun::Finish() {
  FSession.Timeout();
  if (FMidLine) FOut.Text("\n");
  FMidLine = false;
  if (!EndPortRun(FOut, FLoop, FErr, FComm, FSession, FLost)) FStatus = kExitFailure;
  return FStatus;
}

}  // namespace

int RunTerm(const std::vector<std::string>& args, int in, std::FILE* out, std::FILE* err,
            TMonitorStop* stop, const TMonitorClock& clock) {
  TTermRequest req;
  try {
    req = Parse(args);
  } catch (const EUsageError& e) {
    SayUsage(err, e.what(), TermUsage());
    return kExitUsage;
  }
  const std::optional<std::string> path = req.Line.ResolveOrSay(err);
  if (!path) return kExitFailure;
  TTermRun run(req, *path, in, out, err, stop, clock);
  return run.Run();
}

}  // namespace talmo
