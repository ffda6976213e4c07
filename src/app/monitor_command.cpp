#include "monitor_command.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>

#include "cli_args.h"
#include "formatter.h"
#include "loopback_port.h"
#include "port_args.h"
#include "port_list.h"
#include "port_messages.h"
#include "posix_device.h"
#include "registry.h"
#include "ser_comm.h"
#include "ser_sync.h"

namespace talmo {

std::string MonitorUsage() {
  return std::string(
             "usage: talmocli monitor (--port COMn | --device PATH) [--baud N]\n"
             "                        [--databits 7|8] [--parity none|odd|even]\n"
             "                        [--stopbits 1|1.5|2] [framing options]\n"
             "                        [--capture FILE] [--seconds N]\n"
             "                        [--send FILE [--repeat MS]]\n"
             "Prints every display line of the port as it is finished, and its line\n"
             "errors.\n") +
         kPortOptionsHelp +
         "  --capture FILE  write the raw received bytes to FILE\n"
             "  --seconds N     end after N seconds (default: at Ctrl+C)\n"
             "  --send FILE     send FILE's bytes once the port is open;\n"
             "  --repeat MS     and again every MS milliseconds\n"
             "Framing options, as for decode:\n" +
         kFramingOptionsHelp;
}

namespace {

using Clock = std::chrono::steady_clock;

// The line time-out of the window: an unfinished line is shown after this
// long without data.
constexpr auto kLineTimeout = std::chrono::milliseconds(1999);

struct TMonitorRequest {
  TPortRequest Line;
  std::optional<std::string> Capture, Send;
  std::optional<long long> Seconds, RepeatMs;
  TFramingRequest Framing;
};

TMonitorRequest Parse(const std::vector<std::string>& args) {
  TMonitorRequest r;
  TArgScanner s(args);
  while (s.Next()) {
    if (!s.IsOption()) s.Unknown();
    const std::string n = s.Word();
    if (r.Framing.Take(s)) continue;
    if (r.Line.Take(s)) continue;
    if (n == "--capture") r.Capture = s.Value();
    else if (n == "--seconds") r.Seconds = s.Number(0, 100000000);
    else if (n == "--send") r.Send = s.Value();
    else if (n == "--repeat") r.RepeatMs = s.Number(1, 100000000);
    else s.Unknown();
  }
  r.Framing.Check();
  r.Line.CheckOne();
  if (r.RepeatMs && !r.Send) throw TUsageError("--repeat needs --send");
  return r;
}

TPortList CurrentPorts(const std::shared_ptr<TRegistryStore>& store) {
  std::optional<TPortEntry> loopback;
  if (!TLoopbackPort::Instance().Path().empty()) loopback = LoopbackPortEntry(TLoopbackPort::Instance().Path());
  return TPortList::Build(store, TPortSources{}, loopback);
}

}  // namespace

int RunPorts(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  if (!args.empty()) {
    std::fprintf(err, "talmocli: ports takes no options\nusage: talmocli ports\n");
    return kExitUsage;
  }
  const auto store = TRegistryStore::ForFile(SettingsFilePath());
  // A settings file set aside or unreadable is news the next window start
  // would otherwise hide.
  if (const auto warning = store->TakeWarning()) std::fprintf(err, "talmocli: %s\n", warning->c_str());
  const TPortList list = CurrentPorts(store);
  for (const TPortEntry& e : list.Entries())
    std::fprintf(out, "%-6s  %-40s  %s\n", e.Name.c_str(), e.Path.c_str(), e.Description.c_str());
  for (const std::string& p : list.Problems()) std::fprintf(err, "talmocli: %s\n", p.c_str());
  return kExitOk;
}

int RunMonitor(const std::vector<std::string>& args, std::FILE* out, std::FILE* err, const std::atomic<bool>* stop) {
  TMonitorRequest req;
  try {
    req = Parse(args);
  } catch (const TUsageError& e) {
    std::fprintf(err, "talmocli: %s\n%s", e.what(), MonitorUsage().c_str());
    return kExitUsage;
  }

  // Everything that can be checked is checked before the port opens, so a
  // failure leaves nothing half-done.
  std::string problem;
  const std::optional<std::string> resolved = req.Line.Resolve(problem);
  if (!resolved) {
    std::fprintf(err, "talmocli: %s\n", problem.c_str());
    return kExitFailure;
  }
  const std::string path = *resolved;
  const std::string name = req.Line.Port.value_or(path);
  std::string sendBytes;
  if (req.Send) {
    std::ifstream in(*req.Send, std::ios::binary);
    if (!in) {
      std::fprintf(err, "talmocli: cannot read '%s': %s\n", req.Send->c_str(), std::strerror(errno));
      return kExitFailure;
    }
    sendBytes.assign(std::istreambuf_iterator<char>(in), {});
  }

  TMessageSync sync;
  auto driver = std::make_shared<TSerPosixDriver>([path](const std::string&) { return path; });
  TSerComm comm(driver, sync);
  comm.SetDeviceName(name);
  req.Line.Apply(comm);

  const TFormatOptions opts = req.Framing.Options();
  auto lastActivity = Clock::now();
  std::FILE* capture = nullptr;
  bool captureFailed = false;
  TFormatterHooks hooks;
  hooks.Line = [out](std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), out);
    std::fputc('\n', out);
  };
  hooks.RestartTimeout = [&lastActivity] { lastActivity = Clock::now(); };
  hooks.Capture = [&](const std::uint8_t* b, std::size_t n) {
    if (capture && std::fwrite(b, 1, n, capture) != n && !captureFailed) {
      captureFailed = true;
      std::fprintf(err, "talmocli: writing the capture '%s' failed: %s\n", req.Capture->c_str(),
                   std::strerror(errno));
    }
  };
  TReceiveFormatter formatter(opts, std::move(hooks));
  formatter.SetSigns(req.Framing.FirstSign(), req.Framing.LastSign());
  formatter.FrameWatch().Start();

  bool deviceGone = false;
  comm.OnRxChar = [&](TSerCustomComm*, int count) {
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(count) + 1);
    const int n = comm.ReadBuf(buf.data(), count);
    formatter.FormatReceived(buf.data(), static_cast<std::size_t>(n > 0 ? n : 0));
    lastActivity = Clock::now();
  };
  ReportLineErrors(comm, out, "", deviceGone);
  if (!OpenOrSay(comm, err)) return kExitFailure;
  if (req.Capture) {
    capture = std::fopen(req.Capture->c_str(), "wb");
    if (!capture) {
      std::fprintf(err, "talmocli: cannot create the capture '%s': %s\n", req.Capture->c_str(), std::strerror(errno));
      comm.Close();
      return kExitFailure;
    }
  }
  std::fprintf(err, "talmocli: monitoring %s (%s) at %s; Ctrl+C ends\n", name.c_str(), path.c_str(),
               req.Line.Describe().c_str());

  const auto start = Clock::now();
  auto nextSend = start;
  int status = kExitOk;
  for (;;) {
    const auto now = Clock::now();
    if (stop && stop->load()) break;
    if (req.Seconds && now - start >= std::chrono::seconds(*req.Seconds)) break;
    if (!sendBytes.empty() && now >= nextSend) {
      try {
        comm.WriteBuf(sendBytes.data(), static_cast<int>(sendBytes.size()));
      } catch (const std::exception& e) {
        std::fprintf(err, "talmocli: %s\n", e.what());
      }
      if (req.RepeatMs)
        nextSend = now + std::chrono::milliseconds(*req.RepeatMs);
      else
        sendBytes.clear();
    }
    if (now - lastActivity >= kLineTimeout) {
      formatter.TimeoutFlush();
      lastActivity = now;
    }
    // Wake in time for the next repeated send, and at least every 20 ms.
    auto wait = std::chrono::milliseconds(20);
    if (!sendBytes.empty())
      wait = std::clamp(std::chrono::duration_cast<std::chrono::milliseconds>(nextSend - Clock::now()),
                        std::chrono::milliseconds(0), wait);
    sync.WaitAndProcess(wait);
    std::fflush(out);
    if (const std::string failure = sync.TakeFailure(); !failure.empty())
      std::fprintf(err, "talmocli: %s\n", failure.c_str());
    if (deviceGone) {
      std::fprintf(err, "talmocli: %s: the device is no longer available\n", name.c_str());
      status = kExitFailure;
      break;
    }
  }
  formatter.TimeoutFlush();
  std::fflush(out);
  try {
    comm.Close();
  } catch (const std::exception& e) {
    std::fprintf(err, "talmocli: %s\n", e.what());
    status = kExitFailure;
  }
  if (capture && std::fclose(capture) != 0 && !captureFailed) {
    std::fprintf(err, "talmocli: writing the capture '%s' failed: %s\n", req.Capture->c_str(), std::strerror(errno));
    status = kExitFailure;
  }
  return captureFailed ? kExitFailure : status;
}

}  // namespace talmo
