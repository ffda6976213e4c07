#include "app/play_command.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "app/cli_args.h"
#include "app/cli_output.h"
#include "app/port_args.h"
#include "app/port_play.h"
#include "app/replay_command.h"
#include "device/device_driver.h"
#include "serial/ser_comm.h"
#include "serial/ser_sync.h"
#include "session/port_writer.h"
#include "session/receive_session.h"
#include "transmitfile/script_file.h"
#include "transmitfile/script_player.h"

namespace talmo {

const char kPlayUsage[] =
    "usage: talmocli play --dry-run [--at YYYY-MM-DDTHH:MM:SS.mmm] [--until MS] SCRIPT\n"
    "       talmocli play (--port COMn | --device PATH) [--baud N] [--databits 7|8]\n"
    "                     [--parity none|odd|even] [--stopbits 1|1.5|2] [--until MS]\n"
    "                     [--stall S] SCRIPT\n"
    "Plays SCRIPT as the Transmit File window does and prints one line for each\n"
    "status line of the window: 'T+<ms> TX[<n>] <bytes in hex>', 'T+<ms> Wait <n> ms',\n"
    "and 'T+<ms> End' when the script has ended. <ms> counts from Start.\n"
    "  --dry-run   no port: a virtual clock that jumps from tick to tick\n"
    "  --at TIME   the local time at Start of a dry run (default: now)\n"
    "  --until MS  stop before the first tick later than MS (dry run default 60000;\n"
    "              on a port the script plays until it ends)\n"
    "  --port, --device, --baud, --databits, --parity, --stopbits: as for monitor\n"
    "              (default 19200 baud, 8 data bits, no parity, 1 stop bit)\n"
    "  --stall S   end (exit 1) when the port has taken nothing for S seconds while\n"
    "              bytes wait to go out (default 10); play ends only when every\n"
    "              byte it queued has gone out, and no byte is ever sent twice\n"
    "\n"
    "       talmocli play --capture FILE.pcapng (--port COMn | --device PATH)\n"
    "                     [line settings] [--sent] [--speed F] [--interface NAME] [--stall S]\n"
    "       talmocli play --capture FILE.pcapng --dry-run [--sent] [--speed F]\n"
    "                     [--interface NAME]\n"
    "Replays a timed capture (talmocli monitor --capture FILE.pcapng): its received\n"
    "blocks go out on the port with their recorded gaps, so the recorded device can\n"
    "stand in for the real one. One line per block, 'T+<ms.uuu> TX[<n>] <hex>', the\n"
    "time from the first block; the first line on standard error says what is replayed.\n"
    "  --sent      replay the sent blocks instead of the received ones\n"
    "  --speed F   play F times as fast: gaps divided by F (0.001 to 1000, default 1)\n"
    "  --interface NAME  which interface of a capture with several (its name or\n"
    "              number; default: the first one with blocks to replay)\n"
    "  --dry-run   no port: list each block at its planned time\n"
    "  --stall S   as for a script\n"
    "A capture cut short replays every whole block, then says where it ends (exit 1).\n";

namespace {

using namespace std::chrono;

struct TPlayRequest {
  bool DryRun = false;
  std::optional<std::string> At, Script;
  std::optional<long long> Until;
  long long StallSeconds = 10;
  TPortRequest Line;
};

TPlayRequest Parse(const std::vector<std::string>& args) {
  TPlayRequest r;
  TArgScanner s(args);
  while (s.Next()) {
    const std::string n = s.Word();
    if (!s.IsOption()) {
      if (r.Script)
        throw EUsageError("more than one SCRIPT given ('" + *r.Script + "', '" + n + "')");
      r.Script = n;
    } else if (n == "--dry-run") {
      s.NoValue();
      r.DryRun = true;
    } else if (n == "--at")
      r.At = s.Value();
    else if (n == "--until")
      r.Until = s.Number(0, 1000000000000LL);
    else if (n == "--stall")
      r.StallSeconds = s.Number(1, 1000000);
    else if (!r.Line.Take(s))
      s.Unknown();
  }
  if (!r.Script) throw EUsageError("no SCRIPT given");
  if (r.DryRun) {
    if (r.Line.Given()) throw EUsageError("--dry-run plays without a port: drop --port/--device");
  } else {
    r.Line.CheckOne("--dry-run");
    if (r.At) throw EUsageError("--at is for --dry-run only");
  }
  if (r.At && !ParseLocalTime(*r.At))
    throw EUsageError("bad value for --at: '" + *r.At +
                      "' (a local time YYYY-MM-DDTHH:MM:SS.mmm expected)");
  return r;
}

// The printed status lines, each stamped with the time since Start.
struct TPrinter {
  TLineOutput out;
  std::function<long long()> elapsed;

  void Sent(const std::string& bytes) {
    out.Note(std::fprintf(out.File(), "T+%lld TX[%zu] %s\n", elapsed(), bytes.size(),
                          HexPairs(bytes).c_str()));
  }
  void Waiting(int ms) { out.Note(std::fprintf(out.File(), "T+%lld Wait %d ms\n", elapsed(), ms)); }
  void End() { out.Note(std::fprintf(out.File(), "T+%lld End\n", elapsed())); }
};

// The host parts both plays share: the data lines, the printed sendings,
// waits and end, the interval, and errors on `err`.
TPlayerHost PrintingHost(const std::vector<std::string>& lines, TPrinter& print, int& interval,
                         bool& ended, std::FILE* err) {
  TPlayerHost host;
  host.DataLines = [&lines]() -> const std::vector<std::string>& { return lines; };
  // The script is read once and never changes during the run.
  host.DataVersion = [] { return std::uint64_t{0}; };
  host.Status = [](const std::string&) {};
  host.Sent = [&print](const std::string& bytes) { print.Sent(bytes); };
  host.Waiting = [&print](int ms) { print.Waiting(ms); };
  host.SetInterval = [&interval](int ms) { interval = ms; };
  host.Stop = [&ended, &print] {
    ended = true;
    print.End();
  };
  host.Error = [err](const std::string& message) { Say(err, message); };
  return host;
}

int DryRun(const TPlayRequest& req, const std::vector<std::string>& lines, std::FILE* out,
           std::FILE* err) {
  const TSystemTime start = req.At ? *ParseLocalTime(*req.At) : LocalNow();
  const long long until = req.Until.value_or(60000);
  long long now = 0;
  int interval = 1;
  bool ended = false;
  TPrinter print{TLineOutput(out), [&now] { return now; }};
  TPlayerHost host = PrintingHost(lines, print, interval, ended, err);
  host.LocalClock = [&] { return AddMilliseconds(start, now); };
  host.Write = [](const std::string&) {};
  TScriptPlayer player(std::move(host));
  player.Start();
  // The output is the whole product of a dry run: its first failure ends it.
  while (!ended && !print.out.Failed() && now + interval <= until) {
    now += interval;
    player.Step();
  }
  print.out.Flush();
  if (print.out.Failed()) {
    SayOutputFailed(err, print.out.Error());
    return kExitFailure;
  }
  return kExitOk;
}

// A play on a port: the player on its timer over the play's port.
class TPortPlay {
 public:
  TPortPlay(const TPlayRequest& req, const std::vector<std::string>& lines, const std::string& path,
            std::FILE* out, std::FILE* err);
  int Run();

 private:
  TPlayerHost Host();
  // Plays until the script ends, --until, or a failure; the status.
  int Play();

  const TPlayRequest& FReq;
  const std::vector<std::string>& FLines;
  std::FILE* FErr;
  const steady_clock::time_point FStart = steady_clock::now();
  TPrinter FPrint;
  TPlayPort FPort;
  bool FEnded = false;
  int FInterval = 1;
};

TPortPlay::TPortPlay(const TPlayRequest& req, const std::vector<std::string>& lines,
                     const std::string& path, std::FILE* out, std::FILE* err)
    : FReq(req),
      FLines(lines),
      FErr(err),
      FPrint{TLineOutput(out),
             [start = FStart] {
               return duration_cast<milliseconds>(steady_clock::now() - start).count();
             }},
      FPort(req.Line, req.StallSeconds, path, FPrint.out, err) {}

TPlayerHost TPortPlay::Host() {
  TPlayerHost host = PrintingHost(FLines, FPrint, FInterval, FEnded, FErr);
  host.LocalClock = LocalNow;
  host.Write = [this](const std::string& bytes) { FPort.Write()(bytes); };
  host.Error = [this, say = host.Error](const std::string& message) {
    if (!FPort.Write().QueueFull()) say(message);
  };
  return host;
}

int TPortPlay::Run() {
  if (!FPort.Open()) return kExitFailure;
  int status = Play();
  if (status == kExitOk) status = FPort.Drain();
  return FPort.Finish(status);
}

int TPortPlay::Play() {
  TScriptPlayer player(Host());
  player.Start();
  auto next = FStart + milliseconds(1);
  while (!FEnded && !FPrint.out.Failed()) {
    if (FReq.Until && next - FStart > milliseconds(*FReq.Until)) break;
    // The timer re-arms when the step sets its interval, as a GUI timer does.
    // The wait is rounded up: rounded down, the last part of a millisecond
    // would be spent polling. Line events end the wait early.
    for (auto now = steady_clock::now(); now < next && !FPort.Gone(); now = steady_clock::now())
      FPort.Wait(std::min(ceil<milliseconds>(next - now), milliseconds(1000)));
    if (FPort.Trouble()) return kExitFailure;
    player.Step();
    next = steady_clock::now() + milliseconds(FInterval);
    FPort.ProcessPending();
    FPrint.out.Flush();
  }
  return kExitOk;
}

int OnPort(const TPlayRequest& req, const std::vector<std::string>& lines, std::FILE* out,
           std::FILE* err) {
  const std::optional<std::string> path = req.Line.ResolveOrSay(err);
  if (!path) return kExitFailure;
  TPortPlay play(req, lines, *path, out, err);
  return play.Run();
}

}  // namespace

std::optional<TSystemTime> ParseLocalTime(const std::string& text) {
  // YYYY-MM-DDTHH:MM:SS, then optionally .mmm
  if (text.size() != 19 && text.size() != 23) return std::nullopt;
  const char* shape = "dddd-dd-ddTdd:dd:dd.ddd";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (shape[i] == 'd' ? !digit : text[i] != shape[i]) return std::nullopt;
  }
  auto num = [&text](std::size_t at, std::size_t n) { return std::stoi(text.substr(at, n)); };
  const year_month_day ymd{year(num(0, 4)), month(static_cast<unsigned>(num(5, 2))),
                           day(static_cast<unsigned>(num(8, 2)))};
  const int h = num(11, 2), mi = num(14, 2), s = num(17, 2);
  if (!ymd.ok() || h > 23 || mi > 59 || s > 59) return std::nullopt;
  TSystemTime t;
  t.Year = static_cast<std::uint16_t>(num(0, 4));
  t.Month = static_cast<std::uint16_t>(num(5, 2));
  t.Day = static_cast<std::uint16_t>(num(8, 2));
  t.DayOfWeek = static_cast<std::uint16_t>(weekday(sys_days(ymd)).c_encoding());
  t.Hour = static_cast<std::uint16_t>(h);
  t.Minute = static_cast<std::uint16_t>(mi);
  t.Second = static_cast<std::uint16_t>(s);
  t.Milliseconds = static_cast<std::uint16_t>(text.size() == 23 ? num(20, 3) : 0);
  return t;
}

TSystemTime AddMilliseconds(const TSystemTime& t, std::int64_t ms) {
  // Calendar arithmetic on the local date and time as written; the virtual
  // clock knows no time zone changes.
  const sys_days date{year_month_day{year(t.Year), month(t.Month), day(t.Day)}};
  const sys_time<milliseconds> at = date + hours(t.Hour) + minutes(t.Minute) + seconds(t.Second) +
                                    milliseconds(t.Milliseconds) + milliseconds(ms);
  const sys_days d = floor<days>(at);
  const year_month_day ymd{d};
  const hh_mm_ss<milliseconds> hms{at - d};
  TSystemTime r;
  r.Year = static_cast<std::uint16_t>(static_cast<int>(ymd.year()));
  r.Month = static_cast<std::uint16_t>(static_cast<unsigned>(ymd.month()));
  r.Day = static_cast<std::uint16_t>(static_cast<unsigned>(ymd.day()));
  r.DayOfWeek = static_cast<std::uint16_t>(weekday(d).c_encoding());
  r.Hour = static_cast<std::uint16_t>(hms.hours().count());
  r.Minute = static_cast<std::uint16_t>(hms.minutes().count());
  r.Second = static_cast<std::uint16_t>(hms.seconds().count());
  r.Milliseconds = static_cast<std::uint16_t>(hms.subseconds().count());
  return r;
}

namespace {

int Play(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  if (AsksForReplay(args)) return RunReplay(args, out, err);
  TPlayRequest req;
  try {
    req = Parse(args);
  } catch (const EUsageError& e) {
    SayUsage(err, e.what(), kPlayUsage);
    return kExitUsage;
  }
  std::vector<std::string> lines;
  try {
    lines = DataLinesOf(SplitScriptText(ReadScriptFile(*req.Script)));
  } catch (const std::exception& e) {
    Say(err, e.what());
    return kExitFailure;
  }
  return req.DryRun ? DryRun(req, lines, out, err) : OnPort(req, lines, out, err);
}

}  // namespace

int RunPlay(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  // Whatever goes wrong ends in one line and a failure, never an abort.
  try {
    return Play(args, out, err);
  } catch (const std::exception& e) {
    Say(err, e.what());
  } catch (...) {
    Say(err, "play failed for an unknown reason");
  }
  return kExitFailure;
}

}  // namespace talmo
