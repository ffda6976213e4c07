#include "capture/capture_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "base/error_text.h"

namespace talmo {
namespace {

std::string Failure(const std::string& path, int code) {
  return "Cannot capture to \"" + path + "\": " + SysErrorText(code);
}

}  // namespace

std::string CaptureFileNameFor(const std::string& chosen) {
  const std::size_t slash = chosen.rfind('/');
  const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  std::string name = chosen.substr(nameStart);
  if (const std::size_t dot = name.rfind('.'); dot != std::string::npos) name.resize(dot);
  name += ".LOG";
  for (char& c : name)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return chosen.substr(0, nameStart) + name;
}

// Opens `path` for appending and takes the capture's lock. Nothing is
// unlinked and nothing emptied before the lock is ours, so a capture that
// another program (or another capture of ours) runs keeps its file whole.
// A regular file is emptied once held; a FIFO or a device stays what it is.
int TCaptureFile::OpenHeld(const std::string& path, int extraFlags) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | extraFlags, 0666);
  if (fd < 0) throw ECaptureError(Failure(path, errno));
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int code = errno;
    // A file system without locks gives no one a lock: nothing to respect.
    if (code == EWOULDBLOCK) {
      ::close(fd);
      throw ECaptureError("Cannot capture to \"" + path + "\": the file is in use");
    }
  }
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0) {
    const int code = errno;
    ::close(fd);
    throw ECaptureError(Failure(path, code));
  }
  if (extraFlags & O_NONBLOCK) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

void TCaptureFile::Start(const std::string& chosenPath, const TCaptureInterface& port) {
  Stop();
  FTimed = pcapng::IsTimedName(chosenPath);
  FFileName = FTimed ? chosenPath : CaptureFileNameFor(chosenPath);
  // Non-blocking open: a FIFO without a reader is refused at once instead
  // of freezing the window.
  FFd = OpenHeld(FFileName, O_NONBLOCK);
  Begin(port);
}

void TCaptureFile::StartExact(const std::string& path, const TCaptureInterface& port,
                              std::optional<bool> timed) {
  Stop();
  FTimed = timed.value_or(pcapng::IsTimedName(path));
  FFileName = path;
  FFd = OpenHeld(path, 0);
  Begin(port);
}

// A timed capture starts with its section and its port's description, so
// that the file is readable from its first block on.
void TCaptureFile::Begin(const TCaptureInterface& port) {
  FWriteError.clear();
  FBytesWritten = 0;
  FWholeBytes = 0;
  FInterfaces = 1;
  if (!FTimed) return;
  FBlock.clear();
  pcapng::AppendSectionHeader(FBlock, "TALMO 1.80");
  pcapng::AppendInterface(FBlock, port.Name, port.Description);
  if (!WriteAll(FBlock.data(), FBlock.size())) throw ECaptureError(FWriteError);
}

std::uint32_t TCaptureFile::AddInterface(const TCaptureInterface& port) {
  if (FFd < 0 || !FTimed) return 0;
  FBlock.clear();
  pcapng::AppendInterface(FBlock, port.Name, port.Description);
  WriteAll(FBlock.data(), FBlock.size());
  return FInterfaces++;
}

bool TCaptureFile::Record(const pcapng::TPacket& packet) {
  if (FFd < 0) return true;
  if (!FTimed) {
    if (packet.Event != pcapng::TEvent::RxData || packet.Size == 0) return true;
    return WriteAll(packet.Data, packet.Size);
  }
  FBlock.clear();
  pcapng::AppendPacket(FBlock, packet);
  return WriteAll(FBlock.data(), FBlock.size());
}

bool TCaptureFile::Write(const std::uint8_t* block, std::size_t n) {
  if (FFd < 0) return true;
  if (!FTimed) return WriteAll(block, n);
  pcapng::TPacket p;
  p.TimeNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                 std::chrono::system_clock::now().time_since_epoch())
                 .count();
  p.Direction = pcapng::TDirection::In;
  p.Data = block;
  p.Size = n;
  return Record(p);
}

void TCaptureFile::Stop() {
  if (FFd >= 0) ::close(FFd);
  FFd = -1;
}

bool TCaptureFile::WriteAll(const std::uint8_t* block, std::size_t n) {
  // O_APPEND puts every block at the end; a short write is completed with
  // the rest of the block (never from its start again), so no byte is lost
  // and none doubled.
  while (n > 0) {
    long done = FWriteCall ? FWriteCall(FFd, block, n) : ::write(FFd, block, n);
    // A device that takes nothing of a block would be asked for ever.
    if (done == 0) {
      done = -1;
      errno = EIO;
    }
    if (done < 0) {
      if (errno == EINTR) continue;
      // Going on would leave a file with holes in the stream; what is in it
      // up to here is exact and stays. A timed file is cut back to its last
      // whole block, so that every reader reads it to its end.
      const int code = errno;
      struct stat st {};
      if (FTimed && ::fstat(FFd, &st) == 0 && S_ISREG(st.st_mode) &&
          ::ftruncate(FFd, static_cast<off_t>(FWholeBytes)) == 0)
        FBytesWritten = FWholeBytes;
      FWriteError = Failure(FFileName, code) + ". The capture has stopped; the file keeps the " +
                    std::to_string(FBytesWritten) + " bytes written before.";
      Stop();
      return false;
    }
    block += done;
    n -= static_cast<std::size_t>(done);
    FBytesWritten += static_cast<std::uint64_t>(done);
  }
  FWholeBytes = FBytesWritten;
  return true;
}

std::string TCaptureFile::BaseName() const {
  const std::size_t slash = FFileName.rfind('/');
  return slash == std::string::npos ? FFileName : FFileName.substr(slash + 1);
}

}  // namespace talmo
