#include "app/port_args.h"

#include <unistd.h>

#include "app/cli_output.h"
#include "app/send_source.h"
#include "base/port_texts.h"
#include "ports/port_list.h"
#include "session/port_loop.h"
#include "settings/registry.h"

namespace talmo {

const char kPortOptionsHelp[] =
    "  --port COMn            a port of 'talmocli ports' (COM99: the loopback port)\n"
    "  --device PATH          a device by its path, or a remote port\n"
    "                         rfc2217://HOST:PORT (ser2net, a terminal server)\n"
    "  --baud N               line rate (default 19200): 110, 300, 1024, 1200,\n"
    "                         2400, 4800, 9600, 14400, 19200, 38400, 56000,\n"
    "                         57600, 115200, 128000, 256000, and any other\n"
    "                         rate the device takes (250000, 921600, ...)\n"
    "  --databits 7|8         (default 8)\n"
    "  --parity none|odd|even (default none)\n"
    "  --stopbits 1|1.5|2     (default 1)\n"
    "  --flow none|rtscts|xonxoff  flow control (default none); rtscts drives RTS\n"
    "  --dtr on|off           DTR from the open on (default off)\n"
    "  --rts on|off           RTS from the open on (default off)\n"
    "  --break-at-open        send a break of 250 ms right after the open (a\n"
    "                         board that a break resets)\n"
    "  --lines                show the modem lines: their state at the open,\n"
    "                         then each change of CTS, DSR, DCD and RI as a line\n"
    "                         of its own ('-- CTS on'), also recorded in a timed\n"
    "                         capture (a pseudo-terminal has no modem lines)\n";

namespace {

bool OnOff(TArgScanner& s) {
  const std::string n = s.Word();
  const std::string v = s.Value();
  if (v != "on" && v != "off")
    throw EUsageError("bad value for " + n + ": '" + v + "' (on or off expected)");
  return v == "on";
}

}  // namespace

bool TPortRequest::Take(TArgScanner& s) {
  const std::string& n = s.Word();
  if (n == "--port") {
    Port = s.Value();
  } else if (n == "--device") {
    Device = s.Value();
  } else if (n == "--baud") {
    Baud = s.Number(1, 4000000);
  } else if (n == "--databits") {
    const std::string v = s.Value();
    if (v != "7" && v != "8")
      throw EUsageError("bad value for --databits: '" + v + "' (7 or 8 expected)");
    Databits = v == "7" ? db7 : db8;
  } else if (n == "--parity") {
    const std::string v = s.Value();
    if (v == "none")
      Parity = paNone;
    else if (v == "odd")
      Parity = paOdd;
    else if (v == "even")
      Parity = paEven;
    else
      throw EUsageError("bad value for --parity: '" + v + "' (none, odd or even expected)");
  } else if (n == "--stopbits") {
    const std::string v = s.Value();
    if (v == "1")
      Stopbits = sb1;
    else if (v == "1.5")
      Stopbits = sb15;
    else if (v == "2")
      Stopbits = sb2;
    else
      throw EUsageError("bad value for --stopbits: '" + v + "' (1, 1.5 or 2 expected)");
  } else if (n == "--flow") {
    const std::string v = s.Value();
    Flow = FlowChoiceByName(v);
    if (!Flow)
      throw EUsageError("bad value for --flow: '" + v + "' (none, rtscts or xonxoff expected)");
  } else if (n == "--dtr") {
    Dtr = OnOff(s);
  } else if (n == "--rts") {
    Rts = OnOff(s);
  } else if (n == "--break-at-open") {
    s.NoValue();
    BreakAtOpen = true;
  } else if (n == "--lines") {
    s.NoValue();
    ModemLines = true;
  } else {
    return false;
  }
  if (Rts && Flow == TFlow::RtsCts)
    throw EUsageError("--rts cannot be given with --flow rtscts: the flow control drives RTS");
  return true;
}

bool IsPortLabel(const std::string& text) {
  if (text.empty()) return false;
  for (const char c : text)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
          c == '_'))
      return false;
  return true;
}

TLabelledPort SplitPortLabel(const std::string& option, const std::string& value) {
  TLabelledPort r;
  const std::size_t eq = value.find('=');
  // A '/' before the first '=' makes the whole value a path ("/dev/x",
  // "./a=b") or a remote port ("rfc2217://HOST:PORT"): never a label.
  if (eq == std::string::npos || value.find('/') < eq) {
    r.Name = value;
    return r;
  }
  const bool device = option == "--device";
  const std::string what = option + " '" + value + "'";
  r.Label = value.substr(0, eq);
  r.Name = value.substr(eq + 1);
  if (r.Label.empty())
    throw EUsageError("empty label in " + what + " (write LABEL=" + (device ? "PATH" : "COMn") +
                      ", or leave out the '=')");
  if (!IsPortLabel(r.Label))
    throw EUsageError("bad label '" + r.Label + "' in " + what +
                      ": a label is letters, digits, '-' and '_'" +
                      (device ? " (a relative path with '=' is written ./PATH)" : ""));
  if (r.Name.empty())
    throw EUsageError(what + " names no " + (device ? "device" : "port") + " after its label");
  return r;
}

void TPortRequest::CheckOne(const std::string& alternative) const {
  if (Port.has_value() == Device.has_value())
    throw EUsageError("give " + (alternative.empty() ? "" : alternative + ", or ") +
                      "either --port COMn or --device PATH");
}

std::string TPortRequest::Describe() const {
  const char* parity = Parity == paOdd ? "odd" : Parity == paEven ? "even" : "none";
  const char* stop = Stopbits == sb1    ? "1 stop bit"
                     : Stopbits == sb15 ? "1.5 stop bits"
                                        : "2 stop bits";
  return std::to_string(Baud) + " baud, " + (Databits == db7 ? "7" : "8") + " data bits, parity " +
         parity + ", " + stop;
}

std::optional<std::string> TPortRequest::Resolve(std::string& error,
                                                 std::optional<std::string>* warning) const {
  if (Device) return *Device;
  const auto store = TRegistryStore::ForFile(SettingsFilePath());
  // Taken at once: a settings file set aside without a word would make the
  // next window start look like a first start.
  if (warning) *warning = store->TakeWarning();
  const TPortList list = MachinePortList(store);
  std::string why;
  const std::optional<std::string> path = list.DevicePathFor(*Port, &why);
  if (!path) {
    error = "unknown port '" + *Port + "' ('talmocli ports' lists the ports)";
    return std::nullopt;
  }
  if (path->empty()) {
    // The built-in loopback port could not be started.
    error = why;
    return std::nullopt;
  }
  return *path;
}

std::optional<std::string> TPortRequest::ResolveOrSay(std::FILE* err) const {
  std::string problem;
  std::optional<std::string> warning;
  std::optional<std::string> path = Resolve(problem, &warning);
  if (warning) Say(err, *warning);
  if (!path) Say(err, problem);
  return path;
}

TSessionDevice TPortRequest::SessionDevice(const std::string& path) const {
  return TSessionDevice{Port.value_or(""), path};
}

void TPortRequest::Apply(TSerComm& comm) const {
  bool standard = false;
  for (int b = br110; b <= br256000 && !standard; ++b)
    if (BaudRateOf(static_cast<TSerBaudrate>(b)) == static_cast<std::uint32_t>(Baud)) {
      comm.SetBaudrate(static_cast<TSerBaudrate>(b));
      standard = true;
    }
  if (!standard) {
    comm.SetUserBaudrate(static_cast<std::int32_t>(Baud));
    comm.SetBaudrate(brUser);
  }
  comm.SetDatabits(Databits);
  comm.SetParity(Parity);
  comm.SetStopbits(Stopbits);
  if (Flow || Dtr || Rts) {
    TSerFlowControl flow;
    flow.Assign(comm.FlowControl());
    if (Flow) ApplyFlowChoice(flow, *Flow);
    if (Dtr) flow.SetControlDtr(*Dtr ? dtrEnabled : dtrDisabled);
    if (Rts) flow.SetControlRts(*Rts ? rtsEnabled : rtsDisabled);
    comm.SetFlowControl(flow);
  }
  if (Port) {
    try {
      comm.SetPortNum(PortNumberFromName(*Port));  // numbers the error lines
    } catch (const EConvertError&) {
    }
  }
}

void TPortRequest::ApplySession(TSessionOptions& options) const {
  options.ModemLines = ModemLines;
  options.BreakAtOpen = BreakAtOpen ? kBreakAtOpen : std::chrono::milliseconds(0);
}

void SayDeviceGone(std::FILE* err, const std::string& title, const std::string& more) {
  Say(err, title + ": " + kDeviceGoneText + (more.empty() ? "" : " ") + more);
}

bool BeginRun(TLineOutput& out, TPortLoop& loop, std::optional<long long> seconds,
              const std::optional<std::string>& capture, int& fifo, TSendSource* source,
              const std::string& sourceName, std::FILE* err) {
  out.SetBounded();
  // A FIFO without a reader would hold the run in its open, deaf to every
  // stop, with the port open: its reader comes first.
  loop.EndAfter(seconds);
  fifo = -1;
  if (capture && !AwaitCaptureReader(*capture, loop, err, fifo)) return false;
  if (source)
    if (const int code = source->Open()) {
      SayCannotRead(err, sourceName, code);
      if (fifo >= 0) ::close(fifo);
      fifo = -1;
      return false;
    }
  return true;
}

bool EndPortRun(TLineOutput& out, TPortLoop& loop, std::FILE* err, TSerComm& comm,
                TReceiveSession& session, bool lost) {
  bool ok = EndOutput(out, loop, err);
  if (out.FailedToTell()) {
    SayOutputFailed(err, out.Error());
    ok = false;
  }
  if (lost) {
    SayDeviceGone(err, session.Device().Title());
    ok = false;
  }
  // A test's clock has nothing left to measure: the last pause is real.
  comm.SetTiming(TSerTiming::System());
  try {
    comm.Close();
  } catch (const std::exception& e) {
    Say(err, e.what());
    ok = false;
  }
  session.StopCapture();
  return ok;
}

void SayOpenFailure(std::FILE* err, const TOpenFailure& failure) {
  Say(err, failure.Message);
  if (!failure.Hint.empty()) Say(err, failure.Hint);
}

bool OpenOrSay(TReceiveSession& session, std::FILE* err) {
  const std::optional<TOpenFailure> failure = session.Open();
  if (failure) SayOpenFailure(err, *failure);
  return !failure;
}

TMessageSync::TMessageSync() : TMessageSync(std::make_shared<std::string>()) {}

TMessageSync::TMessageSync(std::shared_ptr<std::string> failure)
    : TSerQueueSync([failure](std::exception_ptr e) { *failure = ExceptionMessage(e); }),
      FFailure(std::move(failure)) {}

std::string TMessageSync::TakeFailure() {
  std::string f;
  f.swap(*FFailure);
  return f;
}

}  // namespace talmo
