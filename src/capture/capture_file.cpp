#include "capture/capture_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

void TCaptureFile::Start(const std::string& chosenPath) {
  Stop();
  FFileName = CaptureFileNameFor(chosenPath);
  FWriteError.clear();
  FBytesWritten = 0;
  // Non-blocking open: a FIFO without a reader is refused at once instead
  // of freezing the window.
  FFd = OpenHeld(FFileName, O_NONBLOCK);
}

void TCaptureFile::StartExact(const std::string& path) {
  Stop();
  FFileName = path;
  FWriteError.clear();
  FBytesWritten = 0;
  FFd = OpenHeld(path, 0);
}

void TCaptureFile::Stop() {
  if (FFd >= 0) ::close(FFd);
  FFd = -1;
}

bool TCaptureFile::Write(const std::uint8_t* block, std::size_t n) {
  if (FFd < 0) return true;
  // O_APPEND puts every block at the end; a short write is completed, so no
  // byte of the block is lost.
  while (n > 0) {
    ssize_t done = ::write(FFd, block, n);
    // A device that takes nothing of a block would be asked for ever.
    if (done == 0) {
      done = -1;
      errno = EIO;
    }
    if (done < 0) {
      if (errno == EINTR) continue;
      // Going on would leave a file with holes in the stream; what is in it
      // up to here is exact and stays.
      FWriteError = Failure(FFileName, errno) + ". The capture has stopped; the file keeps the " +
                    std::to_string(FBytesWritten) + " bytes written before.";
      Stop();
      return false;
    }
    block += done;
    n -= static_cast<std::size_t>(done);
    FBytesWritten += static_cast<std::uint64_t>(done);
  }
  return true;
}

std::string TCaptureFile::BaseName() const {
  const std::size_t slash = FFileName.rfind('/');
  return slash == std::string::npos ? FFileName : FFileName.substr(slash + 1);
}

}  // namespace talmo
