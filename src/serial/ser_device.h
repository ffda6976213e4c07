#pragma once
// The table of device operations the port component reaches its device
// through, and the driver that opens devices by name. Two bodies live in
// src/device: the termios one (the built-in loopback port is a
// pseudo-terminal opened through it like any tty) and the remote port over
// RFC 2217, with the driver that picks one by the name
// (device/device_driver.h); the tests' scripted device implements the same
// table.
//
// Every operation returns 0 on success or an errno code; the component turns
// codes into its messages. Calls may come from three threads at once (see
// ser_comm.h): WaitEvent from the event thread, Write from the write
// thread, everything else from the GUI thread; a polled port makes them all
// from the GUI thread. Cancel may come from any thread.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "serial/ser_types.h"

namespace talmo {

class TSerDevice {
 public:
  virtual ~TSerDevice() = default;

  // Applies the line settings. A device that cannot keep a value refuses it
  // (EINVAL) instead of pretending.
  virtual int SetState(const TSerDCB& dcb) = 0;
  // Requested driver queue sizes; a device may ignore them.
  virtual int SetupBuffers(std::uint32_t inSize, std::uint32_t outSize) {
    (void)inSize;
    (void)outSize;
    return 0;
  }
  // Reads complete at once with what has arrived; writes have no driver
  // time-out. A device whose reads already behave so does nothing.
  virtual int SetTimeouts() { return 0; }
  // The EV_* bits WaitEvent should report.
  virtual int SetEventMask(std::uint32_t mask) = 0;

  // Blocks until at least one monitored event is there and stores its bits
  // in `events`, or until Cancel (then 0 with events 0). A device that has
  // gone away answers EIO, ENXIO or ENODEV at once, every time.
  virtual int WaitEvent(std::uint32_t& events) = 0;
  // Takes what has arrived, up to `count` bytes, without blocking.
  virtual int Read(void* buf, std::size_t count, std::size_t& got) = 0;
  // Writes all `count` bytes unless Cancel comes or `timeoutMs` (negative:
  // no limit) runs out first; `written` tells how far it got.
  virtual int Write(const void* buf, std::size_t count, std::size_t& written, int timeoutMs) = 0;
  // Error bits (CE_*) since the last call, which clears them, and the queue
  // counts.
  virtual int ClearError(std::uint32_t& errors, TSerComStat& stat) = 0;
  // As ClearError, for the receive path, which needs no output count (a
  // device may leave cbOutQue 0), nor the input count when `inCount` is
  // false (cbInQue may be 0: a polled port reads what is there without
  // asking). Each saves a device call per block.
  virtual int ClearErrorForRead(std::uint32_t& errors, TSerComStat& stat, bool inCount) {
    (void)inCount;
    return ClearError(errors, stat);
  }

  // After a failed call on the GUI thread: what the device can tell of the
  // failure beyond its code (which wait ran out, what the far end did), or
  // "" when nothing.
  virtual std::string Explain() const { return {}; }
  // What the device noticed that the user should hear of once, though
  // nothing failed (settings a server never confirmed); taken, so each is
  // told once. GUI thread.
  virtual std::vector<std::string> TakeNotices() { return {}; }
  // The control lines as last seen (base/control_lines.h); 0 when the
  // device cannot tell. Any thread.
  virtual std::uint8_t ControlLines() const { return 0; }
  // Raises or drops one output line now: kLineDtr or kLineRts
  // (base/control_lines.h). A device without modem lines (a pseudo-
  // terminal) takes it as done: 0. GUI thread.
  virtual int SetModemLine(std::uint8_t line, bool on) {
    (void)line;
    (void)on;
    return 0;
  }
  // Starts or ends a break condition on the line; the caller times it. A
  // device that cannot send one takes it as done. GUI thread.
  virtual int SetBreak(bool on) {
    (void)on;
    return 0;
  }
  // True when the device reports CTS, DSR, DCD and RI (a pseudo-terminal
  // has none). Any thread.
  virtual bool HasModemLines() const { return false; }
  // A non-blocking descriptor an owner may poll in place of the worker
  // threads: readable when input waits or the device has gone, writable
  // when Write with a time-out of 0 can take bytes. -1 when the device has
  // none (its waits need a thread of their own).
  virtual int PollFd() const { return -1; }

  // Before Close, once the threads have stopped (GUI thread): lets what
  // Write took leave for the far end and ends the connection cleanly; a
  // device with no such queue does nothing. 0, or an errno code with
  // Explain() telling how many bytes could not go out and why.
  virtual int Finish() { return 0; }
  // Ends every pending and later WaitEvent and Write at once. Sticky.
  virtual void Cancel() = 0;
  // Releases the device. Idempotent; later calls answer EBADF.
  virtual void Close() = 0;
};

// Opens devices by name.
class TSerDriver {
 public:
  virtual ~TSerDriver() = default;
  // Exclusive open. On failure returns null and an errno code in `error`
  // (ENOENT: no such device).
  virtual std::unique_ptr<TSerDevice> Open(const std::string& name, int& error) = 0;
  // After a failed Open: what the user can do about `error` on that device
  // (e.g. which group to join), or "" when there is nothing to add.
  virtual std::string OpenHint(const std::string& name, int error) const {
    (void)name;
    (void)error;
    return {};
  }
  // Gives the calling thread `priority`, best effort: a refusal is not an
  // error. The port's event and write threads call it as they start and
  // after their priority changed, possibly both at once. It belongs to the
  // platform, not to a device, so it is here and not on TSerDevice.
  virtual void ApplyThreadPriority(TThreadPriority priority) const { (void)priority; }
};

// True for the codes by which a device says it has gone away.
bool IsDeviceGone(int code);

}  // namespace talmo
