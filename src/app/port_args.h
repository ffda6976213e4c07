#pragma once
// The port options that talmocli's monitor and play share, and how they
// reach the port component.

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "cli_args.h"
#include "ser_comm.h"
#include "ser_sync.h"

namespace talmo {

struct TPortRequest {
  std::optional<std::string> Port, Device;
  long long Baud = 19200;
  TSerDatabits Databits = db8;
  TSerParity Parity = paNone;
  TSerStopbits Stopbits = sb1;

  // Takes the scanner's current option when it is a port option.
  bool Take(TArgScanner& s);
  bool Given() const { return Port || Device; }
  // Usage error unless exactly one of --port and --device was given.
  void CheckOne(const std::string& alternative = {}) const;
  // "19200 baud, 8 data bits, parity none, 1 stop bit"
  std::string Describe() const;
  // The device path for the request; nullopt for a port the list does not
  // know (its message is in `error`).
  std::optional<std::string> Resolve(std::string& error) const;
  // Line settings and the port number (for the error lines) onto a port.
  void Apply(TSerComm& comm) const;
};

extern const char kPortOptionsHelp[];

// Sets the port's OnError to write its error lines to `to` (each after
// `prefix`) and to note in `deviceGone` that the device went away.
void ReportLineErrors(TSerComm& comm, std::FILE* to, const char* prefix, bool& deviceGone);

// Opens the port; on failure writes the component's message to `err`, then
// the device layer's hint when there is one (e.g. the group to join), and
// returns false.
bool OpenOrSay(TSerComm& comm, std::FILE* err);

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
