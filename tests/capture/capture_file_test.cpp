#include "capture/capture_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/signal_scope.h"
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
    EXPECT_EQ(getrlimit(RLIMIT_FSIZE, &FOld), 0);
    rlimit small = FOld;
    small.rlim_cur = bytes;
    EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  }
  ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &FOld); }

 private:
  test::TSignalScope FTooBig{SIGXFSZ, SIG_IGN};
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

// --- write faults, raw and timed ---------------------------------------------------

using Bytes = std::vector<std::uint8_t>;

// A write call that follows a script, one step a call; once the script is
// done it writes whatever it is given. Notes every size it was asked for.
struct TScriptedWrite {
  enum TWhat { Take, Interrupt, Fail, Nothing };
  struct TStep {
    TWhat What;
    std::size_t N = 0;  // Take: at most this many bytes
    int Errno = 0;      // Fail
  };
  std::deque<TStep> Steps;
  std::vector<std::size_t> Asked;

  long operator()(int fd, const void* p, std::size_t n) {
    Asked.push_back(n);
    if (Steps.empty()) return ::write(fd, p, n);
    const TStep step = Steps.front();
    Steps.pop_front();
    switch (step.What) {
      case Take: return ::write(fd, p, std::min(n, step.N));
      case Interrupt: errno = EINTR; return -1;
      case Fail: errno = step.Errno; return -1;
      case Nothing: return 0;
    }
    return -1;
  }
};

void UseScript(TCaptureFile& c, const std::shared_ptr<TScriptedWrite>& script) {
  c.SetWriteCall([script](int fd, const void* p, std::size_t n) { return (*script)(fd, p, n); });
}

struct TKind {
  const char* Name;
  bool Timed;
};
const TKind kKinds[] = {{"raw", false}, {"timed", true}};

std::string PathOf(const std::string& dir, const TKind& kind) {
  return dir + (kind.Timed ? "/cap.pcapng" : "/cap.log");
}

// A received block with its time and bytes.
struct TBlock {
  std::int64_t TimeNs;
  std::string Bytes;
  pcapng::TPacket Packet() const {
    pcapng::TPacket p;
    p.TimeNs = TimeNs;
    p.Direction = pcapng::TDirection::In;
    p.Data = reinterpret_cast<const std::uint8_t*>(Bytes.data());
    p.Size = Bytes.size();
    return p;
  }
};

// What the capture adds to its file for the block.
std::string InFile(const TKind& kind, const TBlock& b) {
  if (!kind.Timed) return b.Bytes;
  Bytes out;
  pcapng::AppendPacket(out, b.Packet());
  return std::string(out.begin(), out.end());
}

struct TReadBack {
  std::vector<std::string> Payloads;
  std::vector<std::int64_t> Times;
  pcapng::TPcapngReader::TStep Last = pcapng::TPcapngReader::TStep::Error;
  std::string Error;
  bool Truncated = false;
  std::uint64_t Offset = 0;
};

TReadBack ReadCapture(const std::string& path) {
  TReadBack r;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0) << path;
  pcapng::TPcapngReader reader([fd](std::uint8_t* p, std::size_t n) { return ::read(fd, p, n); });
  while ((r.Last = reader.Next()) == pcapng::TPcapngReader::TStep::Packet) {
    r.Payloads.emplace_back(reader.Packet().Payload);
    r.Times.push_back(reader.Packet().TimeNs);
  }
  r.Error = reader.Error();
  r.Truncated = reader.Truncated();
  r.Offset = reader.Offset();
  ::close(fd);
  return r;
}

using TScript = std::deque<TScriptedWrite::TStep>;

// A block taken in parts, with interruptions: the file holds it once, each
// part after the one before, never from the block's start again.
TEST_F(CaptureTest, ABlockWrittenInPartsIsInTheFileOnce) {
  using W = TScriptedWrite;
  const struct {
    const char* name;
    TScript script;
  } scripts[] = {
      {"part, then the rest", {{W::Take, 3}}},
      {"part, EINTR, the rest", {{W::Take, 5}, {W::Interrupt}}},
      {"EINTR, EINTR, part, EINTR, part, the rest",
       {{W::Interrupt}, {W::Interrupt}, {W::Take, 2}, {W::Interrupt}, {W::Take, 1}}},
      {"a byte at a time", TScript(200, {W::Take, 1})},
  };
  const TBlock first{1700000000000000001, "0123456789"};
  const TBlock second{1700000000000000002, std::string("\x00\xFF\r\n", 4)};
  for (const TKind& kind : kKinds) {
    for (const auto& row : scripts) {
      SCOPED_TRACE(std::string(kind.Name) + ": " + row.name);
      const std::string path = PathOf(FDir, kind);
      TCaptureFile c;
      c.StartExact(path, {"COM1", "/dev/ttyS0 9600 8N1"}, kind.Timed);
      const std::string start = test::ReadFile(path);
      EXPECT_EQ(start.empty(), !kind.Timed) << "a timed capture starts with its header";
      auto script = std::make_shared<W>();
      script->Steps = row.script;
      UseScript(c, script);
      EXPECT_TRUE(c.Record(first.Packet()));
      EXPECT_TRUE(c.Running());
      EXPECT_TRUE(c.Record(second.Packet()));
      const std::string want = start + InFile(kind, first) + InFile(kind, second);
      EXPECT_EQ(test::ReadFile(path), want);
      EXPECT_EQ(c.BytesWritten(), want.size());
      EXPECT_EQ(c.WriteError(), "");
      // Every ask after a part is for the rest.
      std::size_t left = InFile(kind, first).size();
      for (std::size_t i = 0; i < script->Asked.size() && left > 0; ++i) {
        EXPECT_EQ(script->Asked[i], left) << "ask " << i;
        const TScriptedWrite::TStep step =
            i < row.script.size() ? row.script[i] : TScriptedWrite::TStep{W::Take, left};
        if (step.What == W::Take) left -= std::min(left, step.N);
      }
      if (kind.Timed) {
        const TReadBack back = ReadCapture(path);
        EXPECT_EQ(back.Last, pcapng::TPcapngReader::TStep::End) << back.Error;
        EXPECT_EQ(back.Payloads, (std::vector<std::string>{first.Bytes, second.Bytes}));
      }
      c.Stop();
    }
  }
}

// A write that takes part of a block and then fails stops the capture:
// the sentence names the path, the reason and what the file keeps, and a
// timed file keeps exactly its whole blocks, readable to its end.
TEST_F(CaptureTest, AFailedWriteKeepsTheWholeBlocksOfATimedFile) {
  using W = TScriptedWrite;
  const struct {
    const char* name;
    TScript script;
    std::size_t taken;  // of the failing block, before the failure
    const char* reason;
  } rows[] = {
      {"no space at once", {{W::Fail, 0, ENOSPC}}, 0, "No space left on device"},
      {"part, then no space", {{W::Take, 4}, {W::Fail, 0, ENOSPC}}, 4, "No space left on device"},
      {"part, EINTR, part, then no space",
       {{W::Take, 4}, {W::Interrupt}, {W::Take, 3}, {W::Fail, 0, ENOSPC}},
       7,
       "No space left on device"},
      {"part, then an I/O error", {{W::Take, 9}, {W::Fail, 0, EIO}}, 9, "Input/output error"},
      {"part, then nothing taken", {{W::Take, 2}, {W::Nothing}}, 2, "Input/output error"},
  };
  const TBlock kept{1700000000000000001, "kept block"};
  const TBlock failing{1700000000000000002, "the block that fails"};
  const TBlock later{1700000000000000003, "later"};
  for (const TKind& kind : kKinds) {
    for (const auto& row : rows) {
      SCOPED_TRACE(std::string(kind.Name) + ": " + row.name);
      const std::string path = PathOf(FDir, kind);
      TCaptureFile c;
      c.StartExact(path, {"COM1", ""}, kind.Timed);
      EXPECT_TRUE(c.Record(kept.Packet()));
      const std::string before = test::ReadFile(path);
      ASSERT_EQ(before.size(), c.BytesWritten());
      auto script = std::make_shared<W>();
      script->Steps = row.script;
      UseScript(c, script);
      EXPECT_FALSE(c.Record(failing.Packet()));
      EXPECT_FALSE(c.Running());
      const std::size_t asks = script->Asked.size();
      EXPECT_TRUE(c.Record(later.Packet())) << "nothing is tried once stopped";
      EXPECT_EQ(script->Asked.size(), asks);
      // Raw: every byte taken stays. Timed: cut back to the last whole block.
      const std::string want =
          kind.Timed ? before : before + InFile(kind, failing).substr(0, row.taken);
      EXPECT_EQ(test::ReadFile(path), want);
      EXPECT_EQ(c.BytesWritten(), want.size());
      EXPECT_EQ(c.WriteError(), "Cannot capture to \"" + path + "\": " + row.reason +
                                    ". The capture has stopped; the file keeps the " +
                                    std::to_string(want.size()) + " bytes written before.");
      if (kind.Timed) {
        const TReadBack back = ReadCapture(path);
        EXPECT_EQ(back.Last, pcapng::TPcapngReader::TStep::End) << back.Error;
        EXPECT_EQ(back.Payloads, std::vector<std::string>{kept.Bytes});
      }
      // The next capture starts afresh.
      c.SetWriteCall(nullptr);
      c.StartExact(path, {}, kind.Timed);
      EXPECT_EQ(c.WriteError(), "");
      EXPECT_TRUE(c.Record(later.Packet()));
      c.Stop();
    }
  }
}

// The header of a timed capture that cannot be written: the start fails
// and leaves an empty file, no capture runs.
TEST_F(CaptureTest, ATimedCaptureWhoseHeaderCannotBeWrittenDoesNotStart) {
  using W = TScriptedWrite;
  const std::string path = FDir + "/head.pcapng";
  TCaptureFile c;
  auto script = std::make_shared<W>();
  script->Steps = {{W::Take, 10}, {W::Fail, 0, ENOSPC}};
  UseScript(c, script);
  try {
    c.StartExact(path, {"COM1", ""});
    ADD_FAILURE() << "started";
  } catch (const ECaptureError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Cannot capture to \"" + path +
                  "\": No space left on device. The capture has stopped; the file keeps the 0 "
                  "bytes written before.");
  }
  EXPECT_FALSE(c.Running());
  EXPECT_EQ(test::ReadFile(path), "");
}

// The disk full for real: a file size limit cuts the write short, then
// refuses it (SIGXFSZ ignored, as a program that writes must).
TEST_F(CaptureTest, AFullDiskKeepsTheWholeBlocksOfATimedFile) {
  const TBlock block{1700000000000000000, std::string(100, 'b')};
  for (const TKind& kind : kKinds) {
    SCOPED_TRACE(kind.Name);
    const std::string path = PathOf(FDir, kind);
    TCaptureFile c;
    c.StartExact(path, {"COM1", "/dev/ttyS0"}, kind.Timed);
    const std::size_t head = test::ReadFile(path).size();
    const std::size_t each = InFile(kind, block).size();
    const std::size_t limit = head + 2 * each + each / 2;
    {
      FileSizeLimit fsize(limit);
      EXPECT_TRUE(c.Record(block.Packet()));
      EXPECT_TRUE(c.Record(block.Packet()));
      EXPECT_FALSE(c.Record(block.Packet())) << "half of it fits, then the write is refused";
      EXPECT_FALSE(c.Running());
    }
    const std::size_t kept = kind.Timed ? head + 2 * each : limit;
    EXPECT_EQ(test::ReadFile(path).size(), kept);
    EXPECT_EQ(c.BytesWritten(), kept);
    EXPECT_EQ(c.WriteError(), "Cannot capture to \"" + path +
                                  "\": File too large. The capture has stopped; the file keeps "
                                  "the " +
                                  std::to_string(kept) + " bytes written before.");
    if (kind.Timed) {
      const TReadBack back = ReadCapture(path);
      EXPECT_EQ(back.Last, pcapng::TPcapngReader::TStep::End) << back.Error;
      EXPECT_EQ(back.Payloads, std::vector<std::string>(2, block.Bytes));
    }
  }
}

// The block a killed capture writes: number i, a size and bytes of its own.
std::string KilledBlock(std::uint32_t i) {
  std::string s(1 + (i * 37) % 700, '\0');
  for (std::size_t j = 0; j < s.size(); ++j) s[j] = static_cast<char>(i * 31 + j);
  return s;
}

// A capture killed while writing: every whole block reads, at most the last
// is cut (the reader says so, or the kill fell between two blocks).
TEST_F(CaptureTest, ATimedCaptureKilledMidBlockReadsToItsLastWholeBlock) {
  const struct {
    const char* name;
    std::size_t piece;  // the most one write takes; 0: whole blocks
  } rows[] = {{"whole blocks", 0}, {"blocks in writes of 7 bytes", 7}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string path = FDir + "/killed.pcapng";
    ::unlink(path.c_str());
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      try {
        TCaptureFile c;
        c.StartExact(path, {"COM1", "/dev/ttyS0"});
        if (row.piece)
          c.SetWriteCall([piece = row.piece](int fd, const void* p, std::size_t n) {
            return ::write(fd, p, std::min(n, piece));
          });
        for (std::uint32_t i = 0;; ++i) {
          const TBlock b{1700000000000000000 + i, KilledBlock(i)};
          if (!c.Record(b.Packet())) ::_exit(3);
        }
      } catch (...) {
        ::_exit(2);
      }
    }
    // Killed once the file has grown a while.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    struct stat st {};
    while (std::chrono::steady_clock::now() < deadline &&
           (::stat(path.c_str(), &st) != 0 || st.st_size < 200000))
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "the child ended by itself: status " << status;

    const std::size_t size = test::ReadFile(path).size();
    const TReadBack back = ReadCapture(path);
    ASSERT_GT(back.Payloads.size(), 10u);
    for (std::uint32_t i = 0; i < back.Payloads.size(); ++i) {
      ASSERT_EQ(back.Payloads[i], KilledBlock(i)) << "packet " << i;
      ASSERT_EQ(back.Times[i], 1700000000000000000 + i);
    }
    if (back.Last == pcapng::TPcapngReader::TStep::End) {
      EXPECT_EQ(back.Offset, size) << "ended between two blocks";
    } else {
      EXPECT_TRUE(back.Truncated) << back.Error;
      // The cut is inside the block after the last whole one.
      const TBlock next{0, KilledBlock(static_cast<std::uint32_t>(back.Payloads.size()))};
      EXPECT_LT(size - back.Offset, InFile({"timed", true}, next).size());
      EXPECT_EQ(back.Error.rfind("ends at byte " + std::to_string(size) +
                                     ", inside the block at byte " + std::to_string(back.Offset),
                                 0),
                0u)
          << back.Error;
    }
    std::printf("%s: %zu whole packets, %s\n", row.name, back.Payloads.size(),
                back.Last == pcapng::TPcapngReader::TStep::End ? "killed between two blocks"
                                                               : "the last block cut");
  }
}

}  // namespace
}  // namespace talmo
