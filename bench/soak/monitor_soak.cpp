// Monitor soak: the headless monitor (`talmocli monitor`, run in this
// process) watches the built-in loopback port COM99 with capture on, while
// this program pushes numbered STX/ETX frames into the line as fast as the
// pair takes them. At the end it checks that every frame came out as its
// line (Hex look, byte for byte, in order), that the capture file equals the
// bytes sent, and that the process's resident memory stayed flat after the
// warm-up. Prints the figures; exit status 1 when a target is missed.
//
// The frames enter the line through a second descriptor on the loopback's
// near end: the far end echoes them back, so the monitor receives them as
// it would from a device that talks without pause.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/monitor_command.h"
#include "capture/pcapng.h"
#include "device/loopback_port.h"
#include "soak_kit.h"

namespace {

using namespace talmo;
using namespace talmo::soak;
using Clock = std::chrono::steady_clock;

const char* const kUsage =
    "usage: monitor_soak [--seconds N] [--warmup N] [--capture raw|timed] [--keep DIR]\n"
    "Pushes frames into the loopback port COM99 for N seconds (default 30)\n"
    "through the headless monitor with capture on, then checks lines,\n"
    "capture and memory (flat after the first --warmup seconds, default 5).\n"
    "--capture timed records a timed capture (pcapng) instead of the raw one.\n"
    "--keep DIR leaves the capture and the monitor's messages in DIR.\n";

double Since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Checks the monitor's lines as they come: each must be the next frame.
struct TLineChecker {
  std::atomic<std::uint64_t> Lines{0};
  std::atomic<std::uint64_t> Wrong{0};    // not the frame expected there
  std::atomic<std::uint64_t> Missing{0};  // frames skipped over
  std::uint64_t Next = 0;
  std::string Partial;
  std::mutex ReportLock;
  std::vector<std::string> Reports;

  void Take(const char* data, std::size_t n) {
    Partial.append(data, n);
    std::size_t start = 0;
    for (std::size_t nl; (nl = Partial.find('\n', start)) != std::string::npos; start = nl + 1)
      Line(Partial.substr(start, nl - start));
    Partial.erase(0, start);
  }

  void Line(const std::string& line) {
    ++Lines;
    const std::optional<std::string> bytes = HexLineBytes(line);
    if (bytes && *bytes == Frame(Next)) {
      ++Next;
      return;
    }
    // Find where we are again from the frame's own number.
    std::uint64_t seq = Next;
    if (bytes && bytes->size() >= 10) seq = std::strtoull(bytes->substr(1, 8).c_str(), nullptr, 10);
    if (bytes && seq > Next && *bytes == Frame(seq)) {
      Missing += seq - Next;
      Note("frames " + std::to_string(Next) + " to " + std::to_string(seq - 1) + " missing");
      Next = seq + 1;
      return;
    }
    ++Wrong;
    Note("line " + std::to_string(Lines.load()) + " is not frame " + std::to_string(Next) + ": " +
         line.substr(0, 80));
    ++Next;
  }

  void Note(const std::string& s) {
    std::lock_guard lock(ReportLock);
    if (Reports.size() < 5) Reports.push_back(s);
  }
};

// Writes all of `data`; false when the line took nothing for 5 s.
bool WriteAll(int fd, const std::string& data) {
  std::size_t off = 0;
  while (off < data.size()) {
    const ssize_t w = ::write(fd, data.data() + off, data.size() - off);
    if (w > 0) {
      off += static_cast<std::size_t>(w);
      continue;
    }
    if (w < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 5000) == 0) return false;
  }
  return true;
}

// The received bytes a capture holds, in pieces: the file as it is, or the
// received packets of a timed capture.
class TCaptureBytes {
 public:
  TCaptureBytes(std::FILE* f, bool timed)
      : FFile(f),
        FReader([f](std::uint8_t* p, std::size_t n) {
          return static_cast<long>(std::fread(p, 1, n, f));
        }),
        FTimed(timed) {}
  // Up to `max` bytes into `into`; 0 at the end.
  std::size_t Next(char* into, std::size_t max) {
    if (!FTimed) return std::fread(into, 1, max, FFile);
    while (FHave.empty()) {
      if (FReader.Next() != pcapng::TPcapngReader::TStep::Packet) return 0;
      const pcapng::TReadPacket& p = FReader.Packet();
      if (p.Event == pcapng::TEvent::RxData) FHave.assign(p.Payload);
    }
    const std::size_t n = std::min(max, FHave.size());
    std::memcpy(into, FHave.data(), n);
    FHave.erase(0, n);
    return n;
  }

 private:
  std::FILE* FFile;
  pcapng::TPcapngReader FReader;
  bool FTimed;
  std::string FHave;
};

// Compares the capture file with the frames 0 .. frames-1, in pieces.
bool CaptureEqualsSent(const std::string& path, bool timed, std::uint64_t frames,
                       std::uint64_t sentBytes, std::uint64_t& size, std::uint64_t& firstDiff) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  size = 0;
  firstDiff = 0;
  if (!f) return false;
  TCaptureBytes bytes(f, timed);
  bool same = true;
  std::string want;
  std::vector<char> got(1 << 16);
  std::uint64_t seq = 0;
  for (;;) {
    while (want.size() < got.size() && seq < frames) want += Frame(seq++);
    const std::size_t n = bytes.Next(got.data(), got.size());
    if (n == 0) break;
    const std::size_t cmp = std::min(n, want.size());
    if (same && (cmp < n || std::memcmp(got.data(), want.data(), cmp) != 0)) {
      std::size_t i = 0;
      while (i < cmp && got[i] == want[i]) ++i;
      firstDiff = size + i;
      same = false;
    }
    want.erase(0, cmp);
    size += n;
  }
  std::fclose(f);
  if (same && size != sentBytes) {
    firstDiff = size;
    same = false;
  }
  return same;
}

}  // namespace

int main(int argc, char** argv) {
  const TSoakArgs args = ParseSoakArgs(argc, argv, 30, 5, kUsage);

  char tmpl[] = "/tmp/talmo-soak-XXXXXX";
  std::string dir = args.Keep;
  if (dir.empty()) {
    if (!mkdtemp(tmpl)) {
      std::perror("mkdtemp");
      return 1;
    }
    dir = tmpl;
  }
  setenv("XDG_CONFIG_HOME", dir.c_str(), 1);  // never the user's settings
  const std::string capture = dir + (args.Timed ? "/soak.pcapng" : "/SOAK.LOG");

  const std::string near = TLoopbackPort::Instance().Path();
  if (near.empty()) {
    std::fprintf(stderr, "monitor_soak: %s\n", TLoopbackPort::Instance().Error().c_str());
    return 1;
  }
  // Opened before the monitor takes the port exclusively.
  const int line = ::open(near.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (line < 0) {
    std::perror(near.c_str());
    return 1;
  }

  int outPipe[2], errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) {
    std::perror("pipe");
    return 1;
  }
  std::FILE* out = fdopen(outPipe[1], "w");
  std::FILE* err = fdopen(errPipe[1], "w");
  setvbuf(err, nullptr, _IONBF, 0);

  TMonitorStop stop;
  int status = -1;
  const std::vector<std::string> monitorArgs = {"--port",  "COM99",     "--baud", "115200",
                                                "--first", "02",        "--last", "03",
                                                "--hex",   "--capture", capture};
  std::thread monitor([&] { status = RunMonitor(monitorArgs, out, err, &stop); });

  std::mutex messagesLock;
  std::string messages;
  std::atomic<bool> opened{false};
  std::thread errReader([&] {
    char b[1024];
    ssize_t n;
    while ((n = ::read(errPipe[0], b, sizeof b)) > 0) {
      std::lock_guard lock(messagesLock);
      messages.append(b, static_cast<std::size_t>(n));
      if (messages.find("monitoring") != std::string::npos) opened = true;
    }
  });
  TLineChecker checker;
  std::thread outReader([&] {
    std::vector<char> b(1 << 16);
    ssize_t n;
    while ((n = ::read(outPipe[0], b.data(), b.size())) > 0)
      checker.Take(b.data(), static_cast<std::size_t>(n));
  });

  const auto openBy = Clock::now() + std::chrono::seconds(5);
  while (!opened && Clock::now() < openBy)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (!opened) {
    stop.Request();
    monitor.join();
    std::fclose(out);
    std::fclose(err);
    outReader.join();
    errReader.join();
    std::fprintf(stderr, "monitor_soak: the monitor did not open COM99:\n%s", messages.c_str());
    return 1;
  }

  // The writer: frames in blocks of about 16 KiB, as fast as the line takes.
  std::atomic<std::uint64_t> framesSent{0}, bytesSent{0};
  std::atomic<bool> writeFailed{false};
  const auto t0 = Clock::now();
  const double cpu0 = CpuSeconds();
  std::thread writer([&] {
    std::uint64_t seq = 0;
    std::string block;
    while (Since(t0) < args.Seconds) {
      block.clear();
      const std::uint64_t first = seq;
      while (block.size() < 16 * 1024) block += Frame(seq++);
      if (!WriteAll(line, block)) {
        writeFailed = true;
        seq = first;
        break;
      }
      bytesSent += block.size();
      framesSent = seq;
    }
  });

  // Memory once a second; the checker keeps nothing, so all of it is the
  // monitor's (and the process's fixed share).
  std::vector<double> times, rss;
  while (Since(t0) < args.Seconds) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    times.push_back(Since(t0));
    rss.push_back(static_cast<double>(RssKiB()));
  }
  writer.join();
  const double sendSeconds = Since(t0);
  // Every frame sent must arrive; the line drains in well under this.
  const auto drainBy = Clock::now() + std::chrono::seconds(30);
  while (checker.Lines < framesSent && Clock::now() < drainBy)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const double drainSeconds = Since(t0) - sendSeconds;
  const double cpu = CpuSeconds() - cpu0;
  stop.Request();
  monitor.join();
  std::fclose(out);
  std::fclose(err);
  outReader.join();
  errReader.join();
  ::close(line);

  std::uint64_t capSize = 0, firstDiff = 0;
  const bool capEqual =
      CaptureEqualsSent(capture, args.Timed, framesSent, bytesSent, capSize, firstDiff);
  if (args.Keep.empty()) {
    std::remove(capture.c_str());
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  // Memory after the warm-up.
  std::vector<double> wt, wr;
  for (std::size_t i = 0; i < times.size(); ++i)
    if (times[i] >= args.Warmup) wt.push_back(times[i]), wr.push_back(rss[i]);
  const double rssStart = wr.empty() ? 0 : wr.front();
  const double rssEnd = wr.empty() ? 0 : wr.back();
  const double rssMax = wr.empty() ? 0 : *std::max_element(wr.begin(), wr.end());
  const double slope = Slope(wt, wr) * 60;  // KiB per minute
  // Flat: never more than 1 MiB above where the warm-up left it. The trend
  // is printed too, but a few KiB of page noise make it jumpy in short runs.
  const bool flat = !wr.empty() && rssMax - rssStart <= 1024;

  const std::uint64_t frames = framesSent, bytes = bytesSent;
  const std::uint64_t lines = checker.Lines, wrong = checker.Wrong, missing = checker.Missing;
  const bool linesOk = lines == frames && wrong == 0 && missing == 0 && checker.Next == frames;
  const double mbps = static_cast<double>(bytes) / 1e6 / sendSeconds;

  std::printf(
      "monitor soak: %.0f s on COM99 (built-in loopback), STX/ETX frames of 10-70 bytes, Hex look, "
      "%s capture on\n",
      sendSeconds, args.Timed ? "timed" : "raw");
  std::printf("  sent                 %llu frames, %.1f MB: %.2f MB/s, %.0f frames/s%s\n",
              static_cast<unsigned long long>(frames), static_cast<double>(bytes) / 1e6, mbps,
              static_cast<double>(frames) / sendSeconds,
              writeFailed ? " (the line stopped taking bytes)" : "");
  std::printf(
      "  lines                %llu, %s (%llu wrong, %llu frames missing); last line %.2f s after "
      "the last send\n",
      static_cast<unsigned long long>(lines),
      linesOk ? "each its frame, in order" : "NOT all frames",
      static_cast<unsigned long long>(wrong), static_cast<unsigned long long>(missing),
      drainSeconds);
  for (const std::string& r : checker.Reports) std::printf("    %s\n", r.c_str());
  if (capEqual)
    std::printf("  capture              %llu bytes received in it, equal to the bytes sent\n",
                static_cast<unsigned long long>(capSize));
  else
    std::printf(
        "  capture              %llu bytes, NOT equal to the %llu bytes sent (first difference at "
        "%llu)\n",
        static_cast<unsigned long long>(capSize), static_cast<unsigned long long>(bytes),
        static_cast<unsigned long long>(firstDiff));
  std::printf(
      "  memory (VmRSS)       %.1f MiB after %.0f s warm-up, %.1f MiB at the end, max %.1f MiB, "
      "trend %+.0f KiB/min: %s\n",
      rssStart / 1024, args.Warmup, rssEnd / 1024, rssMax / 1024, slope, flat ? "flat" : "GROWING");
  std::printf(
      "  CPU                  %.2f cores (monitor, loopback echo and this checker together)\n",
      cpu / (sendSeconds + drainSeconds));
  std::printf("  monitor exit status  %d\n", status);
  {
    std::lock_guard lock(messagesLock);
    std::size_t from = 0;
    for (std::size_t nl; (nl = messages.find('\n', from)) != std::string::npos; from = nl + 1) {
      const std::string m = messages.substr(from, nl - from);
      if (m.find("monitoring") == std::string::npos) std::printf("  monitor said: %s\n", m.c_str());
    }
  }
  // Bytes the capture lacks, has too many of, or holds changed; frames
  // whose line was missing or wrong.
  const std::uint64_t badBytes =
      capEqual ? 0
               : std::max<std::uint64_t>(1, capSize > bytes ? capSize - bytes : bytes - capSize);
  std::printf(
      "SOAK-MONITOR seconds=%.1f mbps=%.3f frames=%llu lines_ok=%d capture_equal=%d bad_bytes=%llu "
      "bad_frames=%llu rss_start_kib=%.0f rss_end_kib=%.0f rss_max_kib=%.0f rss_slope_kib_min=%.1f "
      "flat=%d\n",
      sendSeconds, mbps, static_cast<unsigned long long>(frames), linesOk ? 1 : 0, capEqual ? 1 : 0,
      static_cast<unsigned long long>(badBytes),
      static_cast<unsigned long long>(wrong + missing +
                                      (lines > frames ? lines - frames : frames - lines)),
      rssStart, rssEnd, rssMax, slope, flat ? 1 : 0);
  return linesOk && capEqual && flat && status == 0 && !writeFailed ? 0 : 1;
}
