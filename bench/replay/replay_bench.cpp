// How closely a replay keeps the recorded gaps: a capture of packets with
// mixed gaps (1 to 50 ms) is replayed by talmocli into a pseudo-terminal,
// and the far end stamps each packet's arrival. Prints the error of every
// gap against the recorded one, and of every arrival against start plus its
// recorded time; and talmocli's own write times (its output lines) against
// the plan. Asserts nothing.
//
// usage: replay_bench [--packets N] [--speed F] [--talmocli PATH]

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "capture/pcapng.h"
#include "support/pty_pair.h"

namespace {

std::int64_t NowNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

void Print(const char* what, const std::vector<double>& us) {
  std::printf("%-12s median %7.1f us  p90 %7.1f us  p99 %7.1f us  max %8.1f us\n", what,
              Percentile(us, 0.5), Percentile(us, 0.9), Percentile(us, 0.99),
              us.empty() ? 0.0 : *std::max_element(us.begin(), us.end()));
}

}  // namespace

int main(int argc, char** argv) {
  int packets = 500;
  std::string speed = "1", talmocli = TALMOCLI_PATH;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--packets") packets = std::max(2, std::atoi(argv[i + 1]));
    if (a == "--speed") speed = argv[i + 1];
    if (a == "--talmocli") talmocli = argv[i + 1];
  }
  const double factor = std::atof(speed.c_str());
  if (factor <= 0) {
    std::fprintf(stderr, "replay_bench: bad --speed\n");
    return 2;
  }

  // The capture: packet i holds its number and a few filler bytes.
  std::mt19937 rng(1234);
  std::vector<std::int64_t> times;
  std::vector<std::size_t> ends;  // offset after each packet in the stream
  std::vector<std::uint8_t> file;
  talmo::pcapng::AppendSectionHeader(file, "replay_bench");
  talmo::pcapng::AppendInterface(file, "COM5", "bench");
  std::int64_t t = 1700000000LL * 1000000000;
  std::string stream;
  for (int i = 0; i < packets; ++i) {
    if (i) t += std::uniform_int_distribution<std::int64_t>(1000, 50000)(rng) * 1000;
    std::string bytes = std::to_string(i) + ":";
    bytes.append(std::uniform_int_distribution<std::size_t>(1, 24)(rng), 'x');
    talmo::pcapng::TPacket p;
    p.TimeNs = t;
    p.Event = talmo::pcapng::TEvent::RxData;
    p.Direction = talmo::pcapng::TDirection::In;
    p.Data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    p.Size = bytes.size();
    talmo::pcapng::AppendPacket(file, p);
    times.push_back(t);
    stream += bytes;
    ends.push_back(stream.size());
  }
  char dir[] = "/tmp/talmo-replay-bench-XXXXXX";
  if (!::mkdtemp(dir)) return 1;
  const std::string path = std::string(dir) + "/bench.pcapng";
  {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || ::write(fd, file.data(), file.size()) != static_cast<long>(file.size())) return 1;
    ::close(fd);
  }

  // talmocli's own lines: when it handed each packet to the port.
  const std::string linesPath = std::string(dir) + "/lines.txt";
  talmo::test::TPtyPair line;
  if (!line.Open()) return 1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv("XDG_CONFIG_HOME", dir, 1);
    const int lines = ::open(linesPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(lines, 1);
    ::dup2(null, 2);
    ::close_range(3, ~0U, 0);
    ::execl(talmocli.c_str(), talmocli.c_str(), "play", "--capture", path.c_str(), "--device",
            line.Path.c_str(), "--speed", speed.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }

  // The far end: every read stamped; a packet arrives with its first byte.
  std::vector<std::int64_t> arrival(static_cast<std::size_t>(packets), -1);
  std::string got;
  std::size_t next = 0;
  int status = 0;
  bool ended = false;
  while (!ended || got.size() < stream.size()) {
    pollfd p{line.Master, POLLIN, 0};
    const int ready = ::poll(&p, 1, 20);
    const std::int64_t now = NowNs();
    if (ready > 0 && (p.revents & POLLIN)) {
      char buf[4096];
      const long n = ::read(line.Master, buf, sizeof buf);
      if (n > 0) {
        const std::size_t before = got.size();
        got.append(buf, static_cast<std::size_t>(n));
        while (next < ends.size() && (next == 0 ? 0 : ends[next - 1]) < got.size()) {
          if ((next == 0 ? 0 : ends[next - 1]) >= before) arrival[next] = now;
          ++next;
        }
      }
    }
    if (!ended && ::waitpid(pid, &status, WNOHANG) == pid) ended = true;
    if (ended && ready == 0) break;
  }
  std::vector<double> sendErr;
  if (std::FILE* f = std::fopen(linesPath.c_str(), "r")) {
    double ms = 0;
    for (std::size_t i = 0; i < times.size() && std::fscanf(f, "T+%lf %*[^\n]\n", &ms) == 1; ++i) {
      const double planned = static_cast<double>(times[i] - times[0]) / factor / 1e6;
      sendErr.push_back(std::fabs(ms - planned) * 1e3);
    }
    std::fclose(f);
  }
  ::unlink(path.c_str());
  ::unlink(linesPath.c_str());
  ::rmdir(dir);

  std::vector<double> gapErr, offsets, timeErr;
  for (std::size_t i = 0; i < arrival.size(); ++i) {
    if (arrival[i] < 0) continue;
    const double planned = static_cast<double>(times[i] - times[0]) / factor;
    offsets.push_back(static_cast<double>(arrival[i] - arrival[0]) - planned);
    if (i == 0 || arrival[i - 1] < 0) continue;
    const double recorded = static_cast<double>(times[i] - times[i - 1]) / factor;
    gapErr.push_back(std::fabs(static_cast<double>(arrival[i] - arrival[i - 1]) - recorded) / 1e3);
  }
  // Arrivals against the plan from their median offset: a late stamp of
  // the first packet alone would shift every one.
  const double middle = Percentile(offsets, 0.5);
  for (const double o : offsets) timeErr.push_back(std::fabs(o - middle) / 1e3);
  const double span = static_cast<double>(times.back() - times.front()) / factor / 1e9;
  std::printf("replay of %d packets, gaps 1-50 ms, speed %s (%.1f s) into a pseudo-terminal\n",
              packets, speed.c_str(), span);
  Print("gap error", gapErr);
  Print("time error", timeErr);
  // The sender's own view (its T+ lines, microseconds): a far-end error
  // that the sender does not show is the reader's wake-up.
  Print("write error", sendErr);
  const auto over =
      std::count_if(gapErr.begin(), gapErr.end(), [](double us) { return us > 1000; });
  std::printf("gaps off by more than 1 ms: %ld of %zu\n", static_cast<long>(over), gapErr.size());
  std::printf("bytes: %zu of %zu arrived, %s; talmocli exit %d\n", got.size(), stream.size(),
              got == stream ? "in order, nothing added" : "NOT AS SENT",
              WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  return got == stream && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
