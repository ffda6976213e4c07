#include "port_args.h"

#include "loopback_port.h"
#include "port_list.h"
#include "port_messages.h"
#include "registry.h"

namespace talmo {

const char kPortOptionsHelp[] =
    "  --port COMn            a port of 'talmocli ports' (COM99: the loopback port)\n"
    "  --device PATH          a device by its path, or a remote port\n"
    "                         rfc2217://HOST:PORT (ser2net, a terminal server)\n"
    "  --baud N               line rate (default 19200; 1024 and other rates too)\n"
    "  --databits 7|8         (default 8)\n"
    "  --parity none|odd|even (default none)\n"
    "  --stopbits 1|1.5|2     (default 1)\n";

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
    if (v != "7" && v != "8") throw TUsageError("bad value for --databits: '" + v + "' (7 or 8 expected)");
    Databits = v == "7" ? db7 : db8;
  } else if (n == "--parity") {
    const std::string v = s.Value();
    if (v == "none") Parity = paNone;
    else if (v == "odd") Parity = paOdd;
    else if (v == "even") Parity = paEven;
    else throw TUsageError("bad value for --parity: '" + v + "' (none, odd or even expected)");
  } else if (n == "--stopbits") {
    const std::string v = s.Value();
    if (v == "1") Stopbits = sb1;
    else if (v == "1.5") Stopbits = sb15;
    else if (v == "2") Stopbits = sb2;
    else throw TUsageError("bad value for --stopbits: '" + v + "' (1, 1.5 or 2 expected)");
  } else {
    return false;
  }
  return true;
}

void TPortRequest::CheckOne(const std::string& alternative) const {
  if (Port.has_value() == Device.has_value())
    throw TUsageError("give " + (alternative.empty() ? "" : alternative + ", or ") +
                      "either --port COMn or --device PATH");
}

std::string TPortRequest::Describe() const {
  const char* parity = Parity == paOdd ? "odd" : Parity == paEven ? "even" : "none";
  const char* stop = Stopbits == sb1 ? "1 stop bit" : Stopbits == sb15 ? "1.5 stop bits" : "2 stop bits";
  return std::to_string(Baud) + " baud, " + (Databits == db7 ? "7" : "8") + " data bits, parity " + parity + ", " +
         stop;
}

std::optional<std::string> TPortRequest::Resolve(std::string& error) const {
  if (Device) return *Device;
  std::optional<TPortEntry> loopback;
  if (!TLoopbackPort::Instance().Path().empty()) loopback = LoopbackPortEntry(TLoopbackPort::Instance().Path());
  const TPortList list = TPortList::Build(TRegistryStore::ForFile(SettingsFilePath()), TPortSources{}, loopback);
  std::optional<std::string> path = list.DevicePathFor(*Port);
  if (!path) error = "unknown port '" + *Port + "' ('talmocli ports' lists the ports)";
  return path;
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
  if (Port) {
    try {
      comm.SetPortNum(PortNumberFromName(*Port));  // numbers the error lines
    } catch (const EConvertError&) {
    }
  }
}

void ReportLineErrors(TSerComm& comm, std::FILE* to, const char* prefix, bool& deviceGone) {
  comm.OnError = [&comm, to, prefix, &deviceGone](TSerCustomComm*, int errors) {
    for (const std::string& line : ErrorLines(comm.PortNum(), static_cast<std::uint32_t>(errors)))
      std::fprintf(to, "%s%s\n", prefix, line.c_str());
    if (static_cast<std::uint32_t>(errors) & kDeviceGoneBit) deviceGone = true;
  };
}

bool OpenOrSay(TSerComm& comm, std::FILE* err) {
  try {
    comm.Open();
    return true;
  } catch (const std::exception& e) {
    std::fprintf(err, "talmocli: %s\n", e.what());
    // What the user can do about it, on a line of its own.
    if (const std::string hint = ErrorHintOf(std::current_exception()); !hint.empty())
      std::fprintf(err, "talmocli: %s\n", hint.c_str());
    return false;
  }
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
