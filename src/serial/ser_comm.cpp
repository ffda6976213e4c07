#include "serial/ser_comm.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "base/control_lines.h"
#include "serial/ser_threads.h"

namespace talmo {

namespace {

// Every close of an open port waits this long after OnClose: the time the
// component always gave its threads to end. They are joined before it now,
// but a close keeps its length, which the window's timing counts on (a
// close takes at least 450 ms with its own 150).
constexpr std::chrono::milliseconds kClosePause{300};

// OnRxChar calls at most added to one EV_RXCHAR dispatch while bytes keep
// coming.
constexpr int kMaxRxRepeats = 15;

// What a polled port offers OnRxChar at least (see DispatchQueueCount).
constexpr int kPolledOffer = 64 * 1024;

// Counts the dispatches of a port that are running, so that Close can tell
// whether it was called from inside one.
class TDispatchScope {
 public:
  explicit TDispatchScope(int& depth) : FDepth(depth) { ++FDepth; }
  ~TDispatchScope() { --FDepth; }
  TDispatchScope(const TDispatchScope&) = delete;
  TDispatchScope& operator=(const TDispatchScope&) = delete;

 private:
  int& FDepth;
};

template <typename Handler, typename... Args>
void Fire(const Handler& h, Args... args) {
  // A copy, so a handler may replace itself while it runs.
  if (!h) return;
  Handler copy = h;
  copy(args...);
}

}  // namespace

std::uint32_t BaudRateOf(TSerBaudrate b) {
  // br600 is 1024 baud, not 600, by design: the window's first rate item
  // ("1024") programs it. Do not "correct" it.
  static constexpr std::uint32_t kRates[] = {0,     110,    300,    1024,  1200,  2400,
                                             4800,  9600,   14400,  19200, 38400, 56000,
                                             57600, 115200, 128000, 256000};
  return b <= br256000 ? kRates[b] : 0;
}

TSerCustomComm::TSerCustomComm(std::shared_ptr<TSerDriver> driver, TSerSync& sync)
    : FDriver(std::move(driver)), FSync(sync) {
  if (!FDriver) throw std::invalid_argument("TSerComm: no device driver");
  FBuffers.OnChange = [this](TSerPersistent&) { BuffersChanged(); };
  FEventChars.OnChange = [this](TSerPersistent&) { WriteDCB(); };
  FFlowControl.OnChange = [this](TSerPersistent&) { WriteDCB(); };
}

TSerCustomComm::~TSerCustomComm() {
  FDestroying = true;
  try {
    Close();
  } catch (...) {
  }
  // Destroyed from inside its own dispatch (not allowed, but not fatal): a
  // thread still waiting for that dispatch is let go instead of joined.
  JoinRetired(true);
  FBuffers.OnChange = nullptr;
  FEventChars.OnChange = nullptr;
  FFlowControl.OnChange = nullptr;
}

// --- errors ----------------------------------------------------------------

void TSerCustomComm::RaiseCommError(const std::string& tmpl, int code) const {
  throw ESerCommError(FormatSerMessage(tmpl, {std::to_string(code), SysErrorText(code)}),
                      FDevice ? FDevice->Explain() : std::string());
}

void TSerCustomComm::CheckClosed() const {
  if (Active()) throw ESerCommError("Can't perform this operation while port is open");
}

void TSerCustomComm::HandleException() noexcept { FSync.HandleException(std::current_exception()); }

// --- open and close --------------------------------------------------------

std::string TSerCustomComm::DeviceFileName() const {
  // Only the first "%d" takes the port number; any other '%' stays as it is.
  std::string name = FDeviceName;
  const auto at = name.find("%d");
  if (at != std::string::npos) name.replace(at, 2, std::to_string(FPortNum));
  return name;
}

void TSerCustomComm::CreateHandle() {
  const std::string name = DeviceFileName();
  int err = 0;
  std::unique_ptr<TSerDevice> device = FDriver->Open(name, err);
  if (device) {
    FDevice = std::move(device);
    return;
  }
  if (err == 0) err = EIO;
  const std::string shown = ShortDeviceName(name);
  if (err == ENOENT)
    throw ESerOpenError(FormatSerMessage("Specified device not found (%s).", {shown}), "", err);
  throw ESerOpenError(FormatSerMessage("Can't open specified device %s (Error %d, %s)",
                                       {shown, std::to_string(err), SysErrorText(err)}),
                      FDriver->OpenHint(name, err), err);
}

void TSerCustomComm::DestroyHandle() {
  if (!FDevice) return;
  FDevice->Close();
  FDevice.reset();
}

void TSerCustomComm::Open() {
  CheckClosed();
  JoinRetired(false);
  CreateHandle();
  try {
    WriteDCB();
    InitBuffers();
    InitTimeouts();
    InitEventMask();
    FLossReported = false;
    FHeldErrors = 0;
    FHeldFolded = 0;
    StartThreads();
  } catch (...) {
    StopThreads();
    DestroyHandle();
    throw;
  }
  if (OnOpen) {
    try {
      Fire(OnOpen, this);
    } catch (...) {
      HandleException();
    }
  }
}

void TSerCustomComm::InitBuffers() {
  if (!Active()) return;
  const int err = FDevice->SetupBuffers(static_cast<std::uint32_t>(FBuffers.ReadSize()),
                                        static_cast<std::uint32_t>(FBuffers.WriteSize()));
  if (err) RaiseCommError("Error initializing buffers (%d), %s", err);
}

void TSerCustomComm::InitTimeouts() {
  const int err = FDevice->SetTimeouts();
  if (err) RaiseCommError("Error setting timeouts (%d), %s", err);
}

void TSerCustomComm::InitEventMask() {
  FEventMask = EventMaskOf(FMonitorEvents);
  // The write thread reports an emptied queue itself.
  if (!FDirectWrite) FEventMask &= ~EV_TXEMPTY;
  const int err = FDevice->SetEventMask(FEventMask);
  if (err) RaiseCommError(" Error setting EventMask (%d), %s", err);
}

void TSerCustomComm::StartThreads() {
  FPollQueue.Clear();
  FPollRetryAt.reset();
  FPollTxEmpty = false;
  // Modem-line events need the event thread's wait: a poller of the
  // descriptor would never hear of them.
  constexpr std::uint32_t kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
  FPollFd = FPolled && !(FEventMask & kModemEvents) ? FDevice->PollFd() : -1;
  if (FPollFd >= 0) return;
  if (FEventMask != 0) {
    FEventThread = std::make_shared<TSerCommEventThread>(*this, FDriver, FDevice, FSync, FTiming);
    FEventThread->Start(FEventPriority);
  }
  if (!FDirectWrite) {
    FWriteThread = std::make_shared<TSerCommWriteThread>(
        *this, FDriver, FDevice, FSync, static_cast<std::size_t>(FBuffers.WriteSize()), FTiming);
    FWriteThread->Start(FWritePriority);
  }
}

void TSerCustomComm::StopThreads() {
  FPollFd = -1;
  std::shared_ptr<TSerCommThread> threads[] = {std::move(FEventThread), std::move(FWriteThread)};
  FEventThread.reset();
  FWriteThread.reset();
  for (auto& t : threads)
    if (t) t->Shutdown();
  // Ends a wait or write in progress, as closing the handle would.
  if (FDevice) FDevice->Cancel();
  for (auto& t : threads) {
    if (!t) continue;
    // Called from inside the dispatch this thread waits for: it cannot end
    // before we return, so it is joined later.
    if (t->BlockedInRunningCall())
      FRetired.push_back(t);
    else
      t->Join();
  }
}

void TSerCustomComm::JoinRetired(bool detachBlocked) {
  std::vector<std::shared_ptr<TSerCommThread>> keep;
  for (auto& t : FRetired) {
    if (!t->BlockedInRunningCall())
      t->Join();
    else if (detachBlocked)
      t->Detach();
    else
      keep.push_back(t);
  }
  FRetired.swap(keep);
}

void TSerCustomComm::Close() {
  if (!Active()) return;
  {
    std::lock_guard lock(FReadLock);
    StopThreads();
  }
  // What the device still holds goes out before it is released; what
  // could not is told once the port is closed all the same.
  const int unfinished = FDevice->Finish();
  const std::string why = unfinished ? FDevice->Explain() : std::string();
  DestroyHandle();
  if (!FDestroying) Fire(OnClose, this);
  FTiming.Sleep(kClosePause);
  if (unfinished)
    throw ESerCommError(
        !why.empty() ? why
                     : FormatSerMessage("Error closing (%d), %s",
                                        {std::to_string(unfinished), SysErrorText(unfinished)}));
}

void TSerCustomComm::Loaded() {
  if (FAutoOpen) Open();
}

// --- device control block --------------------------------------------------

TSerDCB TSerCustomComm::BuildDCB() const {
  TSerDCB dcb{};
  dcb.BaudRate =
      FBaudrate == brUser ? static_cast<std::uint32_t>(FUserBaudrate) : BaudRateOf(FBaudrate);
  dcb.Parity = static_cast<std::uint8_t>(FParity);
  dcb.StopBits = static_cast<std::uint8_t>(FStopbits);
  dcb.ByteSize = static_cast<std::uint8_t>(4 + FDatabits);
  dcb.XonChar = FEventChars.XonChar();
  dcb.XoffChar = FEventChars.XoffChar();
  dcb.ErrorChar = FEventChars.ErrorChar();
  dcb.EofChar = FEventChars.EofChar();
  dcb.EvtChar = FEventChars.EventChar();
  dcb.XonLim = static_cast<std::uint16_t>(FBuffers.XonLimit() & 0xFFFF);
  dcb.XoffLim = static_cast<std::uint16_t>(FBuffers.XoffLimit() & 0xFFFF);
  std::uint32_t flags = fBinary;
  if (FFlowControl.OutCtsFlow()) flags |= fOutxCtsFlow;
  if (FFlowControl.OutDsrFlow()) flags |= fOutxDsrFlow;
  flags |= static_cast<std::uint32_t>(FFlowControl.ControlDtr()) << 4;
  flags |= static_cast<std::uint32_t>(FFlowControl.ControlRts()) << 12;
  if (FFlowControl.XonXoffOut()) flags |= fOutX;
  if (FFlowControl.XonXoffIn()) flags |= fInX;
  if (FFlowControl.DsrSensitivity()) flags |= fDsrSensitivity;
  if (FFlowControl.TxContinueOnXoff()) flags |= fTXContinueOnXoff;
  if (FOptions.Contains(coErrorChar)) flags |= fErrorChar;
  if (FOptions.Contains(coNullStrip)) flags |= fNull;
  if (FOptions.Contains(coParityCheck)) flags |= fParity;
  dcb.Flags = flags;
  return dcb;
}

void TSerCustomComm::WriteDCB() {
  if (!Active() || !FUpdateDCB) return;
  const int err = FDevice->SetState(BuildDCB());
  if (err) RaiseCommError("Error writing dcb (%d), %s", err);
}

void TSerCustomComm::BuffersChanged() {
  CheckClosed();
  InitBuffers();
  WriteDCB();
}

// --- setters ---------------------------------------------------------------

void TSerCustomComm::SetBaudrate(TSerBaudrate v) {
  if (v > br256000)
    throw std::out_of_range("Baudrate: " + std::to_string(v) + " is not a TSerBaudrate");
  if (v == FBaudrate) return;
  FBaudrate = v;
  if (v != brUser) FUserBaudrate = 0;
  WriteDCB();
}

void TSerCustomComm::SetParity(TSerParity v) {
  if (v > paSpace) throw std::out_of_range("Parity: " + std::to_string(v) + " is not a TSerParity");
  if (v == FParity) return;
  FParity = v;
  WriteDCB();
}

void TSerCustomComm::SetDatabits(TSerDatabits v) {
  if (v > db8) throw std::out_of_range("Databits: " + std::to_string(v) + " is not a TSerDatabits");
  if (v == FDatabits) return;
  FDatabits = v;
  WriteDCB();
}

void TSerCustomComm::SetStopbits(TSerStopbits v) {
  if (v > sb2) throw std::out_of_range("Stopbits: " + std::to_string(v) + " is not a TSerStopbits");
  if (v == FStopbits) return;
  FStopbits = v;
  WriteDCB();
}

void TSerCustomComm::SetOptions(TSerCommOptions v) {
  v = TSerCommOptions::FromBits(v.ToBits() & 0x07);
  if (v == FOptions) return;
  FOptions = v;
  WriteDCB();
}

void TSerCustomComm::SetPortNum(std::int32_t v) {
  CheckClosed();
  if (v < 0)
    throw std::out_of_range("PortNum: " + std::to_string(v) + " is out of range 0..2147483647");
  FPortNum = v;
}

void TSerCustomComm::SetDeviceName(const std::string& v) {
  CheckClosed();
  FDeviceName = v;
}

void TSerCustomComm::SetMonitorEvents(TSerCommEvents v) {
  CheckClosed();
  FMonitorEvents = TSerCommEvents::FromBits(v.ToBits() & 0x1FFF);
}

void TSerCustomComm::SetBuffers(const TSerBuffers& v) {
  CheckClosed();
  FBuffers.Assign(v);
}

void TSerCustomComm::SetEventPriority(TThreadPriority v) {
  if (v == FEventPriority) return;
  FEventPriority = v;
  if (FEventThread) FEventThread->SetPriority(v);
}

void TSerCustomComm::SetWritePriority(TThreadPriority v) {
  if (v == FWritePriority) return;
  FWritePriority = v;
  if (FWriteThread) FWriteThread->SetPriority(v);
}

void TSerCustomComm::SetDirectWrite(bool v) {
  CheckClosed();
  FDirectWrite = v;
}

void TSerCustomComm::SetUpdateDCB(bool v) {
  CheckClosed();
  FUpdateDCB = v;
}

void TSerCustomComm::SetUserBaudrate(std::int32_t v) {
  if (v == FUserBaudrate) return;
  FUserBaudrate = v;
  FBaudrate = brUser;
  WriteDCB();
}

void TSerCustomComm::Notification(TSerDisplayLink* removed) {
  if (removed && removed == FDisplay) FDisplay = nullptr;
}

// --- reading and writing ---------------------------------------------------

int TSerCustomComm::WriteBuf(const void* Buf, int Count) {
  if (!Active()) return 0;
  if (Count < 0 || (Count > 0 && Buf == nullptr)) RaiseCommError("Write error (%d), %s", EINVAL);
  if (Count == 0) return 0;
  if (FPollFd >= 0) {
    const auto* p = static_cast<const std::uint8_t*>(Buf);
    if (!PollQueueRoom(static_cast<std::size_t>(Count))) throw ESerQueueFullError();
    FPollQueue.Append(p, static_cast<std::size_t>(Count));
    FlushPolled();
    return Count;
  }
  if (!FDirectWrite) {
    if (!FWriteThread->QueueWrite(Buf, static_cast<std::size_t>(Count), FBuffers.WriteTimeout()))
      throw ESerQueueFullError();
    return Count;
  }
  std::lock_guard lock(FWriteLock);
  std::size_t written = 0;
  const int err =
      FDevice->Write(Buf, static_cast<std::size_t>(Count), written, FBuffers.ReadTimeout());
  if (err) RaiseCommError("Write error (%d), %s", err);
  return static_cast<int>(written);
}

int TSerCustomComm::ReadBuf(void* Buf, int Count) {
  if (!Active()) return 0;
  if (Count < 0 || (Count > 0 && Buf == nullptr)) RaiseCommError("Read error (%d), %s", EINVAL);
  std::size_t got = 0;
  int err;
  {
    std::lock_guard lock(FReadLock);
    err = FDevice->Read(Buf, static_cast<std::size_t>(Count), got);
  }
  // A device that has gone away has nothing more to read; its loss is
  // reported once through OnError rather than as a read error at every
  // event that was still on its way.
  if (err && IsDeviceGone(err)) {
    ReportLoss();
    return 0;
  }
  if (err) RaiseCommError("Read error (%d), %s", err);
  FBytesRead += got;
  return static_cast<int>(got);
}

void TSerCustomComm::ReadStatus(std::uint32_t& Errors, TSerComStat& Stat) {
  std::lock_guard lock(FReadLock);
  Errors = 0;
  Stat = TSerComStat{};
  if (!Active()) return;
  const int err = FDevice->ClearError(Errors, Stat);
  if (err) RaiseCommError("Error retrieving statistics (%d), %s", err);
}

bool TSerCustomComm::DispatchStatus(std::uint32_t& errors, TSerComStat& stat, bool inCount) {
  errors = 0;
  stat = TSerComStat{};
  if (!Active()) return false;
  int err;
  {
    std::lock_guard lock(FReadLock);
    err = FDevice->ClearErrorForRead(errors, stat, inCount);
  }
  if (err && IsDeviceGone(err)) {
    // An event that was on its way when the device went: nothing is there.
    errors = 0;
    stat = TSerComStat{};
    ReportLoss();
    return false;
  }
  if (err) RaiseCommError("Error retrieving statistics (%d), %s", err);
  return true;
}

int TSerCustomComm::DispatchQueueCount(bool ask) {
  std::uint32_t errors = 0;
  TSerComStat stat;
  if (!DispatchStatus(errors, stat, ask)) return 0;
  FHeldErrors |= errors;
  FHeldFolded += stat.Folded;
  // A tty read of more than its 4 KiB line buffer takes what the kernel
  // pushes meanwhile too: fewer reads and wake-ups on a fast line.
  if (!ask) return std::max(FBuffers.ReadSize(), kPolledOffer);
  return stat.cbInQue > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(stat.cbInQue);
}

void TSerCustomComm::ReportLoss() {
  if (!Active() || FLossReported) return;
  FLossReported = true;
  try {
    Fire(OnError, this, static_cast<int>(CE_IOE));
  } catch (...) {
    HandleException();
  }
}

std::size_t TSerCustomComm::WriteQueueCount() const {
  if (FPollFd >= 0) return FPollQueue.Size();
  return FWriteThread ? FWriteThread->QueuedCount() : 0;
}

// --- polled port (GUI thread) ----------------------------------------------

void TSerCustomComm::SetPolled(bool v) {
  CheckClosed();
  FPolled = v;
}

short TSerCustomComm::PollEvents() const {
  if (FPollFd < 0) return 0;
  short events = (FEventMask & EV_RXCHAR) ? POLLIN : 0;
  if (WriteQueueCount() != 0 && !FPollRetryAt) events |= POLLOUT;
  return events;
}

std::optional<std::chrono::steady_clock::time_point> TSerCustomComm::PollDue() const {
  if (FPollFd < 0) return std::nullopt;
  if (FPollTxEmpty) return std::chrono::steady_clock::time_point::min();
  return FPollRetryAt;
}

// Room for `count` more queued bytes, waiting for the device as long as
// the write time-out allows, as the write thread's queue does.
bool TSerCustomComm::PollQueueRoom(std::size_t count) {
  const auto capacity = static_cast<std::size_t>(std::max(FBuffers.WriteSize(), 1));
  const auto fits = [&] { return WriteQueueCount() + count <= capacity; };
  if (fits()) return true;
  FlushPolled();
  const auto start = FTiming.Now();
  const auto limit = std::chrono::milliseconds(FBuffers.WriteTimeout());
  while (!fits() && Active() && FPollFd >= 0) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(limit - (FTiming.Now() - start)).count();
    if (left < 0) return false;
    pollfd p{FPollFd, POLLOUT, 0};
    if (::poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000))) < 0 && errno != EINTR)
      return false;
    FPollRetryAt.reset();
    const std::size_t before = WriteQueueCount();
    FlushPolled();
    if (FLossReported) return false;
    // A device may say it is writable and take nothing: no spin on it.
    if (WriteQueueCount() == before) FTiming.Sleep(std::chrono::milliseconds(1));
  }
  return fits();
}

void TSerCustomComm::FlushPolled() {
  if (FPollFd < 0 || FPollRetryAt || WriteQueueCount() == 0) return;
  std::size_t written = 0;
  const int err = FDevice->Write(FPollQueue.Front(), FPollQueue.Size(), written, 0);
  FPollQueue.Drop(written);
  if (err) {
    // The bytes stay queued, tried again after the pause the write thread
    // takes too.
    FPollRetryAt = FTiming.Now() + std::chrono::milliseconds(TSerCommThread::kRetryPauseMs);
    if (IsDeviceGone(err))
      ReportLoss();
    else
      DispatchThreadEvents(EV_ERR);
    return;
  }
  if (written && WriteQueueCount() == 0 && OnTxEmpty &&
      (EventMaskOf(FMonitorEvents) & EV_TXEMPTY)) {
    // Told by the next Serve, never from inside the WriteBuf that emptied
    // the queue: a handler that writes again would run within its caller.
    FPollTxEmpty = true;
  }
}

bool TSerCustomComm::WaitWritten() {
  if (PollFd() < 0 || WriteQueueCount() == 0) return WriteQueueCount() == 0;
  // Room for a whole queue is an empty one.
  return PollQueueRoom(static_cast<std::size_t>(std::max(FBuffers.WriteSize(), 1)));
}

void TSerCustomComm::Serve(short revents) {
  if (PollFd() < 0 || !Active()) return;
  if (FPollRetryAt && FTiming.Now() >= *FPollRetryAt) FPollRetryAt.reset();
  if (revents & (POLLOUT | POLLERR | POLLHUP)) FlushPolled();
  if (FPollTxEmpty) {
    FPollTxEmpty = false;
    DispatchThreadEvents(EV_TXEMPTY);
  }
  if (!Active() || FPollFd < 0) return;
  if (revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) {
    const std::uint64_t before = FBytesRead;
    DispatchEvents(EV_RXCHAR);
    // The counts read for the bytes brought the error bits along: only
    // then is there a report to make, and no further look at the device.
    if (Active() && (FEventMask & EV_ERR) && (FHeldErrors != 0 || FHeldFolded != 0))
      DispatchThreadEvents(EV_ERR);
    // A hung-up device stays readable with nothing to read: it has gone
    // once what it still holds has been taken.
    if (Active() && FBytesRead == before && (revents & (POLLERR | POLLHUP | POLLNVAL))) {
      TDispatchScope scope(FDispatchDepth);
      try {
        if (DispatchQueueCount() == 0) ReportLoss();
      } catch (...) {
        HandleException();
      }
    }
  }
  FlushPolled();
}

int TSerCustomComm::InQueCount() {
  if (!Active()) return 0;
  std::uint32_t errors = 0;
  TSerComStat stat;
  ReadStatus(errors, stat);
  // Reading the count clears the device's error state too; keep the bits,
  // or an EV_ERR dispatched with EV_RXCHAR would find none.
  FHeldErrors |= errors;
  FHeldFolded += stat.Folded;
  return stat.cbInQue > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(stat.cbInQue);
}

// --- dispatch (GUI thread) -------------------------------------------------

void TSerCustomComm::DispatchEvents(std::uint32_t mask) {
  TDispatchScope scope(FDispatchDepth);
  try {
    if (FDisplay) FDisplay->RefreshFromPort(*this);
    if (mask & EV_RXCHAR) {
      DoRxChar();
      mask &= ~EV_RXCHAR;
    }
    if (mask) DoEvents(mask);
  } catch (...) {
    HandleException();
  }
}

void TSerCustomComm::DispatchThreadEvents(std::uint32_t mask) {
  TDispatchScope scope(FDispatchDepth);
  try {
    DoEvents(mask);
  } catch (...) {
    HandleException();
  }
}

void TSerCustomComm::DispatchDeviceLost() {
  TDispatchScope scope(FDispatchDepth);
  ReportLoss();
}

std::chrono::milliseconds TSerCustomComm::RxHoldAfter(std::uint64_t bytesBefore) const {
  const std::uint64_t taken = FBytesRead - bytesBefore;
  if (!FRxHoldRule || !Active() || taken == 0 || taken >= kRxHoldBytes) return {};
  return std::clamp(FRxHoldRule(), std::chrono::milliseconds(0), kRxHoldMost);
}

void TSerCustomComm::DoRxChar() {
  // A polled port's owner has seen input: the handler is offered the read
  // size and takes what is there, and the device is asked only for its
  // error bits (no call at all on a device without error counters).
  int count = DispatchQueueCount(FPollFd < 0);
  if (count <= 0) return;
  if (!OnRxChar) return;
  // Under a steady stream more has arrived by the time the handler returns.
  // Offering it in the same dispatch saves two thread hand-offs per block;
  // bounded, so the GUI thread still gets to its other work, and only while
  // the handler reads.
  for (int call = 0;; ++call) {
    const std::uint64_t before = FBytesRead;
    Fire(OnRxChar, this, count);
    // A polled port's owner polls again at once: asking here would only
    // cost the device two more questions per block.
    if (FBytesRead == before || call == kMaxRxRepeats || !Active() || FPollFd >= 0) return;
    count = DispatchQueueCount();
    if (count <= 0) return;
  }
}

void TSerCustomComm::DoEvents(std::uint32_t mask) {
  if (mask & EV_ERR) DoError();
  if (mask & EV_RXFLAG) Fire(OnRxFlag, this);
  if (mask & EV_CTS) Fire(OnCts, this);
  if (mask & EV_DSR) Fire(OnDsr, this);
  if (mask & EV_RING) Fire(OnRing, this);
  if (mask & EV_RLSD) Fire(OnRlsd, this);
  if (mask & EV_TXEMPTY) Fire(OnTxEmpty, this);
  if (mask & EV_BREAK) Fire(OnBreak, this);
  if (mask & EV_PERR) Fire(OnPErr, this);
  if (mask & EV_RX80FULL) Fire(OnRx80Full, this);
  if (mask & EV_EVENT1) Fire(OnEvent1, this);
  if (mask & EV_EVENT2) Fire(OnEvent2, this);
}

bool TSerCustomComm::DoError() {
  std::uint32_t errors = 0;
  TSerComStat stat;
  DispatchStatus(errors, stat);
  errors |= FHeldErrors;
  FHeldErrors = 0;
  const std::uint64_t folded = FHeldFolded + stat.Folded;
  FHeldFolded = 0;
  if (errors != 0 && OnError) {
    try {
      Fire(OnError, this, static_cast<int>(errors));
    } catch (...) {
      HandleException();
    }
  }
  // After the report they were folded into.
  if (folded != 0 && OnErrorsFolded) {
    try {
      Fire(OnErrorsFolded, this, folded);
    } catch (...) {
      HandleException();
    }
  }
  return errors != 0;
}

std::uint8_t TSerCustomComm::ControlLines() const { return Active() ? FDevice->ControlLines() : 0; }

// --- modem lines and break (GUI thread) -----------------------------------

namespace {

// Sets a flow-control field without the rewrite of the whole device control
// block that its change would start: the line alone changes.
template <typename Set>
void SetQuietly(TSerFlowControl& flow, Set set) {
  TSerPersistent::TChangeEvent keep = std::move(flow.OnChange);
  flow.OnChange = nullptr;
  set(flow);
  flow.OnChange = std::move(keep);
}

}  // namespace

void TSerCustomComm::SetDTR(bool on) {
  const TSerControlDtr before = FFlowControl.ControlDtr();
  SetQuietly(FFlowControl,
             [on](TSerFlowControl& f) { f.SetControlDtr(on ? dtrEnabled : dtrDisabled); });
  if (!Active()) return;
  if (const int err = FDevice->SetModemLine(kLineDtr, on)) {
    // Not taken: not kept either, so the port tells what the line has.
    SetQuietly(FFlowControl, [before](TSerFlowControl& f) { f.SetControlDtr(before); });
    RaiseCommError("Error setting DTR (%d), %s", err);
  }
}

void TSerCustomComm::SetRTS(bool on) {
  const TSerControlRts before = FFlowControl.ControlRts();
  SetQuietly(FFlowControl,
             [on](TSerFlowControl& f) { f.SetControlRts(on ? rtsEnabled : rtsDisabled); });
  if (!Active()) return;
  // The handshake ends: the device's settings say so first.
  if (before == rtsHandshake) WriteDCB();
  if (const int err = FDevice->SetModemLine(kLineRts, on)) {
    SetQuietly(FFlowControl, [before](TSerFlowControl& f) { f.SetControlRts(before); });
    RaiseCommError("Error setting RTS (%d), %s", err);
  }
}

void TSerCustomComm::SetBreak(bool on) {
  if (!Active()) return;
  if (const int err = FDevice->SetBreak(on)) RaiseCommError("Error setting break (%d), %s", err);
}

std::uint8_t TSerCustomComm::ModemLines() const {
  if (!Active()) return 0;
  const std::uint8_t device = FDispatchLines ? *FDispatchLines : FDevice->ControlLines();
  std::uint8_t lines = device & (kLineCts | kLineDsr | kLineDcd | kLineRing);
  if (FFlowControl.ControlDtr() != dtrDisabled) lines |= kLineDtr;
  switch (FFlowControl.ControlRts()) {
    case rtsDisabled: break;
    case rtsHandshake: lines |= device & kLineRts; break;
    default: lines |= kLineRts; break;
  }
  return lines;
}

bool TSerCustomComm::HasModemLines() const { return Active() && FDevice->HasModemLines(); }

std::vector<std::string> TSerCustomComm::TakeNotices() {
  return Active() ? FDevice->TakeNotices() : std::vector<std::string>();
}

}  // namespace talmo
