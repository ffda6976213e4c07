// The trace switch of the built programs as a user gives it: talmocli's
// --trace FILE before or after the command's name, TALMO_TRACE, and
// Wireshark's --debug-file for the capture program; a trace file that
// cannot be opened is said.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/cli_child.h"
#include "support/pty_pair.h"
#include "support/temp_dir.h"
#include "support/text.h"

namespace {

using talmo::test::ReadFile;
using talmo::test::TChild;
using talmo::test::TPtyPair;
using talmo::test::TTempDir;
using namespace std::chrono_literals;

std::string Talmocli() {
  const char* e = std::getenv("TALMOCLI");
  return e && *e ? e : TALMOCLI_PATH;
}

using talmo::test::Count;

// Until `part` is in the file, or 10 s.
bool AwaitInFile(const std::string& file, const std::string& part) {
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < end) {
    if (ReadFile(file).find(part) != std::string::npos) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

TEST(TraceCli, MonitorTracesOpenSettingsReadBackReadsAndCloseWhereverTraceIsGiven) {
  struct Row {
    const char* name;
    std::vector<std::string> before, after;  // around "monitor --device PATH ..."
  };
  const std::string kFile = "@";  // stands for the trace file
  const Row rows[] = {
      {"before the command", {"--trace", kFile}, {}},
      {"after the command", {}, {"--trace", kFile}},
      {"after the command, with =", {}, {"--trace=" + kFile}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    TTempDir dir("talmo-trace-cli");
    const std::string trace = dir / "trace";
    TPtyPair pty;
    ASSERT_TRUE(pty.Open());
    std::vector<std::string> args;
    const auto add = [&](const std::vector<std::string>& words) {
      for (const auto& w : words)
        args.push_back(w == kFile ? trace : w.rfind("--trace=", 0) == 0 ? "--trace=" + trace : w);
    };
    add(r.before);
    add({"monitor", "--device", pty.Path, "--baud", "38400", "--seconds", "3"});
    add(r.after);
    TChild m(Talmocli(), args, dir.Path());
    ASSERT_TRUE(m.WaitErrLine("monitoring")) << m.ErrText;
    ASSERT_EQ(::write(pty.Master, "hello\r\n", 7), 7);
    EXPECT_TRUE(AwaitInFile(trace, " read 7 of ")) << ReadFile(trace);
    EXPECT_EQ(m.Wait(), 0) << m.ErrText;

    const std::string text = ReadFile(trace);
    const std::string dev = " " + pty.Path + " ";
    EXPECT_EQ(Count(text, "trace on: talmocli"), 1u) << text;
    EXPECT_EQ(Count(text, dev + "open fd "), 1u) << text;
    EXPECT_EQ(Count(text, dev + "settings asked: 38400 baud"), 1u) << text;
    EXPECT_EQ(Count(text, dev + "read back: 38400/38400 baud"), 1u) << text;
    EXPECT_EQ(Count(text, dev + "read 7 of "), 1u) << text;
    EXPECT_EQ(Count(text, dev + "close fd "), 1u) << text;
    // The trace is not the program's output.
    EXPECT_EQ(m.ErrText.find("open fd"), std::string::npos) << m.ErrText;
  }
}

TEST(TraceCli, ATraceThatCannotBeOpenedOrHasNoFileIsSaid) {
  TTempDir dir("talmo-trace-cli");
  const std::string missing = dir / "no-such-folder/trace";
  struct Row {
    std::vector<std::string> args;
    int status;
    std::string err;
  };
  const Row rows[] = {
      {{"--trace", missing, "ports"}, 1, "cannot open the trace file '" + missing + "'"},
      {{"ports", "--trace"}, 2, "--trace needs a FILE"},
      {{"ports", "--trace="}, 2, "--trace needs a FILE"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.args[0] + " " + r.args[1]);
    TChild c(Talmocli(), r.args, dir.Path());
    EXPECT_EQ(c.Wait(), r.status);
    EXPECT_NE(c.ErrText.find(r.err), std::string::npos) << c.ErrText;
  }
}

TEST(TraceCli, EnvironmentAndWiresharksDebugFileTurnItOn) {
  TTempDir dir("talmo-trace-cli");
  const std::string link = dir / "talmo-extcap";
  ASSERT_EQ(::symlink(Talmocli().c_str(), link.c_str()), 0);
  struct Row {
    const char* name;
    std::string program;
    std::vector<std::string> args;
    bool viaEnvironment;
    const char* first;
  };
  const std::string trace = dir / "trace";
  const Row rows[] = {
      {"TALMO_TRACE=FILE", Talmocli(), {"ports"}, true, "trace on: talmocli"},
      {"extcap link, --debug --debug-file",
       link,
       {"--extcap-interfaces", "--debug", "--debug-file", trace},
       false,
       "trace on: talmo-extcap"},
      {"talmocli extcap, --debug-file=",
       Talmocli(),
       {"extcap", "--extcap-interfaces", "--debug-file=" + trace},
       false,
       "trace on: talmo-extcap"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    ::unlink(trace.c_str());
    talmo::test::TChildOutput o;
    if (r.viaEnvironment) o.Env = {{"TALMO_TRACE", trace}};
    TChild c(r.program, r.args, dir.Path(), o);
    EXPECT_EQ(c.Wait(), 0) << c.ErrText;
    EXPECT_EQ(c.ErrText.find("trace on"), std::string::npos) << c.ErrText;
    EXPECT_EQ(Count(ReadFile(trace), r.first), 1u) << ReadFile(trace);
  }
}

}  // namespace
