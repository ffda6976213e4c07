#include "base/trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "base/error_text.h"

namespace talmo {

namespace trace_detail {
std::atomic<bool> gOn{false};
}

namespace {

// The sink; taken only while the trace is on, never under another lock of
// ours that a traced call could want.
std::mutex gLock;
int gFd = -1;
bool gOwnFd = false;
std::string gPath;     // "" for standard error
std::string gProgram;  // for the first line and a failure

// A long line is cut here and ends with "...": a trace never allocates.
constexpr std::size_t kLineMax = 1024;

int ThreadId() {
  thread_local const int id = static_cast<int>(::gettid());
  return id;
}

// Whole, or an errno code (0 for none).
int WriteAll(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return w < 0 ? errno : EIO;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return 0;
}

void CloseLocked() {
  trace_detail::gOn.store(false, std::memory_order_relaxed);
  if (gOwnFd && gFd >= 0) ::close(gFd);
  gFd = -1;
  gOwnFd = false;
}

void StartLocked(int fd, bool own, const std::string& path, const char* program) {
  CloseLocked();
  gFd = fd;
  gOwnFd = own;
  gPath = path;
  gProgram = program ? program : "talmo";
  trace_detail::gOn.store(true, std::memory_order_relaxed);
}

void VLine(const char* device, const char* format, va_list ap) {
  char line[kLineMax];
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  int n = std::snprintf(line, sizeof line, "%lld.%06ld %d %s ", static_cast<long long>(now.tv_sec),
                        now.tv_nsec / 1000, ThreadId(), device && *device ? device : "-");
  if (n < 0) return;
  std::size_t len = std::min<std::size_t>(static_cast<std::size_t>(n), sizeof line - 1);
  const int m = std::vsnprintf(line + len, sizeof line - len, format, ap);
  if (m < 0) return;
  len += static_cast<std::size_t>(m);
  if (len >= sizeof line - 1) {
    len = sizeof line - 5;
    std::memcpy(line + len, "...", 3);
    len += 3;
  }
  line[len++] = '\n';

  std::lock_guard lock(gLock);
  if (gFd < 0) return;
  const int err = WriteAll(gFd, line, len);
  if (err == 0) return;
  // The trace stops, and says so once where the user looks; the program
  // itself goes on.
  const std::string where = gPath.empty() ? "standard error" : "'" + gPath + "'";
  const std::string said =
      gProgram + ": the trace to " + where + " stopped: " + SysErrorText(err) + "\n";
  if (!gPath.empty()) (void)WriteAll(STDERR_FILENO, said.data(), said.size());
  CloseLocked();
}

void FirstLine(const char* program) {
  TraceLine(nullptr, "trace on: %s, pid %d", program ? program : "talmo",
            static_cast<int>(::getpid()));
}

}  // namespace

void TraceLine(const char* device, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  VLine(device, format, ap);
  va_end(ap);
}

void TraceToStderr(const char* program) {
  {
    std::lock_guard lock(gLock);
    StartLocked(STDERR_FILENO, false, "", program);
  }
  FirstLine(program);
}

int TraceToFile(const std::string& path, const char* program) {
  // Appended: Wireshark runs its capture program several times with the
  // same debug file, and no run may wipe out an earlier one's lines.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  {
    std::lock_guard lock(gLock);
    StartLocked(fd, true, path, program);
  }
  FirstLine(program);
  return 0;
}

void TraceOff() {
  std::lock_guard lock(gLock);
  CloseLocked();
}

std::string TraceFromEnvironment(const char* program) {
  const char* value = std::getenv("TALMO_TRACE");
  if (!value || !*value || !std::strcmp(value, "0")) return {};
  if (!std::strcmp(value, "1")) {
    TraceToStderr(program);
    return {};
  }
  if (const int err = TraceToFile(value, program))
    return std::string("TALMO_TRACE: cannot open the trace file '") + value +
           "': " + SysErrorText(err) + "; tracing is off";
  return {};
}

}  // namespace talmo
