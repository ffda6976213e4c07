#include "mainwindow/capture_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "serial/ser_types.h"

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
  FileName_ = CaptureFileNameFor(chosenPath);
  WriteError_.clear();
  BytesWritten_ = 0;

  // A file that another capture holds is not pulled away from under it
  // (unlinking would succeed here and leave that capture writing into a
  // file without a name).
  if (const int held = ::open(FileName_.c_str(), O_RDONLY | O_CLOEXEC); held >= 0) {
    const bool locked = ::flock(held, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(held);
    if (locked) throw ECaptureError("Cannot capture to \"" + FileName_ + "\": the file is in use");
  }
  // A new capture always starts a new, empty file.
  ::unlink(FileName_.c_str());
  int fd = ::open(FileName_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) throw ECaptureError(Failure(FileName_, errno));
  ::close(fd);

  fd = ::open(FileName_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) throw ECaptureError(Failure(FileName_, errno));
  // No sharing: another program (or another capture of ours) that also
  // locks the file is kept out while the capture runs.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int code = errno;
    ::close(fd);
    if (code == EWOULDBLOCK)
      throw ECaptureError("Cannot capture to \"" + FileName_ + "\": the file is in use");
    throw ECaptureError(Failure(FileName_, code));
  }
  Fd_ = fd;
}

int TCaptureFile::StartExact(const std::string& path) {
  Stop();
  FileName_ = path;
  WriteError_.clear();
  BytesWritten_ = 0;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  Fd_ = fd;
  return 0;
}

void TCaptureFile::Stop() {
  if (Fd_ >= 0) ::close(Fd_);
  Fd_ = -1;
}

bool TCaptureFile::Write(const std::uint8_t* block, std::size_t n) {
  if (Fd_ < 0) return true;
  // O_APPEND puts every block at the end; a short write is completed, so no
  // byte of the block is lost.
  while (n > 0) {
    const ssize_t done = ::write(Fd_, block, n);
    if (done < 0) {
      if (errno == EINTR) continue;
      // Going on would leave a file with holes in the stream; what is in it
      // up to here is exact and stays.
      WriteError_ = Failure(FileName_, errno) + ". The capture has stopped; the file keeps the " +
                    std::to_string(BytesWritten_) + " bytes written before.";
      Stop();
      return false;
    }
    block += done;
    n -= static_cast<std::size_t>(done);
    BytesWritten_ += static_cast<std::uint64_t>(done);
  }
  return true;
}

std::string TCaptureFile::BaseName() const {
  const std::size_t slash = FileName_.rfind('/');
  return slash == std::string::npos ? FileName_ : FileName_.substr(slash + 1);
}

}  // namespace talmo
