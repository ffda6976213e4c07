#include "app/decode_command.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <tuple>

#include "app/cli_args.h"
#include "app/cli_output.h"
#include "base/line_error_bits.h"
#include "capture/pcapng.h"
#include "device/device_driver.h"
#include "engine/clock.h"
#include "engine/formatter.h"
#include "engine/line_cutter.h"
#include "engine/modbus.h"
#include "serial/ser_comm.h"
#include "serial/ser_sync.h"
#include "session/receive_session.h"

namespace talmo {

std::string DecodeUsage() {
  return std::string(
             "usage: talmocli decode [--first HH] [--last HH] [--bcc | --no-bcc]\n"
             "                       [--bcc-check xor|sum [--bcc-span FROM..TO]]\n"
             "                       [--time | --no-time] [--no-convert] [--hex]\n"
             "                       [--stxhl | --prod2] [--manch] [--sent | --both]\n"
             "                       [--modbus rtu|ascii [--answer-timeout MS]] [FILE]\n"
             "Shows a capture (FILE, or standard input when absent or -) as the\n"
             "monitor's display lines, one per output line.\n") +
         kFramingOptionsHelp +
         "  --sent                 a timed capture: the sent bytes instead of the received\n"
         "  --both                 a timed capture: both directions in time order, each\n"
         "                         line marked 'RX ' (received) or 'TX ' (sent)\n"
         "                         (with --modbus, the default)\n"
         "Options given explicitly win over the --stxhl and --prod2 presets.\n"
         "A timed capture (pcapng, known by its content) is decoded with its recorded\n"
         "times: stamps, PROD2 pauses and the line time-out are those of the recording,\n"
         "so the lines are those the live view showed; a capture of several ports\n"
         "marks each line with its port's name. A raw capture holds no timing: stamps\n"
         "show the decode's start and a gap of 0.\n";
}

namespace {

struct TDecodeRequest {
  TFramingRequest Framing;
  std::optional<std::string> File;
  bool Sent = false, Both = false;
  // Both directions taken for Modbus, not asked for.
  bool BothImplied = false;
};

TDecodeRequest Parse(const std::vector<std::string>& args) {
  TDecodeRequest r;
  TArgScanner s(args);
  while (s.Next()) {
    if (s.IsOption()) {
      if (s.Word() == "--sent" || s.Word() == "--both") {
        s.NoValue();
        (s.Word() == "--sent" ? r.Sent : r.Both) = true;
      } else if (!r.Framing.Take(s)) {
        s.Unknown();
      }
      continue;
    }
    if (r.File)
      throw EUsageError("more than one FILE given ('" + *r.File + "', '" + s.Word() + "')");
    r.File = s.Word();
  }
  r.Framing.Check();
  if (r.Sent && r.Both) throw EUsageError("--sent and --both exclude each other");
  // A request and its answer go opposite ways: Modbus takes both.
  if (r.Framing.Modbus != TModbusMode::None && !r.Sent && !r.Both) r.Both = r.BothImplied = true;
  return r;
}

// Output is gathered in one buffer and written in large pieces; Flush hands
// everything gathered to the output at once. The output keeps the first
// failed write with its reason.
class TLineWriter {
 public:
  explicit TLineWriter(std::FILE* out) : FOut(out) { FBuffer.reserve(kSize); }
  void Line(std::string_view text, std::string_view mark = {}) {
    if (FBuffer.size() + mark.size() + text.size() + 1 > kSize) Write();
    FBuffer.append(mark);
    FBuffer.append(text);
    FBuffer.push_back('\n');
  }
  void Flush() {
    Write();
    FOut.Flush();
  }
  bool Failed() const { return FOut.Failed(); }
  int Failure() const { return FOut.Error(); }

 private:
  void Write() {
    FOut.Text(FBuffer);
    FBuffer.clear();
  }
  static constexpr std::size_t kSize = 1 << 18;
  TLineOutput FOut;
  std::string FBuffer;
};

// True when a read of `fd` would block now: the input has paused.
bool InputPaused(int fd) {
  pollfd p{fd, POLLIN, 0};
  int n;
  while ((n = ::poll(&p, 1, 0)) < 0 && errno == EINTR) {
  }
  return n == 0;
}

// Reads the input to its end, handing each piece to `take`; false on a
// failed read (said on err).
bool ReadAll(int fd, const std::string& path, std::FILE* err, TLineWriter& writer,
             const std::function<void(const std::uint8_t*, std::size_t)>& take) {
  std::uint8_t block[1 << 16];
  while (!writer.Failed()) {
    const ssize_t got = ::read(fd, block, sizeof block);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      SayCannotRead(err, path, errno);
      return false;
    }
    take(block, static_cast<std::size_t>(got));
    // A live source (a pipe, a terminal) shows its finished lines as soon
    // as it pauses; a file, which never pauses, is still written in large
    // pieces.
    if (InputPaused(fd)) writer.Flush();
  }
  return true;
}

// Console lines of a raw capture: cut by the end byte and the length (a
// raw capture has no silences), every stamp the decode's start.
int DecodeRawLines(const TLineRules& rules, const std::string& path, int fd,
                   std::vector<std::uint8_t> first, TLineWriter& writer, std::FILE* err) {
  std::string line;
  const std::int64_t start = UtcNanoseconds();
  TLineCutter cutter(rules,
                     {[&line](std::string_view piece) { line += piece; },
                      [&line, &writer] {
                        writer.Line(line);
                        line.clear();
                      }},
                     start);
  const auto take = [&cutter, start](const std::uint8_t* p, std::size_t n) {
    cutter.Feed(p, n, start);
  };
  if (!first.empty()) take(first.data(), first.size());
  if (InputPaused(fd)) writer.Flush();
  const bool ok = ReadAll(fd, path, err, writer, take);
  if (!writer.Failed()) cutter.EndLine();
  return ok ? kExitOk : kExitFailure;
}

// Modbus frames of a raw capture: found by length and check alone (a raw
// capture has no silences), every stamp the decode's start.
int DecodeRawModbus(const TLineRules& rules, const std::string& path, int fd,
                    std::vector<std::uint8_t> first, TLineWriter& writer, std::FILE* err) {
  TModbusPairing pairing(rules.Modbus, rules.AnswerTimeoutNs);
  const int source = pairing.AddSource();
  const std::int64_t start = UtcNanoseconds();
  TModbusPairing::TLines lines;
  std::string stamped;
  const auto show = [&] {
    for (const TModbusPairing::TLine& line : lines) {
      stamped.clear();
      AppendStamp(stamped, rules.Stamp, start, start, start);
      stamped += line.Text;
      writer.Line(stamped);
    }
    lines.Clear();
  };
  const TModbusPairing::TBlockTime at[] = {{0, start}};
  const auto take = [&](const std::uint8_t* p, std::size_t n) {
    pairing.Chunk(source, p, n, at, lines);
    show();
  };
  if (!first.empty()) take(first.data(), first.size());
  if (InputPaused(fd)) writer.Flush();
  const bool ok = ReadAll(fd, path, err, writer, take);
  if (!writer.Failed()) {
    pairing.DueBy(source, INT64_MAX, lines);
    show();
  }
  return ok ? kExitOk : kExitFailure;
}

// A raw capture holds no timing: every byte counts as arriving at once,
// and every stamp shows the moment the decode started.
int DecodeRaw(const TDecodeRequest& req, const TFormatOptions& opts, const std::string& path,
              int fd, std::vector<std::uint8_t> first, TLineWriter& writer, std::FILE* err) {
  TFormatterClocks clocks;
  const TSystemTime start = UtcNow();
  clocks.Utc = [start] { return start; };
  clocks.Counter.Read = [](std::int64_t& v) {
    v = 0;
    return true;
  };
  clocks.Counter.Frequency = 1000000;
  clocks.Pause = [] { return std::int64_t{0}; };

  const TLineRules rules = req.Framing.Lines();
  if (rules.Modbus != TModbusMode::None)
    return DecodeRawModbus(rules, path, fd, std::move(first), writer, err);
  if (rules.Cut) return DecodeRawLines(rules, path, fd, std::move(first), writer, err);
  TFormatterHooks hooks;
  std::string stamped;
  const std::int64_t startNs = UtcNanoseconds();
  if (rules.Stamp == TStampForm::None)
    hooks.Line = [&writer](std::string_view line) { writer.Line(line); };
  else
    hooks.Line = [&writer, &stamped, &rules, startNs](std::string_view line) {
      stamped.clear();
      AppendStamp(stamped, rules.Stamp, startNs, startNs, startNs);
      if (!line.empty() && line.front() == ' ') stamped.pop_back();
      stamped += line;
      writer.Line(stamped);
    };
  TReceiveFormatter formatter(opts, std::move(hooks), std::move(clocks));
  formatter.SetSigns(req.Framing.FirstSign(), req.Framing.LastSign());
  formatter.FrameWatch().Start();

  if (!first.empty()) formatter.FormatReceived(first.data(), first.size());
  if (InputPaused(fd)) writer.Flush();
  const bool ok = ReadAll(
      fd, path, err, writer,
      [&formatter](const std::uint8_t* p, std::size_t n) { formatter.FormatReceived(p, n); });
  // End of input plays the part of the time-out.
  if (!writer.Failed()) formatter.TimeoutFlush();
  return ok ? kExitOk : kExitFailure;
}

// Reads the first bytes of the input: enough to tell a timed capture by
// its content. Returns false on a failed read (errno set).
bool ReadStart(int fd, std::vector<std::uint8_t>& first) {
  first.resize(1 << 16);
  std::size_t have = 0;
  static constexpr std::uint8_t kMagic[] = {0x0A, 0x0D, 0x0D, 0x0A};
  // A live source may give a byte at a time: read on only while what came
  // may still be the start of a timed capture.
  while (have < 4 &&
         std::equal(first.begin(), first.begin() + static_cast<std::ptrdiff_t>(have), kMagic)) {
    const ssize_t got = ::read(fd, first.data() + have, first.size() - have);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    have += static_cast<std::size_t>(got);
  }
  first.resize(have);
  return true;
}

// A timed capture decoded by the live view's own receive session, one per
// port and direction, on the recorded clock: a port that is never opened
// stands in for the one recorded, and every block is handed over at its
// recorded arrival time.
class TTimedDecode {
 public:
  TTimedDecode(const TDecodeRequest& req, const std::string& path, std::FILE* err,
               TLineWriter& writer, const TDecodeHooks* hooks)
      : FReq(req),
        FPath(path),
        FErr(err),
        FWriter(writer),
        FHooks(hooks),
        FOptions(req.Framing.Options()) {
    FSessionOptions.Lines = req.Framing.Lines();
    // Requests and answers of every port and direction pair on one timeline.
    if (FSessionOptions.Lines.Modbus != TModbusMode::None)
      FSessionOptions.ModbusPairing = std::make_shared<TModbusPairing>(
          FSessionOptions.Lines.Modbus, FSessionOptions.Lines.AnswerTimeoutNs);
    if (FHooks && FSessionOptions.ModbusPairing)
      FSessionOptions.ModbusPairing->OnEvent = FHooks->Modbus;
  }

  int Run(int fd, std::vector<std::uint8_t> first) {
    pcapng::TPcapngReader reader(
        [fd](std::uint8_t* p, std::size_t n) { return static_cast<long>(::read(fd, p, n)); },
        std::move(first));
    bool started = false;
    while (!FWriter.Failed()) {
      const auto step = reader.Next();
      if (step == pcapng::TPcapngReader::TStep::End) break;
      if (step == pcapng::TPcapngReader::TStep::Error) {
        Finish();
        FWriter.Flush();
        if (reader.Truncated())
          Say(FErr, "'" + FPath + "' " + reader.Error() + ": the blocks before it are shown");
        else
          Say(FErr, "'" + FPath + "' " + reader.Error());
        return kExitFailure;
      }
      const pcapng::TReadPacket& p = reader.Packet();
      const pcapng::TInterfaceInfo& info = reader.Interfaces()[p.Interface];
      if (info.LinkType != pcapng::kLinkSerial) {
        FWriter.Flush();
        Say(FErr, "'" + FPath + "' holds packets of link type " + std::to_string(info.LinkType) +
                      ", not serial packets (link type " + std::to_string(pcapng::kLinkSerial) +
                      "): it cannot be decoded");
        return kExitFailure;
      }
      FNow = TTime(std::chrono::nanoseconds(p.TimeNs));
      DueBefore(FNow);
      // Frame gaps count from the moment the recording's frame clock
      // started; a file of another program counts from its first packet.
      const bool clock =
          p.Event == pcapng::TEvent::Status && p.Comment == pcapng::kFrameClockComment;
      if (!started) FClockStart = FNow;
      if (clock) {
        FClockStarts[p.Interface] = FNow;
        for (const TDirection dir : {pcapng::TDirection::In, pcapng::TDirection::Out})
          if (const auto side = FSides.find(TKey(p.Interface, dir)); side != FSides.end())
            FSessions[side->second]->StartFrameClock();
      }
      started = true;
      Handle(p, reader);
      // A live source shows its lines as soon as it pauses.
      if (reader.Buffered() == 0 && InputPaused(fd)) FWriter.Flush();
    }
    // End of input plays the part of the time-out.
    Finish();
    return kExitOk;
  }

 private:
  using TKey = std::pair<std::uint32_t, pcapng::TDirection>;
  using TDirection = pcapng::TDirection;
  using TTime = TReceiveSession::Clock::time_point;

  void Handle(const pcapng::TReadPacket& p, const pcapng::TPcapngReader& reader) {
    // A settings change a program made shows where the sent bytes do, as
    // the tap showed it.
    if (p.Event == pcapng::TEvent::Status && (FReq.Sent || FReq.Both) &&
        p.Comment.substr(0, pcapng::kProgramSetComment.size()) == pcapng::kProgramSetComment) {
      FWriter.Line(p.Comment, "-- ");
      return;
    }
    const bool sent = p.Direction == pcapng::TDirection::Out;
    if (sent ? !(FReq.Sent || FReq.Both) : FReq.Sent) return;
    const auto* data = reinterpret_cast<const std::uint8_t*>(p.Payload.data());
    std::uint32_t error = 0;  // none: a block of bytes
    switch (p.Event) {
      case pcapng::TEvent::RxData:
      case pcapng::TEvent::TxData:
        if (p.Payload.empty()) return;
        break;
      case pcapng::TEvent::Framing: error = CE_FRAME; break;
      case pcapng::TEvent::Parity: error = CE_RXPARITY; break;
      case pcapng::TEvent::Break: error = CE_BREAK; break;
      case pcapng::TEvent::Overrun: error = CE_OVERRUN; break;
      default: return;
    }
    const std::size_t side = Side(p, reader);
    if (error != 0) {
      FSessions[side]->Error(error);
    } else {
      if (FHooks && FHooks->Block) FHooks->Block(side, p.Payload.size(), p.TimeNs);
      FSessions[side]->Receive(data, p.Payload.size(), FNow);
    }
    Track(side);
  }

  // The number of the session of the packet's port and direction, made at
  // its first packet: a port that sends nothing costs no session.
  std::size_t Side(const pcapng::TReadPacket& p, const pcapng::TPcapngReader& reader) {
    const TDirection dir = p.Direction == TDirection::Out ? p.Direction : TDirection::In;
    if (const auto found = FSides.find(TKey(p.Interface, dir)); found != FSides.end())
      return found->second;
    // A port that sent was listening too: its Modbus pairing has two sides
    // from then on, as it had live, even when nothing ever came back (a
    // request repeated is a request again, never its own answer).
    if (dir == TDirection::Out && FSessionOptions.Lines.Modbus != TModbusMode::None)
      Side(p.Interface, TDirection::In, reader);
    return Side(p.Interface, dir, reader);
  }

  std::size_t Side(std::uint32_t interface, TDirection dir, const pcapng::TPcapngReader& reader) {
    const auto [found, made] = FSides.try_emplace(TKey(interface, dir), FSessions.size());
    if (!made) return found->second;
    const pcapng::TInterfaceInfo& info = reader.Interfaces()[interface];
    std::string mark;
    if (reader.Interfaces().size() > 1) mark = info.Name + " ";
    if (FReq.Both) mark += dir == pcapng::TDirection::Out ? "TX " : "RX ";
    FMarks.push_back(std::make_unique<std::string>(mark));
    const std::string& m = *FMarks.back();
    TSessionSink sink;
    sink.Line = [this, &m](std::string_view line) { FWriter.Line(line, m); };
    sink.ErrorLine = [this, &m](const std::string& line) { FWriter.Line(line, m); };
    TSessionDevice device;
    const bool isCom = info.Name.rfind("COM", 0) == 0;
    (isCom ? device.Port : device.Path) = info.Name;
    auto side = std::make_unique<TReceiveSession>(
        FPort, device, FOptions, std::move(sink), [this] { return FNow; }, OptionsOf(info),
        // The recorded clock is the wall clock: its UTC time is the time read.
        [this] { return static_cast<std::int64_t>(FNow.time_since_epoch().count()); });
    side->Formatter().SetSigns(FReq.Framing.FirstSign(), FReq.Framing.LastSign());
    // A port first heard from now counts its gaps from its frame clock's
    // start (or the file's first packet).
    const auto now = FNow;
    const auto clock = FClockStarts.find(interface);
    FNow = clock != FClockStarts.end() ? clock->second : FClockStart;
    side->StartFrameClock();
    FNow = now;
    FSessions.push_back(std::move(side));
    FIndexed.emplace_back();
    if (FHooks && FHooks->Side)
      FHooks->Side(info.Name, dir == pcapng::TDirection::Out, info.Description);
    return found->second;
  }

  // A silence in character times is the recorded port's: its settings
  // are in its interface's description.
  TSessionOptions OptionsOf(const pcapng::TInterfaceInfo& info) const {
    TSessionOptions o = FSessionOptions;
    if (o.Lines.GapChars > 0)
      if (const std::optional<double> ns = CharacterNsOf(info.Description)) {
        o.Lines.GapNs =
            std::max(static_cast<std::int64_t>(o.Lines.GapChars * *ns), o.Lines.GapFloorNs);
        o.Lines.GapChars = 0;
      }
    return o;
  }

  // Keeps FDue in step with the session's time-out after it was handed
  // something. FDue holds for each session with a line waiting an entry
  // no later than the line is due, FIndexed[side]: a line that goes on
  // only moves its due time later, which costs nothing here (the entry is
  // brought up to date when its time comes), so a block of a line costs
  // no upkeep. An entry that an earlier one replaced stays in the heap and
  // is passed over when it comes up: a heap of entries in one vector costs
  // no allocation per packet, where a tree costs one per entry.
  void Track(std::size_t side) {
    const std::optional<TTime> due = FSessions[side]->TimeoutDue();
    std::optional<TTime>& indexed = FIndexed[side];
    if (!due || (indexed && *indexed <= *due)) return;
    FDue.emplace_back(*due, side);
    std::push_heap(FDue.begin(), FDue.end(), std::greater<>());
    indexed = due;
    // Entries passed over pile up while their times are far off (an
    // answer's time-out) and make the heap deep: only the sessions' own
    // are kept then.
    if (FDue.size() > 2 * FSessions.size() + kDueSlack) {
      FDue.clear();
      for (std::size_t s = 0; s < FIndexed.size(); ++s)
        if (FIndexed[s]) FDue.emplace_back(*FIndexed[s], s);
      std::make_heap(FDue.begin(), FDue.end(), std::greater<>());
    }
  }

  // Lines whose time-out fell due by `t` end first, in the order due (the
  // session made first first among those due at once), as a live timer
  // would have ended them. Only the sessions with a line waiting are
  // looked at: a capture of many ports costs no more per packet.
  void DueBefore(TTime t) {
    while (!FDue.empty() && std::get<0>(FDue.front()) <= t) {
      std::pop_heap(FDue.begin(), FDue.end(), std::greater<>());
      const auto [at, side] = FDue.back();
      FDue.pop_back();
      if (FIndexed[side] != at) continue;  // replaced by an earlier entry
      FIndexed[side].reset();
      // The entry was early (the line went on since) or the line ended
      // otherwise: it takes its place again by its present due time.
      if (FSessions[side]->TimeoutDue() == at) FSessions[side]->CheckTimeout(at);
      Track(side);
    }
  }

  // The lines open at the end come out in the order they began.
  void Finish() {
    std::vector<TReceiveSession*> sessions;
    for (const auto& s : FSessions) sessions.push_back(s.get());
    EndOpenLines(sessions);
  }

  const TDecodeRequest& FReq;
  const std::string& FPath;
  std::FILE* FErr;
  TLineWriter& FWriter;
  const TDecodeHooks* FHooks;
  TFormatOptions FOptions;
  TSessionOptions FSessionOptions;
  TSerQueueSync FSync;
  TSerComm FPort{std::make_shared<TSerDeviceDriver>(), FSync};
  TTime FNow{}, FClockStart{};
  // The sessions in the order made, and each port and direction's number.
  std::vector<std::unique_ptr<TReceiveSession>> FSessions;
  std::map<TKey, std::size_t> FSides;
  // The lines waiting for their time-out, a heap with the earliest first:
  // an entry per session no later than its line is due, which FIndexed
  // holds, and entries replaced since (see Track).
  std::vector<std::tuple<TTime, std::size_t>> FDue;
  static constexpr std::size_t kDueSlack = 64;
  std::vector<std::optional<TTime>> FIndexed;
  std::map<std::uint32_t, TTime> FClockStarts;
  std::vector<std::unique_ptr<std::string>> FMarks;
};

}  // namespace

namespace {

int Decode(const std::vector<std::string>& args, int inputFd, std::FILE* out, std::FILE* err,
           const TDecodeHooks* hooks) {
  TDecodeRequest req;
  try {
    req = Parse(args);
  } catch (const EUsageError& e) {
    SayUsage(err, e.what(), DecodeUsage());
    return kExitUsage;
  }

  const TFormatOptions opts = req.Framing.Options();
  const std::string path = req.File.value_or("-");
  int fd = inputFd;
  if (path != "-") {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      SayCannotRead(err, path, errno);
      return kExitFailure;
    }
  }
  struct TCloser {
    int Fd, Input;
    ~TCloser() {
      if (Fd != Input) ::close(Fd);
    }
  } closer{fd, inputFd};

  std::vector<std::uint8_t> first;
  if (!ReadStart(fd, first)) {
    SayCannotRead(err, path, errno);
    return kExitFailure;
  }
  TLineWriter writer(out);
  int status = kExitOk;
  if (pcapng::StartsPcapng(first.data(), first.size())) {
    TTimedDecode timed(req, path, err, writer, hooks);
    status = timed.Run(fd, std::move(first));
  } else if (hooks) {
    Say(err, "'" + path +
                 "' is a raw capture, which holds no times nor directions: a timed "
                 "capture (pcapng) is needed");
    return kExitFailure;
  } else if (req.Sent || (req.Both && !req.BothImplied)) {
    Say(err, "'" + path + "' is a raw capture, which holds the received bytes only: " +
                 (req.Sent ? "--sent" : "--both") + " needs a timed capture (pcapng)");
    return kExitFailure;
  } else {
    status = DecodeRaw(req, opts, path, fd, std::move(first), writer, err);
  }
  writer.Flush();
  if (writer.Failed() || std::ferror(out)) {
    SayOutputFailed(err, writer.Failed() ? writer.Failure() : EIO);
    return kExitFailure;
  }
  return status;
}

}  // namespace

int RunDecode(const std::vector<std::string>& args, int inputFd, std::FILE* out, std::FILE* err) {
  return Decode(args, inputFd, out, err, nullptr);
}

int RunDecodeTimed(const std::vector<std::string>& args, std::FILE* out, std::FILE* err,
                   const TDecodeHooks& hooks) {
  return Decode(args, -1, out, err, &hooks);
}

}  // namespace talmo
