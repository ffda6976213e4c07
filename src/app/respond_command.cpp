#include "app/respond_command.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string_view>

#include "app/cli_args.h"
#include "app/cli_output.h"
#include "app/poll_sync.h"
#include "app/port_args.h"
#include "base/error_text.h"
#include "capture/pcapng.h"
#include "device/device_driver.h"
#include "engine/convert.h"
#include "engine/line_cutter.h"
#include "serial/ser_comm.h"
#include "session/capture_twin.h"
#include "session/modbus_slave.h"
#include "session/receive_session.h"
#include "session/respond_rules.h"

namespace talmo {

std::string RespondUsage() {
  return std::string(
             "usage: talmocli respond (--port COMn | --device PATH|rfc2217://HOST:PORT)\n"
             "                        (RULES | --from-capture RUN.pcapng [--speed X]\n"
             "                        [--host NAME] | --modbus rtu --map MAP)\n"
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
         "  --from-capture RUN.pcapng  instead of RULES: answer each request with\n"
         "                  the answer that followed it in the recorded conversation\n"
         "                  (a tap's or a console's capture: what was sent to the\n"
         "                  device are the requests), after the recorded time\n"
         "  --modbus rtu --map MAP  instead of RULES: a Modbus RTU slave over the\n"
         "                  register map in MAP (unit N, then coil|discrete|holding|\n"
         "                  input ADDR[-LAST] = VALUE lines): reads and writes as a\n"
         "                  slave does, exceptions 1, 2 and 3, broadcasts and other\n"
         "                  units unanswered; frames end after 3.5 characters of\n"
         "                  silence (1.75 ms above 19,200 baud)\n"
         "  --write-back    write the map back to MAP at the end, writes kept\n"
         "  --answer-delay MS  wait before each answer\n"
         "  --no-answer P, --bad-crc P  leave P percent of answers out, or spoil\n"
         "                  their CRC (--seed N picks the chance's sequence)\n"
         "  --requests sent|received  which recorded bytes are the requests: those\n"
         "                  sent to the device (default), or those received (a\n"
         "                  capture on the host's line, or of a respond run)\n"
         "  --speed X       the recorded response times divided by X\n"
         "  --host NAME     in a capture of several ports: what port NAME received\n"
         "                  are the requests, what the others received the answers\n"
         "  --capture FILE  FILE.pcapng: both directions on one timeline; any other\n"
         "                  name: the received bytes, raw\n"
         "  --reconnect     when the device goes away, wait for it to come back and\n"
         "                  go on answering (what was due to go out went with it)\n"
         "  --seconds N     end after N seconds (default: at Ctrl+C)\n";
}

namespace {

using Clock = std::chrono::steady_clock;

struct TRespondRequest {
  TPortRequest Line;
  TFramingRequest Framing;
  std::optional<std::string> Rules, Capture, FromCapture, Host, Map;
  bool Modbus = false, WriteBack = false, Reconnect = false;
  long long AnswerDelayMs = 0, NoAnswerPercent = 0, BadCrcPercent = 0, Seed = 1;
  std::optional<long long> Seconds;
  double Speed = 1;
  // The recording's requests are what was received (a capture made on the
  // host's line, or by a respond run), not what was sent to the device.
  bool RequestsReceived = false;
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
    if (n == "--modbus") {
      const std::string v = s.Value();
      if (v != "rtu")
        throw EUsageError("bad value for --modbus: '" + v + "' (respond answers as an rtu slave)");
      r.Modbus = true;
      continue;
    }
    if (r.Line.Take(s) || r.Framing.Take(s)) continue;
    if (n == "--map") {
      r.Map = s.Value();
    } else if (n == "--write-back") {
      s.NoValue();
      r.WriteBack = true;
    } else if (n == "--reconnect") {
      s.NoValue();
      r.Reconnect = true;
    } else if (n == "--answer-delay") {
      r.AnswerDelayMs = s.Number(0, 60000);
    } else if (n == "--no-answer") {
      r.NoAnswerPercent = s.Number(0, 100);
    } else if (n == "--bad-crc") {
      r.BadCrcPercent = s.Number(0, 100);
    } else if (n == "--seed") {
      r.Seed = s.Number(0, 4000000000LL);
    } else if (n == "--capture") {
      r.Capture = s.Value();
    } else if (n == "--from-capture") {
      r.FromCapture = s.Value();
    } else if (n == "--host") {
      r.Host = s.Value();
    } else if (n == "--requests") {
      const std::string v = s.Value();
      if (v != "sent" && v != "received")
        throw EUsageError("bad value for --requests: '" + v + "' (sent or received expected)");
      r.RequestsReceived = v == "received";
    } else if (n == "--speed") {
      const std::string v = s.Value();
      std::size_t used = 0;
      double x = 0;
      try {
        x = std::stod(v, &used);
      } catch (const std::exception&) {
      }
      if (v.empty() || used != v.size() || !(x > 0) || x > 1000 || v[0] < '0' || v[0] > '9')
        throw EUsageError("bad value for --speed: '" + v +
                          "' (a factor above 0 such as 2 or 0.5 expected)");
      r.Speed = x;
    } else if (n == "--seconds")
      r.Seconds = s.Number(0, 100000000);
    else
      s.Unknown();
  }
  if ((r.Rules ? 1 : 0) + (r.FromCapture ? 1 : 0) + (r.Modbus ? 1 : 0) > 1)
    throw EUsageError(
        "a RULES file, --from-capture and --modbus are three ways to answer: choose one");
  if (r.Modbus != r.Map.has_value())
    throw EUsageError(r.Modbus ? "--modbus rtu needs --map MAP" : "--map needs --modbus rtu");
  if (!r.Modbus && (r.WriteBack || r.AnswerDelayMs || r.NoAnswerPercent || r.BadCrcPercent))
    throw EUsageError("--write-back, --answer-delay, --no-answer and --bad-crc need --modbus rtu");
  if (r.NoAnswerPercent + r.BadCrcPercent > 100)
    throw EUsageError("--no-answer and --bad-crc together are more than 100 percent");
  // The silence that ends a frame on a Modbus line: 3.5 characters, and
  // 1.75 ms above 19,200 baud.
  if (r.Modbus && !r.Framing.Gap) r.Framing.Gap = r.Line.Baud > 19200 ? "1.75" : "3.5c";
  if ((r.Host || r.RequestsReceived) && !r.FromCapture)
    throw EUsageError(std::string(r.Host ? "--host" : "--requests") + " needs --from-capture");
  if (r.Host && r.RequestsReceived)
    throw EUsageError("--host already says which received bytes are the requests");
  if (r.Framing.STXHL || r.Framing.PROD2 || r.Framing.Manch || r.Framing.Bcc.value_or(false) ||
      r.Framing.BccCheck != TBccCheck::None || r.Framing.Time.value_or(false))
    throw EUsageError(
        "respond cuts frames by --first, --last, --gap and --max; --stxhl, --prod2, --manch, "
        "--bcc, --bcc-check and --time are not taken");
  if (r.Framing.Text && r.Framing.Hex)
    throw EUsageError("--text and --hex are two looks: choose one");
  r.Line.CheckOne();
  if (!r.Rules && !r.FromCapture && !r.Modbus)
    throw EUsageError(
        "the RULES file (or --from-capture FILE, or --modbus rtu --map MAP) is missing");
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
    framing.ApplyGap(r);
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

// What answers a frame: the rules or the twin. Nothing: no answer known;
// Note tells the RX line why.
struct TReply {
  std::string Bytes;
  Clock::duration Delay{0};
  std::string Note;
};
using TAnswerer = std::function<std::optional<TReply>(std::string_view frame)>;

class TRespondRun {
 public:
  TRespondRun(const TRespondRequest& req, TAnswerer answerer, std::string what,
              const std::string& path, std::FILE* out, std::FILE* err, TMonitorStop* stop,
              const TMonitorClock& clock);
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
  TAnswerer FAnswerer;
  const std::string FWhat;  // "5 rules of 'FILE'"
  const std::string FPath;
  // The frames nothing answered, and how often each came.
  std::map<std::string, std::size_t> FUnanswered;
  static constexpr std::size_t kUnansweredKept = 1000;
  std::size_t FUnansweredOthers = 0;
  // --reconnect: the device is waited for.
  std::optional<TPortReturn> FReturn;
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

TRespondRun::TRespondRun(const TRespondRequest& req, TAnswerer answerer, std::string what,
                         const std::string& path, std::FILE* out, std::FILE* err,
                         TMonitorStop* stop, const TMonitorClock& clock)
    : FReq(req),
      FAnswerer(std::move(answerer)),
      FWhat(std::move(what)),
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
  const std::optional<TReply> reply = FAnswerer(frame);
  if (!reply) {
    Show("RX", frame, end, FReq.FromCapture ? "  (no recorded answer)" : "  (no rule matches)");
    // A flood of frames, each different, is counted, not kept.
    if (FUnanswered.size() < kUnansweredKept || FUnanswered.count(std::string(frame)))
      ++FUnanswered[std::string(frame)];
    else
      ++FUnansweredOthers;
    return;
  }
  Show("RX", frame, end, reply->Note);
  if (reply->Bytes.empty()) return;
  // In the order the frames came: a shorter delay never overtakes.
  Clock::time_point due = end + reply->Delay;
  if (!FPending.empty() && due < FPending.back().Due) due = FPending.back().Due;
  FPending.push_back({due, reply->Bytes});
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
                FReq.Line.Describe() + " by " + FWhat + "; Ctrl+C ends");
  return true;
}

void TRespondRun::Sleep() {
  FLoop.WakeBy(FSession.TimeoutDue());
  if (FReturn) FLoop.WakeBy(FReturn->Due());
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
  if (FReq.Reconnect)
    FReturn.emplace(FSession, [this](const TOpenFailure& f) { SayOpenFailure(FErr, f); });
  while (!FLoop.Ended()) {
    if (FLost) {
      if (!FReturn) break;  // the end tells it
      FLost = false;
      FComm.Close();
      FPending.clear();
      FReturn->Lost(FClock.Now());
      SayDeviceGone(FErr, FSession.Device().Title(), "Waiting for it to come back.");
    }
    if (FReturn && FReturn->TryIfDue(FClock.Now))
      Say(FErr, FSession.Device().Title() + ": The device is back; answering goes on.");
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
  if (FReq.FromCapture && !FUnanswered.empty()) {
    // What the recording could not answer, so the next capture can hold it.
    std::size_t frames = FUnansweredOthers;
    for (const auto& [bytes, count] : FUnanswered) frames += count;
    Say(FErr, std::to_string(frames) + (frames == 1 ? " frame" : " frames") +
                  " had no recorded answer (" + std::to_string(FUnanswered.size()) +
                  " different):");
    std::size_t told = 0;
    for (const auto& [bytes, count] : FUnanswered) {
      if (++told > 20) {
        Say(FErr, "  ... and " + std::to_string(FUnanswered.size() - 20) + " more" +
                      (FUnansweredOthers ? " (and " + std::to_string(FUnansweredOthers) +
                                               " frames beyond the first " +
                                               std::to_string(kUnansweredKept) + " different ones)"
                                         : std::string()));
        break;
      }
      Say(FErr,
          "  " + HexPairs(bytes) + (count > 1 ? " (" + std::to_string(count) + " times)" : ""));
    }
  }
  if (FComm.Active()) FComm.WaitWritten();
  if (!EndPortRun(FOut, FLoop, FErr, FComm, FSession, FLost)) FStatus = kExitFailure;
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

// The twin of the device recorded in --from-capture: requests are what
// went to the device (sent), answers what came from it; with --host NAME,
// what the port NAME received is the requests and what the others
// received the answers (a capture of several ports). Frames within one
// side end at a silence of --gap, or of 3.5 character times of the
// recorded port's settings (5 ms when they are not recorded).
std::shared_ptr<TCaptureTwin> LearnTwin(const TRespondRequest& req, std::FILE* err) {
  const std::string& path = *req.FromCapture;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SayCannotRead(err, path, errno);
    return nullptr;
  }
  struct TCloser {
    int Fd;
    ~TCloser() { ::close(Fd); }
  } closer{fd};
  pcapng::TPcapngReader reader(
      [fd](std::uint8_t* p, std::size_t n) { return static_cast<long>(::read(fd, p, n)); });
  std::shared_ptr<TCaptureTwin> twin;
  std::optional<std::uint32_t> host;
  for (;;) {
    const auto step = reader.Next();
    if (step == pcapng::TPcapngReader::TStep::End) break;
    if (step == pcapng::TPcapngReader::TStep::Error) {
      Say(err, "'" + path + "': " + reader.Error());
      return nullptr;
    }
    const pcapng::TReadPacket& p = reader.Packet();
    if (!twin) {
      const std::vector<pcapng::TInterfaceInfo>& faces = reader.Interfaces();
      if (req.Host) {
        for (std::uint32_t i = 0; i < faces.size(); ++i)
          if (faces[i].Name == *req.Host) host = i;
        if (!host) {
          std::string names;
          for (const auto& f : faces) names += (names.empty() ? "" : ", ") + f.Name;
          Say(err, "'" + path + "' has no port named '" + *req.Host + "' (it has " + names + ")");
          return nullptr;
        }
      }
      std::int64_t silence = 5000000;
      const TLineRules rules = FrameRules(req.Framing);
      const std::optional<double> charNs =
          CharacterNsOf(faces.empty() ? std::string() : faces[p.Interface].Description);
      if (rules.GapNs > 0)
        silence = rules.GapNs;
      else if (rules.GapChars > 0 && charNs)
        silence = static_cast<std::int64_t>(rules.GapChars * *charNs);
      twin = std::make_shared<TCaptureTwin>(silence);
    }
    if (p.Event != pcapng::TEvent::RxData && p.Event != pcapng::TEvent::TxData) continue;
    const bool sent = p.Direction == pcapng::TDirection::Out;
    bool request = sent != req.RequestsReceived;
    if (host) {
      if (sent) continue;  // what the ports sent is not on the line twice
      request = p.Interface == *host;
    }
    twin->Add(request, p.TimeNs, p.Payload);
  }
  if (twin) twin->Finish();
  if (!twin || twin->Requests() == 0) {
    Say(err, "'" + path + "' holds no request to learn from" +
                 (req.Host ? ""
                           : ": it records nothing sent to the device (--host NAME names the port "
                             "of the host's line in a capture of several ports)"));
    return nullptr;
  }
  return twin;
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
  // A rules file with a mistake, or a recording that cannot be read, is
  // refused before the port is touched.
  TAnswerer answerer;
  std::string what;
  std::shared_ptr<TModbusSlave> slave;
  if (req.Rules) {
    const std::optional<std::string> text = ReadRules(*req.Rules, err);
    if (!text) return kExitFailure;
    auto rules = std::make_shared<TRespondRules>();
    try {
      *rules = TRespondRules::Parse(*text, *req.Rules);
    } catch (const ERulesError& e) {
      Say(err, e.what());
      return kExitFailure;
    }
    what = std::to_string(rules->Size()) + " rules of '" + *req.Rules + "'";
    answerer = [rules](std::string_view frame) -> std::optional<TReply> {
      const std::optional<TRespondRules::TMatch> m = rules->Answer(frame);
      if (!m) return std::nullopt;
      return TReply{m->Answer, m->Delay,
                    "  (rule of line " + std::to_string(rules->Line(m->Rule)) + ")"};
    };
  } else if (req.Modbus) {
    const std::optional<std::string> text = ReadRules(*req.Map, err);
    if (!text) return kExitFailure;
    try {
      slave = std::make_shared<TModbusSlave>(TModbusSlave::Parse(*text, *req.Map));
    } catch (const EMapError& e) {
      Say(err, e.what());
      return kExitFailure;
    }
    what = "the register map of " + std::to_string(slave->Units()) + " units in '" + *req.Map + "'";
    auto random = std::make_shared<std::mt19937>(static_cast<std::uint32_t>(req.Seed));
    answerer = [slave, random, &req](std::string_view frame) -> std::optional<TReply> {
      TModbusSlave::TResult r = slave->Handle(frame);
      TReply reply{std::move(r.Answer), std::chrono::milliseconds(req.AnswerDelayMs),
                   "  (" + r.Note + ")"};
      if (!reply.Bytes.empty()) {
        // The failures a master's retries are tested with, by chance.
        const long long roll = std::uniform_int_distribution<int>(0, 99)(*random);
        if (roll < req.NoAnswerPercent) {
          reply.Bytes.clear();
          reply.Note.insert(reply.Note.size() - 1, "; not answered: --no-answer");
        } else if (roll < req.NoAnswerPercent + req.BadCrcPercent) {
          reply.Bytes.back() = static_cast<char>(reply.Bytes.back() ^ 0x5A);
          reply.Note.insert(reply.Note.size() - 1, "; CRC spoiled: --bad-crc");
        }
      }
      return reply;
    };
  } else {
    std::shared_ptr<TCaptureTwin> twin = LearnTwin(req, err);
    if (!twin) return kExitFailure;
    what = "the " + std::to_string(twin->Pairs()) + " answers to " +
           std::to_string(twin->Requests()) + " requests recorded in '" + *req.FromCapture + "'";
    answerer = [twin, speed = req.Speed](std::string_view frame) -> std::optional<TReply> {
      const std::optional<TCaptureTwin::TAnswer> a = twin->Answer(frame, speed);
      if (!a) return std::nullopt;
      return TReply{a->Bytes, std::chrono::duration_cast<Clock::duration>(a->Delay),
                    a->Bytes.empty() ? "  (recorded without an answer)" : "  (recorded answer)"};
    };
  }
  const std::optional<std::string> path = req.Line.ResolveOrSay(err);
  if (!path) return kExitFailure;
  TRespondRun run(req, std::move(answerer), std::move(what), *path, out, err, stop, clock);
  int status = run.Run();
  if (slave && req.WriteBack) {
    // Written beside and moved over, so a failed write leaves the map whole.
    const std::string temp = *req.Map + ".new";
    std::FILE* f = std::fopen(temp.c_str(), "w");
    const std::string text = slave->Text();
    const bool written = f && std::fwrite(text.data(), 1, text.size(), f) == text.size();
    const int code = written ? 0 : errno;
    if (f && std::fclose(f) != 0 && written) status = kExitFailure;
    if (!written || std::rename(temp.c_str(), req.Map->c_str()) != 0) {
      Say(err, "the register map could not be written back to '" + *req.Map +
                   "': " + SysErrorText(code ? code : errno));
      std::remove(temp.c_str());
      status = kExitFailure;
    }
  }
  return status;
}

}  // namespace talmo
