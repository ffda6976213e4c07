#include "app/replay_command.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <limits>
#include <optional>

#include "app/cli_args.h"
#include "app/cli_output.h"
#include "app/play_command.h"
#include "app/port_args.h"
#include "app/port_play.h"
#include "app/replay_schedule.h"
#include "base/error_text.h"

namespace talmo {

namespace {

using pcapng::TDirection;

struct TReplayRequest {
  std::string Capture;
  bool DryRun = false, Sent = false;
  std::int64_t Speed = kSpeedOne;
  std::string SpeedText = "1";
  long long StallSeconds = 10;
  std::optional<std::string> Interface;
  TPortRequest Line;
  TDirection Direction() const { return Sent ? TDirection::Out : TDirection::In; }
};

TReplayRequest Parse(const std::vector<std::string>& args) {
  TReplayRequest r;
  std::optional<std::string> capture;
  TArgScanner s(args);
  while (s.Next()) {
    const std::string n = s.Word();
    if (!s.IsOption()) {
      throw EUsageError("unexpected word '" + n + "' (--capture replays a capture, not a script)");
    } else if (n == "--capture") {
      if (capture) throw EUsageError("more than one --capture given");
      capture = s.Value();
    } else if (n == "--dry-run") {
      s.NoValue();
      r.DryRun = true;
    } else if (n == "--sent") {
      s.NoValue();
      r.Sent = true;
    } else if (n == "--speed") {
      r.SpeedText = s.Value();
      const std::optional<std::int64_t> speed = ParseSpeed(r.SpeedText);
      if (!speed)
        throw EUsageError("bad value for --speed: '" + r.SpeedText +
                          "' (a number from 0.001 to 1000 expected, e.g. 2 for twice as fast)");
      r.Speed = *speed;
    } else if (n == "--interface") {
      r.Interface = s.Value();
    } else if (n == "--stall") {
      r.StallSeconds = s.Number(1, 1000000);
    } else if (n == "--at" || n == "--until") {
      throw EUsageError(n + " is for scripts, not for --capture");
    } else if (!r.Line.Take(s)) {
      s.Unknown();
    }
  }
  if (!capture || capture->empty()) throw EUsageError("--capture needs a FILE");
  r.Capture = *capture;
  if (r.DryRun) {
    if (r.Line.Given()) throw EUsageError("--dry-run plays without a port: drop --port/--device");
  } else {
    r.Line.CheckOne("--dry-run");
  }
  return r;
}

// The capture's bytes; the second reading takes exactly what the first one
// took, so a file that grows meanwhile (a capture still running) replays
// what was surveyed.
class TCaptureSource {
 public:
  ~TCaptureSource() {
    if (FFd >= 0) ::close(FFd);
  }
  // False with the failure said.
  bool Open(const std::string& path, std::FILE* err) {
    FFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (FFd < 0) {
      SayCannotRead(err, path, errno);
      return false;
    }
    struct stat st {};
    if (::fstat(FFd, &st) != 0) {
      SayCannotRead(err, path, errno);
      return false;
    }
    if (S_ISDIR(st.st_mode)) {
      SayCannotRead(err, path, EISDIR);
      return false;
    }
    if (!S_ISREG(st.st_mode)) {
      // Read twice: once to choose what to replay and say how much, once
      // to play it.
      Say(err, "cannot replay '" + path + "': not a regular file (a capture is read twice)");
      return false;
    }
    ::fcntl(FFd, F_SETFL, ::fcntl(FFd, F_GETFL) & ~O_NONBLOCK);
    return true;
  }
  pcapng::TPcapngReader::TRead Read() {
    return [this](std::uint8_t* p, std::size_t n) -> long {
      n = static_cast<std::size_t>(std::min<std::uint64_t>(n, FLeft));
      if (n == 0) return 0;
      const long got = ::read(FFd, p, n);
      if (got > 0) {
        FLeft -= static_cast<std::uint64_t>(got);
        FTaken += static_cast<std::uint64_t>(got);
      }
      return got;
    };
  }
  // Back to the start, for the same bytes again.
  bool Rewind(const std::string& path, std::FILE* err) {
    if (::lseek(FFd, 0, SEEK_SET) != 0) {
      SayCannotRead(err, path, errno);
      return false;
    }
    FLeft = FTaken;
    return true;
  }

 private:
  int FFd = -1;
  std::uint64_t FLeft = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t FTaken = 0;
};

std::string Seconds(std::int64_t ns) {
  char text[40];
  std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(ns) / 1e9);
  return text;
}

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

// The first line on standard error: what is replayed.
std::string Announcement(const TReplayRequest& req, const TReplaySurvey& survey,
                         std::size_t chosen) {
  const TReplayInterface& i = survey.Interfaces[chosen];
  const TReplayCount& c = i.Of(req.Direction());
  const std::int64_t span = c.LastNs - c.FirstNs;
  std::string s = "replaying " + Quoted(req.Capture) + ", interface " +
                  InterfaceLabel(survey, chosen) +
                  (i.Info.Description.empty() ? "" : " (" + i.Info.Description + ")");
  if (survey.Interfaces.size() > 1)
    s += ", " + std::to_string(chosen + 1) + " of " + std::to_string(survey.Interfaces.size()) +
         (req.Interface ? "" : " (--interface picks another)");
  s += ": " + std::to_string(c.Packets) + " " + DirectionWord(req.Direction()) + " blocks, " +
       std::to_string(c.Bytes) + " bytes, " + Seconds(span) + " as recorded";
  if (req.Speed != kSpeedOne)
    s += ", " +
         Seconds(static_cast<std::int64_t>(static_cast<__int128>(span) * kSpeedOne / req.Speed)) +
         " at speed " + req.SpeedText;
  return s;
}

// A clock that jumps to every due time.
class TVirtualClock : public TReplayClock {
 public:
  std::int64_t Now() override { return FNow; }
  bool WaitUntil(std::int64_t at) override {
    FNow = std::max(FNow, at);
    return true;
  }

 private:
  std::int64_t FNow = 0;
};

std::int64_t MonotonicNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The monotonic clock on a port: the port's events are handled while a
// packet is not yet due, and the last part of the wait is one absolute
// sleep, so the packet goes out at its time, not up to a timer's tick late.
class TPortClock : public TReplayClock {
 public:
  TPortClock(TPlayPort& port, TLineOutput& out, std::FILE* err)
      : FPort(port), FOut(out), FErr(err) {}

  std::int64_t Now() override { return MonotonicNs(); }
  bool WaitUntil(std::int64_t at) override;
  // The port failed (said on the error output).
  bool Failed() const { return FFailed; }

 private:
  // The part of a wait slept in one piece; longer waits handle events first.
  static constexpr std::int64_t kLastPart = 2000000;
  bool Push();

  TPlayPort& FPort;
  TLineOutput& FOut;
  std::FILE* FErr;
  bool FFailed = false;
};

bool TPortClock::Push() {
  try {
    FPort.Push();
  } catch (const std::exception& e) {
    FOut.Flush();
    Say(FErr, e.what());
    FFailed = true;
  }
  return !FFailed;
}

bool TPortClock::WaitUntil(std::int64_t at) {
  using std::chrono::milliseconds;
  // Lines of packets played close together are handed over in one go.
  if (at - Now() > kLastPart) FOut.Flush();
  for (;;) {
    if (!Push()) return false;
    if (FPort.Trouble()) {
      FFailed = true;
      return false;
    }
    const std::int64_t left = at - Now();
    if (left <= 0) return true;
    if (left >= kLastPart + 1000000) {
      // A queue that waits for room is tried again every millisecond.
      const std::int64_t ms =
          FPort.Pending() ? 1 : std::min<std::int64_t>(100, (left - kLastPart) / 1000000);
      FPort.Wait(milliseconds(ms));
      FPort.ProcessPending();
      continue;
    }
    timespec ts{};
    ts.tv_sec = at / 1000000000;
    ts.tv_nsec = at % 1000000000;
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
    return true;
  }
}

std::string PacketLine(std::int64_t ns, std::string_view bytes) {
  return ReplayStamp(ns) + " TX[" + std::to_string(bytes.size()) + "] " + HexPairs(bytes);
}

// The file's own failure after the whole blocks before it were replayed.
void SayFileStopped(std::FILE* err, const TReplayRequest& req, const TReplaySchedule& schedule) {
  Say(err, Quoted(req.Capture) + " " + schedule.Reader().Error() + "; the " +
               std::to_string(schedule.Played()) + " " + DirectionWord(req.Direction()) +
               " blocks before it were replayed");
}

int DryRun(const TReplayRequest& req, TReplaySchedule& schedule, std::FILE* outFile,
           std::FILE* err) {
  TLineOutput out(outFile);
  TVirtualClock clock;
  const TReplayEnd end = Replay(schedule, clock, [&out](std::int64_t at, std::string_view bytes) {
    out.Line(PacketLine(at, bytes));
    return !out.Failed();
  });
  out.Flush();
  if (out.Failed()) {
    SayOutputFailed(err, out.Error());
    return kExitFailure;
  }
  if (end == TReplayEnd::FileError) {
    SayFileStopped(err, req, schedule);
    return kExitFailure;
  }
  return kExitOk;
}

int OnPort(const TReplayRequest& req, TReplaySchedule& schedule, std::FILE* outFile,
           std::FILE* err) {
  const std::optional<std::string> path = req.Line.ResolveOrSay(err);
  if (!path) return kExitFailure;
  TLineOutput out(outFile);
  TPlayPort port(req.Line, req.StallSeconds, *path, out, err);
  if (!port.Open()) return kExitFailure;
  TPortClock clock(port, out, err);
  // The kernel may otherwise end this thread's sleeps up to 50 us late to
  // save wake-ups; a replay wants its packets on time.
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  std::optional<std::int64_t> first;
  const TReplayEnd end = Replay(schedule, clock, [&](std::int64_t, std::string_view bytes) {
    const std::int64_t now = clock.Now();
    try {
      port.Queue(bytes);
    } catch (const std::exception& e) {
      out.Flush();
      Say(err, e.what());
      return false;
    }
    if (!first) first = now;
    out.Line(PacketLine(now - *first, bytes));
    return !out.Failed();
  });
  int status = end == TReplayEnd::Done ? kExitOk : kExitFailure;
  // What was queued goes out unless the port itself failed; a failed output
  // only stops the replay.
  if (!clock.Failed() && (end != TReplayEnd::Stopped || out.Failed())) {
    if (port.Drain() != kExitOk)
      status = kExitFailure;
    else if (end == TReplayEnd::FileError) {
      out.Flush();
      SayFileStopped(err, req, schedule);
    }
  }
  return port.Finish(status);
}

}  // namespace

bool AsksForReplay(const std::vector<std::string>& args) {
  for (const std::string& a : args) {
    if (a == "--") return false;
    if (a == "--capture" || a.rfind("--capture=", 0) == 0) return true;
  }
  return false;
}

int RunReplay(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  TReplayRequest req;
  try {
    req = Parse(args);
  } catch (const EUsageError& e) {
    SayUsage(err, e.what(), kPlayUsage);
    return kExitUsage;
  }
  TCaptureSource source;
  if (!source.Open(req.Capture, err)) return kExitFailure;
  pcapng::TPcapngReader surveyReader(source.Read());
  const TReplaySurvey survey = Survey(surveyReader);
  std::string problem;
  const std::optional<std::size_t> chosen =
      ChooseInterface(survey, req.Interface, req.Direction(), problem);
  if (!chosen) {
    // A file that held no packet at all is told by what is wrong with it.
    Say(err, Quoted(req.Capture) + " " +
                 (survey.Failed && survey.Packets == 0 ? survey.Error : problem));
    return kExitFailure;
  }
  Say(err, Announcement(req, survey, *chosen));
  if (!source.Rewind(req.Capture, err)) return kExitFailure;
  pcapng::TPcapngReader reader(source.Read());
  TReplaySchedule schedule(reader, static_cast<std::uint32_t>(*chosen), req.Direction(), req.Speed);
  return req.DryRun ? DryRun(req, schedule, out, err) : OnPort(req, schedule, out, err);
}

}  // namespace talmo
