#pragma once
// The port options that talmocli's monitor and play share, and how they
// reach the port component.

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/cli_args.h"
#include "serial/ser_comm.h"
#include "serial/ser_defaults.h"
#include "serial/ser_sync.h"
#include "session/flow_choice.h"
#include "session/receive_session.h"

namespace talmo {

struct TPortRequest {
  std::optional<std::string> Port, Device;
  // The window's designed line settings.
  long long Baud = BaudRateOf(kSerDefaults.Designed.Line.Baudrate);
  TSerDatabits Databits = kSerDefaults.Designed.Line.Databits;
  TSerParity Parity = kSerDefaults.Designed.Line.Parity;
  TSerStopbits Stopbits = kSerDefaults.Designed.Line.Stopbits;
  // Flow control and the output lines; unset: as the port component has
  // them (no flow control, DTR and RTS off).
  using TFlow = TFlowChoice;
  std::optional<TFlow> Flow;
  std::optional<bool> Dtr, Rts;
  // A break of kBreakAtOpen right after each open.
  bool BreakAtOpen = false;
  // Show (and record) the modem lines' changes.
  bool ModemLines = false;

  // Takes the scanner's current option when it is a port option.
  bool Take(TArgScanner& s);
  bool Given() const { return Port || Device; }
  // Usage error unless exactly one of --port and --device was given.
  void CheckOne(const std::string& alternative = {}) const;
  // "19200 baud, 8 data bits, parity none, 1 stop bit"
  std::string Describe() const;
  // The device path for the request; nullopt for a port the list does not
  // know (its message is in `error`). A port is looked up in the settings
  // store; what it has to say about its file (set aside, unreadable) goes to
  // `warning` when given.
  std::optional<std::string> Resolve(std::string& error,
                                     std::optional<std::string>* warning = nullptr) const;
  // Resolve, with the store's warning and the failure said on `err`, one
  // line each.
  std::optional<std::string> ResolveOrSay(std::FILE* err) const;
  // How the session's messages name the device at `path`.
  TSessionDevice SessionDevice(const std::string& path) const;
  // What leads the component's messages, which name the device by its
  // path: "COM5: " for a port, "" otherwise.
  std::string Lead() const;
  // Line settings, flow control, DTR and RTS, and the port number (for the
  // error lines) onto a port.
  void Apply(TSerComm& comm) const;
  // What the session does for the port: the modem lines shown, the break
  // at the open.
  void ApplySession(TSessionOptions& options) const;
  TSessionOptions SessionOptions() const {
    TSessionOptions o;
    ApplySession(o);
    return o;
  }
};

extern const char kPortOptionsHelp[];

// A port option's value with the label that names the port among several:
// "host=COM5", "dev=/dev/ttyUSB1". The label is what comes before the first
// '=': letters, digits, '-' and '_'. A value with a '/' before its first
// '=' (a device path, "./PATH", "rfc2217://HOST:PORT") is taken whole, so
// neither a path nor a remote port can ever be taken for a label. A bad or
// empty label, or nothing after it, is a usage error naming the option and
// its value.
struct TLabelledPort {
  std::string Label;  // empty: none given
  std::string Name;   // the port (COMn) or the device
};
TLabelledPort SplitPortLabel(const std::string& option, const std::string& value);
// Letters, digits, '-' and '_', at least one.
bool IsPortLabel(const std::string& text);

// The one line for a device that has gone away, on `err`; `more` (a
// sentence) is added to it.
void SayDeviceGone(std::FILE* err, const std::string& title, const std::string& more = {});

// Says a failed open: the message, then what the user can do about it
// (e.g. the group to join) on a line of its own.
void SayOpenFailure(std::FILE* err, const TOpenFailure& failure);
// Opens the session's port; a failure is said on `err`. False when the
// port did not open.
bool OpenOrSay(TReceiveSession& session, std::FILE* err);

class TLineOutput;
class TPortLoop;
class TSendSource;

// The first steps of a run, before its port opens: standard output
// bounded, the end time (--seconds) set, a capture FIFO's reader awaited
// (its end kept open in `fifo`, for the caller to close once the capture
// has opened it too) and the bytes to send opened (`source`, told as
// `sourceName`). False when one failed (said on err; nothing is held).
bool BeginRun(TLineOutput& out, TPortLoop& loop, std::optional<long long> seconds,
              const std::optional<std::string>& capture, int& fifo, TSendSource* source,
              const std::string& sourceName, std::FILE* err);

// The end of a one-port run once its last line is out: what is held goes
// to the reader, a loss (`lost`) is told, the port is closed with the
// component's own pause in real time, and the capture is ended. False when
// any of it failed (said on err).
bool EndPortRun(TLineOutput& out, TPortLoop& loop, std::FILE* err, TSerComm& comm,
                TReceiveSession& session, bool lost);

// A queue hand-off whose exception handler keeps the latest message.
class TMessageSync : public TSerQueueSync {
 public:
  TMessageSync();
  // The message of the latest failure of a handler, then "" again.
  std::string TakeFailure();

 private:
  std::shared_ptr<std::string> FFailure;
  explicit TMessageSync(std::shared_ptr<std::string> failure);
};

}  // namespace talmo
