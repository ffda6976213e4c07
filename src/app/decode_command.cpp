#include "app/decode_command.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string_view>

#include "app/cli_args.h"
#include "app/cli_output.h"
#include "engine/clock.h"
#include "engine/formatter.h"

namespace talmo {

std::string DecodeUsage() {
  return std::string(
             "usage: talmocli decode [--first HH] [--last HH] [--bcc | --no-bcc]\n"
             "                       [--time | --no-time] [--no-convert] [--hex]\n"
             "                       [--stxhl | --prod2] [--manch] [FILE]\n"
             "Shows a raw capture (FILE, or standard input when absent or -) as the\n"
             "monitor's display lines, one per output line.\n") +
         kFramingOptionsHelp +
         "Options given explicitly win over the --stxhl and --prod2 presets. A capture\n"
         "holds no timing: stamps show the decode's start and a gap of 0.\n";
}

namespace {

struct TDecodeRequest {
  TFramingRequest Framing;
  std::optional<std::string> File;
};

TDecodeRequest Parse(const std::vector<std::string>& args) {
  TDecodeRequest r;
  TArgScanner s(args);
  while (s.Next()) {
    if (s.IsOption()) {
      if (!r.Framing.Take(s)) s.Unknown();
      continue;
    }
    if (r.File)
      throw EUsageError("more than one FILE given ('" + *r.File + "', '" + s.Word() + "')");
    r.File = s.Word();
  }
  r.Framing.Check();
  return r;
}

// Output is gathered in one buffer and written in large pieces; Flush hands
// everything gathered to the output at once. The output keeps the first
// failed write with its reason.
class TLineWriter {
 public:
  explicit TLineWriter(std::FILE* out) : FOut(out) { FBuffer.reserve(kSize); }
  void Line(std::string_view text) {
    if (FBuffer.size() + text.size() + 1 > kSize) Write();
    FBuffer.append(text);
    FBuffer.push_back('\n');
  }
  void Flush() {
    Write();
    FOut.Flush();
  }
  bool Failed() const { return FOut.Failed(); }
  int Failure() const { return FOut.Error(); }

 private:
  void Write() {
    FOut.Text(FBuffer);
    FBuffer.clear();
  }
  static constexpr std::size_t kSize = 1 << 18;
  TLineOutput FOut;
  std::string FBuffer;
};

// True when a read of `fd` would block now: the input has paused.
bool InputPaused(int fd) {
  pollfd p{fd, POLLIN, 0};
  int n;
  while ((n = ::poll(&p, 1, 0)) < 0 && errno == EINTR) {
  }
  return n == 0;
}

}  // namespace

int RunDecode(const std::vector<std::string>& args, int inputFd, std::FILE* out, std::FILE* err) {
  TDecodeRequest req;
  try {
    req = Parse(args);
  } catch (const EUsageError& e) {
    SayUsage(err, e.what(), DecodeUsage());
    return kExitUsage;
  }

  const TFormatOptions opts = req.Framing.Options();
  const std::string path = req.File.value_or("-");
  int fd = inputFd;
  if (path != "-") {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      SayCannotRead(err, path, errno);
      return kExitFailure;
    }
  }

  // A capture holds no timing: every byte counts as arriving at once, and
  // every stamp shows the moment the decode started.
  TFormatterClocks clocks;
  const TSystemTime start = UtcNow();
  clocks.Utc = [start] { return start; };
  clocks.Counter.Read = [](std::int64_t& v) {
    v = 0;
    return true;
  };
  clocks.Counter.Frequency = 1000000;
  clocks.Pause = [] { return std::int64_t{0}; };

  TLineWriter writer(out);
  TFormatterHooks hooks;
  hooks.Line = [&writer](std::string_view line) { writer.Line(line); };
  TReceiveFormatter formatter(opts, std::move(hooks), std::move(clocks));
  formatter.SetSigns(req.Framing.FirstSign(), req.Framing.LastSign());
  formatter.FrameWatch().Start();

  int status = kExitOk;
  std::uint8_t block[1 << 16];
  while (!writer.Failed()) {
    const ssize_t got = ::read(fd, block, sizeof block);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      SayCannotRead(err, path, errno);
      status = kExitFailure;
      break;
    }
    formatter.FormatReceived(block, static_cast<std::size_t>(got));
    // A live source (a pipe, a terminal) shows its finished lines as soon
    // as it pauses; a file, which never pauses, is still written in large
    // pieces.
    if (InputPaused(fd)) writer.Flush();
  }
  if (fd != inputFd) ::close(fd);

  // End of input plays the part of the time-out.
  if (!writer.Failed()) formatter.TimeoutFlush();
  writer.Flush();
  if (writer.Failed() || std::ferror(out)) {
    SayOutputFailed(err, writer.Failed() ? writer.Failure() : EIO);
    return kExitFailure;
  }
  return status;
}

}  // namespace talmo
