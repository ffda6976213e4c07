// `talmocli ports` and the settings file: what happened to it is told on
// standard error, once, beside the list.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <unistd.h>

#include <string>
#include <vector>

#include "app/cli_args.h"
#include "app/port_args.h"
#include "app/ports_command.h"
#include "support/settings_file.h"
#include "support/temp_dir.h"

namespace talmo {
namespace {

struct TRun {
  int Code = -1;
  std::string Out, Err;
};

TRun Ports() {
  char *out = nullptr, *err = nullptr;
  std::size_t outLen = 0, errLen = 0;
  std::FILE* o = open_memstream(&out, &outLen);
  std::FILE* e = open_memstream(&err, &errLen);
  TRun r;
  r.Code = RunPorts({}, o, e);
  std::fclose(o);
  std::fclose(e);
  r.Out.assign(out, outLen);
  r.Err.assign(err, errLen);
  std::free(out);
  std::free(err);
  return r;
}

class PortsCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FTemp.UseAsConfigHome();
    std::filesystem::create_directories(FDir + "/Velkerstam");
    FFile = FDir + "/Velkerstam/TALMO.reg";
  }
  test::TTempDir FTemp{"talmo-ports"};
  std::string FDir = FTemp.Path(), FFile;
};

TEST_F(PortsCommandTest, ACorruptSettingsFileSetAsideIsToldOnce) {
  std::ofstream(FFile) << test::kSettingsHeader + "[HKEY_LOCAL_MACHINE\\X]\nREGBAUD=6\n";
  const TRun first = Ports();
  EXPECT_EQ(first.Code, kExitOk);
  const std::string head =
      "talmocli: The settings file could not be read (" + FFile +
      ", line 4: expected a [key] line, a \"name\"=value line, a ';' comment or a blank "
      "line, found 'REGBAUD=6'). It was set aside as " +
      FFile + ".unreadable-";
  EXPECT_EQ(first.Err.rfind(head, 0), 0u) << first.Err;
  EXPECT_NE(first.Err.find(", so TALMO goes back to its default settings.\n"), std::string::npos)
      << first.Err;
  EXPECT_EQ(std::count(first.Err.begin(), first.Err.end(), '\n'), 1) << first.Err;
  EXPECT_FALSE(std::filesystem::exists(FFile));
  // Nothing more to tell the next time.
  EXPECT_EQ(Ports().Err, "");
}

TEST_F(PortsCommandTest, AnUnreadableSettingsFileKeptAsItIsIsTold) {
  std::filesystem::create_directories(FFile);  // not a regular file
  const TRun run = Ports();
  EXPECT_EQ(run.Code, kExitOk);
  EXPECT_EQ(run.Err, "talmocli: The settings file " + FFile +
                         " is not a regular file; TALMO starts with default settings and will not "
                         "save settings.\n");
  EXPECT_TRUE(std::filesystem::is_directory(FFile));
}

// What this process holds that a started loopback port would add: its
// threads and its pseudo-terminal descriptors.
struct TProcessView {
  std::size_t Threads = 0;
  std::vector<std::string> Ptys;
};

TProcessView ViewOfThisProcess() {
  namespace fs = std::filesystem;
  TProcessView v;
  for (const auto& t : fs::directory_iterator("/proc/self/task")) {
    (void)t;
    ++v.Threads;
  }
  for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const std::string target = fs::read_symlink(fd.path(), ec).string();
    if (target == "/dev/ptmx" || target.rfind("/dev/pts/", 0) == 0) v.Ptys.push_back(target);
  }
  return v;
}

TEST_F(PortsCommandTest, ListingShowsTheLoopbackPortAsBuiltInAndStartsNothingAnOpenStartsIt) {
  const TProcessView before = ViewOfThisProcess();
  const TRun run = Ports();
  EXPECT_EQ(run.Code, kExitOk);
  // The last line is the loopback port, with what a user can use.
  const std::size_t at = run.Out.rfind("COM99 ");
  ASSERT_NE(at, std::string::npos) << run.Out;
  const std::string last = run.Out.substr(at);
  EXPECT_NE(last.find("  built in  "), std::string::npos) << last;
  EXPECT_NE(last.find("Built-in loopback port"), std::string::npos) << last;
  EXPECT_EQ(run.Out.find("/dev/pts/"), std::string::npos) << run.Out;
  const TProcessView listed = ViewOfThisProcess();
  EXPECT_EQ(listed.Threads, before.Threads);
  EXPECT_EQ(listed.Ptys, before.Ptys);

  // Asking for the port to open it starts it: a live pseudo-terminal.
  TPortRequest req;
  req.Port = "COM99";
  std::string error;
  const std::optional<std::string> path = req.Resolve(error);
  ASSERT_TRUE(path) << error;
  EXPECT_EQ(path->rfind("/dev/pts/", 0), 0u) << *path;
  EXPECT_TRUE(std::filesystem::exists(*path)) << *path;
  const TProcessView opened = ViewOfThisProcess();
  EXPECT_EQ(opened.Threads, before.Threads + 1);
  EXPECT_GT(opened.Ptys.size(), before.Ptys.size());
}

}  // namespace
}  // namespace talmo
