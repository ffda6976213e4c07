#include "session/receive_session.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <thread>

#include "base/control_lines.h"
#include "base/error_text.h"
#include "base/port_texts.h"
#include "serial/ser_comm.h"
#include "serial/ser_sync.h"
#include "serial/ser_types.h"
#include "session/block_queue.h"

namespace talmo {

std::string TSessionDevice::Title() const {
  return Port.empty() ? Path : Path.empty() ? Port : Port + " (" + Path + ")";
}

std::string TSessionDevice::Named(std::string message, const std::string& componentName) const {
  if (Port.empty()) return message;
  if (componentName == Path) return Port + ": " + message;
  if (Path.empty()) return message;
  if (const std::size_t at = message.find(componentName);
      !componentName.empty() && at != std::string::npos)
    message.replace(at, componentName.size(), Port + ", " + Path);
  else
    message += " (" + Port + ": " + Path + ")";
  return message;
}

std::vector<std::string> TSessionDevice::ErrorLines(int portNum, std::uint32_t errors) const {
  std::vector<std::string> lines = talmo::ErrorLines(portNum, errors);
  // A device given by its path has no COM number: the path stands there.
  if (Port.empty() && !Path.empty()) lines.front() = "Error " + Path + " " + std::to_string(errors);
  return lines;
}

std::string ShortLineSettings(const TSerCustomComm& port) {
  const std::uint32_t rate = port.Baudrate() == brUser
                                 ? static_cast<std::uint32_t>(port.UserBaudrate())
                                 : BaudRateOf(port.Baudrate());
  static constexpr char kParity[] = {'N', 'O', 'E', 'M', 'S'};
  static constexpr const char* kStop[] = {"1", "1.5", "2"};
  return std::to_string(rate) + " " + std::to_string(4 + static_cast<int>(port.Databits())) +
         kParity[port.Parity() % 5] + kStop[port.Stopbits() % 3];
}

std::optional<double> CharacterNsOf(const std::string& text) {
  // "RATE DPS" where P is N, O, E, M or S and S is 1, 1.5 or 2.
  const std::size_t space = text.rfind(' ');
  if (space == std::string::npos || space == 0) return std::nullopt;
  const std::string format = text.substr(space + 1);
  const std::size_t before = text.rfind(' ', space - 1);
  const std::string rate = text.substr(before == std::string::npos ? 0 : before + 1,
                                       space - (before == std::string::npos ? 0 : before + 1));
  if (format.size() < 3 || rate.empty() || rate.size() > 9 ||
      rate.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const int data = format[0] - '0';
  const std::string parity = "NOEMS", stop = format.substr(2);
  if (data < 4 || data > 8 || parity.find(format[1]) == std::string::npos ||
      (stop != "1" && stop != "1.5" && stop != "2"))
    return std::nullopt;
  const double baud = std::stod(rate);
  if (baud <= 0) return std::nullopt;
  const double bits = 1 + data + (format[1] == 'N' ? 0 : 1) + std::stod(stop);
  return bits * 1e9 / baud;
}

namespace {

// Bytes a Modbus chunk holds at most before it is framed without waiting
// for a silence: many frames (at most 256 bytes each).
constexpr std::size_t kModbusChunkMax = 4096;

// The formatter reads the session's time of the block being handled.
TFormatterClocks BlockClocks(const std::function<std::int64_t()>& sinceStart,
                             const std::function<std::int64_t()>& utc) {
  TFormatterClocks c;
  c.Utc = [utc] { return UtcOfNanoseconds(utc()); };
  c.Counter.Read = [sinceStart](std::int64_t& v) {
    v = sinceStart();
    return true;
  };
  c.Counter.Frequency = 1000000000;
  c.Pause = sinceStart;
  return c;
}

}  // namespace

TReceiveSession::TReceiveSession(TSerCustomComm& port, TSessionDevice device,
                                 const TFormatOptions& options, TSessionSink sink, TNow now,
                                 TSessionOptions sessionOptions, TWallNow wallNow)
    : FPort(port),
      FDevice(std::move(device)),
      FSink(std::move(sink)),
      FNow(std::move(now)),
      FMonoBase(FNow()),
      FWallBase(wallNow()),
      FBlockTime(FMonoBase),
      FOptions(sessionOptions),
      FFormatter(options, {},
                 BlockClocks([this] { return (FBlockTime - FMonoBase).count(); },
                             [this] { return UtcNsOf(FBlockTime); })),
      FLastArrival(FMonoBase) {
  FFormatter.Hooks.Line = FSink.Line;
  FFormatter.Hooks.LastSign = FSink.LastSign;
  FFormatter.Hooks.RestartTimeout = FSink.TimeoutRestarted;
  FStampBase = FWallBase;
  ApplyLineRules();
}

void TReceiveSession::ApplyLineRules() {
  // The rules' silence may have changed with them.
  FGapLine.fill(-1);
  // The line under way ends by the rules it began under.
  if (FCutter) {
    FCutter->EndLine();
    FCutter.reset();
  }
  if (ApplyModbus()) return;
  FFormatter.Hooks.Line = FSink.Line;
  if (FOptions.Lines.Cut) {
    TLineCutter::TSink cut;
    if (FSink.Piece) {
      cut.Piece = FSink.Piece;
      cut.End = [this] {
        if (FSink.LineEnd) FSink.LineEnd();
        FLineStart = FBlockTime;  // a line after it begins in this block
      };
    } else if (FSink.Line) {
      cut.Piece = [this](std::string_view piece) { FJoined += piece; };
      cut.End = [this] {
        FSink.Line(FJoined);
        FJoined.clear();
        FLineStart = FBlockTime;
      };
    }
    FFormatter.TimeoutFlush();
    FCutter.emplace(FOptions.Lines, std::move(cut), FStampBase);
  } else if (FSink.Line) {
    // The stamp is read per line: it may change as the session runs.
    FFormatter.Hooks.Line = [this](std::string_view line) {
      if (FOptions.Lines.Stamp == TStampForm::None)
        FSink.Line(line);
      else
        StampedLine(line);
    };
  }
}

bool TReceiveSession::ApplyModbus() {
  const TLineRules& r = FOptions.Lines;
  const bool same = FOptions.ModbusPairing ? FModbus == FOptions.ModbusPairing
                                           : FModbus && FModbusMode == r.Modbus &&
                                                 FModbus->AnswerTimeoutNs() == r.AnswerTimeoutNs;
  if (same && r.Modbus != TModbusMode::None) return true;
  if (FModbus) {
    // A view changed as it runs: what arrived is framed and shown, a tail
    // held for its rest too; requests still waiting are no longer awaited.
    EndChunk();
    FModbus->DueBy(FModbusSource, UtcNsOf(FNow()) + TModbusPairing::kTailHoldNs, FModbusLines);
    ShowModbusLines();
    FModbus.reset();
    FTimeoutDue.reset();
  }
  if (r.Modbus == TModbusMode::None) return false;
  // The frames' line under way ends before the first Modbus frame.
  FFormatter.TimeoutFlush();
  FTimeoutDue.reset();
  FModbus = FOptions.ModbusPairing ? FOptions.ModbusPairing
                                   : std::make_shared<TModbusPairing>(r.Modbus, r.AnswerTimeoutNs);
  FModbusSource = FModbus->AddSource();
  FModbusMode = r.Modbus;
  return true;
}

void TReceiveSession::ShareModbus(std::shared_ptr<TModbusPairing> pairing) {
  FOptions.ModbusPairing = std::move(pairing);
  ApplyLineRules();
}

void TReceiveSession::StampedLine(std::string_view line) {
  FStamped.clear();
  const std::int64_t start = UtcNsOf(FLineStart);
  AppendStamp(FStamped, FOptions.Lines.Stamp, start, FStampBase, FPreviousStart);
  // A look that begins with a space of its own needs no second one.
  if (!line.empty() && line.front() == ' ') FStamped.pop_back();
  FPreviousStart = start;
  FStamped += line;
  FSink.Line(FStamped);
  // A line that begins before this block is handled begins in it.
  FLineStart = FBlockTime;
}

std::int64_t TReceiveSession::GapNs() const {
  const TLineRules& r = FOptions.Lines;
  if (r.GapChars <= 0) return r.GapNs;
  // Asked for every block: worked out again only when the settings change.
  const std::array<int, 5> line = {
      static_cast<int>(FPort.Baudrate()), FPort.UserBaudrate(), static_cast<int>(FPort.Databits()),
      static_cast<int>(FPort.Parity()), static_cast<int>(FPort.Stopbits())};
  if (line != FGapLine) {
    const std::optional<double> ns = CharacterNsOf(ShortLineSettings(FPort));
    FGapOfLine = std::max(ns ? static_cast<std::int64_t>(r.GapChars * *ns) : 0, r.GapFloorNs);
    FGapLine = line;
  }
  return FGapOfLine;
}

void TReceiveSession::ModbusReceive(const std::uint8_t* block, std::size_t n,
                                    Clock::time_point arrived) {
  const std::int64_t at = UtcNsOf(arrived);
  while (n > 0) {
    // ASCII frames end at LF, whatever comes after it in the block.
    std::size_t take = n;
    if (FModbusMode == TModbusMode::Ascii)
      if (const void* lf = std::memchr(block, '\n', n))
        take = static_cast<std::size_t>(static_cast<const std::uint8_t*>(lf) - block) + 1;
    FChunkBlocks.push_back({FChunk.size(), at});
    FChunk.insert(FChunk.end(), block, block + take);
    block += take;
    n -= take;
    // A line that is never silent is framed in pieces: a frame cut at
    // the end of one waits for its rest in the next.
    if ((FModbusMode == TModbusMode::Ascii && FChunk.back() == '\n') ||
        FChunk.size() >= kModbusChunkMax)
      EndChunk();
  }
  if (!FChunk.empty()) {
    // ASCII allows a second between characters.
    const std::int64_t gap = GapNs();
    const std::chrono::nanoseconds wait{gap > 0 ? gap : std::int64_t{1000000000}};
    FChunkDue =
        arrived < Clock::time_point::max() - wait ? arrived + wait : Clock::time_point::max();
  }
  ModbusDue();
}

void TReceiveSession::EndChunk() {
  FChunkDue.reset();
  if (FChunk.empty()) return;
  FModbus->Chunk(FModbusSource, FChunk.data(), FChunk.size(), FChunkBlocks, FModbusLines);
  FChunk.clear();
  FChunkBlocks.clear();
  ShowModbusLines();
}

void TReceiveSession::ShowModbusLines() {
  for (const TModbusPairing::TLine& line : FModbusLines) {
    std::string_view text = line.Text;
    // Unstamped, the line goes out as the pairing made it: not copied.
    if (FOptions.Lines.Stamp != TStampForm::None) {
      FStamped.clear();
      AppendStamp(FStamped, FOptions.Lines.Stamp, line.AtNs, FStampBase, FPreviousStart);
      FStamped += line.Text;
      text = FStamped;
    }
    FPreviousStart = line.AtNs;
    if (FSink.Piece) {
      FSink.Piece(text);
      if (FSink.LineEnd) FSink.LineEnd();
    } else if (FSink.Line) {
      FSink.Line(text);
    }
  }
  FModbusLines.Clear();
}

// The session is due at the end of its chunk's silence or at what its
// pairing holds (a request's time-out, a tail waiting for its rest),
// whichever comes first.
void TReceiveSession::ModbusDue() {
  FTimeoutDue = FChunkDue;
  if (const std::optional<std::int64_t> utc = FModbus->NextDue(FModbusSource)) {
    const Clock::time_point t = FMonoBase + std::chrono::nanoseconds(*utc - FWallBase);
    if (!FTimeoutDue || t < *FTimeoutDue) FTimeoutDue = t;
  }
}

void TReceiveSession::ModbusCheck(Clock::time_point now) {
  while (FTimeoutDue && *FTimeoutDue <= now) {
    const Clock::time_point t = *FTimeoutDue;
    FBlockTime = t;
    if (FChunkDue && *FChunkDue <= t) EndChunk();
    FModbus->DueBy(FModbusSource, UtcNsOf(t), FModbusLines);
    ShowModbusLines();
    ModbusDue();
  }
}

std::optional<TReceiveSession::Clock::time_point> TReceiveSession::LineDue(
    Clock::time_point last) const {
  std::chrono::nanoseconds wait{GapNs()};
  if (wait.count() <= 0) {
    // A console shows the line as it grows: only a silence asked for ends it.
    if (FSink.Piece && FCutter) return std::nullopt;
    wait = std::chrono::milliseconds(kLineTimeoutMs);
  }
  // Near the clock's end the line is due at its end, never wrapped round.
  return last < Clock::time_point::max() - wait ? last + wait : Clock::time_point::max();
}

std::optional<TReceiveSession::Clock::time_point> TReceiveSession::OpenLineStart() const {
  const bool open = FCutter ? FCutter->InLine() : FTimeoutDue.has_value();
  if (!open) return std::nullopt;
  return FLineStart;
}

void EndOpenLines(const std::vector<TReceiveSession*>& sessions) {
  std::vector<std::pair<TReceiveSession::Clock::time_point, std::size_t>> open;
  for (std::size_t i = 0; i < sessions.size(); ++i)
    if (const auto start = sessions[i]->OpenLineStart()) open.emplace_back(*start, i);
  std::stable_sort(open.begin(), open.end());
  for (const auto& [start, i] : open) sessions[i]->Timeout();
  // What no line holds (the frame clock, a formatter's state) ends too.
  for (TReceiveSession* s : sessions) s->Timeout();
}

void TReceiveSession::EndLine() {
  if (FModbus)
    EndChunk();
  else if (FCutter)
    FCutter->EndLine();
  else
    FFormatter.TimeoutFlush();
}

bool IsAbsence(const TOpenFailure& failure) {
  switch (failure.Code) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ECONNREFUSED:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ETIMEDOUT: return true;
    default: return false;
  }
}

void TReceiveSession::Attach() {
  FPort.OnRxChar = [this](TSerCustomComm*, int count) { RxChar(count); };
  FPort.OnError = [this](TSerCustomComm*, int errors) {
    Error(static_cast<std::uint32_t>(errors));
  };
  // Told among the error lines, right after the report they were folded into.
  FPort.OnErrorsFolded = [this](TSerCustomComm*, std::uint64_t count) {
    if (FSink.ErrorLine) FSink.ErrorLine("... " + std::to_string(count) + " more line errors");
  };
  if (FOptions.ModemLines) {
    TSerCommEvents events = FPort.MonitorEvents();
    for (TSerCommEvent e : {ceCts, ceDsr, ceRlsd, ceRing}) events.Include(e);
    if (!FPort.Active()) FPort.SetMonitorEvents(events);
    const auto changed = [this](TSerCustomComm*) { ModemLinesChanged(); };
    FPort.OnCts = FPort.OnDsr = FPort.OnRlsd = FPort.OnRing = changed;
  }
}

namespace {

struct TModemLineName {
  std::uint8_t Line;
  const char* Name;
};
// The lines the device reports, in the order they are told.
constexpr TModemLineName kModemInputs[] = {
    {kLineCts, "CTS"}, {kLineDsr, "DSR"}, {kLineDcd, "DCD"}, {kLineRing, "RI"}};

}  // namespace

void TReceiveSession::ModemLineOut(const std::string& text) {
  if (FSink.ModemLine)
    FSink.ModemLine(text);
  else if (FSink.Line)
    FSink.Line(text);
}

void TReceiveSession::ModemLinesAtOpen() {
  FModemSeen = FPort.ModemLines();
  if (!FPort.HasModemLines()) {
    ModemLineOut("-- no modem lines on this device: CTS, DSR, DCD and RI are not shown");
    return;
  }
  RecordModemLines();
  ModemLineOut("-- " + ModemLinesText(FModemSeen));
}

std::string TReceiveSession::ModemLinesText(std::uint8_t lines) {
  std::string text;
  for (const TModemLineName& l : kModemInputs)
    text += std::string(text.empty() ? "" : ", ") + l.Name + ((lines & l.Line) ? " on" : " off");
  return text;
}

// A timed capture that starts after the open still tells where the lines
// stood.
void TReceiveSession::RecordModemLines() {
  if (FOptions.ModemLines && FPort.Active() && FPort.HasModemLines())
    RecordStatus("modem lines: " + ModemLinesText(FModemSeen));
}

void TReceiveSession::ModemLinesChanged() {
  if (!FOptions.ModemLines || !FPort.Active()) return;
  const std::uint8_t now = FPort.ModemLines();
  const std::uint8_t changed = now ^ FModemSeen;
  FModemSeen = now;
  for (const TModemLineName& l : kModemInputs) {
    if (!(changed & l.Line)) continue;
    const std::string text = std::string(l.Name) + ((now & l.Line) ? " on" : " off");
    RecordStatus(text);
    ModemLineOut("-- " + text);
  }
}

std::optional<TOpenFailure> TReceiveSession::Open() {
  try {
    FPort.Open();
  } catch (...) {
    const std::exception_ptr failure = std::current_exception();
    TOpenFailure f{FDevice.Named(ExceptionMessage(failure), FPort.DeviceName()),
                   ErrorHintOf(failure)};
    try {
      std::rethrow_exception(failure);
    } catch (const ESerOpenError& e) {
      f.Code = e.Code();
    } catch (...) {
    }
    return f;
  }
  RecordStatus((FLost ? "device back: " : "port opened: ") + FDevice.Title() + " " +
               ShortLineSettings(FPort));
  FLost = false;
  for (const std::string& notice : FPort.TakeNotices())
    if (FSink.Notice) FSink.Notice(FDevice.Title() + ": " + notice);
  if (FOptions.BreakAtOpen.count() > 0) {
    // The device's bytes wait in the line meanwhile; nothing is lost.
    try {
      FPort.SetBreak(true);
      std::this_thread::sleep_for(FOptions.BreakAtOpen);
      FPort.SetBreak(false);
      RecordStatus("break sent: " + std::to_string(FOptions.BreakAtOpen.count()) + " ms");
    } catch (const std::exception& e) {
      if (FSink.Notice) FSink.Notice(FDevice.Title() + ": " + e.what());
    }
  }
  if (FOptions.ModemLines) ModemLinesAtOpen();
  return std::nullopt;
}

void TReceiveSession::RxChar(int count) {
  if (count <= 0 || !FPort.Active()) return;
  // One buffer for the session's life: a block per line at thousands of
  // lines a second would otherwise cost an allocation each.
  if (FBuffer.size() < static_cast<std::size_t>(count))
    FBuffer.resize(static_cast<std::size_t>(count));
  const int n = FPort.ReadBuf(FBuffer.data(), count);
  // The block's arrival: taken once, right after the read.
  const Clock::time_point arrived = FNow();
  if (n <= 0) return;
  if (FQueue) {
    // Captured as it is read: a run killed meanwhile loses none of it.
    Take(FBuffer.data(), static_cast<std::size_t>(n), arrived);
    FQueue->Push(FBuffer.data(), static_cast<std::size_t>(n), arrived);
  } else
    Receive(FBuffer.data(), static_cast<std::size_t>(n), arrived);
}

void TReceiveSession::Receive(const std::uint8_t* block, std::size_t n, Clock::time_point arrived) {
  if (n == 0) return;
  // The capture first: what arrived is in the file whatever the display
  // makes of it.
  Take(block, n, arrived);
  HandleQueued(block, n, arrived);
}

void TReceiveSession::Take(const std::uint8_t* block, std::size_t n, Clock::time_point arrived) {
  FBytes += n;
  if (FCapture->Running()) {
    pcapng::TPacket p;
    p.TimeNs = UtcNsOf(arrived);
    p.Direction = pcapng::TDirection::In;
    p.Data = block;
    p.Size = n;
    Record(p);
  }
}

void TReceiveSession::HandleQueued(const std::uint8_t* block, std::size_t n,
                                   Clock::time_point arrived) {
  if (n == 0) return;
  CheckTimeout(arrived);
  FBlockTime = arrived;
  FLastArrival = arrived;
  // Nobody takes lines (a capture alone, a quiet tap): nothing to frame.
  if (!FSink.Line && !FSink.Piece) return;
  if (FModbus) {
    ModbusReceive(block, n, arrived);
    if (FSink.TimeoutRestarted) FSink.TimeoutRestarted();
    return;
  }
  bool collecting;
  if (FCutter) {
    // A line not under way begins in this block.
    if (!FCutter->InLine()) FLineStart = arrived;
    FCutter->Feed(block, n, UtcNsOf(arrived));
    collecting = FCutter->InLine();
  } else {
    if (FFormatter.SignCount() == 0) FLineStart = arrived;
    FFormatter.FormatReceived(block, n);
    collecting = FFormatter.SignCount() != 0 || FFormatter.FrameState() != TFrameState::Idle ||
                 !FFormatter.FrameRestart();
  }
  if (collecting)
    FTimeoutDue = LineDue(arrived);
  else
    FTimeoutDue.reset();
  if (FSink.TimeoutRestarted) FSink.TimeoutRestarted();
}

void TReceiveSession::Sent(const void* block, std::size_t n, std::optional<Clock::time_point> at) {
  if (!FCapture->Timed() || !FCapture->Running() || n == 0) return;
  pcapng::TPacket p;
  p.TimeNs = UtcNsOf(at ? *at : FNow());
  p.Event = pcapng::TEvent::TxData;
  p.Direction = pcapng::TDirection::Out;
  p.Data = static_cast<const std::uint8_t*>(block);
  p.Size = n;
  Record(p);
}

std::int64_t TReceiveSession::UtcNsOf(Clock::time_point t) const {
  return FWallBase + std::chrono::duration_cast<std::chrono::nanoseconds>(t - FMonoBase).count();
}

void TReceiveSession::Record(pcapng::TPacket& packet) {
  packet.Lines = FPort.ControlLines();
  packet.Interface = FInterface;
  if (!FCapture->Record(packet) && FSink.CaptureStopped)
    FSink.CaptureStopped(FCapture->WriteError());
}

void TReceiveSession::RecordStatus(const std::string& comment) {
  if (!FCapture->Timed() || !FCapture->Running()) return;
  pcapng::TPacket p;
  p.TimeNs = UtcNsOf(FNow());
  p.Event = pcapng::TEvent::Status;
  p.Comment = comment;
  Record(p);
}

void TReceiveSession::StartFrameClock() {
  FBlockTime = FNow();
  // Stamps count the time since start from here, live and in a decode.
  FStampBase = UtcNsOf(FBlockTime);
  if (FCutter) FCutter->SetStart(FStampBase);
  FFormatter.FrameWatch().Start();
  RecordFrameClock();
}

void TReceiveSession::Error(std::uint32_t errors) {
  if (FCapture->Timed() && FCapture->Running()) {
    // Each line error is a packet of its own, without bytes.
    static constexpr struct {
      std::uint32_t Bits;
      pcapng::TEvent Event;
    } kEvents[] = {{CE_FRAME, pcapng::TEvent::Framing},
                   {CE_RXPARITY, pcapng::TEvent::Parity},
                   {CE_BREAK, pcapng::TEvent::Break},
                   {CE_OVERRUN | CE_RXOVER, pcapng::TEvent::Overrun}};
    const std::int64_t now = UtcNsOf(FNow());
    for (const auto& e : kEvents) {
      if (!(errors & e.Bits)) continue;
      pcapng::TPacket p;
      p.TimeNs = now;
      p.Event = e.Event;
      p.Direction = pcapng::TDirection::In;
      Record(p);
    }
  }
  bool lostNow = false;
  if (errors & CE_IOE) {
    // Nothing more will come: what came before the loss is shown before
    // the loss is told.
    if (!FLost) {
      EndLine();
      FTimeoutDue.reset();
      // Requests sent before the loss still fall due.
      if (FModbus) ModbusDue();
      lostNow = true;
      RecordStatus("device lost: " + FDevice.Title());
    }
    FLost = true;
    if (!lostNow || !FOptions.LossAmongErrorLines) errors &= ~CE_IOE;
  }
  // A console's line under way ends before the error is told.
  if (errors != 0 && FCutter) {
    FCutter->EndLine();
    FTimeoutDue.reset();
  }
  if (errors != 0 && FModbus) {
    EndChunk();
    ModbusDue();
  }
  if (errors != 0 && FSink.ErrorLine)
    for (const std::string& line : FDevice.ErrorLines(FPort.PortNum(), errors))
      FSink.ErrorLine(line);
  if (lostNow && FSink.Lost) FSink.Lost();
}

std::optional<TReceiveSession::Clock::time_point> TReceiveSession::ShowDue() const {
  const TLineRules& r = FOptions.Lines;
  if (!FTimeoutDue || (r.GapNs <= 0 && r.GapChars <= 0 && r.Modbus == TModbusMode::None))
    return FTimeoutDue;
  return *FTimeoutDue < Clock::time_point::max() - kShowSlack ? *FTimeoutDue + kShowSlack
                                                              : *FTimeoutDue;
}

void TReceiveSession::Timeout() {
  FTimeoutDue.reset();
  EndLine();
  if (FModbus) ModbusDue();
}

void TReceiveSession::CheckTimeout(Clock::time_point now) {
  if (FModbus) return ModbusCheck(now);
  if (!FTimeoutDue || now < *FTimeoutDue) return;
  // The line ends at its due time, whenever the timer came.
  FBlockTime = *FTimeoutDue;
  Timeout();
}

TCaptureInterface TReceiveSession::CaptureInterface() const {
  const std::string& device = FDevice.Path.empty() ? FDevice.Port : FDevice.Path;
  const std::string& name = !FOptions.Label.empty() ? FOptions.Label
                            : FDevice.Port.empty()  ? FDevice.Path
                                                    : FDevice.Port;
  return {name, device + (device.empty() ? "" : " ") + ShortLineSettings(FPort)};
}

void TReceiveSession::JoinCapture(TReceiveSession& owner) {
  FCapture = owner.FCapture;
  FInterface = FCapture->AddInterface(CaptureInterface());
  RecordFrameClock();
  RecordModemLines();
}

// A timed capture starts with the moment the frame clock last started, so
// that a decode stamps its first frame's gap as the live view did.
void TReceiveSession::StartCapture(const std::string& chosenPath) {
  FInterface = 0;
  FCapture->Start(chosenPath, CaptureInterface());
  RecordFrameClock();
  RecordModemLines();
}

void TReceiveSession::StartCaptureExact(const std::string& path, std::optional<bool> timed) {
  FInterface = 0;
  FCapture->StartExact(path, CaptureInterface(), timed);
  RecordFrameClock();
  RecordModemLines();
}

void TReceiveSession::RecordFrameClock() {
  if (!FCapture->Timed() || !FCapture->Running()) return;
  pcapng::TPacket p;
  p.TimeNs = FWallBase + FFormatter.FrameWatch().StartCount();
  p.Event = pcapng::TEvent::Status;
  p.Comment = pcapng::kFrameClockComment;
  Record(p);
}

void EndLinesDueBy(std::span<TReceiveSession* const> sessions,
                   TReceiveSession::Clock::time_point t) {
  for (;;) {
    TReceiveSession* next = nullptr;
    for (TReceiveSession* s : sessions)
      if (const auto due = s->TimeoutDue();
          due && *due <= t && (!next || *due < *next->TimeoutDue()))
        next = s;
    if (!next) return;
    next->CheckTimeout(*next->TimeoutDue());
  }
}

}  // namespace talmo
