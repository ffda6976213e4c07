// The two programs as a user starts them: --version and --help (which must
// work without a display), an unknown argument, and the second line that
// names the device's group when the user may not open a device.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "support/pty_pair.h"
#include "support/temp_dir.h"

namespace {

struct Result {
  int status = -1;  // exit status; 126 when the program could not be started
  std::string out, err;
};

class Programs : public ::testing::Test {
 protected:
  // Runs `args` without a display and with its settings in the temporary
  // folder; as user and group `uid` (no other groups) when it is not -1.
  // `early` is a signal sent before the program's first instruction (held
  // back until then, as a launcher may hold it).
  Result Run(std::vector<std::string> args, uid_t uid = static_cast<uid_t>(-1), int early = 0) {
    const std::string out = FDir + "/out", err = FDir + "/err";
    const pid_t pid = fork();
    if (pid == 0) {
      const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) _exit(126);
      const int in = open("/dev/null", O_RDONLY);
      if (in < 0 || dup2(in, 0) < 0) _exit(126);
      unsetenv("DISPLAY");
      unsetenv("WAYLAND_DISPLAY");
      unsetenv("QT_QPA_PLATFORM");
      setenv("XDG_CONFIG_HOME", (FDir + "/config").c_str(), 1);
      if (uid != static_cast<uid_t>(-1) &&
          (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0))
        _exit(126);
      alarm(30);  // a program that should have ended but runs on is ended
      if (early != 0) {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, early);
        if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0 || raise(early) != 0) _exit(126);
      }
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(126);
    }
    Result r;
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = talmo::test::ReadFile(out);
    r.err = talmo::test::ReadFile(err);
    return r;
  }

  talmo::test::TTempDir FTemp{"talmo-programs"};
  std::string FDir = FTemp.Path();
};

TEST_F(Programs, VersionAndHelpWithoutADisplay) {
  const std::string version = TALMO_VERSION_TEXT;
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> says;  // each in the standard output
  } cases[] = {
      {{TALMO_CLI, "--version"}, {"talmocli " + version + "\n"}},
      {{TALMO_CLI, "-V"}, {"talmocli " + version + "\n"}},
      {{TALMO_CLI, "--help"}, {"usage: talmocli <command>", "--version"}},
      {{TALMO_CLI, "ports", "--help"}, {"usage: talmocli ports\nLists"}},
      // Every command's help is handled in one place, the same way.
      {{TALMO_CLI, "play", "--help"}, {"usage: talmocli play", "--dry-run"}},
      {{TALMO_CLI, "play", "x.txt", "-h"}, {"usage: talmocli play"}},
      {{TALMO_CLI, "monitor", "--help"}, {"usage: talmocli monitor", "--reconnect"}},
      {{TALMO_CLI, "decode", "--help"}, {"usage: talmocli decode"}},
      {{TALMO_GUI, "--version"}, {"talmo " + version + "\n"}},
      {{TALMO_GUI, "-v"}, {"talmo " + version + "\n"}},
      {{TALMO_GUI, "--help"},
       {"usage: talmo [Qt options]", "--version", "-platform NAME", "-style NAME",
        "-stylesheet FILE", "-qwindowgeometry", "-reverse", "share/doc/talmo/HELP.TXT",
        "TALMO.reg"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    const Result r = Run(c.args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (const std::string& s : c.says)
      EXPECT_NE(r.out.find(s), std::string::npos) << s << " in\n" << r.out;
    if (c.says.size() == 1 && c.says[0].back() == '\n') {
      EXPECT_EQ(r.out, c.says[0]);
    }
  }
}

// A stop signal that comes before the handlers are in place ends a long
// run as a later one does (cleanly, status 0); a command without handlers
// ends on it as on a later one.
TEST_F(Programs, AStopSignalInTheFirstMomentsEndsTheRunAsALaterOneDoes) {
  talmo::test::TPtyPair line;
  ASSERT_TRUE(line.Open());
  struct Case {
    std::vector<std::string> args;
    int signal, status;
  } cases[] = {
      {{TALMO_CLI, "monitor", "--device", line.Path}, SIGTERM, 0},
      {{TALMO_CLI, "monitor", "--device", line.Path}, SIGINT, 0},
      {{TALMO_CLI, "monitor", "--device", line.Path}, SIGHUP, 0},
      {{TALMO_CLI, "decode", "/dev/null"}, SIGTERM, 128 + SIGTERM},
      {{TALMO_CLI, "ports"}, SIGHUP, 128 + SIGHUP},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1] + " " + std::to_string(c.signal));
    const Result r = Run(c.args, static_cast<uid_t>(-1), c.signal);
    EXPECT_EQ(r.status, c.status) << r.err;
  }
}

TEST_F(Programs, WindowRefusesAnArgumentNeitherItNorQtKnows) {
  const Result r = Run({TALMO_GUI, "-platform", "offscreen", "capture.log"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("talmo: unknown argument 'capture.log'\nusage: talmo"), std::string::npos)
      << r.err;
}

// A capture that reaches the user's file-size limit fails with EFBIG (and
// stops with its message) instead of SIGXFSZ killing the window. The
// command-line monitor's run at the limit is in monitor_cli_test.
TEST_F(Programs, TheWindowOutlivesTheFileSizeLimit) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    setenv("XDG_CONFIG_HOME", (FDir + "/config").c_str(), 1);
    alarm(30);
    execl(TALMO_GUI, TALMO_GUI, "-platform", "offscreen", static_cast<char*>(nullptr));
    _exit(126);
  }
  ASSERT_GT(pid, 0);
  // SigIgn in /proc: the signals the process ignores, as a hexadecimal mask.
  const auto ignored = [pid] {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
      if (line.rfind("SigIgn:", 0) == 0) return std::stoull(line.substr(7), nullptr, 16);
    return 0ull;
  };
  const unsigned long long bit = 1ull << (SIGXFSZ - 1);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  // Set as the program starts; Qt's start-up comes after it.
  while (!(ignored() & bit) && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(ignored() & bit) << "SIGXFSZ is not ignored by the window";
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
}

// The real refusal: a user outside the device's group opens it.
TEST_F(Programs, RefusedDeviceNamesItsGroupOnASecondLine) {
  const group* dialout = getgrnam("dialout");
  if (!dialout || geteuid() != 0) GTEST_SKIP() << "needs root and a group 'dialout'";
  talmo::test::TPtyPair line;
  ASSERT_TRUE(line.Open(talmo::test::TPtyPair::TMaster::Blocking));
  const std::string dev = line.Path;
  ASSERT_EQ(chown(dev.c_str(), 0, dialout->gr_gid), 0);
  ASSERT_EQ(chmod(dev.c_str(), 0660), 0);
  const uid_t nobody = 65534;
  const Result r = Run({TALMO_CLI, "monitor", "--device", dev, "--seconds", "1"}, nobody);
  line.Close();
  if (r.status == 126) GTEST_SKIP() << "cannot run the program as an unprivileged user here";
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(
      r.err.find(
          "talmocli: Can't open specified device " + dev +
          " (Error 13, Permission denied)\n"
          "talmocli: To open " +
          dev +
          " you must be in its group 'dialout': add yourself (sudo usermod -aG dialout $USER) "
          "and log in again.\n"),
      std::string::npos)
      << r.err;
}

}  // namespace
