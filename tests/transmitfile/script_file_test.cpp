// Script files: lines, data lines, the save name, reading and writing.

#include "transmitfile/script_file.h"

#include "build_info/talmo_build.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "support/temp_dir.h"

namespace talmo {
namespace {

TEST(ScriptFile, LineBreaks) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"", {""}},
      {"a", {"a"}},
      {"a\r\nb\r\n", {"a", "b", ""}},
      {"a\rb\nc", {"a", "b", "c"}},
      {"a\n\rb", {"a", "", "b"}},
      {"a\r\n\r\nb", {"a", "", "b"}},
      {std::string("a\0b\xff", 4), {std::string("a\0b\xff", 4)}},
  };
  for (const auto& [text, lines] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(SplitScriptText(text), lines);
  }
}

TEST(ScriptFile, DataLines) {
  const std::vector<std::string> lines = {"m100 A",    "",    "/comment", ";comment",
                                          " //spaced", "\tx", "r",        "   "};
  EXPECT_EQ(DataLinesOf(lines),
            (std::vector<std::string>{"m100 A", " //spaced", "\tx", "r", "   "}));
}

TEST(ScriptFile, LongLinesCountWithTheirFirst4096Characters) {
  const std::string line = "m1 " + std::string(5000, 'x');
  const auto data = DataLinesOf({line});
  ASSERT_EQ(data.size(), 1u);
  EXPECT_EQ(data[0], line.substr(0, 4096));
}

TEST(ScriptFile, SaveName) {
  const std::pair<std::string, std::string> cases[] = {
      {"/s/a.txt", "/s/a.txt"},  // the opened file, not a second one beside it
      {"/s/a.TXT", "/s/a.TXT"},  {"/s/a.Txt", "/s/a.Txt"},   {"/s/a", "/s/a.TXT"},
      {"/s/a.log", "/s/a.TXT"},  {"/s/a.b.c", "/s/a.b.TXT"}, {"/s.d/a", "/s.d/a.TXT"},
      {"/s/a.", "/s/a.TXT"},     {"HELP.TXT", "HELP.TXT"},   {"help.txt", "help.txt"},
      {"/s/a.txtx", "/s/a.TXT"},
  };
  for (const auto& [name, saved] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(SaveNameOf(name), saved);
  }
}

TEST(ScriptFile, WriteReadRoundTripAndErrors) {
  const test::TTempDir folder("talmo-script");
  const std::string dir = folder.Path();
  const std::string text = std::string("m0 $00\r\n\xC4\xE9\0x\r\n", 14);
  WriteScriptFile(dir + "/a.TXT", text);
  EXPECT_EQ(ReadScriptFile(dir + "/a.TXT"), text);
  EXPECT_EQ(JoinScriptLines(SplitScriptText(text)), text);
  try {
    ReadScriptFile(dir + "/missing.txt");
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(dir + "/missing.txt"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("No such file"), std::string::npos);
  }
  EXPECT_THROW(WriteScriptFile(dir + "/no/such/dir.TXT", "x"), std::runtime_error);
}

}  // namespace
}  // namespace talmo

namespace talmo {
namespace {

// The shipped help is shown in the window when it opens; loaded through
// Open it must play nothing, and the example at its end must be a script.
TEST(ScriptFile, ShippedHelpIsAllComments) {
  const std::vector<std::string> lines =
      SplitScriptText(ReadScriptFile(TALMO_SOURCE_DIR "/HELP.TXT"));
  ASSERT_GT(lines.size(), 40u);
  EXPECT_TRUE(DataLinesOf(lines).empty());
  const auto example = std::find(lines.begin(), lines.end(), "; A complete example");
  ASSERT_NE(example, lines.end());
  std::vector<std::string> script;
  for (auto it = example + 2; it != lines.end(); ++it)
    script.push_back(it->substr(std::min<std::size_t>(4, it->size())));
  EXPECT_EQ(DataLinesOf(script).size(), 5u);
  for (const std::string& line : lines) EXPECT_LE(line.size(), 72u) << line;
}

}  // namespace
}  // namespace talmo

namespace talmo {
namespace {

// The installed help is looked up beside the program's own install first,
// so that an unpacked or moved install shows its own copy.
TEST(ScriptFile, InstalledHelpFilesFollowTheProgram) {
  const std::string built = std::string(TALMO_DOC_DIR) + "/HELP.TXT";
  struct Case {
    std::string programDir;
    std::vector<std::string> files;
  } cases[] = {
      {"/tmp/unpacked/usr/bin", {"/tmp/unpacked/usr/share/doc/talmo/HELP.TXT", built}},
      {"/opt/talmo/bin/", {"/opt/talmo/share/doc/talmo/HELP.TXT", built}},
      {"", {built}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.programDir);
    EXPECT_EQ(InstalledHelpFiles(c.programDir, "HELP.TXT"), c.files);
  }
  // Run from where it installs to, both ways name the same file once.
  EXPECT_EQ(InstalledHelpFiles(TALMO_BIN_DIR, "HELP.TXT"), std::vector<std::string>{built});
  EXPECT_FALSE(ProgramDir().empty());
}

}  // namespace
}  // namespace talmo
