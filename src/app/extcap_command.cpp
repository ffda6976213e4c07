#include "app/extcap_command.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "app/cli_args.h"
#include "app/cli_output.h"
#include "app/port_args.h"
#include "base/error_text.h"
#include "base/trace.h"
#include "build_info/talmo_build.h"
#include "device/remote_port_name.h"
#include "device/rfc2217_codec.h"
#include "ports/port_list.h"
#include "settings/registry.h"

namespace talmo {

std::string ExtcapUsage() {
  return "usage: talmo-extcap --extcap-interfaces\n"
         "       talmo-extcap --extcap-interface NAME (--extcap-dlts | --extcap-config)\n"
         "       talmo-extcap --capture --extcap-interface NAME --fifo PATH\n"
         "                    [--baud N] [--databits 7|8] [--parity none|odd|even]\n"
         "                    [--stopbits 1|1.5|2] [--remote HOST:PORT]\n"
         "       (or talmocli extcap ...)\n"
         "Wireshark's capture program. Every port of 'talmocli ports' is an interface\n"
         "talmo-COMn; talmo-remote reaches a remote port rfc2217://HOST:PORT given by\n"
         "--remote. A capture writes the port's timed capture (pcapng, link type 250)\n"
         "into PATH until SIGTERM. Wireshark finds it as talmo-extcap, a link to\n"
         "talmocli in its extcap folder; options of Wireshark's own (--extcap-*) that\n"
         "are not listed here are ignored. --debug-file FILE (Wireshark's debug\n"
         "option) appends a line for each thing asked of the port to FILE.\n";
}

namespace {

constexpr std::string_view kInterfacePrefix = "talmo-";
constexpr const char* kRemoteInterface = "talmo-remote";

enum class TAction { None, Interfaces, Dlts, Config, Capture };

struct TExtcapRequest {
  TAction Action = TAction::None;
  std::optional<std::string> Interface, Fifo, Remote;
  TPortRequest Line;
};

// Wireshark's own options whose value is the next word; any other
// --extcap-* option takes the next word only when it is not an option.
bool TakesValue(const std::string& name) {
  return name == "--extcap-capture-filter" || name == "--extcap-control-in" ||
         name == "--extcap-control-out" || name == "--extcap-reload-option" ||
         name == "--debug-file";
}

// The arguments without Wireshark's options that we do not use.
std::vector<std::string> WithoutForeign(const std::vector<std::string>& args) {
  static const char* const kOurs[] = {"--extcap-interfaces", "--extcap-interface", "--extcap-dlts",
                                      "--extcap-config"};
  std::vector<std::string> kept;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const std::string name = a.substr(0, a.find('='));
    bool ours = false;
    for (const char* o : kOurs) ours = ours || name == o;
    const bool foreign =
        !ours && (name.rfind("--extcap-", 0) == 0 || name == "--debug" || name == "--debug-file");
    if (!foreign) {
      kept.push_back(a);
      continue;
    }
    const bool inlineValue = name.size() < a.size();
    if (!inlineValue && i + 1 < args.size() &&
        (TakesValue(name) || (name != "--debug" && args[i + 1].rfind("-", 0) != 0)))
      ++i;
  }
  return kept;
}

bool IsLineOption(const std::string& name) {
  return name == "--baud" || name == "--databits" || name == "--parity" || name == "--stopbits";
}

void SetAction(TExtcapRequest& r, TAction action) {
  if (r.Action != TAction::None && r.Action != action)
    throw EUsageError(
        "give one of --extcap-interfaces, --extcap-dlts, --extcap-config and --capture");
  r.Action = action;
}

// "rfc2217://HOST:PORT" for --remote's HOST:PORT (the full name is taken
// too); a usage error saying what is wrong with it.
std::string RemoteDevice(const std::string& value) {
  const std::string device =
      IsRemotePortName(value) ? value : std::string(kRemotePortScheme) + value;
  std::string host, port;
  const std::string problem = RemotePortNameProblem(device, host, port);
  if (!problem.empty())
    throw EUsageError("bad value for --remote: '" + value + "' (" + problem +
                      "; HOST:PORT or [v6]:PORT expected)");
  return device;
}

TExtcapRequest Parse(const std::vector<std::string>& args) {
  TExtcapRequest r;
  const std::vector<std::string> kept = WithoutForeign(args);
  TArgScanner s(kept);
  while (s.Next()) {
    if (!s.IsOption()) s.Unknown();
    const std::string n = s.Word();
    if (IsLineOption(n)) {
      r.Line.Take(s);
      continue;
    }
    const TAction action = n == "--extcap-interfaces" ? TAction::Interfaces
                           : n == "--extcap-dlts"     ? TAction::Dlts
                           : n == "--extcap-config"   ? TAction::Config
                           : n == "--capture"         ? TAction::Capture
                                                      : TAction::None;
    if (action != TAction::None) {
      s.NoValue();
      SetAction(r, action);
    } else if (n == "--extcap-interface") {
      r.Interface = s.Value();
    } else if (n == "--fifo") {
      r.Fifo = s.Value();
    } else if (n == "--remote") {
      r.Remote = s.Value();
    } else {
      s.Unknown();
    }
  }
  if (r.Action == TAction::None)
    throw EUsageError(
        "nothing to do: give --extcap-interfaces, --extcap-dlts, --extcap-config or --capture");
  if (r.Action == TAction::Interfaces) return r;
  if (!r.Interface) throw EUsageError("--extcap-interface NAME is needed");
  const std::string& name = *r.Interface;
  if (name.size() <= kInterfacePrefix.size() || name.rfind(kInterfacePrefix, 0) != 0)
    throw EUsageError("unknown interface '" + name +
                      "' (talmo-COMn or talmo-remote expected; --extcap-interfaces lists them)");
  const bool remote = name == kRemoteInterface;
  if (r.Remote && !remote) throw EUsageError("--remote is for the interface talmo-remote only");
  if (r.Remote) r.Line.Device = RemoteDevice(*r.Remote);
  if (r.Action != TAction::Capture) return r;
  if (!r.Fifo) throw EUsageError("--capture needs --fifo PATH");
  if (remote && !r.Remote) throw EUsageError("talmo-remote needs --remote HOST:PORT");
  if (!remote) r.Line.Port = name.substr(kInterfacePrefix.size());
  return r;
}

// Text inside the braces of an extcap line: no brace or line break can
// end the field early.
std::string Field(std::string text) {
  for (char& c : text) {
    if (c == '{') c = '(';
    if (c == '}') c = ')';
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  }
  return text;
}

// A port name that can be an interface and be found again from it.
bool UsableName(const std::string& name) {
  if (name.empty() || name[0] == '/' || name.rfind("\\\\.\\", 0) == 0 || IsRemotePortName(name))
    return false;
  if (Field(name) != name) return false;
  std::string upper = name;
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return upper != "REMOTE";  // the remote port's interface has that name
}

void Interfaces(TLineOutput& out, std::FILE* err) {
  const auto store = TRegistryStore::ForFile(SettingsFilePath());
  if (const auto warning = store->TakeWarning()) Say(err, *warning);
  const TPortList list = MachinePortList(store);
  out.Line("extcap {version=" TALMO_VERSION "}{help=man:talmocli(1)}");
  for (const TPortEntry& e : list.Entries()) {
    if (!UsableName(e.Name)) {
      Say(err, "the port '" + Field(e.Name) + "' is left out: its name cannot be an interface");
      continue;
    }
    out.Line("interface {value=talmo-" + e.Name +
             "}{display=" + Field("TALMO " + e.Name + " (" + ShownPath(e) + ")") + "}");
  }
  out.Line(std::string("interface {value=") + kRemoteInterface +
           "}{display=TALMO remote port (RFC 2217, ser2net)}");
  for (const std::string& p : list.Problems()) Say(err, p);
}

struct TChoice {
  const char* Value;
  const char* Display;
};

void Selector(TLineOutput& out, int number, const char* call, const char* display,
              const char* tooltip, std::initializer_list<TChoice> choices) {
  const std::string n = std::to_string(number);
  out.Line("arg {number=" + n + "}{call=" + call + "}{display=" + display +
           "}{type=selector}{tooltip=" + tooltip + "}");
  bool first = true;
  for (const TChoice& c : choices) {
    out.Line("value {arg=" + n + "}{value=" + c.Value + "}{display=" + c.Display +
             "}{default=" + (first ? "true" : "false") + "}");
    first = false;
  }
}

void Config(TLineOutput& out, bool remote) {
  int number = 0;
  if (remote)
    out.Line("arg {number=" + std::to_string(number++) +
             "}{call=--remote}{display=Server (HOST:PORT)}{type=string}{required=true}"
             "{placeholder=lab-pi:7000}"
             "{tooltip=The RFC 2217 server of the port, e.g. ser2net; [v6]:PORT for IPv6}");
  out.Line("arg {number=" + std::to_string(number++) +
           "}{call=--baud}{display=Baud rate}{type=integer}{range=1,4000000}{default=19200}"
           "{tooltip=Line rate in bits per second (any rate, 1024 too)}");
  Selector(out, number++, "--databits", "Data bits", "Bits per character",
           {{"8", "8"}, {"7", "7"}});
  Selector(out, number++, "--parity", "Parity", "Parity bit",
           {{"none", "None"}, {"odd", "Odd"}, {"even", "Even"}});
  // 1.5 stop bits go only with 5 data bits, which are not offered.
  Selector(out, number++, "--stopbits", "Stop bits", "Stop bits per character",
           {{"1", "1"}, {"2", "2"}});
}

// What a file is, for a refusal: "a regular file", "a directory", ...
std::string KindOf(mode_t mode) {
  if (S_ISREG(mode)) return "a regular file";
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a FIFO";
}

// Wireshark hands over a named pipe it made. Anything else (a file given
// by mistake, a path it never made) is refused before anything opens it
// for writing: the capture would empty a regular file.
void RefuseAllButFifo(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0)
    throw EUsageError("--fifo '" + path + "': " + SysErrorText(errno) +
                      " (the named pipe Wireshark made is expected)");
  if (!S_ISFIFO(st.st_mode))
    throw EUsageError("--fifo '" + path + "' is " + KindOf(st.st_mode) +
                      ", not a FIFO: it is left as it is (the named pipe Wireshark made is "
                      "expected)");
}

int Capture(const TExtcapRequest& r, std::FILE* out, std::FILE* err, TMonitorStop* stop) {
  const TPortRequest& l = r.Line;
  std::vector<std::string> args;
  if (l.Port)
    args = {"--port", *l.Port};
  else
    args = {"--device", *l.Device};
  const char* parity = l.Parity == paOdd ? "odd" : l.Parity == paEven ? "even" : "none";
  const char* stopBits = l.Stopbits == sb15 ? "1.5" : l.Stopbits == sb2 ? "2" : "1";
  args.insert(args.end(),
              {"--baud", std::to_string(l.Baud), "--databits", l.Databits == db7 ? "7" : "8",
               "--parity", parity, "--stopbits", stopBits, "--capture", *r.Fifo});
  // Held open for writing from when the reader comes, so that it sees a
  // writer even when the run fails before its capture starts: a reader
  // left waiting for a writer would hang.
  bool stopped = false;
  const TMonitorClock clock = TMonitorClock::System();
  TPortLoop loop(clock, stop);
  const int held = AwaitFifoReader(*r.Fifo, loop, stopped);
  if (stopped) return kExitOk;
  // Opened without O_TRUNC, so a file put in the FIFO's place since it
  // was checked is still whole here.
  struct stat st {};
  if (held >= 0 && (::fstat(held, &st) != 0 || !S_ISFIFO(st.st_mode))) {
    ::close(held);
    Say(err, "--fifo '" + *r.Fifo + "' is " + KindOf(st.st_mode) +
                 ", not a FIFO: it is left as it is (the named pipe Wireshark made is expected)");
    return kExitFailure;
  }
  TMonitorMode mode;
  mode.TimedCapture = true;
  mode.CaptureOnly = true;
  const int status = RunMonitor(args, out, err, stop, TMonitorClock::System(), mode);
  if (held >= 0) ::close(held);
  return status == kExitOk ? kExitOk : kExitFailure;
}

// Wireshark's --debug-file FILE: the trace, appended to FILE. --debug alone
// traces nowhere, since Wireshark takes all a capture program writes to
// standard error for its error. A file that cannot be opened is said and
// the run goes on: a debug option must not hide the interfaces.
void TraceOnDebugFile(const std::vector<std::string>& args, std::FILE* err) {
  std::optional<std::string> file;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const std::string name = a.substr(0, a.find('='));
    const bool inlineValue = name.size() < a.size();
    if (name == "--debug-file")
      file = inlineValue ? a.substr(name.size() + 1) : i + 1 < args.size() ? args[++i] : "";
    else if (!inlineValue && TakesValue(name))
      ++i;  // a value that happens to read "--debug-file" is not the option
  }
  if (!file || file->empty()) return;
  if (const int code = TraceToFile(*file, kExtcapProgramName))
    Say(err, "--debug-file '" + *file + "': " + SysErrorText(code) + "; no trace is written");
}

}  // namespace

bool IsExtcapProgram(const char* argv0) {
  if (!argv0) return false;
  const std::string path = argv0;
  const std::size_t slash = path.rfind('/');
  return path.substr(slash == std::string::npos ? 0 : slash + 1) == kExtcapProgramName;
}

int RunExtcap(const std::vector<std::string>& args, std::FILE* out, std::FILE* err,
              TMonitorStop* stop) {
  TraceOnDebugFile(args, err);
  TExtcapRequest r;
  try {
    r = Parse(args);
    if (r.Action == TAction::Capture) RefuseAllButFifo(*r.Fifo);
  } catch (const EUsageError& e) {
    Say(err, e.what());
    return kExitUsage;
  }
  if (r.Action == TAction::Capture) return Capture(r, out, err, stop);
  TLineOutput output(out);
  if (r.Action == TAction::Interfaces)
    Interfaces(output, err);
  else if (r.Action == TAction::Dlts)
    output.Line("dlt {number=250}{name=RTAC_SERIAL}{display=Serial line (TALMO)}");
  else
    Config(output, *r.Interface == kRemoteInterface);
  output.Flush();
  if (output.FailedToTell()) {
    SayOutputFailed(err, output.Error());
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace talmo
