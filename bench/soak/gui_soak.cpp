// GUI soak: the main window (offscreen, its own timers and event loop as in
// the program) receives 2,000 STX/ETX frames a second through a port (a
// pseudo-terminal this program plays the device on) for 60 seconds. A probe
// thread posts an event to the GUI thread every 10 ms; how long each waits
// to be served is the GUI's lateness. Once a second the pending lines and
// the resident memory are sampled. At the end the frames in the pane must be
// in order, each gap in them announced by the pane's notice of lines not
// shown (the backlog is bounded), and every frame sent accounted for as
// shown, dropped or waiting. Over a long run the memory must level off: it
// grows less than 3 MiB over the second half.
// Prints the figures; exit status 1 when a target is missed.

#include <fcntl.h>
#include <pty.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>
#include <QApplication>
#include <QCheckBox>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/device_driver.h"
#include "mainwindow/main_window.h"
#include "mainwindow/radio_group.h"
#include "soak_kit.h"

namespace {

using namespace talmo;
using namespace talmo::soak;
using Clock = std::chrono::steady_clock;

const char* const kUsage =
    "usage: gui_soak [--seconds N] [--rate LINES] [--warmup N] [--keep DIR]\n"
    "Feeds LINES frames a second (default 2000) for N seconds (default 60)\n"
    "into the offscreen main window and prints how late its GUI thread\n"
    "serves events, the pending lines and the memory.\n";

constexpr double kLatenessTargetMs = 50;
constexpr double kSecondHalfGrowthMiB = 3;

struct QuietDialogs : TMainDialogs {
  std::vector<std::string> shown;
  void Message(const std::string& t) override { shown.push_back(t); }
  bool Confirm(const std::string&) override { return true; }
  void Error(const std::string& t) override { shown.push_back(t); }
  std::optional<std::string> ChooseCaptureFile() override { return std::nullopt; }
  std::optional<std::string> ChooseSaveFile() override { return std::nullopt; }
  void OpenUrl(const std::string&) override {}
  void ShowStrings() override {}
};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void RunLoop(double seconds) {
  QEventLoop loop;
  QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
  loop.exec();
}

}  // namespace

int main(int argc, char** argv) {
  TSoakArgs args = ParseSoakArgs(argc, argv, 60, 5, kUsage);
  if (args.Rate <= 0) args.Rate = 2000;
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  char tmpl[] = "/tmp/talmo-guisoak-XXXXXX";
  std::string dir = args.Keep;
  if (dir.empty()) {
    if (!mkdtemp(tmpl)) {
      std::perror("mkdtemp");
      return 1;
    }
    dir = tmpl;
  }
  setenv("XDG_CONFIG_HOME", dir.c_str(), 1);  // never the user's settings
  QApplication app(argc, argv);

  // The device: the far end of a pseudo-terminal.
  int master = -1, near = -1;
  char name[256] = {};
  if (openpty(&master, &near, name, nullptr, nullptr) != 0) {
    std::perror("openpty");
    return 1;
  }
  const std::string path = name;
  ::close(near);
  ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);

  auto dialogs = std::make_shared<QuietDialogs>();
  TMainEnvironment env;
  env.SettingsPath = dir + "/TALMO.reg";
  env.Dialogs = dialogs;
  env.Driver = std::make_shared<TSerDeviceDriver>([path](const std::string&) { return path; });
  env.PortList = [path] { return std::vector<TPortEntry>{{"COM3", path, "soak device"}}; };
  auto window = std::make_unique<TfoMain>(env);
  TfoMain& w = *window;
  w.show();
  for (int i = 0; i < 250 && !w.Activated(); ++i) RunLoop(0.02);
  w.cbHEX->setChecked(true);
  w.meFirst->setText("02");
  w.meLast->setText("03");
  w.FirstLast();
  w.raPort->SetItemIndex(0);
  w.buOpen->click();
  if (!w.Comm1().Active()) {
    std::fprintf(stderr, "gui_soak: the window did not open the port\n");
    return 1;
  }
  RunLoop(0.3);
  const long rssOpen = RssKiB();

  // The probe: a thread posts a stamped call every 10 ms; the GUI thread
  // notes how long the call waited.
  std::vector<double> lateness;
  lateness.reserve(static_cast<std::size_t>(args.Seconds * 110));
  std::atomic<bool> stop{false};
  std::thread probe([&] {
    auto next = Clock::now();
    while (!stop) {
      next += std::chrono::milliseconds(10);
      std::this_thread::sleep_until(next);
      const auto posted = Clock::now();
      QMetaObject::invokeMethod(
          &app, [&lateness, posted] { lateness.push_back(Ms(Clock::now() - posted)); },
          Qt::QueuedConnection);
    }
  });

  // The device talks at the rate asked, in 5 ms bursts.
  std::atomic<std::uint64_t> sent{0}, bytes{0}, lateBursts{0};
  std::atomic<bool> feederDone{false}, abandon{false};
  const auto t0 = Clock::now();
  std::thread feeder([&] {
    std::uint64_t seq = 0;
    std::string pending;
    auto next = t0;
    while (!stop) {
      next += std::chrono::milliseconds(5);
      std::this_thread::sleep_until(next);
      const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
      if (elapsed >= args.Seconds) break;
      const auto due = static_cast<std::uint64_t>(elapsed * args.Rate);
      while (seq < due) pending += Frame(seq++);
      const ssize_t n = ::write(master, pending.data(), pending.size());
      if (n > 0) {
        bytes += static_cast<std::uint64_t>(n);
        pending.erase(0, static_cast<std::size_t>(n));
      }
      if (!pending.empty()) ++lateBursts;  // the line did not take it all
      sent = seq;
    }
    // What the line did not take yet still goes out.
    while (!pending.empty() && !abandon) {
      const ssize_t n = ::write(master, pending.data(), pending.size());
      if (n > 0)
        bytes += static_cast<std::uint64_t>(n), pending.erase(0, static_cast<std::size_t>(n));
      else if (n < 0 && errno != EAGAIN && errno != EINTR)
        break;
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    sent = seq;
    feederDone = true;
  });

  struct Sample {
    double t;
    std::size_t pending;
    long rss;
  };
  std::vector<Sample> samples;
  QTimer sampler;
  QObject::connect(&sampler, &QTimer::timeout, [&] {
    samples.push_back({std::chrono::duration<double>(Clock::now() - t0).count(),
                       w.PendingLines().PendingCount(), RssKiB()});
  });
  sampler.start(1000);
  RunLoop(args.Seconds);
  sampler.stop();
  // The feeder may still be handing over what the line did not take; the
  // window must go on reading for it to finish.
  for (int i = 0; i < 1500 && !feederDone; ++i) RunLoop(0.02);
  if (!feederDone) {
    std::fprintf(stderr, "gui_soak: the window stopped taking bytes from the line\n");
    abandon = true;
  }
  feeder.join();
  stop = true;
  probe.join();
  const std::size_t probes = lateness.size();

  // Let the last frames arrive. The pane's frames must be whole and in
  // order, a gap only where a notice tells its size; after the newest shown
  // frame come the dropped ones not yet told, then the waiting ones.
  struct TPaneCheck {
    std::size_t Frames = 0, Announced = 0;
    std::uint64_t Next = 0;  // the frame after the newest shown
    bool Ok = true;
  };
  auto checkPane = [&] {
    TPaneCheck c;
    bool first = true;
    std::uint64_t gap = 0;
    for (const std::string& l : w.PaneLines()) {
      if (l.rfind("// ", 0) == 0 && l.find("not shown") != std::string::npos) {
        gap += std::strtoull(l.c_str() + 3, nullptr, 10);
        c.Announced += gap;
        continue;
      }
      if (l.rfind(" 02", 0) != 0) continue;
      const std::optional<std::string> b = HexLineBytes(l);
      const std::uint64_t seq =
          b && b->size() > 9 ? std::strtoull(b->substr(1, 8).c_str(), nullptr, 10) : 0;
      if (!b || *b != Frame(seq) || (!first && seq != c.Next + gap)) c.Ok = false;
      first = false;
      gap = 0;
      c.Next = seq + 1;
      ++c.Frames;
    }
    return c;
  };
  auto accounted = [&](const TPaneCheck& c) {
    return c.Next + w.PendingLines().Dropped() + w.PendingLines().PendingCount();
  };
  TPaneCheck pane = checkPane();
  for (int i = 0; i < 250 && accounted(pane) < sent; ++i) {
    RunLoop(0.02);
    pane = checkPane();
  }
  const std::size_t pendingEnd = w.PendingLines().PendingCount();
  const std::size_t droppedEnd = w.PendingLines().DroppedTotal();
  const std::size_t paneLines = w.PaneLines().size();
  const bool linesOk = pane.Ok && accounted(pane) == sent;
  const long rssEnd = RssKiB();
  window.reset();
  ::close(master);
  if (args.Keep.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  const double median = Percentile(lateness, 0.5), p99 = Percentile(lateness, 0.99);
  const double worst = lateness.empty() ? 0 : *std::max_element(lateness.begin(), lateness.end());
  const bool latenessOk = !lateness.empty() && p99 < kLatenessTargetMs;
  const double secs = args.Seconds;
  std::printf(
      "GUI soak: %.0f s, %.0f lines/s through a pseudo-terminal into the offscreen main window "
      "(Hex look)\n",
      secs, args.Rate);
  std::printf("  fed                  %llu frames, %.2f MB (%.0f lines/s)%s\n",
              static_cast<unsigned long long>(sent.load()), static_cast<double>(bytes) / 1e6,
              static_cast<double>(sent) / secs,
              lateBursts ? " (the line was full now and then)" : "");
  std::printf(
      "  GUI lateness         median %.2f ms, 99th percentile %.2f ms, worst %.1f ms (%zu probes, "
      "one per 10 ms): %s\n",
      median, p99, worst, probes, latenessOk ? "under 50 ms" : "NOT under 50 ms");
  std::printf(
      "  lines                %zu frames in the pane (%zu pane lines, at most %d kept), %zu "
      "pending (at most %zu), "
      "%zu dropped unshown and told (the pump shows 8 per 199 ms tick); %s\n",
      pane.Frames, paneLines, kPaneMaxLines, pendingEnd, TPendingLines::kDefaultMaxLines,
      droppedEnd,
      linesOk ? "every frame accounted for, the pane's in order"
              : "FRAMES LOST, UNTOLD OR OUT OF ORDER");
  std::printf("  pending, once a second:");
  for (std::size_t i = 0; i < samples.size(); i += std::max<std::size_t>(1, samples.size() / 10))
    std::printf(" %.0fs:%zu", samples[i].t, samples[i].pending);
  std::printf("\n");
  const double growth = static_cast<double>(rssEnd - rssOpen);
  std::printf(
      "  memory (VmRSS)       %.1f MiB with the port open, %.1f MiB at the end (%+.1f MiB; %.0f "
      "bytes per pending line)\n",
      static_cast<double>(rssOpen) / 1024, static_cast<double>(rssEnd) / 1024, growth / 1024,
      pendingEnd ? growth * 1024 / static_cast<double>(pendingEnd) : 0.0);
  // The second half: from the sample nearest half time to the last one.
  long rssMid = rssOpen, rssLast = rssEnd;
  double tMid = 0, tLast = 0;
  if (!samples.empty()) {
    const Sample* mid = &samples.front();
    for (const Sample& x : samples)
      if (std::abs(x.t - secs / 2) < std::abs(mid->t - secs / 2)) mid = &x;
    rssMid = mid->rss, tMid = mid->t;
    rssLast = samples.back().rss, tLast = samples.back().t;
  }
  const double halfGrowthMiB = static_cast<double>(rssLast - rssMid) / 1024;
  // Judged only where the backlog was full before half time; until then it
  // grows by design.
  const bool judged = tMid > static_cast<double>(TPendingLines::kDefaultMaxLines) / args.Rate + 10;
  const bool memoryOk = !judged || halfGrowthMiB < kSecondHalfGrowthMiB;
  std::printf("  memory, second half  %.1f MiB at %.0f s, %.1f MiB at %.0f s (%+.2f MiB): %s\n",
              static_cast<double>(rssMid) / 1024, tMid, static_cast<double>(rssLast) / 1024, tLast,
              halfGrowthMiB,
              !judged    ? "not judged (the backlog fills after half time)"
              : memoryOk ? "under 3 MiB"
                         : "NOT under 3 MiB");
  for (const std::string& s : dialogs->shown) std::printf("  the window said: %s\n", s.c_str());
  std::printf(
      "SOAK-GUI seconds=%.0f rate=%.0f sent=%llu lateness_median_ms=%.3f lateness_p99_ms=%.3f "
      "lateness_max_ms=%.3f pending_end=%zu pane_lines=%zu lines_ok=%d rss_open_kib=%ld "
      "rss_end_kib=%ld "
      "dropped=%zu rss_mid_kib=%ld rss_last_kib=%ld half_growth_mib=%.2f\n",
      secs, args.Rate, static_cast<unsigned long long>(sent.load()), median, p99, worst, pendingEnd,
      pane.Frames, linesOk ? 1 : 0, rssOpen, rssEnd, droppedEnd, rssMid, rssLast, halfGrowthMiB);
  return latenessOk && linesOk && memoryOk && dialogs->shown.empty() ? 0 : 1;
}
