#include "capture/capture_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "support/temp_dir.h"

namespace talmo {
namespace {

class CaptureTest : public ::testing::Test {
 protected:
  test::TTempDir FTemp{"talmo-capture"};
  std::string FDir = FTemp.Path();
};

TEST(CaptureName, ExtensionAndCaseOfTheFileName) {
  const struct {
    const char* chosen;
    const char* name;
  } rows[] = {
      {"data.txt", "DATA.LOG"},
      {"/home/ann/logs/data.txt", "/home/ann/logs/DATA.LOG"},
      {"/tmp/run.2.bin", "/tmp/RUN.2.LOG"},
      {"/tmp/noext", "/tmp/NOEXT.LOG"},
      {"/tmp/v1.0/trace", "/tmp/v1.0/TRACE.LOG"},
      {"/tmp/Mixed-Ä.log", "/tmp/MIXED-Ä.LOG"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.chosen);
    EXPECT_EQ(CaptureFileNameFor(r.chosen), r.name);
  }
}

TEST_F(CaptureTest, WritesExactlyTheBlocksAndStartsEmpty) {
  std::ofstream(FDir + "/DATA.LOG") << "old content";
  TCaptureFile c;
  c.Start(FDir + "/data.txt");
  EXPECT_TRUE(c.Running());
  EXPECT_EQ(c.BaseName(), "DATA.LOG");
  EXPECT_EQ(test::ReadFile(FDir + "/DATA.LOG"), "");
  const std::uint8_t a[] = {0x02, 0x41, 0x03};
  const std::uint8_t b[] = {0x00, 0xFF, 0x0D, 0x0A};
  c.Write(a, sizeof a);
  c.Write(b, sizeof b);
  EXPECT_EQ(test::ReadFile(FDir + "/DATA.LOG"), std::string("\x02\x41\x03\x00\xFF\r\n", 7));
  c.Stop();
  EXPECT_FALSE(c.Running());
  c.Write(a, sizeof a);  // not capturing: nothing written
  EXPECT_EQ(test::ReadFile(FDir + "/DATA.LOG").size(), 7u);
}

TEST_F(CaptureTest, OtherLockersAreKeptOut) {
  TCaptureFile c;
  c.Start(FDir + "/x");
  const int fd = ::open((FDir + "/X.LOG").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_NE(::flock(fd, LOCK_EX | LOCK_NB), 0);
  ::close(fd);

  TCaptureFile second;
  try {
    second.Start(FDir + "/x.txt");
    ADD_FAILURE() << "no error";
  } catch (const ECaptureError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Cannot capture to \"" + FDir + "/X.LOG\": the file is in use");
  }
  EXPECT_FALSE(second.Running());
  const std::uint8_t a[] = {'k'};
  c.Write(a, 1);
  EXPECT_EQ(test::ReadFile(FDir + "/X.LOG"), "k") << "the running capture keeps its file";
}

TEST_F(CaptureTest, FailureNamesThePathAndReason) {
  TCaptureFile c;
  try {
    c.Start(FDir + "/missing/dir/data.txt");
    FAIL() << "no error";
  } catch (const ECaptureError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Cannot capture to \"" + FDir + "/missing/dir/DATA.LOG\": No such file or directory");
  }
  EXPECT_FALSE(c.Running());
}

// A file size limit makes the kernel cut a write short and then refuse it,
// as a full disk does. Restored at the end of the scope.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    std::signal(SIGXFSZ, SIG_IGN);
    EXPECT_EQ(getrlimit(RLIMIT_FSIZE, &FOld), 0);
    rlimit small = FOld;
    small.rlim_cur = bytes;
    EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  }
  ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &FOld); }

 private:
  rlimit FOld{};
};

TEST_F(CaptureTest, AFailedWriteStopsTheCaptureAndKeepsTheFile) {
  TCaptureFile c;
  c.Start(FDir + "/limited");
  const std::uint8_t head[] = {'a', 'b'};
  const std::uint8_t block[] = {1, 2, 3, 4, 5, 6, 7};
  EXPECT_TRUE(c.Write(head, sizeof head));
  {
    FileSizeLimit limit(4);
    EXPECT_FALSE(c.Write(block, sizeof block)) << "two bytes fit, then the write is refused";
    EXPECT_FALSE(c.Running()) << "the capture has stopped";
    EXPECT_TRUE(c.Write(block, sizeof block)) << "nothing is tried once stopped";
  }
  EXPECT_EQ(c.BytesWritten(), 4u);
  EXPECT_EQ(c.WriteError(),
            "Cannot capture to \"" + FDir +
                "/LIMITED.LOG\": File too large. The capture has stopped; the file keeps the 4 "
                "bytes written before.");
  EXPECT_EQ(test::ReadFile(FDir + "/LIMITED.LOG"), std::string("ab\x01\x02", 4))
      << "closed, not truncated";
  c.Write(block, sizeof block);
  EXPECT_EQ(test::ReadFile(FDir + "/LIMITED.LOG").size(), 4u);
  // The file is closed: another capture of it may start.
  TCaptureFile other;
  other.Start(FDir + "/limited");
  EXPECT_TRUE(other.Running());
  other.Stop();

  c.Start(FDir + "/again");
  EXPECT_EQ(c.WriteError(), "");
  EXPECT_TRUE(c.Write(block, sizeof block));
  EXPECT_EQ(test::ReadFile(FDir + "/AGAIN.LOG").size(), sizeof block);
}

// One contract for both ways of starting a capture: a file that another
// capture holds is refused with the same text, and is neither unlinked nor
// emptied under it.
TEST_F(CaptureTest, AHeldFileIsRefusedAndKeptWhicheverCaptureComesSecond) {
  using TStart = void (*)(TCaptureFile&, const std::string&);
  const TStart window = [](TCaptureFile& c, const std::string& p) { c.Start(p); };
  const TStart exact = [](TCaptureFile& c, const std::string& p) { c.StartExact(p); };
  const struct {
    const char* name;
    TStart first, second;
  } rows[] = {
      {"window then command", window, exact},
      {"command then window", exact, window},
      {"command then command", exact, exact},
      {"window then window", window, window},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    const std::string path = FDir + "/HELD.LOG";
    ::unlink(path.c_str());
    TCaptureFile first;
    r.first(first, path);
    ASSERT_TRUE(first.Running());
    const std::uint8_t a[] = {'a', 'b'};
    first.Write(a, sizeof a);
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);

    TCaptureFile second;
    try {
      r.second(second, path);
      ADD_FAILURE() << "the second capture started";
    } catch (const ECaptureError& e) {
      EXPECT_EQ(std::string(e.what()), "Cannot capture to \"" + path + "\": the file is in use");
    }
    EXPECT_FALSE(second.Running());
    const std::uint8_t b[] = {'c'};
    first.Write(b, sizeof b);
    struct stat after {};
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "not unlinked";
    EXPECT_EQ(test::ReadFile(path), "abc") << "not emptied, every byte kept";
  }
}

// A FIFO stays a FIFO: the command's capture writes into it.
TEST_F(CaptureTest, TheExactCaptureKeepsAFifo) {
  const std::string path = FDir + "/pipe";
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  const int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  TCaptureFile c;
  c.StartExact(path);
  const std::uint8_t a[] = {'x', 'y'};
  EXPECT_TRUE(c.Write(a, sizeof a));
  char got[4] = {};
  EXPECT_EQ(::read(reader, got, sizeof got), 2);
  ::close(reader);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

}  // namespace
}  // namespace talmo
