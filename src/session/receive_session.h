#pragma once
// TReceiveSession: the receive side of one open port, the same in the window
// and in every command. It reads each block the port reports, stamps it with
// its arrival time, writes it to the capture, runs it through the formatter,
// keeps the line time-out, and reports the port's line errors and the loss
// of the device once each, naming the device. Finished display lines go to
// the program's sink.
//
// Time: a block's arrival is read once, right after the read, from the
// session's monotonic clock; the UTC time shown and recorded for it is the
// wall clock read at the session's start plus the monotonic time since, so
// the frame stamps, the PROD2 pause and the timed capture all say the same
// of every block, and a decode of the capture repeats the live lines.
//
// Threads: every call runs on the thread that serves the port's events (the
// window's GUI thread, a command's only thread). Sessions share nothing, so
// one process may run several, one per port or per direction.
//
// Errors: no call throws but Open's port operations, which are caught and
// returned as a failure to say. A failed capture write stops the capture
// and is handed to the sink once (CaptureStopped); the program tells the
// user. StartCapture raises ECaptureError as the capture file does.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "capture/capture_file.h"
#include "engine/clock.h"
#include "engine/formatter.h"
#include "engine/line_cutter.h"
#include "engine/options.h"

namespace talmo {

class TBlockQueue;
class TSerCustomComm;

// How the session's messages name the device.
struct TSessionDevice {
  std::string Port;  // "COM5"; empty for a device given by its path
  std::string Path;  // the device file or rfc2217://HOST:PORT; may be empty

  // "COM5 (/dev/ttyUSB0)", or the path alone.
  std::string Title() const;
  // The port component's message with the device named. The component
  // names it by `componentName`: its Windows-style name (the window), which
  // becomes "COM5, /dev/ttyUSB0" or gains " (COM5: /dev/ttyUSB0)", or the
  // path itself (the commands), which the port name then leads ("COM5: ").
  std::string Named(std::string message, const std::string& componentName) const;
  // The error lines of `errors`: "Error COMn <errors>" (for a device given
  // by its path, "Error <path> <errors>"), then one line per known bit.
  std::vector<std::string> ErrorLines(int portNum, std::uint32_t errors) const;
};

// Where the session's results go. Empty members are skipped.
struct TSessionSink {
  // A finished display line (valid for the call only).
  std::function<void(std::string_view)> Line;
  // Lines cut by the session's line rules, shown as they grow (a
  // console): more of the line's text, and its end. Set, they take the
  // place of Line.
  std::function<void(std::string_view)> Piece;
  std::function<void()> LineEnd;
  // One line of a line-error report, in order with the display lines.
  std::function<void(const std::string&)> ErrorLine;
  // The device has gone away: once per open, after every line before it.
  std::function<void()> Lost;
  // What the device noticed at the open, once each (settings a remote
  // server never confirmed): told beside the lines, not among them.
  std::function<void(const std::string&)> Notice;
  // The capture stopped on a failed write: its message, once per capture.
  std::function<void(const std::string&)> CaptureStopped;
  // The last-sign text, once per block.
  std::function<void(const std::string&)> LastSign;
  // The line time-out starts again (after each block and each flush), for
  // a program that runs it on a timer of its own.
  std::function<void()> TimeoutRestarted;
  // A modem-line line ("-- CTS on", see TSessionOptions::ModemLines); when
  // empty, Line takes it.
  std::function<void(const std::string&)> ModemLine;
};

struct TSessionOptions {
  // The window tells the loss among the error lines (in "Error COMn" and a
  // line of its own); a command tells it once, on its own line (Lost).
  bool LossAmongErrorLines = false;
  // The port's name in a timeline of several ports (and its interface's
  // name in a timed capture); empty: the port's name or path.
  std::string Label;
  // Lines cut by an end byte, a silence or a length, in a look of their
  // own (Lines.Cut), or the frames' lines; either way each may be led by
  // the stamp of its first byte's arrival (Lines.Stamp).
  TLineRules Lines;
  // Modbus frames (Lines.Modbus) of several sessions on one timeline are
  // paired here: the program gives all its sessions one. None: the
  // session pairs its own (one port that sees both sides).
  std::shared_ptr<TModbusPairing> ModbusPairing;
  // Shows the modem lines: their state at each open ("-- CTS on, DSR off,
  // DCD off, RI off"), then each change of CTS, DSR, DCD and RI as a line
  // of its own ("-- DCD off") in order with the display lines, each also
  // a status record of a timed capture. Attach makes the port monitor
  // their events.
  bool ModemLines = false;
  // A break this long right after each open (0: none), for boards that a
  // break resets.
  std::chrono::milliseconds BreakAtOpen{0};
};

// The break --break-at-open sends.
inline constexpr std::chrono::milliseconds kBreakAtOpen{250};

// The port's line settings in the short form users write them: "9600 8N1",
// "115200 7E2", "1024 8O1.5".
std::string ShortLineSettings(const TSerCustomComm& port);

// The time of one character on a line described as ShortLineSettings
// writes it, at the end of `text` ("/dev/ttyUSB0 9600 8E1"): start bit,
// data bits, parity, stop bits. Nothing when the text ends otherwise.
std::optional<double> CharacterNsOf(const std::string& text);

// Why an open failed: the component's message with the device named, and
// what the user can do about it ("" when nothing).
struct TOpenFailure {
  std::string Message;
  std::string Hint;
  // The device layer's errno code when the device could not be opened at
  // all (ENOENT, ECONNREFUSED, ...); 0 when it opened and then failed.
  int Code = 0;
};

// True for an open failure that only says the device or its server is
// not there (yet): nothing the user has not heard of already.
bool IsAbsence(const TOpenFailure& failure);

class TReceiveSession {
 public:
  using Clock = std::chrono::steady_clock;
  using TNow = std::function<Clock::time_point()>;
  // UTC nanoseconds since the epoch.
  using TWallNow = std::function<std::int64_t()>;

  // The port and the options must outlive the session; the options are
  // read as they are when each block is handled.
  TReceiveSession(TSerCustomComm& port, TSessionDevice device, const TFormatOptions& options,
                  TSessionSink sink, TNow now = Clock::now, TSessionOptions sessionOptions = {},
                  TWallNow wallNow = UtcNanoseconds);
  TReceiveSession(const TReceiveSession&) = delete;
  TReceiveSession& operator=(const TReceiveSession&) = delete;

  // Points the port's receive and error events at this session.
  void Attach();
  // Opens the port; nullopt when it is open, else what to say.
  std::optional<TOpenFailure> Open();

  // The port's receive event: reads up to `count` waiting bytes as one
  // block, stamped right after the read.
  void RxChar(int count);
  // Blocks read go to `queue` (nullptr: handled at once), each with its
  // time, counted and captured as they are read; the owner hands them to
  // HandleQueued in order later, before anything else that depends on
  // them (time-outs, errors, the end).
  void QueueBlocks(TBlockQueue* queue) { FQueue = queue; }
  // The lines of a queued block.
  void HandleQueued(const std::uint8_t* block, std::size_t n, Clock::time_point arrived);
  // A block as the port gave it. A line whose time-out fell due before
  // `arrived` is shown first, as a live timer would have shown it.
  void Receive(const std::uint8_t* block, std::size_t n, Clock::time_point arrived);
  // Bytes the program has handed to the port: recorded by a timed capture,
  // stamped `at` (default now).
  void Sent(const void* block, std::size_t n, std::optional<Clock::time_point> at = std::nullopt);
  // Starts the frame stamps' clock (the gap of the next frame counts from
  // now); a timed capture records the moment.
  void StartFrameClock();
  // The UTC time of a moment of the session's clock, in nanoseconds.
  std::int64_t UtcNsOf(Clock::time_point t) const;
  // The port's error event.
  void Error(std::uint32_t errors);
  // A modem-line event of the port: the lines that changed since the last
  // look are told (TSessionOptions::ModemLines).
  void ModemLinesChanged();

  // When the unfinished line is due to be shown; none while nothing is
  // collected.
  std::optional<Clock::time_point> TimeoutDue() const { return FTimeoutDue; }
  // When a program that only shows lines need wake for it: a line that
  // ends at a silence a little after its due time. The next block, when it
  // comes first, ends the line at its due time just the same, so a busy
  // line wakes the program once per block rather than twice.
  std::optional<Clock::time_point> ShowDue() const;
  static constexpr Clock::duration kShowSlack = std::chrono::milliseconds(10);
  // Shows the unfinished line now (the time-out's work).
  void Timeout();
  // When the line still open began (its first block's arrival); none
  // while no line is open.
  std::optional<Clock::time_point> OpenLineStart() const;
  // Runs the time-out when it is due at `now`.
  void CheckTimeout(Clock::time_point now);

  // The capture of the received stream (a timed one records the sent
  // bytes and the port's events too). Start* raise ECaptureError.
  void StartCapture(const std::string& chosenPath);
  void StartCaptureExact(const std::string& path, std::optional<bool> timed = std::nullopt);
  // Records an event of the port (opened, lost, back, settings) in a
  // timed capture, as a status packet with `comment`.
  void RecordStatus(const std::string& comment);
  // A timed capture records its end first: a decode then knows how long
  // the run went on after its last block (an answer that never came).
  void StopCapture() {
    RecordStatus("capture ended");
    FCapture->Stop();
  }
  const TCaptureFile& Capture() const { return *FCapture; }
  // Records into `owner`'s running capture from now on, as a port of its
  // own (a timed capture of several ports), with its frame clock.
  void JoinCapture(TReceiveSession& owner);

  TReceiveFormatter& Formatter() { return FFormatter; }
  // The line rules, which a console may change as it runs (the look, the
  // stamp): read at each block.
  TLineRules& LineRules() { return FOptions.Lines; }
  // Cuts lines by the rules as they are now: after a change of Cut (the
  // frames' signs or the rules) or of the Modbus view, the line under way
  // ends first. A shared Modbus pairing stays while Lines.Modbus is set.
  void ApplyLineRules();
  // Pairs this session's Modbus frames in `pairing` (several sessions on
  // one timeline) from now on, or in one of its own (null); applies the
  // rules as ApplyLineRules does.
  void ShareModbus(std::shared_ptr<TModbusPairing> pairing);
  // A line cut by the rules is under way.
  bool InLine() const { return (FCutter && FCutter->InLine()) || !FChunk.empty(); }
  TSessionDevice& Device() { return FDevice; }
  // The device went away since the last successful Open.
  bool Lost() const { return FLost; }
  // Bytes received since the session was made.
  std::uint64_t BytesReceived() const { return FBytes; }
  // When the latest block arrived (the clock's start while none did).
  Clock::time_point LastArrival() const { return FLastArrival; }

 private:
  TCaptureInterface CaptureInterface() const;
  void Record(pcapng::TPacket& packet);
  void RecordFrameClock();
  // The line being received ends (the time-out, a silence, a loss).
  void EndLine();
  // When the line being received ends for silence: nullopt for never.
  std::optional<Clock::time_point> LineDue(Clock::time_point last) const;
  // A silence of the rules' length in nanoseconds (character times made
  // time by the port's settings now); 0 for none.
  std::int64_t GapNs() const;
  // The line settings the gap was last worked out for, and the gap.
  mutable std::array<int, 5> FGapLine{-1, -1, -1, -1, -1};
  mutable std::int64_t FGapOfLine = 0;
  // The frames' line `line`, led by its stamp.
  void StampedLine(std::string_view line);
  // Starts, changes or ends the Modbus view by the rules; true while it
  // is on.
  bool ApplyModbus();
  // Modbus: the block joins the chunk being received; the chunk goes to
  // the framer; the framer's lines are shown; the next thing due.
  void ModbusReceive(const std::uint8_t* block, std::size_t n, Clock::time_point arrived);
  // A block read: counted, and recorded by a running capture.
  void Take(const std::uint8_t* block, std::size_t n, Clock::time_point arrived);
  void EndChunk();
  void ShowModbusLines();
  void ModbusDue();
  void ModbusCheck(Clock::time_point now);

  TSerCustomComm& FPort;
  TSessionDevice FDevice;
  TSessionSink FSink;
  TNow FNow;
  Clock::time_point FMonoBase;
  std::int64_t FWallBase;
  // The moment the formatter's clocks read: the block being handled.
  Clock::time_point FBlockTime;
  TSessionOptions FOptions;
  TReceiveFormatter FFormatter;
  // Lines cut by the rules (Lines.Cut); the pieces of one joined for a
  // program that takes whole lines.
  std::optional<TLineCutter> FCutter;
  std::string FJoined;
  // Modbus frames: the pairing (perhaps shared), this session's source in
  // it, the chunk being received with its blocks' times, and when the
  // chunk ends for silence.
  std::shared_ptr<TModbusPairing> FModbus;
  int FModbusSource = 0;
  TModbusMode FModbusMode = TModbusMode::None;  // the pairing's
  std::vector<std::uint8_t> FChunk;
  std::vector<TModbusPairing::TBlockTime> FChunkBlocks;
  std::optional<Clock::time_point> FChunkDue;
  TModbusPairing::TLines FModbusLines;
  // The frames' lines when stamped: when the line being collected began,
  // and the one before.
  Clock::time_point FLineStart{};
  std::optional<std::int64_t> FPreviousStart;
  std::int64_t FStampBase = 0;
  std::string FStamped;
  std::shared_ptr<TCaptureFile> FCapture = std::make_shared<TCaptureFile>();
  std::uint32_t FInterface = 0;  // this port's in a capture of several
  std::vector<std::uint8_t> FBuffer;
  TBlockQueue* FQueue = nullptr;
  std::optional<Clock::time_point> FTimeoutDue;
  Clock::time_point FLastArrival{};
  std::uint64_t FBytes = 0;
  bool FLost = false;
  std::uint8_t FModemSeen = 0;  // the lines as last told

  void ModemLineOut(const std::string& text);
  void ModemLinesAtOpen();
  void RecordModemLines();
  // "CTS on, DSR off, DCD off, RI off"
  static std::string ModemLinesText(std::uint8_t lines);
};

// Several sessions on one timeline (directions, ports, a decode's sides):
// the lines whose time-out fell due by `t` end first, in the order they
// fell due, as a live timer would have ended them.
void EndLinesDueBy(std::span<TReceiveSession* const> sessions,
                   TReceiveSession::Clock::time_point t);

// Ends the lines still open at the end of a run (or of a capture being
// decoded) in the order they began, the session listed first first among
// lines that began at once: the last lines of several ports or directions
// then read in the order of time, as every earlier line does.
void EndOpenLines(const std::vector<TReceiveSession*>& sessions);

}  // namespace talmo
