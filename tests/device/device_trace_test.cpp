// The trace of what the program asks of a device, over pseudo-terminal
// pairs made here: every open, settings write and its read-back, read and
// write size and close is one whole line, also with the port's threads
// tracing at once; off, a trace point evaluates nothing.

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/trace.h"
#include "device/posix_device.h"
#include "support/pty_pair.h"
#include "support/temp_dir.h"

namespace talmo {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// The lines holding `part`.
std::vector<std::string> With(const std::vector<std::string>& lines, const std::string& part) {
  std::vector<std::string> out;
  for (const auto& l : lines)
    if (l.find(part) != std::string::npos) out.push_back(l);
  return out;
}

// "seconds.micro tid device what", nothing before or after.
const std::regex kLineForm(R"(^\d+\.\d{6} \d+ \S+ \S.*$)");

// Stops the trace whatever a test does.
struct TraceOffAtEnd {
  ~TraceOffAtEnd() { TraceOff(); }
};

TEST(DeviceTrace, OpenSettingsReadBackSizesAndCloseOneLineEach) {
  struct Row {
    const char* name;
    std::uint32_t baud;
    std::size_t toDevice, fromDevice;
  };
  const Row rows[] = {
      {"standard rate, small blocks", 9600, 5, 3},
      {"rate without a constant (termios2)", 1024, 100, 64},
      {"fast rate, a large block", 115200, 4000, 1000},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    TraceOffAtEnd off;
    test::TTempDir dir("talmo-trace");
    const std::string file = dir / "trace";
    ASSERT_EQ(TraceToFile(file, "device_trace_test"), 0);
    test::TPtyPair pty;
    ASSERT_TRUE(pty.Open(test::TPtyPair::TMaster::Blocking));

    int error = -1;
    auto device = OpenPosixDevice(pty.Path, error);
    ASSERT_NE(device, nullptr) << error;
    TSerDCB dcb;
    dcb.BaudRate = r.baud;
    dcb.ByteSize = 8;
    ASSERT_EQ(device->SetState(dcb), 0);

    const std::string out(r.toDevice, 'o');
    std::size_t written = 0;
    ASSERT_EQ(device->Write(out.data(), out.size(), written, 2000), 0);
    ASSERT_EQ(written, out.size());
    std::string got;
    while (got.size() < out.size()) {
      char b[4096];
      const ssize_t n = ::read(pty.Master, b, sizeof b);
      ASSERT_GT(n, 0);
      got.append(b, static_cast<std::size_t>(n));
    }
    const std::string in(r.fromDevice, 'i');
    ASSERT_EQ(::write(pty.Master, in.data(), in.size()), static_cast<ssize_t>(in.size()));
    std::size_t taken = 0, reads = 0;
    while (taken < in.size()) {
      pollfd p{device->PollFd(), POLLIN, 0};
      ASSERT_EQ(::poll(&p, 1, 2000), 1);
      char buf[8192];
      std::size_t n = 0;
      ASSERT_EQ(device->Read(buf, sizeof buf, n), 0);
      taken += n;
      reads += n > 0;
    }
    device->Close();
    TraceOff();

    const auto lines = Lines(test::ReadFile(file));
    for (const auto& l : lines) EXPECT_TRUE(std::regex_match(l, kLineForm)) << l;
    const std::string dev = " " + pty.Path + " ";
    const std::string rate = std::to_string(r.baud);
    const struct {
      std::string part;
    } expected[] = {
        {"trace on: device_trace_test"},
        {dev + "open fd "},
        {dev + "settings asked: " + rate + " baud, 8 data bits, parity none, 1 stop bits"},
        {dev + "tcsetattr: "},
        {dev + "read back: " + rate + "/" + rate + " baud"},
        {dev + "write " + std::to_string(out.size()) + " of " + std::to_string(out.size())},
        {dev + "close fd "},
    };
    for (const auto& e : expected) EXPECT_EQ(With(lines, e.part).size(), 1u) << e.part;
    // One line per read that took bytes, with its size.
    const auto readLines = With(lines, dev + "read ");
    EXPECT_EQ(readLines.size(), reads + 1);  // and "read back"
    std::size_t traced = 0;
    for (const auto& l : readLines)
      if (l.find("read back") == std::string::npos)
        traced += std::stoul(l.substr(l.find(dev + "read ") + dev.size() + 5));
    EXPECT_EQ(traced, in.size());
  }
}

TEST(DeviceTrace, LinesOfManyThreadsAtOnceStayWhole) {
  TraceOffAtEnd off;
  test::TTempDir dir("talmo-trace");
  const std::string file = dir / "trace";
  ASSERT_EQ(TraceToFile(file, "device_trace_test"), 0);
  constexpr int kThreads = 4, kLines = 2000;
  const std::string pad(200, 'x');  // long lines mix first when writes are cut
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t, &pad] {
      for (int i = 0; i < kLines; ++i)
        TALMO_TRACE("dev", "thread %d line %d %s end", t, i, pad.c_str());
    });
  for (auto& th : threads) th.join();
  TraceOff();
  const auto lines = Lines(test::ReadFile(file));
  ASSERT_EQ(lines.size(), 1u + kThreads * kLines);
  const std::regex whole(R"(^\d+\.\d{6} \d+ dev thread \d+ line \d+ x{200} end$)");
  std::size_t bad = 0;
  for (std::size_t i = 1; i < lines.size(); ++i) bad += !std::regex_match(lines[i], whole);
  EXPECT_EQ(bad, 0u);
}

int gEvaluated = 0;
int Evaluated() { return ++gEvaluated; }

TEST(DeviceTrace, OffEvaluatesNothingAndAFileThatCannotBeOpenedLeavesItOff) {
  TraceOffAtEnd off;
  gEvaluated = 0;
  TALMO_TRACE("dev", "%d", Evaluated());
  EXPECT_EQ(gEvaluated, 0);

  test::TTempDir dir("talmo-trace");
  EXPECT_EQ(TraceToFile(dir / "no-such-folder/trace", "device_trace_test"), ENOENT);
  EXPECT_FALSE(TraceOn());
  TALMO_TRACE("dev", "%d", Evaluated());
  EXPECT_EQ(gEvaluated, 0);

  ASSERT_EQ(TraceToFile(dir / "trace", "device_trace_test"), 0);
  TALMO_TRACE("dev", "%d", Evaluated());
  EXPECT_EQ(gEvaluated, 1);
  // A second run appends; the first run's lines stay.
  ASSERT_EQ(TraceToFile(dir / "trace", "second"), 0);
  TraceOff();
  const auto lines = Lines(test::ReadFile(dir / "trace"));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[1].find(" dev 1"), std::string::npos);
  EXPECT_NE(lines[2].find("trace on: second"), std::string::npos);
}

}  // namespace
}  // namespace talmo
