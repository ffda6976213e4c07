#pragma once
// A built program run as a child, as a user runs it from a shell: its
// standard output to a pipe (or a file), its standard error to another pipe
// (or a file, or merged), its settings and runtime folders in the test's
// folder. The one launcher of the tests: what a test needs beyond that
// (another environment, a user, a signal held back) is an option here.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/read_until.h"

namespace talmo::test {

struct TChildOutput {
  std::string File;  // instead of the output pipe
  bool MergeErr = false;
  bool NoInput = false;  // started with standard input closed
  // Descriptors the child gets as its standard input and output (a
  // terminal the test holds), instead of the test's input and the pipe.
  int Input = -1, OutputFd = -1;
  rlim_t FileSizeLimit = RLIM_INFINITY;  // the user's limit on the size of a file
  std::string ErrFile = {};              // instead of the error pipe
  bool NullInput = false;                // standard input from /dev/null
  // Set (or, without a value, removed) after the settings folders, so a
  // test may move those too.
  std::vector<std::pair<std::string, std::optional<std::string>>> Env = {};
  bool SearchPath = false;  // the program found on PATH, as a shell does
  // The child's last step before it becomes the program (a user to run as,
  // a signal held back); false ends the child with 126.
  std::function<bool()> BeforeExec = {};
};

class TChild {
 public:
  TChild(const std::string& program, const std::vector<std::string>& args,
         const std::string& configDir, const TChildOutput& o = {}) {
    int out[2], err[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    Pid = ::fork();
    if (Pid == 0) {
      ::setenv("XDG_CONFIG_HOME", configDir.c_str(), 1);
      ::setenv("XDG_RUNTIME_DIR", configDir.c_str(), 1);
      for (const auto& [name, value] : o.Env)
        value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
      int o1 = out[1], e1 = err[1];
      if (!o.File.empty()) o1 = ::open(o.File.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (!o.ErrFile.empty()) e1 = ::open(o.ErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (o.OutputFd >= 0) o1 = o.OutputFd;
      if (o.Input >= 0 && ::dup2(o.Input, 0) < 0) ::_exit(126);
      if (o1 < 0 || e1 < 0 || ::dup2(o1, 1) < 0 || ::dup2(o.MergeErr ? o1 : e1, 2) < 0)
        ::_exit(126);
      // The test's own ends of the line stay with the test.
      ::close_range(3, ~0U, 0);
      if (o.NoInput) ::close(0);
      if (o.NullInput) {
        const int in = ::open("/dev/null", O_RDONLY);
        if (in < 0 || ::dup2(in, 0) < 0) ::_exit(126);
        if (in != 0) ::close(in);
      }
      if (o.FileSizeLimit != RLIM_INFINITY) {
        const rlimit lim{o.FileSizeLimit, o.FileSizeLimit};
        if (::setrlimit(RLIMIT_FSIZE, &lim) != 0) ::_exit(126);
      }
      if (o.BeforeExec && !o.BeforeExec()) ::_exit(126);
      std::vector<char*> v;
      for (auto& a : argv) v.push_back(a.data());
      v.push_back(nullptr);
      o.SearchPath ? ::execvp(v[0], v.data()) : ::execv(v[0], v.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    Out = out[0];
    Err = err[0];
  }
  TChild(const TChild&) = delete;
  TChild& operator=(const TChild&) = delete;
  ~TChild() {
    if (Pid > 0 && !FReaped) {
      ::kill(Pid, SIGKILL);
      Wait(std::chrono::seconds(5));
    }
    CloseOut();
    ::close(Err);
  }
  void CloseOut() {
    if (Out >= 0) ::close(Out);
    Out = -1;
  }
  // Until the first line on standard error; whether it holds `word`.
  bool WaitErrLine(const std::string& word) {
    ReadUntil(Err, ErrText, [&](const std::string& s) {
      return s.find(word) != std::string::npos || s.find('\n') != std::string::npos;
    });
    return ErrText.find(word) != std::string::npos;
  }
  bool WaitOutput(const std::function<bool(const std::string&)>& done,
                  std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    return ReadUntil(Out, OutText, done, limit);
  }
  // The exit status as the shell shows it (128 + signal); -1 when the child
  // did not end in time.
  int Wait(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + limit;
    const auto nothing = [](const std::string&) { return false; };
    for (;;) {
      int st = 0;
      if (::waitpid(Pid, &st, WNOHANG) == Pid) {
        FReaped = true;
        if (Out >= 0) ReadUntil(Out, OutText, nothing, std::chrono::milliseconds(300));
        ReadUntil(Err, ErrText, nothing, std::chrono::milliseconds(300));
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      }
      if (Clock::now() > end) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  pid_t Pid = -1;
  int Out = -1, Err = -1;
  std::string OutText, ErrText;

 private:
  bool FReaped = false;
};

}  // namespace talmo::test
