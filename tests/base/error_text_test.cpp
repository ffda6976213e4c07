// The system's error texts: the same words the system gives, for known and
// unknown codes, and each thread gets the text of its own code while others
// ask at the same time.

#include "base/error_text.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <exception>
#include <stdexcept>
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

// What an error display and the hint line after it get from an exception:
// the message of any exception, and a hint only from an error that carries
// one (the port's open failures carry the group to join).
TEST(ExceptionTexts, MessageAndHintOfEachKind) {
  struct TCase {
    const char* what;
    std::exception_ptr error;
    const char* message;
    const char* hint;
  };
  const TCase cases[] = {
      {"hinted", std::make_exception_ptr(EHintedError("Can't open", "join dialout")), "Can't open",
       "join dialout"},
      {"hint empty", std::make_exception_ptr(EHintedError("Can't open", "")), "Can't open", ""},
      {"no hint", std::make_exception_ptr(EHintedError("Close fail")), "Close fail", ""},
      {"plain", std::make_exception_ptr(std::runtime_error("boom")), "boom", ""},
      {"not std", std::make_exception_ptr(42), "Unknown error", ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ExceptionMessage(c.error), c.message);
    EXPECT_EQ(ErrorHintOf(c.error), c.hint);
  }
}

// A copy keeps the hint (errors are copied as they are thrown and caught).
TEST(ExceptionTexts, ACopyKeepsItsHint) {
  const EHintedError original("Can't open", "join dialout");
  const EHintedError copy = original;
  EXPECT_EQ(copy.Hint(), "join dialout");
  EXPECT_STREQ(copy.what(), "Can't open");
}

}  // namespace
}  // namespace talmo
