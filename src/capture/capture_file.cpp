#include "capture/capture_file.h"

#include <fcntl.h>
#include <sys/file.h>
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

void TCaptureFile::Start(const std::string& chosenPath) {
  Stop();
  FFileName = CaptureFileNameFor(chosenPath);
  FWriteError.clear();
  FBytesWritten = 0;

  // A file that another capture holds is not pulled away from under it
  // (unlinking would succeed here and leave that capture writing into a
  // file without a name).
  if (const int held = ::open(FFileName.c_str(), O_RDONLY | O_CLOEXEC); held >= 0) {
    const bool locked = ::flock(held, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(held);
    if (locked) throw ECaptureError("Cannot capture to \"" + FFileName + "\": the file is in use");
  }
  // A new capture always starts a new, empty file.
  ::unlink(FFileName.c_str());
  int fd = ::open(FFileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) throw ECaptureError(Failure(FFileName, errno));
  ::close(fd);

  fd = ::open(FFileName.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) throw ECaptureError(Failure(FFileName, errno));
  // No sharing: another program (or another capture of ours) that also
  // locks the file is kept out while the capture runs.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int code = errno;
    ::close(fd);
    if (code == EWOULDBLOCK)
      throw ECaptureError("Cannot capture to \"" + FFileName + "\": the file is in use");
    throw ECaptureError(Failure(FFileName, code));
  }
  FFd = fd;
}

int TCaptureFile::StartExact(const std::string& path) {
  Stop();
  FFileName = path;
  FWriteError.clear();
  FBytesWritten = 0;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  FFd = fd;
  return 0;
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
    const ssize_t done = ::write(FFd, block, n);
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
