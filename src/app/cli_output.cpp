#include "app/cli_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <sstream>
#include <utility>

#include "base/error_text.h"
#include "session/port_loop.h"

namespace talmo {

void Say(std::FILE* err, const std::string& text) {
  std::fprintf(err, "talmocli: %s\n", text.c_str());
}

void SayUsage(std::FILE* err, const std::string& problem, const std::string& usage) {
  // The program and command the usage's first line names ("usage:
  // talmocli play ..."): the whole usage would push the problem out of
  // sight.
  std::istringstream first(usage.substr(0, usage.find('\n')));
  std::string word, program, command;
  first >> word >> program >> command;
  if (program.empty()) program = "talmocli";
  if (!command.empty() && std::islower(static_cast<unsigned char>(command[0])))
    program += " " + command;
  std::fprintf(err, "talmocli: %s\nTry '%s --help'.\n", problem.c_str(), program.c_str());
}

void SayCannotRead(std::FILE* err, const std::string& path, int code) {
  Say(err, "cannot read '" + path + "': " + SysErrorText(code));
}

void SayOutputFailed(std::FILE* err, int code) {
  Say(err, "cannot write output: " + SysErrorText(code));
}

std::string HexPairs(std::string_view bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (i) out += ' ';
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

void TLineOutput::Line(std::string_view lead, std::string_view line) {
  if (FError) return;
  if (FGather) {
    FGathered.append(lead);
    FGathered.append(line);
    FGathered.push_back('\n');
    if (FGathered.size() >= kGatherSize) Spill();
    return;
  }
  Put(lead);
  Put(line);
  Put("\n");
}

void TLineOutput::Text(std::string_view text) {
  if (FError) return;
  if (FGather) {
    FGathered.append(text);
    if (FGathered.size() >= kGatherSize) Spill();
    return;
  }
  Put(text);
}

TLineOutput::~TLineOutput() {
  Spill();
  if (FFlagsBefore >= 0) ::fcntl(Fd(), F_SETFL, FFlagsBefore);
}

int TLineOutput::Fd() const { return ::fileno(FOut); }

void TLineOutput::SetBounded() {
  struct stat st {};
  const int fd = Fd();
  if (fd < 0 || ::fstat(fd, &st) != 0 || !(S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) return;
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return;
  // What the stream still buffers goes first, written as before.
  Note(std::fflush(FOut));
  if (!(flags & O_NONBLOCK) && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0) FFlagsBefore = flags;
  FBounded = true;
}

std::uint64_t TLineOutput::TakeUnshown() {
  if (Held()) return 0;
  return std::exchange(FDropped, 0);
}

std::uint64_t TLineOutput::Unshown() const {
  const auto held =
      std::count(FHeld.begin() + static_cast<std::ptrdiff_t>(FHeldFrom), FHeld.end(), '\n');
  return FDroppedAll + static_cast<std::uint64_t>(held);
}

void TLineOutput::WriteHeld() {
  while (FHeldFrom < FHeld.size() && !FError) {
    const ssize_t w = ::write(Fd(), FHeld.data() + FHeldFrom, FHeld.size() - FHeldFrom);
    if (w < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) FError = errno;
      break;
    }
    FHeldFrom += static_cast<std::size_t>(w);
    FTaken += static_cast<std::uint64_t>(w);
  }
  if (FHeldFrom == FHeld.size()) {
    FHeld.clear();
    FHeldFrom = 0;
  } else if (FHeldFrom >= kHeldMost / 2) {
    FHeld.erase(0, FHeldFrom);
    FHeldFrom = 0;
  }
}

// Whole pieces (the lines of a gathering) are held or dropped, so the
// reader never sees half a line.
void TLineOutput::PutBounded(std::string_view text) {
  if (!Held()) {
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t w = ::write(Fd(), text.data() + done, text.size() - done);
      if (w < 0) {
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
          FError = errno;
          return;
        }
        break;
      }
      done += static_cast<std::size_t>(w);
    }
    FTaken += done;
    // The rest of a piece the reader began to take waits, whatever its size.
    if (done < text.size()) FHeld.assign(text.substr(done));
    return;
  }
  if (FDropping && FHeld.size() - FHeldFrom + text.size() > kHeldMost) {
    const auto lines = static_cast<std::uint64_t>(std::count(text.begin(), text.end(), '\n'));
    FDropped += lines;
    FDroppedAll += lines;
    return;
  }
  FHeld.append(text);
}

void TLineOutput::Put(std::string_view text) {
  if (FError || text.empty()) return;
  if (FBounded) {
    PutBounded(text);
    return;
  }
  errno = 0;
  FStreamed = true;
  if (std::fwrite(text.data(), 1, text.size(), FOut) != text.size()) FError = errno ? errno : EIO;
}

void TLineOutput::Spill() {
  if (FGathered.empty()) return;
  Put(FGathered);
  FGathered.clear();
}

void TLineOutput::Flush() {
  Spill();
  if (FBounded) {
    WriteHeld();
    return;
  }
  FStreamed = false;
  Note(std::fflush(FOut));
}

void TLineOutput::Note(int result) {
  if (FError == 0 && (result < 0 || std::ferror(FOut))) FError = errno ? errno : EIO;
}

bool TLineOutput::FailedToTell() const { return FError != 0 && FError != EPIPE; }

namespace {
std::string UnshownText(std::uint64_t n) {
  return std::to_string(n) + (n == 1 ? " line was" : " lines were") +
         " not shown: standard output was not being read";
}
}  // namespace

void SayUnshown(TLineOutput& out, std::FILE* err) {
  if (const std::uint64_t n = out.TakeUnshown()) Say(err, UnshownText(n));
}

bool AwaitCaptureReader(const std::string& capture, TPortLoop& loop, std::FILE* err, int& held) {
  bool stopped = false;
  held = AwaitFifoReader(capture, loop, stopped, [&] {
    Say(err, "waiting for a reader of the capture FIFO '" + capture + "'");
  });
  if (stopped) Say(err, "nothing was captured: the FIFO '" + capture + "' never had a reader");
  return !stopped;
}

void TReaderWatch::Look(TLineOutput& out, Clock::time_point now) {
  if (!out.Held() || out.Taken() != FTaken) {
    FTaken = out.Taken();
    FMovedAt = now;
    out.SetDropping(false);
  } else if (now >= Due()) {
    out.SetDropping(true);
  }
}

bool EndOutput(TLineOutput& out, TPortLoop& loop, std::FILE* err) {
  out.Flush();
  // The lines are the run's report, not its product: a reader that takes
  // nothing for this long is not waited for.
  TEndWait wait(loop.Now(), std::chrono::seconds(2));
  while (out.Held() && !out.Failed() && !loop.Insisted() &&
         wait.Moving(out.HeldSize(), loop.Now())) {
    loop.WakeBy(wait.Due());
    loop.Watch(out.Fd(), POLLOUT);
    loop.Sleep();
    out.Flush();
  }
  if (out.Failed()) return true;  // told as a failed output, or a reader gone by choice
  const std::uint64_t n = out.Unshown();
  if (n) Say(err, UnshownText(n));
  return n == 0;
}

}  // namespace talmo
