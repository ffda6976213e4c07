#pragma once
// The capture: every received block appended to a file that no other
// program may open while the capture runs. A raw capture holds the received
// bytes unchanged; a timed capture (a name ending in ".pcapng") holds every
// block as a packet with its arrival time and direction, sent blocks, line
// errors and the port's events too (see capture/pcapng.h).
//
// Error contract of src/capture
// -----------------------------
// - Start (the window's capture) raises ECaptureError with the sentence the
//   window shows as it is; no capture runs after it.
// - StartExact (talmocli's capture) raises the same; no capture runs after
//   a failure.
// - Write returns false when this block failed; the capture has then
//   stopped and WriteError holds the sentence (path, reason, what the file
//   keeps) until the next Start. It never throws: it runs on the receive
//   path, where a throw would lose the block's display too. Whoever fed
//   the block (the window's pane, talmocli's standard error) tells the user.
// Texts come from base/error_text.h; nothing here shows anything.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "capture/pcapng.h"

namespace talmo {

class ECaptureError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The capture file name for a chosen path: extension replaced by (or
// completed with) ".LOG" and the file name upper-cased. The folder keeps
// its case: on a case-sensitive file system an upper-cased folder would
// be another folder, usually one that does not exist.
std::string CaptureFileNameFor(const std::string& chosen);

// What a timed capture says of its port: its name ("COM5") and its device
// with the line settings ("/dev/ttyUSB0 19200 8N1").
struct TCaptureInterface {
  std::string Name;
  std::string Description;
};

class TCaptureFile {
 public:
  TCaptureFile() = default;
  TCaptureFile(const TCaptureFile&) = delete;
  TCaptureFile& operator=(const TCaptureFile&) = delete;
  ~TCaptureFile() { Stop(); }

  // Both starts hold the file with an exclusive lock while the capture
  // runs. A file that another capture holds is refused ("the file is in
  // use") and left as it is. On failure they raise ECaptureError naming the
  // path and the reason, and no capture runs.
  //
  // Starts a new, empty capture file under the capture name of the chosen
  // path (the window's capture); a chosen ".pcapng" name is timed and kept.
  void Start(const std::string& chosenPath, const TCaptureInterface& port = {});
  // Starts a capture into exactly `path`, created or emptied but never
  // replaced, so that a FIFO or a device stays what it is (the command
  // line's capture). Timed when the name ends in ".pcapng".
  // `timed` set says which format whatever the name (a FIFO that a capture
  // program was handed).
  void StartExact(const std::string& path, const TCaptureInterface& port = {},
                  std::optional<bool> timed = std::nullopt);
  void Stop();
  bool Running() const { return FFd >= 0; }
  bool Timed() const { return FTimed; }

  // A timed capture of several ports: describes one more port and gives
  // its interface number for Record (0 is the port the capture started
  // with). A raw capture has no ports to tell apart: 0.
  std::uint32_t AddInterface(const TCaptureInterface& port);

  // Records one packet. A timed capture writes it as one block; a raw one
  // writes the bytes of received data and nothing else. Fails as Write.
  bool Record(const pcapng::TPacket& packet);

  // Appends the whole block (a timed capture records it as received now).
  // A write that fails (disk full, ...) stops the
  // capture: the file is closed and keeps every byte written before, and
  // the reason is kept for the report. Returns false only when this block
  // failed; nothing is written while no capture runs.
  bool Write(const std::uint8_t* block, std::size_t n);
  // Why the capture stopped on a failed write since Start, "" when it did
  // not: the path, the system's reason and what the file still holds.
  const std::string& WriteError() const { return FWriteError; }
  std::uint64_t BytesWritten() const { return FBytesWritten; }

  // The file-name part of the capture's path, e.g. DATA.LOG.
  std::string BaseName() const;

  // The call that writes to the file, as ::write (a test double may take
  // part of a block, or fail).
  using TWriteCall = std::function<long(int, const void*, std::size_t)>;
  void SetWriteCall(TWriteCall call) { FWriteCall = std::move(call); }

 private:
  static int OpenHeld(const std::string& path, int extraFlags);
  void Begin(const TCaptureInterface& port);
  bool WriteAll(const std::uint8_t* block, std::size_t n);

  int FFd = -1;
  bool FTimed = false;
  std::uint32_t FInterfaces = 0;
  std::uint64_t FWholeBytes = 0;  // of whole blocks (timed)
  std::vector<std::uint8_t> FBlock;
  TWriteCall FWriteCall;
  std::string FFileName;
  std::string FWriteError;
  std::uint64_t FBytesWritten = 0;
};

}  // namespace talmo
