// The tap's pseudo-terminal: what a program's settings changes look like
// on the master, and the link's decisions.

#include "device/pty_tap.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "device/termios2_rate.h"
#include "support/temp_dir.h"

namespace talmo {
namespace {

TEST(PtyTap, DescribesWhatChanged) {
  TPtyLine base;
  base.Rate = 19200;
  struct Row {
    std::function<void(TPtyLine&)> change;
    const char* said;
  };
  const Row rows[] = {
      {[](TPtyLine&) {}, ""},
      {[](TPtyLine& l) { l.Rate = 115200; }, "115200 baud"},
      {[](TPtyLine& l) {
         l.Rate = 9600;
         l.TwoStopBits = true;
       },
       "9600 baud, 2 stop bits"},
      {[](TPtyLine& l) { l.RtsCts = true; }, "RTS/CTS flow control on"},
      {[](TPtyLine& l) {
         l.XonXoffOut = true;
         l.XonXoffIn = true;
       },
       "XON/XOFF output flow control on, XON/XOFF input flow control on"},
  };
  for (const Row& r : rows) {
    TPtyLine after = base;
    r.change(after);
    EXPECT_EQ(DescribeLineChange(base, after), r.said);
    // And back again names what is off.
    if (*r.said) {
      EXPECT_NE(DescribeLineChange(after, base), "");
    }
  }
  TPtyLine two = base;
  two.TwoStopBits = true;
  EXPECT_EQ(DescribeLineChange(two, base), "1 stop bit");
}

// Reads packets until a settings report, a data packet or nothing for a
// while.
TPtyTap::TRead NextPacket(TPtyTap& tap, std::string* data = nullptr) {
  for (int i = 0; i < 50; ++i) {
    pollfd p{tap.MasterFd(), POLLIN, 0};
    ::poll(&p, 1, 20);
    std::uint8_t buf[4096];
    const auto r = tap.Read(buf, sizeof buf);
    if (r.Kind == TPtyTap::TRead::Again || r.Kind == TPtyTap::TRead::OtherReport) continue;
    if (data && r.Kind == TPtyTap::TRead::Data) data->assign(reinterpret_cast<char*>(buf), r.Size);
    return r.Kind;
  }
  return TPtyTap::TRead::Again;
}

TEST(PtyTap, EverySettingsChangeIsReportedAndReadBack) {
  TPtyTap tap;
  TPtyLine start;
  start.Rate = 19200;
  ASSERT_EQ(tap.Open(start), 0);
  TPtyLine line;
  ASSERT_TRUE(tap.ReadLine(line));
  EXPECT_EQ(line, start);
  const int prog = ::open(tap.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(prog, 0);
  struct Row {
    const char* what;
    std::function<void(termios&)> set;
    std::function<void(TPtyLine&)> expect;
    bool clearsExtproc;
  };
  const Row rows[] = {
      {"9600", [](termios& t) { ::cfsetspeed(&t, B9600); }, [](TPtyLine& l) { l.Rate = 9600; },
       false},
      {"2 stop bits", [](termios& t) { t.c_cflag |= CSTOPB; },
       [](TPtyLine& l) { l.TwoStopBits = true; }, false},
      {"RTS/CTS", [](termios& t) { t.c_cflag |= CRTSCTS; }, [](TPtyLine& l) { l.RtsCts = true; },
       false},
      {"XON/XOFF", [](termios& t) { t.c_iflag |= IXON | IXOFF; },
       [](TPtyLine& l) {
         l.XonXoffOut = true;
         l.XonXoffIn = true;
       },
       false},
      {"local modes cleared with 115200",
       [](termios& t) {
         t.c_lflag = 0;
         ::cfsetspeed(&t, B115200);
       },
       [](TPtyLine& l) { l.Rate = 115200; }, true},
  };
  TPtyLine want = start;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    termios t{};
    ASSERT_EQ(::tcgetattr(prog, &t), 0);
    r.set(t);
    ASSERT_EQ(::tcsetattr(prog, TCSANOW, &t), 0);
    r.expect(want);
    EXPECT_EQ(NextPacket(tap), TPtyTap::TRead::SettingsReport);
    bool restored = false;
    ASSERT_TRUE(tap.ReadLine(line, &restored));
    EXPECT_EQ(line, want);
    EXPECT_EQ(restored, r.clearsExtproc);
    // Our own restoring of EXTPROC is announced too: no change in it.
    if (restored) {
      EXPECT_EQ(NextPacket(tap), TPtyTap::TRead::SettingsReport);
      ASSERT_TRUE(tap.ReadLine(line));
      EXPECT_EQ(line, want);
    }
  }
  // A rate without a constant (termios2), as a program sets it.
  ASSERT_EQ(SetCustomRate(prog, 250000), 0);
  EXPECT_EQ(NextPacket(tap), TPtyTap::TRead::SettingsReport);
  ASSERT_TRUE(tap.ReadLine(line));
  EXPECT_EQ(line.Rate, 250000u);
  // Bytes come as data, whole.
  ASSERT_EQ(::write(prog, "abc", 3), 3);
  std::string data;
  EXPECT_EQ(NextPacket(tap, &data), TPtyTap::TRead::Data);
  EXPECT_EQ(data, "abc");
  // The program closing its end does not hang up the master.
  ::close(prog);
  std::uint8_t buf[16];
  EXPECT_EQ(tap.Read(buf, sizeof buf).Kind, TPtyTap::TRead::Again);
  EXPECT_EQ(tap.Write(reinterpret_cast<const std::uint8_t*>("x"), 1), 1);
}

TEST(PtyTap, TheLinkIsMadeOnlyWhereNothingOfAnotherIs) {
  test::TTempDir dir("talmo-pty-tap");
  TPtyTap tap;
  ASSERT_EQ(tap.Open(TPtyLine{}), 0);
  const std::string own = tap.SlavePath();
  struct Row {
    const char* what;
    std::function<void(const std::string&)> make;
    TLinkState state;
    int makeResult;
  };
  const Row rows[] = {
      {"nothing", [](const std::string&) {}, TLinkState::Absent, 0},
      {"a regular file", [](const std::string& p) { std::ofstream(p) << "x"; }, TLinkState::Foreign,
       EEXIST},
      {"a folder", [](const std::string& p) { ::mkdir(p.c_str(), 0700); }, TLinkState::Foreign,
       EEXIST},
      {"a link elsewhere", [](const std::string& p) { ::symlink("/etc/hostname", p.c_str()); },
       TLinkState::Foreign, EEXIST},
      {"a link into /dev/pts that leads nowhere",
       [](const std::string& p) { ::symlink("/dev/pts/999999", p.c_str()); }, TLinkState::Stale, 0},
      {"a link to a terminal in use",
       [](const std::string& p) { ::symlink("/dev/ptmx", p.c_str()); }, TLinkState::Foreign,
       EEXIST},
      {"a link to our own terminal (a killed tap's number)",
       [&own](const std::string& p) { ::symlink(own.c_str(), p.c_str()); }, TLinkState::Stale, 0},
  };
  int i = 0;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    const std::string path = dir.Path() + "/link" + std::to_string(i++);
    r.make(path);
    EXPECT_EQ(LinkStateOf(path, own), r.state);
    EXPECT_EQ(LinkRefusal(r.state, path).empty(),
              r.state == TLinkState::Absent || r.state == TLinkState::Stale);
    EXPECT_EQ(MakeLink(path, own), r.makeResult);
    if (r.makeResult == 0) {
      EXPECT_EQ(std::filesystem::read_symlink(path), own);
      RemoveLinkTo(path, own);
      EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(path)));
    }
  }
  // Another tap's live terminal: in use.
  TPtyTap other;
  ASSERT_EQ(other.Open(TPtyLine{}), 0);
  const std::string busy = dir.Path() + "/busy";
  ASSERT_EQ(MakeLink(busy, other.SlavePath()), 0);
  EXPECT_EQ(LinkStateOf(busy, own), TLinkState::InUse);
  // Removed only while it leads to the terminal named.
  RemoveLinkTo(busy, own);
  EXPECT_TRUE(std::filesystem::is_symlink(busy));
}

// Only the tap's user may open the program's end: a byte written to it
// goes to the device as the program's.
TEST(PtyTap, TheProgramsEndIsTheOwnersAlone) {
  TPtyTap tap;
  ASSERT_EQ(tap.Open(TPtyLine{}), 0);
  struct stat st {};
  ASSERT_EQ(::stat(tap.SlavePath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_uid, ::geteuid());
}

// What is another user's is refused with the user named (their link, live
// or stale; a terminal of theirs; a file of theirs), never replaced.
TEST(PtyTap, AnotherUsersLinkIsRefusedNamingTheUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make files of another user";
  constexpr uid_t kNobody = 65534;
  passwd* pw = ::getpwuid(kNobody);
  const std::string user = pw ? std::string("user ") + pw->pw_name : "user 65534";
  test::TTempDir dir("talmo-pty-tap");
  TPtyTap tap, theirs;
  ASSERT_EQ(tap.Open(TPtyLine{}), 0);
  ASSERT_EQ(theirs.Open(TPtyLine{}), 0);
  ASSERT_EQ(::chown(theirs.SlavePath().c_str(), kNobody, kNobody), 0);
  const std::string own = tap.SlavePath();
  const auto link = [](const std::string& to) {
    return [to](const std::string& p) {
      ASSERT_EQ(::symlink(to.c_str(), p.c_str()), 0);
      ASSERT_EQ(::lchown(p.c_str(), kNobody, kNobody), 0);
    };
  };
  const std::string tail = ": it is left as it is; give another --link";
  struct Row {
    const char* what;
    std::function<void(const std::string&)> make;
    TLinkState state;
    std::string refusal;  // after the quoted path
  };
  const Row rows[] = {
      {"their link to their live terminal", link(theirs.SlavePath()), TLinkState::OtherUsers,
       " is a link of " + user + tail},
      {"their stale link", link("/dev/pts/999999"), TLinkState::OtherUsers,
       " is a link of " + user + tail},
      {"their link to our terminal's number", link(own), TLinkState::OtherUsers,
       " is a link of " + user + tail},
      {"our link to their terminal",
       [&theirs](const std::string& p) { ::symlink(theirs.SlavePath().c_str(), p.c_str()); },
       TLinkState::InUse, " already leads to a terminal in use by " + user + tail},
      {"their file",
       [](const std::string& p) {
         std::ofstream(p) << "x";
         ASSERT_EQ(::chown(p.c_str(), kNobody, kNobody), 0);
       },
       TLinkState::Foreign, " exists, belongs to " + user + " and is not a tap's link" + tail},
  };
  int i = 0;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    const std::string path = dir.Path() + "/link" + std::to_string(i++);
    r.make(path);
    const auto before = std::filesystem::symlink_status(path).type();
    EXPECT_EQ(LinkStateOf(path, own), r.state);
    EXPECT_EQ(LinkRefusal(LinkStateOf(path, own), path), "'" + path + "'" + r.refusal);
    EXPECT_EQ(MakeLink(path, own), EEXIST);
    EXPECT_EQ(std::filesystem::symlink_status(path).type(), before);
  }
}

TEST(PtyTap, DefaultLinkFollowsTheRuntimeFolder) {
  const char* old = std::getenv("XDG_RUNTIME_DIR");
  const std::string saved = old ? old : "";
  ::setenv("XDG_RUNTIME_DIR", "/run/user/42", 1);
  EXPECT_EQ(DefaultLinkPath(), "/run/user/42/talmo-tap");
  ::unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(DefaultLinkPath(), "/tmp/talmo-tap-" + std::to_string(::getuid()));
  if (old) ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
}

}  // namespace
}  // namespace talmo
