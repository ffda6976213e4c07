// The commands' standard output: gathered or not, lines reach the stream in
// the order they were written, whatever else is written on the stream, and
// nothing is left behind at the end; a failed write is kept, and a reader
// that has gone is not told as a failure.

#include "app/cli_output.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>

namespace talmo {
namespace {

std::string Contents(std::FILE* f) {
  std::fflush(f);
  std::rewind(f);
  std::string s;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
  return s;
}

TEST(LineOutput, GatheredOrNotLinesKeepTheirOrderToTheEnd) {
  for (const bool gather : {false, true}) {
    SCOPED_TRACE(gather ? "gathered" : "direct");
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    const std::string big(TLineOutput::kGatherSize / 3, 'x');
    std::string expected = "RX one\ntwo three\nfour\n";
    {
      TLineOutput out(f, gather);
      out.Line("RX ", "one");
      out.Text("two ");
      out.Line("three");
      std::fputs("four\n", out.File());  // on the stream itself, after them
      // More than one gathering holds: handed over on the way, in order.
      for (int i = 0; i < 5; ++i) {
        out.Line("TX ", big);
        expected += "TX " + big + "\n";
      }
      out.Line("last");  // never flushed: the output's end hands it over
      expected += "last\n";
      EXPECT_FALSE(out.Failed());
    }
    EXPECT_EQ(Contents(f), expected);
    std::fclose(f);
  }
}

TEST(LineOutput, AFailedWriteIsKeptAndAGoneReaderIsNotTold) {
  std::signal(SIGPIPE, SIG_IGN);  // the writer learns of the gone reader by EPIPE
  for (const bool gather : {false, true}) {
    SCOPED_TRACE(gather ? "gathered" : "direct");
    std::FILE* full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    {
      TLineOutput out(full, gather);
      out.Line("a");
      out.Flush();
      EXPECT_EQ(out.Error(), ENOSPC);
      EXPECT_TRUE(out.FailedToTell());
      out.Line("b");  // nothing more once failed, and no new error
      out.Flush();
      EXPECT_EQ(out.Error(), ENOSPC);
    }
    std::fclose(full);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    std::FILE* w = ::fdopen(fds[1], "w");
    ASSERT_NE(w, nullptr);
    {
      TLineOutput out(w, gather);
      out.Line("RX ", "a");
      out.Flush();
      EXPECT_EQ(out.Error(), EPIPE);
      EXPECT_TRUE(out.Failed());
      EXPECT_FALSE(out.FailedToTell());
    }
    std::fclose(w);
  }
}

}  // namespace
}  // namespace talmo
