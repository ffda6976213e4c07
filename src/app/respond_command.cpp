#include "app/respond_command.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <memory>
#include <optional>
#include <string_view>

#include "app/cli_args.h"
#include "app/cli_output.h"
#include "app/poll_sync.h"
#include "app/port_args.h"
#include "base/error_text.h"
#include "device/device_driver.h"
#include "engine/convert.h"
#include "engine/line_cutter.h"
#include "serial/ser_comm.h"
#include "session/receive_session.h"
#include "session/respond_rules.h"

namespace talmo {

std::string RespondUsage() {
  return std::string(
             "usage: talmocli respond (--port COMn | --device PATH|rfc2217://HOST:PORT) RULES\n"
             "                        [line options] [--first HH] [--last HH] [--gap MS|Nc]\n"
             "                        [--max N] [--hex|--text] [--stamp[=FORM]]\n"
             "                        [--capture FILE] [--seconds N]\n"
             "Answers like a device: every frame received is matched against the rules\n"
             "in the file RULES, and the first rule that matches sends its answer.\n"
             "Frames end at --last HH, begin at --first HH, end after a silence of\n"
             "--gap (default 3.5c: 3.5 character times) or at --max bytes. Each line of\n"
             "RULES is\n"
             "  PATTERN -> ANSWER [delay MS] [times N]\n"
             "in the script language's byte forms ($hh, text with _ for a space, 'text);\n"
             "a pattern also takes ? (a byte), * (a run), <name> and <name*> (kept),\n"
             "an answer <name> (a kept one) and [xor] [sum] [crc16] [lrc] (a check of\n"
             "the answer's bytes before it; [xor from 1]: from the second on). Lines\n"
             "starting with # are comments. For example:\n"
             "  AT $0D -> OK $0D$0A\n"
             "  $02 <seq> * $03 ? -> $02 <seq> ACK $03 [xor from 1] [delay 5]\n"
             "  $01 $03 * -> $01$03$02$00$2A [crc16] [times 3]\n"
             "Received frames are shown as RX lines, answers as TX lines.\n") +
         kPortOptionsHelp +
         "  --capture FILE  FILE.pcapng: both directions on one timeline; any other\n"
         "                  name: the received bytes, raw\n"
         "  --seconds N     end after N seconds (default: at Ctrl+C)\n";
}

namespace {

using Clock = std::chrono::steady_clock;

struct TRespondRequest {
  TPortRequest Line;
  TFramingRequest Framing;
  std::optional<std::string> Rules, Capture;
  std::optional<long long> Seconds;
};

TRespondRequest Parse(const std::vector<std::string>& args) {
  TRespondRequest r;
  TArgScanner s(args);
  while (s.Next()) {
    if (!s.IsOption()) {
      if (r.Rules) s.Unknown();
      r.Rules = s.Word();
      continue;
    }
    const std::string n = s.Word();
    if (r.Line.Take(s) || r.Framing.Take(s)) continue;
    if (n == "--capture")
      r.Capture = s.Value();
    else if (n == "--seconds")
      r.Seconds = s.Number(0, 100000000);
    else
      s.Unknown();
  }
  if (r.Framing.STXHL || r.Framing.PROD2 || r.Framing.Manch || r.Framing.Bcc.value_or(false) ||
      r.Framing.Time.value_or(false))
    throw EUsageError(
        "respond cuts frames by --first, --last, --gap and --max; --stxhl, --prod2, --manch, "
        "--bcc and --time are not taken");
  if (r.Framing.Text && r.Framing.Hex)
    throw EUsageError("--text and --hex are two looks: choose one");
  r.Line.CheckOne();
  if (!r.Rules) throw EUsageError("the RULES file is missing");
  return r;
}

// How the frames are cut: by the framing options, the bytes themselves.
TLineRules FrameRules(const TFramingRequest& framing) {
  TLineRules r;
  r.Cut = true;
  r.Look = TLineLook::Bytes;
  if (framing.First) r.Start = SignFromField(*framing.First);
  if (framing.Last) r.End = SignFromField(*framing.Last);
  if (framing.Max) r.Max = static_cast<std::size_t>(*framing.Max);
  if (framing.Gap) {
    if (framing.Gap->back() == 'c')
      r.GapChars = std::stod(framing.Gap->substr(0, framing.Gap->size() - 1));
    else
      r.GapNs = static_cast<std::int64_t>(std::stod(*framing.Gap) * 1e6);
  } else if (!framing.Last && !framing.Max) {
    r.GapChars = 3.5;  // a frame is what is sent in one go
  }
  return r;
}

// The bytes in the look asked for.
std::string Shown(std::string_view bytes, TLineLook look) {
  TLineRules rules;
  rules.Look = look;
  rules.Max = bytes.size() + 1;
  std::string text;
  TLineCutter cutter(rules, {[&text](std::string_view piece) { text += piece; }, {}}, 0);
  cutter.Feed(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), 0);
  cutter.EndLine();
  return text;
}

class TRespondRun {
 public:
  TRespondRun(const TRespondRequest& req, TRespondRules rules, const std::string& path,
              std::FILE* out, std::FILE* err, TMonitorStop* stop, const TMonitorClock& clock);
  int Run();

 private:
  struct TPending {
    Clock::time_point Due;
    std::string Bytes;
  };
  bool Start();
  void Frame(std::string_view frame);
  void SendDue(Clock::time_point now);
  void Show(const char* lead, std::string_view bytes, Clock::time_point at,
            const std::string& note = {});
  void Sleep();
  int Finish();

  const TRespondRequest& FReq;
  TRespondRules FRules;
  const std::string FPath;
  std::FILE* FErr;
  const TMonitorClock& FClock;
  TPortLoop FLoop;
  TLineOutput FOut;
  TPollSync FSync;
  TFormatOptions FOptions;
  const TLineLook FLook;
  const TStampForm FStamp;
  TSerComm FComm;
  TReceiveSession FSession;
  std::deque<TPending> FPending;
  std::string FLine;
  std::optional<std::int64_t> FPreviousStamp;
  std::int64_t FStartNs = 0;
  bool FLost = false;
  int FStatus = kExitOk;
};

TRespondRun::TRespondRun(const TRespondRequest& req, TRespondRules rules, const std::string& path,
                         std::FILE* out, std::FILE* err, TMonitorStop* stop,
                         const TMonitorClock& clock)
    : FReq(req),
      FRules(std::move(rules)),
      FPath(path),
      FErr(err),
      FClock(clock),
      FLoop(clock, stop),
      FOut(out, true),
      FLook(req.Framing.Hex         ? TLineLook::Hex
            : req.Framing.Text      ? TLineLook::Text
            : req.Framing.NoConvert ? TLineLook::Raw
                                    : TLineLook::Names),
      FStamp(req.Framing.Stamp.value_or(TStampForm::None)),
      FComm(std::make_shared<TSerDeviceDriver>([p = path](const std::string&) { return p; }),
            FSync),
      FSession(
          FComm, req.Line.SessionDevice(path), FOptions,
          [this] {
            TSessionSink sink;
            sink.Line = [this](std::string_view frame) { Frame(frame); };
            sink.ErrorLine = [this](const std::string& line) { FOut.Line(line); };
            sink.Notice = [this](const std::string& text) { Say(FErr, text); };
            sink.Lost = [this] { FLost = true; };
            sink.CaptureStopped = [this](const std::string& message) {
              Say(FErr, message);
              FStatus = kExitFailure;
            };
            return sink;
          }(),
          clock.Now,
          [&req] {
            TSessionOptions o;
            o.Lines = FrameRules(req.Framing);
            req.Line.ApplySession(o);
            return o;
          }(),
          UtcNanoseconds) {
  FComm.SetTiming(PortTimingOf(clock, stop));
  // Answers go out from this thread at once, with no hand-off.
  FComm.SetPolled(!req.Line.ModemLines);
  FComm.SetDeviceName(path);
  req.Line.Apply(FComm);
  FSession.Attach();
  FSession.StartFrameClock();
  FStartNs = FSession.UtcNsOf(clock.Now());
}

void TRespondRun::Show(const char* lead, std::string_view bytes, Clock::time_point at,
                       const std::string& note) {
  FLine.clear();
  if (FStamp != TStampForm::None) {
    const std::int64_t ns = FSession.UtcNsOf(at);
    AppendStamp(FLine, FStamp, ns, FStartNs, FPreviousStamp);
    FPreviousStamp = ns;
  }
  FLine += lead;
  const std::string text = Shown(bytes, FLook);
  if (FLook == TLineLook::Text || FLook == TLineLook::Bytes) FLine += ' ';
  FLine += text;
  FLine += note;
  FOut.Line(FLine);
}

void TRespondRun::Frame(std::string_view frame) {
  const Clock::time_point end = FSession.LastArrival();
  const std::optional<TRespondRules::TMatch> match = FRules.Answer(frame);
  if (!match) {
    Show("RX", frame, end, "  (no rule matches)");
    return;
  }
  Show("RX", frame, end, "  (rule of line " + std::to_string(FRules.Line(match->Rule)) + ")");
  if (match->Answer.empty()) return;
  // In the order the frames came: a shorter delay never overtakes.
  Clock::time_point due = end + match->Delay;
  if (!FPending.empty() && due < FPending.back().Due) due = FPending.back().Due;
  FPending.push_back({due, match->Answer});
  SendDue(FClock.Now());
}

void TRespondRun::SendDue(Clock::time_point now) {
  while (!FPending.empty() && FPending.front().Due <= now) {
    const std::string bytes = std::move(FPending.front().Bytes);
    FPending.pop_front();
    if (!FComm.Active()) continue;
    try {
      FComm.WriteBuf(bytes.data(), static_cast<int>(bytes.size()));
    } catch (const std::exception& e) {
      Say(FErr, std::string("an answer could not be sent: ") + e.what());
      FStatus = kExitFailure;
      continue;
    }
    FSession.Sent(bytes.data(), bytes.size(), now);
    Show("TX", bytes, now);
  }
}

bool TRespondRun::Start() {
  FOut.SetBounded();
  FLoop.EndAfter(FReq.Seconds);
  if (!OpenOrSay(FSession, FErr)) return false;
  if (FReq.Capture) {
    try {
      FSession.StartCaptureExact(*FReq.Capture);
    } catch (const ECaptureError& e) {
      Say(FErr, e.what());
      FComm.Close();
      return false;
    }
  }
  Say(FErr, "answering on " + FReq.Line.Port.value_or(FPath) + " (" + FPath + ") at " +
                FReq.Line.Describe() + " by " + std::to_string(FRules.Size()) + " rules of '" +
                *FReq.Rules + "'; Ctrl+C ends");
  return true;
}

void TRespondRun::Sleep() {
  FLoop.WakeBy(FSession.TimeoutDue());
  if (!FPending.empty()) FLoop.WakeBy(FPending.front().Due);
  const bool polled = FComm.Active() && FComm.PollFd() >= 0;
  if (polled) FLoop.WakeBy(FComm.PollDue());
  const int syncAt = FLoop.Watch(polled ? -1 : FSync.Fd(), POLLIN);
  const int portAt = FLoop.Watch(polled ? FComm.PollFd() : -1, FComm.PollEvents());
  FLoop.Watch(FOut.Held() ? FOut.Fd() : -1, POLLOUT);
  const int ready = FLoop.Sleep();
  if (polled && (FLoop.Events(portAt) || FComm.PollDue())) FComm.Serve(FLoop.Events(portAt));
  if (ready <= 0) return;
  if (FLoop.Events(syncAt)) {
    FSync.Clear();
    FSync.ProcessPending();
  }
}

int TRespondRun::Run() {
  if (!Start()) return kExitFailure;
  while (!FLoop.Ended() && !FLost) {
    const Clock::time_point now = FClock.Now();
    FSession.CheckTimeout(now);
    SendDue(now);
    FOut.Flush();
    if (const std::string failure = FSync.TakeFailure(); !failure.empty()) Say(FErr, failure);
    if (FOut.Failed()) break;
    Sleep();
  }
  return Finish();
}

int TRespondRun::Finish() {
  FSession.Timeout();
  // What is due goes; what waits for a later time does not.
  SendDue(FClock.Now());
  if (!FPending.empty())
    Say(FErr, std::to_string(FPending.size()) + " answers were not sent: the run ended first");
  if (FComm.Active()) FComm.WaitWritten();
  if (!EndOutput(FOut, FLoop, FErr)) FStatus = kExitFailure;
  if (FOut.FailedToTell()) {
    SayOutputFailed(FErr, FOut.Error());
    FStatus = kExitFailure;
  }
  if (FLost) {
    SayDeviceGone(FErr, FSession.Device().Title());
    FStatus = kExitFailure;
  }
  FComm.SetTiming(TSerTiming::System());
  try {
    FComm.Close();
  } catch (const std::exception& e) {
    Say(FErr, e.what());
    FStatus = kExitFailure;
  }
  FSession.StopCapture();
  return FStatus;
}

// The rules file's text; nothing when it cannot be read (said).
std::optional<std::string> ReadRules(const std::string& path, std::FILE* err) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SayCannotRead(err, path, errno);
    return std::nullopt;
  }
  std::string text;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      SayCannotRead(err, path, errno);
      ::close(fd);
      return std::nullopt;
    }
    text.append(buf, static_cast<std::size_t>(n));
    if (text.size() > (16u << 20)) {
      Say(err, "'" + path + "' is too large for a rules file (over 16 MiB)");
      ::close(fd);
      return std::nullopt;
    }
  }
  ::close(fd);
  return text;
}

}  // namespace

int RunRespond(const std::vector<std::string>& args, std::FILE* out, std::FILE* err,
               TMonitorStop* stop, const TMonitorClock& clock) {
  TRespondRequest req;
  try {
    req = Parse(args);
  } catch (const EUsageError& e) {
    SayUsage(err, e.what(), RespondUsage());
    return kExitUsage;
  }
  // A rules file with a mistake is refused before the port is touched.
  const std::optional<std::string> text = ReadRules(*req.Rules, err);
  if (!text) return kExitFailure;
  TRespondRules rules;
  try {
    rules = TRespondRules::Parse(*text, *req.Rules);
  } catch (const ERulesError& e) {
    Say(err, e.what());
    return kExitFailure;
  }
  const std::optional<std::string> path = req.Line.ResolveOrSay(err);
  if (!path) return kExitFailure;
  TRespondRun run(req, std::move(rules), *path, out, err, stop, clock);
  return run.Run();
}

}  // namespace talmo
