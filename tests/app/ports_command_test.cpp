// `talmocli ports` and the settings file: what happened to it is told on
// standard error, once, beside the list.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/cli_args.h"
#include "app/ports_command.h"
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
  std::ofstream(FFile)
      << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\X]\nREGBAUD=6\n";
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

}  // namespace
}  // namespace talmo
