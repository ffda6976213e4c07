// The system's error texts: the same words the system gives, for known and
// unknown codes, and each thread gets the text of its own code while others
// ask at the same time.

#include "serial/ser_types.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

namespace talmo {
namespace {

TEST(SysErrorText, GivesTheSystemsWords) {
  struct TCase {
    int code;
    const char* text;
  };
  const TCase cases[] = {
      {ENOENT, "No such file or directory"},
      {ENOTDIR, "Not a directory"},
      {ELOOP, "Too many levels of symbolic links"},
      {EBUSY, "Device or resource busy"},
      {EIO, "Input/output error"},
      {99999, "Unknown error 99999"},
      {-5, "Unknown error -5"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(SysErrorText(c.code), c.text);
  }
}

TEST(SysErrorText, EachThreadGetsTheTextOfItsOwnCode) {
  constexpr int kThreads = 4;
  std::vector<int> wrong(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t, &wrong] {
      // Unknown codes: their text is made at the call, not a fixed string.
      const int code = 10000 + t;
      const std::string expected = "Unknown error " + std::to_string(code);
      for (int i = 0; i < 20000; ++i)
        if (SysErrorText(code) != expected) ++wrong[static_cast<std::size_t>(t)];
    });
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(wrong[static_cast<std::size_t>(t)], 0) << t;
}

}  // namespace
}  // namespace talmo
