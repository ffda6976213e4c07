// How late the transmit-file window's ticks come while the main window
// receives data: a 1000-line script of m10 lines is played on the main
// window's port (a pseudo-terminal), once on a quiet line and once while a
// device floods the line with frames. Each tick's lateness is measured
// against the moment the previous step set its 10 ms interval. Prints the
// figures; asserts nothing.

#include <fcntl.h>
#include <pty.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>
#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "device/device_driver.h"
#include "mainwindow/main_window.h"
#include "mainwindow/radio_group.h"
#include "session/port_writer.h"
#include "transmitfile/strings_window.h"

namespace {

using Clock = std::chrono::steady_clock;

struct QuietDialogs : talmo::TMainDialogs {
  void Message(const std::string&) override {}
  bool Confirm(const std::string&) override { return true; }
  void Error(const std::string& t) override { std::fprintf(stderr, "error: %s\n", t.c_str()); }
  std::optional<std::string> ChooseCaptureFile() override { return std::nullopt; }
  std::optional<std::string> ChooseSaveFile() override { return std::nullopt; }
  void OpenUrl(const std::string&) override {}
  void ShowStrings() override {}
};

struct QuietStringsDialogs : talmo::TStringsDialogs {
  std::string path;
  std::optional<std::string> ChooseOpenFile(const std::string&, const std::string&) override {
    return path;
  }
  std::optional<std::string> ChooseSaveFile(const std::string&, const std::string&) override {
    return std::nullopt;
  }
  bool Confirm(const std::string&) override { return false; }
  void Error(const std::string& t) override { std::fprintf(stderr, "error: %s\n", t.c_str()); }
};

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

struct Figures {
  std::vector<double> lateMs;
  std::size_t received = 0;   // bytes the main window got meanwhile
  std::size_t paneLines = 0;  // display lines the main window made of them
};

Figures Run(const std::string& dir, bool flood) {
  int master = -1, slave = -1;
  char name[256];
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    std::perror("openpty");
    std::exit(1);
  }
  termios t{};
  tcgetattr(slave, &t);
  cfmakeraw(&t);
  tcsetattr(slave, TCSANOW, &t);
  ::close(slave);
  fcntl(master, F_SETFL, O_NONBLOCK);

  talmo::TMainEnvironment env;
  env.SettingsPath = dir + "/TALMO.reg";
  env.Dialogs = std::make_shared<QuietDialogs>();
  env.Delay = [](int) {};
  const std::string path = name;
  env.Driver =
      std::make_shared<talmo::TSerDeviceDriver>([path](const std::string&) { return path; });
  env.PortList = [path] { return std::vector<talmo::TPortEntry>{{"COM3", path, ""}}; };
  talmo::TfoMain main(env);
  main.FormActivate();
  main.meFirst->setText("02");
  main.meLast->setText("03");
  main.FirstLast();
  main.raPort->SetItemIndex(0);
  main.buOpenClick();
  if (!main.Comm1().Active()) {
    std::fprintf(stderr, "the port did not open\n");
    std::exit(1);
  }

  // The device: reads what the script sends, and (when flooding) sends
  // STX ... ETX frames of 40 bytes as fast as a 115200-baud line would.
  std::atomic<bool> stop{false};
  std::atomic<std::size_t> sent{0};
  std::thread device([&] {
    std::string frame = "\x02" + std::string(37, 'D') + "\x03\r";
    auto next = Clock::now();
    char buf[4096];
    while (!stop) {
      while (::read(master, buf, sizeof buf) > 0) {
      }
      if (flood && Clock::now() >= next) {
        const ssize_t n = ::write(master, frame.data(), frame.size());
        if (n > 0) sent += static_cast<std::size_t>(n);
        next += std::chrono::microseconds(3500);  // 40 bytes at 115200 baud
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });

  std::string script;
  for (int i = 0; i < 1000; ++i) script += "m10 $02 LINE_" + std::to_string(i) + " $03\r\n";
  const std::string scriptPath = dir + "/bench.txt";
  std::ofstream(scriptPath, std::ios::binary) << script;

  auto dialogs = std::make_shared<QuietStringsDialogs>();
  dialogs->path = scriptPath;
  std::vector<Clock::time_point> writes;
  writes.reserve(1000);
  talmo::TStringsEnvironment senv;
  senv.Dialogs = dialogs;
  auto port = talmo::PortWriter(main.Comm1());
  senv.Write = [&](const std::string& bytes) {
    writes.push_back(Clock::now());
    port(bytes);
  };
  talmo::TfoStrings strings(senv, &main);
  strings.show();
  strings.buOpenClick();
  strings.buStartClick();
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  while (strings.tiBg->isActive() && Clock::now() < deadline)
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
  stop = true;
  device.join();

  Figures f;
  for (std::size_t i = 1; i < writes.size(); ++i) {
    const auto late = writes[i] - (writes[i - 1] + std::chrono::milliseconds(10));
    f.lateMs.push_back(std::chrono::duration<double, std::milli>(late).count());
  }
  f.received = sent;
  f.paneLines = main.PendingLines().Count();
  strings.close();
  main.buCloseClick();
  ::close(master);
  return f;
}

void Print(const char* what, const Figures& f) {
  std::printf("%-34s ticks %4zu  lateness median %6.3f ms  p99 %6.3f ms  max %7.3f ms", what,
              f.lateMs.size() + 1, Percentile(f.lateMs, 0.5), Percentile(f.lateMs, 0.99),
              f.lateMs.empty() ? 0.0 : *std::max_element(f.lateMs.begin(), f.lateMs.end()));
  if (f.received)
    std::printf("  (device sent %zu bytes, the window made %zu lines)", f.received, f.paneLines);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  char tmpl[] = "/tmp/talmo-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string dir = tmpl;
  std::printf("1000 m10 lines played by the transmit-file window on a pseudo-terminal\n");
  Print("quiet line", Run(dir, false));
  Print("main window receiving 40-byte frames", Run(dir, true));
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
