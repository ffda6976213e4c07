// The commands' standard output, gathered or not: lines reach the stream in
// the order written, also around writes on the stream itself and at the
// end; a failed write is kept, and a reader that has gone is not told.

#include "app/cli_output.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
#include <tuple>

#include "support/signal_scope.h"

namespace talmo {
namespace {

TEST(LineOutput, LinesKeepTheirOrderToTheEndAndAFailureIsKept) {
  const test::TSignalScope pipe(SIGPIPE, SIG_IGN);  // a gone reader is learnt by EPIPE
  for (const bool gather : {false, true}) {
    SCOPED_TRACE(gather ? "gathered" : "direct");
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    const std::string big(TLineOutput::kGatherSize / 3, 'x');  // 5 of them spill on the way
    std::string expected = "RX one\ntwo three\nfour\n";
    {
      TLineOutput out(f, gather);
      out.Line("RX ", "one");
      out.Text("two ");
      out.Line("three");
      std::fputs("four\n", out.File());
      for (int i = 0; i < 5; ++i, expected += "TX " + big + "\n") out.Line("TX ", big);
      out.Line("last");  // never flushed: handed over at the output's end
      expected += "last\n";
    }
    std::rewind(f);
    std::string got(expected.size() + 1, '\0');
    got.resize(std::fread(got.data(), 1, got.size(), f));
    EXPECT_EQ(got, expected);
    std::fclose(f);

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    for (auto [file, code, told] : {std::tuple{std::fopen("/dev/full", "w"), ENOSPC, true},
                                    std::tuple{::fdopen(fds[1], "w"), EPIPE, false}}) {
      ASSERT_NE(file, nullptr);
      {
        TLineOutput out(file, gather);
        out.Line("RX ", "a");
        out.Flush();
        out.Line("b");  // nothing more once failed, and the first error stays
        out.Flush();
        EXPECT_EQ(out.Error(), code);
        EXPECT_EQ(out.FailedToTell(), told);
      }
      std::fclose(file);
    }
  }
}

}  // namespace
}  // namespace talmo
