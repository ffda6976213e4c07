#pragma once
// TSerComm: the serial port component. Holds the line settings, opens and
// closes the device, writes the device control block, reads what has
// arrived, writes through a background queue, and turns line events into
// calls of its event handlers on the GUI thread.
//
// Index
// -----
// TSerComm (TSerCustomComm)     the port: Open, Close, Active, ReadBuf,
//                               WriteBuf, ReadStatus, WriteQueueCount
//   line settings               Baudrate, UserBaudrate, Parity, Databits,
//                               Stopbits, FlowControl, EventChars, Options
//   naming the device           PortNum, DeviceName, DeviceFileName
//   queue and time-outs         Buffers, DirectWrite
//   events                      MonitorEvents, OnOpen, OnClose, OnRxChar,
//                               OnError, OnErrorsFolded, OnTxEmpty, OnCts,
//                               OnDsr, OnBreak, OnRxFlag
//   receive hold                SetRxHoldRule (kRxHoldBytes, kRxHoldMost)
//   polled port                 SetPolled, PollFd, PollEvents, PollDue,
//                               Serve, WaitWritten
//   modem lines and break       SetDTR, SetRTS, SetBreak, ModemLines,
//                               HasModemLines (events: OnCts, OnDsr,
//                               OnRlsd, OnRing)
//   what the device noticed     TakeNotices, ControlLines
// TSerTiming, TSerWaitEvent     the injected clock, sleep and retry pause
// BaudRateOf                    a rate's baud (br600 is 1024)
// Defaults: serial/ser_defaults.h. Settings objects: serial/ser_settings.h.
// Types, errors (ESerCommError, ESerOpenError, ESerQueueFullError):
// serial/ser_types.h. The worker threads: serial/ser_threads.h (private).
//
// Public only because the component's interface names them; nothing above
// the component calls them (its tests do): AutoOpen/SetAutoOpen and Loaded,
// Display/SetDisplay and Notification (TSerDisplayLink), UpdateDCB/
// SetUpdateDCB, InQueCount, the thread priorities (EventPriority,
// WritePriority and their setters), CheckClosed, BuildDCB, and the handlers
// OnRing, OnRlsd, OnPErr, OnRx80Full, OnEvent1, OnEvent2 and OnRxBuf.
//
// Threading contract
// ------------------
// GUI thread: the thread that owns the port's TSerSync. Every public
//   operation, every setter and every event handler runs there, one dispatch
//   at a time. Nothing here may be called from another thread.
// Event thread (while open and the event mask is not 0): waits in
//   TSerDevice::WaitEvent, then hands the event bits to the GUI thread and
//   blocks until the dispatch has run or was cancelled. It touches the port
//   only inside that dispatch. With a receive hold rule (SetRxHoldRule) it
//   may wait a few milliseconds after a small receive dispatch before it
//   looks again; Shutdown ends that wait at once.
// Write thread (while open and DirectWrite is False): drains the write queue
//   with TSerDevice::Write; reports a failed write (OnError) through the same
//   hand-off, and an emptied queue (OnTxEmpty) by queueing the dispatch
//   without waiting for it, so that a GUI thread waiting for room in the
//   queue never waits for a writer parked in the hand-off.
// Polled port (SetPolled) whose device has a descriptor: neither thread
//   runs, and everything happens on the GUI thread, in Serve and WriteBuf.
// Locks: the write thread's queue lock guards the queue and its request
//   flags (shared with QueueWrite on the GUI thread); FReadLock serialises
//   ReadBuf, ReadStatus and the stopping of the threads; FWriteLock guards a
//   direct write. No lock is held while a handler runs.
// Shutdown: Close (and the destructor) stops both threads, cancels a
//   hand-off they wait in, and joins them before the device is released, so
//   no thread outlives the port and no dispatch queued for a closed or
//   destroyed port runs. Calling Close from inside one of this port's own
//   handlers is allowed: the thread that waits for that very dispatch is
//   joined later (next Open, or the destructor). Destroying the port from
//   inside its own handler is not allowed.
// After a failed Open the port is closed and no thread runs.
//
// Error contract
// --------------
// Every public operation that fails raises ESerCommError with its message
// (the device layer's errno turned into text here, in one place); a full
// write queue raises ESerQueueFullError, of which nothing went. Failures on the
// worker threads are not raised there: a failed write or a lost device
// reaches the GUI thread as OnError bits (CE_IOE: the device went away, told
// once per open), and an exception of a handler goes to the TSerSync's
// HandleException. The component tells no user anything itself: the window
// and the commands do, through the receive session.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/byte_queue.h"
#include "serial/ser_defaults.h"
#include "serial/ser_device.h"
#include "serial/ser_settings.h"
#include "serial/ser_sync.h"
#include "serial/ser_types.h"

namespace talmo {

class TSerCustomComm;
class TSerWaitEvent;
// The worker threads (serial/ser_threads.h, the component's own).
class TSerCommThread;
class TSerCommEventThread;
class TSerCommWriteThread;

// The clock and sleep the GUI-thread waits use (the queue's room wait and
// the pause of Close), and the worker threads' retry pause; injected so
// tests do not wait in real time.
struct TSerTiming {
  std::function<std::chrono::steady_clock::time_point()> Now;
  std::function<void(std::chrono::milliseconds)> Sleep;
  // The system's own clock: a wait for room in the write queue may then end
  // early, as soon as the write thread has made room.
  bool IsSystem = false;
  // Worker thread: the pause before a failed wait or write is tried again.
  // It must end as soon as `wake` is set (Shutdown sets it), or Close
  // waits for it. Empty: waits on `wake` for the pause in real time.
  std::function<void(TSerWaitEvent& wake, std::chrono::milliseconds)> RetryPause = {};
  static TSerTiming System();
};

// A manual-reset event, initially not signalled.
class TSerWaitEvent {
 public:
  enum : int { wrSignaled = 0, wrTimeout = 1, wrAbandoned = 2, wrError = 3 };
  void SetEvent();
  void ResetEvent();
  // Milliseconds; negative waits without limit.
  int WaitFor(int timeoutMs);

 private:
  std::mutex FLock;
  std::condition_variable FCv;
  bool FSignaled = false;
};

using TSerCriticalSection = std::mutex;

// A display control linked to the port; refreshed at each event dispatch.
class TSerDisplayLink {
 public:
  virtual ~TSerDisplayLink() = default;
  virtual void RefreshFromPort(TSerCustomComm& port) = 0;
};

class TSerCustomComm {
 public:
  using TNotifyEvent = std::function<void(TSerCustomComm* Sender)>;
  using TSerCommErrorEvent = std::function<void(TSerCustomComm* Sender, int Errors)>;
  using TSerCommRxCharEvent = std::function<void(TSerCustomComm* Sender, int Count)>;
  using TSerCommRxBufEvent =
      std::function<void(TSerCustomComm* Sender, const std::uint8_t* Data, int Count)>;

  // `sync` must outlive the port; it is the hand-off to the GUI thread and
  // the application's exception handler.
  TSerCustomComm(std::shared_ptr<TSerDriver> driver, TSerSync& sync);
  virtual ~TSerCustomComm();
  TSerCustomComm(const TSerCustomComm&) = delete;
  TSerCustomComm& operator=(const TSerCustomComm&) = delete;

  // Operations.
  void Open();
  // Closed even when it raises: ESerCommError when the device could not
  // let all it had taken go out first (a remote port's server that stopped
  // reading), with what was lost.
  void Close();
  bool Active() const { return FDevice != nullptr; }
  int WriteBuf(const void* Buf, int Count);
  int ReadBuf(void* Buf, int Count);
  void ReadStatus(std::uint32_t& Errors, TSerComStat& Stat);
  int InQueCount();
  // Bytes waiting in the write queue (0 while closed or writing directly).
  std::size_t WriteQueueCount() const;
  void WriteDCB();
  TSerDCB BuildDCB() const;
  std::string DeviceFileName() const;
  void CheckClosed() const;
  // Once the stored properties are in: opens when AutoOpen is set.
  void Loaded();

  // Properties.
  bool AutoOpen() const { return FAutoOpen; }
  void SetAutoOpen(bool v) { FAutoOpen = v; }
  TSerBaudrate Baudrate() const { return FBaudrate; }
  void SetBaudrate(TSerBaudrate v);
  TSerParity Parity() const { return FParity; }
  void SetParity(TSerParity v);
  TSerDatabits Databits() const { return FDatabits; }
  void SetDatabits(TSerDatabits v);
  TSerStopbits Stopbits() const { return FStopbits; }
  void SetStopbits(TSerStopbits v);
  TSerEventChars& EventChars() { return FEventChars; }
  void SetEventChars(const TSerEventChars& v) { FEventChars.Assign(v); }
  TSerFlowControl& FlowControl() { return FFlowControl; }
  void SetFlowControl(const TSerFlowControl& v) { FFlowControl.Assign(v); }
  TSerCommOptions Options() const { return FOptions; }
  void SetOptions(TSerCommOptions v);
  std::int32_t PortNum() const { return FPortNum; }
  void SetPortNum(std::int32_t v);
  const std::string& DeviceName() const { return FDeviceName; }
  void SetDeviceName(const std::string& v);
  TSerCommEvents MonitorEvents() const { return FMonitorEvents; }
  void SetMonitorEvents(TSerCommEvents v);
  TSerBuffers& Buffers() { return FBuffers; }
  void SetBuffers(const TSerBuffers& v);
  TThreadPriority EventPriority() const { return FEventPriority; }
  void SetEventPriority(TThreadPriority v);
  TThreadPriority WritePriority() const { return FWritePriority; }
  void SetWritePriority(TThreadPriority v);
  bool DirectWrite() const { return FDirectWrite; }
  void SetDirectWrite(bool v);
  bool UpdateDCB() const { return FUpdateDCB; }
  void SetUpdateDCB(bool v);
  std::int32_t UserBaudrate() const { return FUserBaudrate; }
  void SetUserBaudrate(std::int32_t v);
  TSerDisplayLink* Display() const { return FDisplay; }
  void SetDisplay(TSerDisplayLink* v) { FDisplay = v; }
  // The linked display is going away.
  void Notification(TSerDisplayLink* removed);

  // Receive hold (GUI thread). Each hand-off to the GUI thread costs far
  // more than the bytes it carries, and a UART hands over small blocks. The
  // rule is asked after every receive dispatch that took fewer than
  // kRxHoldBytes; the event thread then waits that long (at most
  // kRxHoldMost) before it looks at the line again, and the next dispatch
  // takes all that came meanwhile: nothing is lost or reordered, the
  // device keeps it. A faster line (a dispatch of kRxHoldBytes or more) is
  // never held, so the device's buffer cannot fill because of it. No rule,
  // or a rule that answers 0 (the default): every block is dispatched as it
  // comes, as time stamps and pause-framed protocols need.
  using TRxHoldRule = std::function<std::chrono::milliseconds()>;
  static constexpr std::uint64_t kRxHoldBytes = 2048;
  static constexpr std::chrono::milliseconds kRxHoldMost{50};
  void SetRxHoldRule(TRxHoldRule rule) { FRxHoldRule = std::move(rule); }
  // Polled port (set while closed). Each hand-off between the worker
  // threads and the GUI thread costs a wake-up of each, several per block;
  // a program that forwards every block at once (the tap) cannot afford
  // them. A polled port starts no threads when its device has a descriptor
  // to poll: the owner's own loop polls PollFd() for PollEvents() and hands
  // what it saw to Serve(), on the GUI thread, where the handlers run as in
  // a dispatch. WriteBuf then writes at once what the device takes and
  // queues the rest for Serve. A device without a descriptor (the remote
  // port) runs its threads as before, and PollFd() is -1. Line errors are
  // looked for when bytes arrive. A port whose MonitorEvents has modem-line
  // events (CTS, DSR, RLSD, RING) runs its threads too, which serve them,
  // and PollFd() is -1. OnRxChar
  // is offered 64 KiB (or Buffers().ReadSize() if larger), not the count
  // waiting: its ReadBuf takes what is there, which saves asking the device
  // first, and takes more at once on a fast line.
  bool Polled() const { return FPolled; }
  void SetPolled(bool v);
  // While open: the descriptor to poll, or -1 (the threads run). Also -1
  // once the device has gone: a hung-up descriptor would wake its poller
  // at once, every time, until the owner closes the port.
  int PollFd() const { return FLossReported ? -1 : FPollFd; }
  // POLLIN while received bytes are monitored, POLLOUT while bytes wait
  // for the device and a failed write is not pausing.
  short PollEvents() const;
  // When Serve(0) has something to do without the descriptor (a paused
  // write to try again, an emptied queue to tell), or nothing.
  std::optional<std::chrono::steady_clock::time_point> PollDue() const;
  // What poll() said of PollFd(); 0 only retries a paused write.
  void Serve(short revents);
  // A polled port: waits, at most the write time-out, until its queue has
  // gone to the device (Close drops what is left). True when it has; a
  // threaded port does not wait.
  bool WaitWritten();

  // Modem lines (GUI thread). SetDTR and SetRTS raise or drop the line now
  // on an open port, and keep the level as the flow control's ControlDtr /
  // ControlRts (dtrEnabled or dtrDisabled, rtsEnabled or rtsDisabled), so
  // that the next open sets it again; a closed port only keeps it. SetRTS
  // ends an RTS handshake. SetBreak starts or ends a break condition on an
  // open port (nothing while closed); the caller times the pulse. Each
  // raises ESerCommError when the device refuses; a device without modem
  // lines (a pseudo-terminal) takes them as done.
  void SetDTR(bool on);
  void SetRTS(bool on);
  void SetBreak(bool on);
  // CTS, DSR, DCD and RING as the device last reported them (inside the
  // dispatch of their change: as they were when the device reported it, so
  // a pulse that is over by then is still seen), RTS and DTR as set
  // (base/control_lines.h; under an RTS handshake RTS as the device reports
  // it). 0 while closed. Changes of CTS, DSR, DCD and RI fire
  // OnCts, OnDsr, OnRlsd and OnRing while MonitorEvents has them; the
  // device waits for them in the kernel, so a quiet line costs no
  // wake-ups.
  std::uint8_t ModemLines() const;
  // The open device reports CTS, DSR, DCD and RI (a pseudo-terminal has
  // none: they stay 0).
  bool HasModemLines() const;

  // What the device noticed since the open that the user should hear of
  // once (settings its server never confirmed); each is taken once.
  std::vector<std::string> TakeNotices();
  // The control lines as the device last saw them (0 while closed).
  std::uint8_t ControlLines() const;

  // The device event mask computed at Open.
  std::uint32_t EventMask() const { return FEventMask; }
  void SetTiming(TSerTiming timing) { FTiming = std::move(timing); }

  // Event handlers (GUI thread).
  TNotifyEvent OnOpen, OnClose, OnCts, OnDsr, OnRlsd, OnRing, OnBreak;
  TSerCommErrorEvent OnError;
  // After an OnError: how many more line errors the device folded into that
  // report (a flood is reported a few times a second, not each error).
  std::function<void(TSerCustomComm*, std::uint64_t)> OnErrorsFolded;
  TSerCommRxCharEvent OnRxChar;
  // Never fired: it came with the attachable receivers, which read the
  // bytes ahead for it, and nothing attaches one; received bytes reach the
  // program through OnRxChar and ReadBuf.
  TSerCommRxBufEvent OnRxBuf;
  TNotifyEvent OnRxFlag, OnTxEmpty, OnPErr, OnRx80Full, OnEvent1, OnEvent2;

 protected:
  virtual void CreateHandle();
  virtual void StartThreads();
  virtual void DoRxChar();
  virtual void DoEvents(std::uint32_t EventMask);
  bool DoError();

 private:
  friend class TSerCommEventThread;
  friend class TSerCommWriteThread;

  [[noreturn]] void RaiseCommError(const std::string& tmpl, int code) const;
  void DestroyHandle();
  void StopThreads();
  void JoinRetired(bool detachBlocked);
  void InitBuffers();
  void InitTimeouts();
  void InitEventMask();
  void BuffersChanged();
  void HandleException() noexcept;

  // Dispatches on the GUI thread (called through the hand-off).
  void DispatchEvents(std::uint32_t mask);
  void DispatchThreadEvents(std::uint32_t mask);
  void DispatchDeviceLost();
  // The device's status for a dispatch: false (and the loss reported once)
  // when the device has gone away, which a dispatch takes as "nothing
  // there"; other failures raise as ReadStatus does.
  bool DispatchStatus(std::uint32_t& errors, TSerComStat& stat, bool inCount = true);
  // Bytes waiting; without `ask`, the read size (the device is not asked).
  int DispatchQueueCount(bool ask = true);
  // After a dispatch: how long the event thread waits before it looks
  // again, given the bytes read before the dispatch.
  std::chrono::milliseconds RxHoldAfter(std::uint64_t bytesBefore) const;
  // OnError with the device-gone bit, once per open.
  void ReportLoss();

  std::shared_ptr<TSerDriver> FDriver;
  TSerSync& FSync;
  std::shared_ptr<TSerDevice> FDevice;
  TSerCriticalSection FWriteLock;
  TSerCriticalSection FReadLock;
  std::shared_ptr<TSerCommEventThread> FEventThread;
  std::shared_ptr<TSerCommWriteThread> FWriteThread;
  std::vector<std::shared_ptr<TSerCommThread>> FRetired;
  std::uint32_t FEventMask = 0;
  bool FAutoOpen = kSerDefaults.Component.AutoOpen;
  std::int32_t FPortNum = kSerDefaults.Component.PortNum;
  std::string FDeviceName = kSerDefaults.Component.DeviceName;
  TSerCommEvents FMonitorEvents = kSerDefaults.Component.MonitorEvents;
  TSerBuffers FBuffers;
  TThreadPriority FEventPriority = kSerDefaults.Component.EventPriority;
  TThreadPriority FWritePriority = kSerDefaults.Component.WritePriority;
  bool FDirectWrite = kSerDefaults.Component.DirectWrite;
  TSerBaudrate FBaudrate = kSerDefaults.Component.Line.Baudrate;
  TSerParity FParity = kSerDefaults.Component.Line.Parity;
  TSerDatabits FDatabits = kSerDefaults.Component.Line.Databits;
  TSerStopbits FStopbits = kSerDefaults.Component.Line.Stopbits;
  TSerCommOptions FOptions;
  TSerFlowControl FFlowControl;
  TSerEventChars FEventChars;
  bool FUpdateDCB = kSerDefaults.Component.UpdateDCB;
  std::int32_t FUserBaudrate = kSerDefaults.Component.UserBaudrate;
  TSerDisplayLink* FDisplay = nullptr;
  TSerTiming FTiming = TSerTiming::System();
  int FDispatchDepth = 0;
  bool FLossReported = false;
  // Counted by ReadBuf; tells DoRxChar and the hold rule what a dispatch took.
  std::uint64_t FBytesRead = 0;
  TRxHoldRule FRxHoldRule;
  // During the dispatch of a modem-line event: the device's lines when it
  // reported it (set by the event thread's hand-off).
  std::optional<std::uint8_t> FDispatchLines;
  // Error bits that InQueCount cleared on the device, kept for DoError.
  std::uint32_t FHeldErrors = 0;
  std::uint64_t FHeldFolded = 0;  // the folded count that came with them
  bool FDestroying = false;
  // Polled port: the bytes the device has not taken yet, and when a failed
  // write may be tried again.
  bool FPolled = false;
  int FPollFd = -1;
  TByteQueue FPollQueue;
  std::optional<std::chrono::steady_clock::time_point> FPollRetryAt;
  bool FPollTxEmpty = false;  // the queue emptied: OnTxEmpty at the next Serve
  void FlushPolled();
  bool PollQueueRoom(std::size_t count);
};

// The published component.
class TSerComm : public TSerCustomComm {
 public:
  using TSerCustomComm::TSerCustomComm;
};

// The DCB BaudRate of a TSerBaudrate (brUser: 0, the caller substitutes).
std::uint32_t BaudRateOf(TSerBaudrate b);

}  // namespace talmo
