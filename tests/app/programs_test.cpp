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

#include "support/cli_child.h"
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
    talmo::test::TChildOutput o = Quiet();
    o.File = FDir + "/out";
    o.ErrFile = FDir + "/err";
    o.BeforeExec = [uid, early] {
      if (uid != static_cast<uid_t>(-1) &&
          (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0))
        return false;
      alarm(30);  // a program that should have ended but runs on is ended
      if (early != 0) {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, early);
        if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0 || raise(early) != 0) return false;
      }
      return true;
    };
    talmo::test::TChild child(args[0], {args.begin() + 1, args.end()}, FDir + "/config", o);
    Result r;
    r.status = child.Wait(std::chrono::seconds(60));
    r.out = talmo::test::ReadFile(o.File);
    r.err = talmo::test::ReadFile(o.ErrFile);
    return r;
  }
  // No display, nothing on standard input.
  static talmo::test::TChildOutput Quiet() {
    talmo::test::TChildOutput o;
    o.NullInput = true;
    o.Env = {{"DISPLAY", std::nullopt},
             {"WAYLAND_DISPLAY", std::nullopt},
             {"QT_QPA_PLATFORM", std::nullopt}};
    return o;
  }

  talmo::test::TTempDir FTemp{"talmo-programs"};
  std::string FDir = FTemp.Path();
};

TEST_F(Programs, VersionAndHelpWithoutADisplay) {
  const std::string version = TALMO_VERSION_TEXT;
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> says;  // each in the standard output
    int status = 0;
    std::string err = "";  // all of the standard error
  } cases[] = {
      {{TALMO_CLI, "--version"}, {"talmocli " + version + "\n"}},
      {{TALMO_CLI, "-V"}, {"talmocli " + version + "\n"}},
      {{TALMO_CLI, "-v"}, {"talmocli " + version + "\n"}},
      // A usage error: its line, then where to look, not the usage above
      // which the line would be lost.
      {{TALMO_CLI, "monitor", "--baud", "x"},
       {},
       2,
       "talmocli: bad value for --baud: 'x' (a whole number from 1 to 4000000 expected)\n"
       "Try 'talmocli monitor --help'.\n"},
      {{TALMO_CLI, "decode", "--first"},
       {},
       2,
       "talmocli: --first needs a value\nTry 'talmocli decode --help'.\n"},
      {{TALMO_CLI, "ports", "-x"},
       {},
       2,
       "talmocli: ports takes no options\nTry 'talmocli ports --help'.\n"},
      {{TALMO_CLI, "frob"}, {}, 2, "talmocli: unknown command 'frob'\nTry 'talmocli --help'.\n"},
      {{TALMO_CLI, "--trace"}, {}, 2, "talmocli: --trace needs a FILE\nTry 'talmocli --help'.\n"},
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
      // The window without a display (none is set here): one line, not
      // Qt's abort.
      {{TALMO_GUI},
       {},
       1,
       "talmo: no display to open the window on (DISPLAY and WAYLAND_DISPLAY are not set); "
       "start it in a desktop session, or use talmocli on a console\n"},
      {{TALMO_GUI, "-platform", "xcb"}, {}, 1, "talmo: no display to open the window on"},
  };
  for (const auto& c : cases) {
    std::string call;
    for (const std::string& a : c.args) call += (call.empty() ? "" : " ") + a;
    SCOPED_TRACE(call);
    const Result r = Run(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    if (c.err.empty() || c.err.back() == '\n') {
      EXPECT_EQ(r.err, c.err);
    } else {
      EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
    }
    for (const std::string& s : c.says)
      EXPECT_NE(r.out.find(s), std::string::npos) << s << " in\n" << r.out;
    if (c.says.size() == 1 && c.says[0].back() == '\n') {
      EXPECT_EQ(r.out, c.says[0]);
    }
    if (c.says.empty()) {
      EXPECT_EQ(r.out, "");
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

// The end of a desktop session (SIGTERM, SIGHUP) closes the window as the
// user would: what it keeps of itself is saved, and it ends with status 0.
TEST_F(Programs, TheWindowSavesItsSettingsWhenTheSessionEnds) {
  for (const int signal : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    const std::string config = FDir + "/config" + std::to_string(signal);
    const std::string settings = config + "/Velkerstam/TALMO.reg";
    talmo::test::TChildOutput o;
    o.File = o.ErrFile = "/dev/null";
    o.NullInput = true;
    o.BeforeExec = [] { return alarm(30), true; };
    talmo::test::TChild window(TALMO_GUI, {"-platform", "offscreen"}, config, o);
    ASSERT_GT(window.Pid, 0);
    // The first start writes its selections at once; the window is up then.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (talmo::test::ReadFile(settings).find("REGPROTOCOL") == std::string::npos &&
           std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // past the first show
    ASSERT_NE(talmo::test::ReadFile(settings).find("REGPROTOCOL"), std::string::npos);
    EXPECT_EQ(talmo::test::ReadFile(settings).find("COORDS"), std::string::npos);
    ::kill(window.Pid, signal);
    EXPECT_EQ(window.Wait(std::chrono::seconds(20)), 0);
    EXPECT_NE(talmo::test::ReadFile(settings).find("COORDS"), std::string::npos);
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
  talmo::test::TChildOutput o;
  o.File = o.ErrFile = "/dev/null";
  o.NullInput = true;
  o.BeforeExec = [] { return alarm(30), true; };
  talmo::test::TChild window(TALMO_GUI, {"-platform", "offscreen"}, FDir + "/config", o);
  const pid_t pid = window.Pid;
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
