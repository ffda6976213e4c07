#include "app/send_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace talmo {

TSendSource::TSendSource(std::string path, std::optional<long long> repeatMs, std::size_t pieceSize)
    : FPath(std::move(path)), FRepeatMs(repeatMs), FPiece(std::max<std::size_t>(pieceSize, 1)) {}

int TSendSource::Open() {
  Close();
  FFd = ::open(FPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (FFd < 0) return errno;
  struct stat st {};
  int code = 0;
  if (::fstat(FFd, &st) != 0)
    code = errno;
  else if (S_ISDIR(st.st_mode))
    code = EISDIR;
  if (code) {
    Close();
    return code;
  }
  FRegular = S_ISREG(st.st_mode);
  return 0;
}

void TSendSource::Close() {
  if (FFd >= 0) ::close(FFd);
  FFd = -1;
}

void TSendSource::Begin(Clock::time_point now) {
  FStarted = true;
  StartCopy(now, false);
}

std::optional<TSendSource::Clock::time_point> TSendSource::Due() const {
  if (!FStarted || FCopying || !FRepeatMs) return std::nullopt;
  return FCopyStart + std::chrono::milliseconds(*FRepeatMs);
}

int TSendSource::StartCopy(Clock::time_point now, bool again) {
  // A FIFO or a device is opened anew for a repeated copy: "again" is what
  // it gives next.
  if (again && FRegular && ::lseek(FFd, 0, SEEK_SET) < 0) return errno;
  if (again && !FRegular)
    if (const int code = Open()) return code;
  FCopying = true;
  FInQueue = false;
  // Anything but a regular file may have nothing yet: poll() first, or a
  // FIFO without a writer would read as already ended.
  FWaitSource = !FRegular;
  FCopyStart = now;
  return 0;
}

int TSendSource::Step(Clock::time_point now, const TWrite& write) {
  if (const auto due = Due(); due && now >= *due)
    if (const int code = StartCopy(now, true)) return code;
  if (!FCopying || FInQueue || FWaitSource) return 0;
  return PutPiece(write);
}

int TSendSource::PutPiece(const TWrite& write) {
  ssize_t n;
  do {
    n = ::read(FFd, FPiece.data(), FPiece.size());
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    FWaitSource = true;
    return 0;
  }
  if (n < 0) return errno;
  if (n == 0) {  // this copy has gone into the queue whole
    FCopying = false;
    if (!FRepeatMs) Close();
    return 0;
  }
  write(FPiece.data(), static_cast<int>(n));
  FInQueue = true;
  FWaitSource = !FRegular;
  return 0;
}

}  // namespace talmo
