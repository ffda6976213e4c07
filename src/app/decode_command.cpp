#include "decode_command.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>

#include "clock.h"
#include "convert.h"
#include "formatter.h"

namespace talmo {

const char kDecodeUsage[] =
    "usage: talmocli decode [--first HH] [--last HH] [--bcc | --no-bcc]\n"
    "                       [--time | --no-time] [--no-convert] [--hex]\n"
    "                       [--stxhl | --prod2] [--manch] [FILE]\n"
    "Shows a raw capture (FILE, or standard input when absent or -) as the\n"
    "monitor's display lines, one per output line.\n"
    "  --first HH, --last HH  start and stop sign as in the sign fields (default 00)\n"
    "  --bcc, --no-bcc        take one block-check byte after the stop sign\n"
    "  --time, --no-time      stamp each frame; a capture holds no timing, so the\n"
    "                         stamp shows the decode's start and a gap of 0\n"
    "  --no-convert           do not name control signs (they are not shown)\n"
    "  --hex                  show every byte as a hex pair\n"
    "  --stxhl                STX_HL frames: signs 02 and 03, BCC on\n"
    "  --prod2                PROD2 frames: signs 02 and 03, BCC off, Time on\n"
    "  --manch                decode Manchester-coded bytes first\n"
    "Options given explicitly win over the --stxhl and --prod2 presets.\n";

namespace {

struct TDecodeRequest {
  std::optional<std::string> First, Last;
  std::optional<bool> Bcc, Time;
  bool NoConvert = false, Hex = false, STXHL = false, PROD2 = false, Manch = false;
  std::optional<std::string> File;
};

class TUsageError {
 public:
  explicit TUsageError(std::string m) : Message(std::move(m)) {}
  std::string Message;
};

std::string SignValue(std::string_view option, const std::string& value) {
  if (!IsSignFieldText(value))
    throw TUsageError("bad value for " + std::string(option) + ": '" + value +
                      "' (one or two letters or digits expected, e.g. 02)");
  return value;
}

TDecodeRequest Parse(const std::vector<std::string>& args) {
  TDecodeRequest r;
  bool onlyFiles = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (onlyFiles || a == "-" || a.empty() || a[0] != '-') {
      if (r.File) throw TUsageError("more than one FILE given ('" + *r.File + "', '" + a + "')");
      r.File = a;
      continue;
    }
    if (a == "--") {
      onlyFiles = true;
      continue;
    }
    std::string name = a;
    std::optional<std::string> inlineValue;
    if (const auto eq = a.find('='); eq != std::string::npos) {
      name = a.substr(0, eq);
      inlineValue = a.substr(eq + 1);
    }
    auto value = [&]() -> std::string {
      if (inlineValue) return *inlineValue;
      if (i + 1 >= args.size()) throw TUsageError(name + " needs a value");
      return args[++i];
    };
    auto flag = [&](bool& target) {
      if (inlineValue) throw TUsageError(name + " takes no value");
      target = true;
    };
    auto setOpt = [&](std::optional<bool>& target, bool v) {
      if (inlineValue) throw TUsageError(name + " takes no value");
      target = v;
    };
    if (name == "--first") r.First = SignValue(name, value());
    else if (name == "--last") r.Last = SignValue(name, value());
    else if (name == "--bcc") setOpt(r.Bcc, true);
    else if (name == "--no-bcc") setOpt(r.Bcc, false);
    else if (name == "--time") setOpt(r.Time, true);
    else if (name == "--no-time") setOpt(r.Time, false);
    else if (name == "--no-convert") flag(r.NoConvert);
    else if (name == "--hex") flag(r.Hex);
    else if (name == "--stxhl") flag(r.STXHL);
    else if (name == "--prod2") flag(r.PROD2);
    else if (name == "--manch") flag(r.Manch);
    else throw TUsageError("unknown option '" + a + "'");
  }
  if (r.STXHL && r.PROD2) throw TUsageError("--stxhl and --prod2 cannot be used together");
  return r;
}

// Output is gathered in one buffer and written in large pieces.
class TLineWriter {
 public:
  explicit TLineWriter(std::FILE* out) : Out_(out) { Buffer_.reserve(kSize); }
  void Line(std::string_view text) {
    if (Buffer_.size() + text.size() + 1 > kSize) Flush();
    Buffer_.append(text);
    Buffer_.push_back('\n');
  }
  void Flush() {
    if (!Buffer_.empty() && std::fwrite(Buffer_.data(), 1, Buffer_.size(), Out_) != Buffer_.size())
      Failed_ = true;
    Buffer_.clear();
  }
  bool Failed() const { return Failed_; }

 private:
  static constexpr std::size_t kSize = 1 << 18;
  std::FILE* Out_;
  std::string Buffer_;
  bool Failed_ = false;
};

}  // namespace

int RunDecode(const std::vector<std::string>& args, int inputFd, std::FILE* out, std::FILE* err) {
  TDecodeRequest req;
  try {
    req = Parse(args);
  } catch (const TUsageError& e) {
    std::fprintf(err, "talmocli: %s\n%s", e.Message.c_str(), kDecodeUsage);
    return kExitUsage;
  }

  // The window's form defaults, then the protocol preset, then what was
  // given explicitly.
  TFormatOptions opts;
  std::string first = "00", last = "00";
  if (req.STXHL || req.PROD2) {
    first = "02";
    last = "03";
    opts.Bcc = req.STXHL;
    opts.Time = req.PROD2;
  }
  opts.STXHL = req.STXHL;
  opts.PROD2 = req.PROD2;
  if (req.First) first = *req.First;
  if (req.Last) last = *req.Last;
  if (req.Bcc) opts.Bcc = *req.Bcc;
  if (req.Time) opts.Time = *req.Time;
  opts.Convert = !req.NoConvert;
  opts.Hex = req.Hex;
  opts.Manch = req.Manch;

  const std::string path = req.File.value_or("-");
  int fd = inputFd;
  if (path != "-") {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      std::fprintf(err, "talmocli: cannot read '%s': %s\n", path.c_str(), std::strerror(errno));
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
  formatter.SetSigns(SignFromField(first), SignFromField(last));
  formatter.FrameWatch().Start();

  int status = kExitOk;
  std::uint8_t block[1 << 16];
  for (;;) {
    const ssize_t got = ::read(fd, block, sizeof block);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      std::fprintf(err, "talmocli: cannot read '%s': %s\n", path.c_str(), std::strerror(errno));
      status = kExitFailure;
      break;
    }
    formatter.FormatReceived(block, static_cast<std::size_t>(got));
  }
  if (fd != inputFd) ::close(fd);

  // End of input plays the part of the time-out.
  formatter.TimeoutFlush();
  writer.Flush();
  if (writer.Failed() || std::fflush(out) != 0 || std::ferror(out)) {
    std::fprintf(err, "talmocli: cannot write output: %s\n", std::strerror(errno));
    return kExitFailure;
  }
  return status;
}

}  // namespace talmo
