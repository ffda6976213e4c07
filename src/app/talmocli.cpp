// talmocli: the monitor's engine without the window.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/cli_args.h"
#include "app/cli_output.h"
#include "app/decode_command.h"
#include "app/extcap_command.h"
#include "app/monitor_command.h"
#include "app/play_command.h"
#include "app/ports_command.h"
#include "app/respond_command.h"
#include "app/stats_command.h"
#include "app/tap_command.h"
#include "app/term_command.h"
#include "base/error_text.h"
#include "base/trace.h"
#include "build_info/talmo_build.h"

namespace {

talmo::TMonitorStop* gStop = nullptr;

void OnInterrupt(int) {
  if (gStop) gStop->Request();
}

// The signals that end a long run cleanly. main holds them back from its
// first instruction until the command has its handlers (or has none): one
// sent in the first milliseconds then ends the run as a later one does,
// instead of killing it before its handler is in place.
void HoldStopSignals(bool hold) {
  sigset_t set;
  sigemptyset(&set);
  for (const int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, s);
  pthread_sigmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

bool WantsHelp(const std::vector<std::string>& args) {
  for (const auto& a : args)
    if (a == "-h" || a == "--help") return true;
  return false;
}

const char kUsage[] =
    "usage: talmocli <command> [options]\n"
    "commands:\n"
    "  decode   show a capture (raw or timed) as the monitor's display lines\n"
    "  extcap   the ports as Wireshark capture interfaces (talmo-extcap)\n"
    "  ports    list the serial ports\n"
    "  monitor  show what arrives on one or more ports, line by line\n"
    "  play     play a transmit script or replay a timed capture (on a port, or dry)\n"
    "  stats    the figures of a timed capture (bytes, line use; Modbus response times)\n"
    "  respond  answer like a device: frames matched against rules, answers sent\n"
    "  tap      stand between a program and a port: forward and show both ways\n"
    "  term     the console of a port: type to it, see its text lines stamped\n"
    "option of every command, before or after its name:\n"
    "  --trace FILE  append a line for each thing asked of a device to FILE\n"
    "                ('-': standard error; TALMO_TRACE=1 or =FILE does the same)\n"
    "Run 'talmocli <command> --help' for a command's options,\n"
    "'talmocli --version' for the version.\n";

// Help text to standard output; a failed write is a failure.
int PrintHelp(const std::string& text) {
  if (std::fputs(text.c_str(), stdout) == EOF || std::fflush(stdout) != 0) {
    talmo::SayOutputFailed(stderr, errno);
    return talmo::kExitFailure;
  }
  return talmo::kExitOk;
}

// Ctrl+C, a polite kill and a closed terminal end the monitor cleanly:
// the last line is shown, the capture closed, the port released. A reader
// of the output (or of the capture's FIFO) that goes away is seen as EPIPE
// and ends it the same way, instead of killing the process mid-run.
talmo::TMonitorStop* StopOnSignals() {
  static talmo::TMonitorStop stop;
  gStop = &stop;
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  // One that came before now reaches the handler.
  HoldStopSignals(false);
  return &stop;
}

// The monitor and the tap gather their lines themselves and hand them over
// after each batch, all of their standard output in one piece: a buffer of
// the stream's own would only copy them once more (and a line buffer on a
// terminal would cost a write per line).
void UnbufferStdout() { std::setvbuf(stdout, nullptr, _IONBF, 0); }

int RunMonitorCommand(const std::vector<std::string>& args) {
  talmo::TMonitorStop* stop = StopOnSignals();
  UnbufferStdout();
  return talmo::RunMonitor(args, stdout, stderr, stop);
}

int RunTapCommand(const std::vector<std::string>& args) {
  talmo::TMonitorStop* stop = StopOnSignals();
  UnbufferStdout();
  return talmo::RunTap(args, stdout, stderr, stop);
}

int RunTermCommand(const std::vector<std::string>& args) {
  talmo::TMonitorStop* stop = StopOnSignals();
  UnbufferStdout();
  return talmo::RunTerm(args, STDIN_FILENO, stdout, stderr, stop);
}

int RunRespondCommand(const std::vector<std::string>& args) {
  talmo::TMonitorStop* stop = StopOnSignals();
  UnbufferStdout();
  return talmo::RunRespond(args, stdout, stderr, stop);
}

int RunExtcapCommand(const std::vector<std::string>& args) {
  return talmo::RunExtcap(args, stdout, stderr, StopOnSignals());
}

// Takes `--trace FILE` (or --trace=FILE) out of the arguments, before or
// after the command's name (not after a "--", where words are the
// command's), and starts the trace; without it TALMO_TRACE decides.
// `kept` gets the rest. -1 to go on, else the exit status.
int TakeTraceOption(int argc, char** argv, std::vector<char*>& kept) {
  std::optional<std::string> file;
  bool words = false;
  kept.assign(argv, argv + 1);
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    words = words || a == "--";
    if (words || (a != "--trace" && a.rfind("--trace=", 0) != 0)) {
      kept.push_back(argv[i]);
      continue;
    }
    if (a == "--trace" && i + 1 >= argc) {
      talmo::SayUsage(stderr, "--trace needs a FILE", kUsage);
      return talmo::kExitUsage;
    }
    file = a == "--trace" ? std::string(argv[++i]) : std::string(a.substr(8));
  }
  kept.push_back(nullptr);
  if (!file) {
    if (const std::string problem = talmo::TraceFromEnvironment("talmocli"); !problem.empty())
      talmo::Say(stderr, problem);
    return -1;
  }
  if (file->empty()) {
    talmo::SayUsage(stderr, "--trace needs a FILE", kUsage);
    return talmo::kExitUsage;
  }
  if (*file == "-") {
    talmo::TraceToStderr("talmocli");
  } else if (const int err = talmo::TraceToFile(*file, "talmocli")) {
    talmo::Say(stderr, "cannot open the trace file '" + *file + "': " + talmo::SysErrorText(err));
    return talmo::kExitFailure;
  }
  return -1;
}

// The commands: each with its help, which is handled here for all of them.
// A command that stops on signals takes them over (StopOnSignals); any
// other ends on them as every program does.
struct TCommand {
  const char* Name;
  std::function<std::string()> Usage;
  std::function<int(const std::vector<std::string>&)> Run;
  bool StopsOnSignals = false;
};

const TCommand kCommands[] = {
    {"decode", talmo::DecodeUsage,
     [](const std::vector<std::string>& a) {
       return talmo::RunDecode(a, STDIN_FILENO, stdout, stderr);
     }},
    {"extcap", talmo::ExtcapUsage, RunExtcapCommand, true},
    {"ports", [] { return std::string(talmo::kPortsUsage); },
     [](const std::vector<std::string>& a) { return talmo::RunPorts(a, stdout, stderr); }},
    {"monitor", talmo::MonitorUsage, RunMonitorCommand, true},
    {"play", [] { return std::string(talmo::kPlayUsage); },
     [](const std::vector<std::string>& a) { return talmo::RunPlay(a, stdout, stderr); }},
    {"stats", talmo::StatsUsage,
     [](const std::vector<std::string>& a) { return talmo::RunStats(a, stdout, stderr); }},
    {"respond", talmo::RespondUsage, RunRespondCommand, true},
    {"tap", talmo::TapUsage, RunTapCommand, true},
    {"term", talmo::TermUsage, RunTermCommand, true},
};

int Run(int argc, char** argv) {
  // Wireshark runs us from its extcap folder, through a link of that name.
  if (talmo::IsExtcapProgram(argv[0])) {
    if (const std::string problem = talmo::TraceFromEnvironment(talmo::kExtcapProgramName);
        !problem.empty())
      talmo::Say(stderr, problem);
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!WantsHelp(args)) return RunExtcapCommand(args);
    HoldStopSignals(false);
    return PrintHelp(talmo::ExtcapUsage());
  }
  std::vector<char*> kept;
  if (const int status = TakeTraceOption(argc, argv, kept); status >= 0) return status;
  argc = static_cast<int>(kept.size()) - 1;
  argv = kept.data();
  const TCommand* found = nullptr;
  for (const TCommand& c : kCommands)
    if (argc >= 2 && argv[1] == std::string_view(c.Name)) found = &c;
  std::vector<std::string> args(argv + std::min(argc, 2), argv + argc);
  if (!found || !found->StopsOnSignals || WantsHelp(args)) HoldStopSignals(false);
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return talmo::kExitUsage;
  }
  const std::string command = argv[1];
  if (command == "-h" || command == "--help" || command == "help") return PrintHelp(kUsage);
  if (command == "-V" || command == "-v" || command == "--version") {
    std::fputs("talmocli " TALMO_VERSION "\n", stdout);
    return talmo::kExitOk;
  }
  if (found) return WantsHelp(args) ? PrintHelp(found->Usage()) : found->Run(args);
  talmo::SayUsage(stderr, "unknown command '" + command + "'", kUsage);
  return talmo::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  HoldStopSignals(true);
  // A capture that reaches the user's file-size limit fails with EFBIG and
  // stops with its message, instead of the signal killing the run.
  std::signal(SIGXFSZ, SIG_IGN);
  // No command ends on an exception: one line, and the failure status.
  try {
    return Run(argc, argv);
  } catch (const std::bad_alloc&) {
    talmo::Say(stderr, "out of memory");
  } catch (const std::exception& e) {
    talmo::Say(stderr, e.what());
  } catch (...) {
    talmo::Say(stderr, "unknown error");
  }
  return talmo::kExitFailure;
}
