#pragma once
// The program side of a tap: a pseudo-terminal whose far side (the slave)
// a program under test opens in place of the real device, reached by a
// symbolic link. The master is in packet mode and the slave has EXTPROC
// set, so every settings change the program makes is announced on the
// master; the line it asked for is read back from the slave.
//
// Errors: Open returns an errno code; reads and writes return what the
// system said. Nothing here throws.

#include <cstddef>
#include <cstdint>
#include <string>

namespace talmo {

// What of the program's line settings a pseudo-terminal keeps (it always
// reports 8 data bits and no parity, so those are not here).
struct TPtyLine {
  std::uint32_t Rate = 0;
  bool TwoStopBits = false;
  bool RtsCts = false;      // CRTSCTS
  bool XonXoffOut = false;  // IXON: the program obeys XOFF from the device
  bool XonXoffIn = false;   // IXOFF: the program sends XOFF
  bool operator==(const TPtyLine&) const = default;
};

// What changed from `before` to `after`, as the tap's timeline says it:
// "115200 baud, 2 stop bits, RTS/CTS flow control off". Empty when nothing.
std::string DescribeLineChange(const TPtyLine& before, const TPtyLine& after);

class TPtyTap {
 public:
  TPtyTap() = default;
  ~TPtyTap();
  TPtyTap(const TPtyTap&) = delete;
  TPtyTap& operator=(const TPtyTap&) = delete;

  // Makes the pair: raw slave with `line` and EXTPROC, packet-mode master
  // that never blocks; the slave is the owner's alone (0600). 0 or an
  // errno code.
  int Open(const TPtyLine& line);
  int MasterFd() const { return FMaster; }
  // "/dev/pts/7"
  const std::string& SlavePath() const { return FSlavePath; }

  enum class TRead { Data, SettingsReport, OtherReport, Again, Failed };
  struct TReadResult {
    TRead Kind = TRead::Again;
    std::size_t Size = 0;  // data bytes, at the start of the caller's buffer
    int Code = 0;          // errno when Failed
  };
  // One packet from the program: its bytes (Data) or a report.
  TReadResult Read(std::uint8_t* buf, std::size_t size);
  // Bytes for the program; how many the pty took (0 when full), or -1 with
  // errno.
  long Write(const std::uint8_t* data, std::size_t n);
  // Bytes written for the program that it has not read yet (they go when
  // the master closes).
  std::size_t Unread() const;

  // The line the program asked for. Sets EXTPROC again when the program
  // cleared it (`restored` says so). False with errno when the slave
  // cannot be read.
  bool ReadLine(TPtyLine& line, bool* restored = nullptr);

 private:
  int FMaster = -1;
  int FSlave = -1;  // kept open: a program closing the link does not hang up the master
  std::string FSlavePath;
};

// The link the program under test opens.
enum class TLinkState {
  Absent,      // nothing there: made
  Stale,       // a link into /dev/pts that leads nowhere (a killed tap's): replaced
  InUse,       // a link to a terminal that exists (another tap?): refused
  Foreign,     // a file, a folder, any other link: refused
  OtherUsers,  // a link of another user, wherever it leads: refused
};
// A link to `own` (this tap's terminal, which may have the number a killed
// tap's had) counts as stale.
TLinkState LinkStateOf(const std::string& path, const std::string& own = {});
// The one-line reason a link state refuses `path` ("" when it does not),
// naming the user whose it is when it is another user's.
std::string LinkRefusal(TLinkState state, const std::string& path);
// Makes `path` lead to `target`, replacing a stale link in one step; 0 or
// an errno code.
int MakeLink(const std::string& path, const std::string& target);
// Removes `path` if it still leads to `target`.
void RemoveLinkTo(const std::string& path, const std::string& target);
// $XDG_RUNTIME_DIR/talmo-tap, or /tmp/talmo-tap-<uid> without it.
std::string DefaultLinkPath();

}  // namespace talmo
