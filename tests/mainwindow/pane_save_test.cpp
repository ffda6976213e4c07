#include "mainwindow/pane_save.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace talmo {
namespace {

namespace fs = std::filesystem;

// A fresh folder per test, removed with everything in it.
class PaneSave : public ::testing::Test {
 protected:
  std::string ErrorOf(const std::string& path, const std::vector<std::string>& lines) {
    try {
      SavePaneLines(path, lines);
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "";
  }
  test::TTempDir FTemp{"talmo-pane"};
  fs::path FDir = FTemp.Path();
};

TEST_F(PaneSave, EveryLineEndsWithCrLf) {
  const struct {
    const char* what;
    std::vector<std::string> lines;
    std::string file;
  } rows[] = {
      {"no lines", {}, ""},
      {"an empty pane's one empty line", {""}, "\r\n"},
      {"one line", {" STX A ETX"}, " STX A ETX\r\n"},
      {"lines",
       {"// COM3 is open", " STX A ETX", " CR "},
       "// COM3 is open\r\n STX A ETX\r\n CR \r\n"},
      {"an empty last line is kept", {"a", ""}, "a\r\n\r\n"},
      {"bytes are written as they are",
       {std::string("\xff\x01", 2)},
       std::string("\xff\x01\r\n", 4)},
  };
  for (const auto& row : rows) {
    const fs::path path = FDir / "pane.txt";
    // A longer file from before is replaced, not overwritten in part.
    std::ofstream(path, std::ios::binary) << std::string(100, 'x');
    EXPECT_EQ(ErrorOf(path.string(), row.lines), "") << row.what;
    EXPECT_EQ(test::ReadFile(path), row.file) << row.what;
  }
}

TEST_F(PaneSave, FailuresSayWhat) {
  const std::string missing = (FDir / "no/such/pane.txt").string();
  const std::string many(70000, 'a');  // more than the stream's buffer
  const struct {
    const char* what;
    std::string path;
    std::vector<std::string> lines;
    std::string error;
  } rows[] = {
      {"a missing folder",
       missing,
       {"a"},
       "Cannot create file \"" + missing + "\". No such file or directory"},
      {"a folder",
       FDir.string(),
       {"a"},
       "Cannot create file \"" + FDir.string() + "\". Is a directory"},
      {"a full disk, seen at the close", "/dev/full", {"a", "b"}, "Failed to Save Stream"},
      {"a full disk, seen at a write", "/dev/full", {many}, "Failed to Save Stream"},
      {"nothing to write fits a full disk", "/dev/full", {}, ""},
  };
  for (const auto& row : rows) EXPECT_EQ(ErrorOf(row.path, row.lines), row.error) << row.what;
}

}  // namespace
}  // namespace talmo
