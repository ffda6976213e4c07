#pragma once
// A fresh folder under the system's temporary folder, removed with all it
// holds when the object goes; the tests never touch the real user's files.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace talmo::test {

class TTempDir {
 public:
  // `prefix` names the folder (prefix-XXXXXX), so a folder left behind by a
  // killed test tells which test made it. Throws when no folder can be made.
  explicit TTempDir(const std::string& prefix = "talmo-test") {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
    FPath = pattern;
  }
  ~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(FPath, ec);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::string& Path() const { return FPath; }
  std::string operator/(const std::string& name) const { return FPath + "/" + name; }

  // Points XDG_CONFIG_HOME here, so the settings file the programs find is
  // this folder's.
  void UseAsConfigHome() const { ::setenv("XDG_CONFIG_HOME", FPath.c_str(), 1); }

 private:
  std::string FPath;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Writes `text` to `path`, making the folders on the way.
inline void WriteFile(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

}  // namespace talmo::test
