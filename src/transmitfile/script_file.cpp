#include "transmitfile/script_file.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "base/error_text.h"
#include "build_info/talmo_build.h"

namespace talmo {

std::vector<std::string> SplitScriptText(std::string_view text) {
  std::vector<std::string> lines;
  std::string line;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(std::move(line));
      line.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      continue;
    }
    line += c;
  }
  lines.push_back(std::move(line));
  return lines;
}

bool IsDataLine(std::string_view line) { return !line.empty() && line[0] != '/' && line[0] != ';'; }

std::vector<std::string> DataLinesOf(const std::vector<std::string>& lines) {
  std::vector<std::string> data;
  for (const std::string& line : lines)
    if (IsDataLine(line)) data.push_back(line.substr(0, kScriptLineLimit));
  return data;
}

std::string ReadScriptFile(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw std::runtime_error("Cannot open file \"" + path + "\". " + SysErrorText(errno));
  std::string text;
  char buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  const bool failed = std::ferror(f) != 0;
  const int err = errno;
  std::fclose(f);
  if (failed) throw std::runtime_error("Cannot read file \"" + path + "\". " + SysErrorText(err));
  return text;
}

void WriteScriptFile(const std::string& path, std::string_view text) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) throw std::runtime_error("Cannot create file \"" + path + "\". " + SysErrorText(errno));
  const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  int err = errno;
  const bool closed = std::fclose(f) == 0;
  if (written && !closed) err = errno;
  if (!written || !closed)
    throw std::runtime_error("Cannot write file \"" + path + "\". " + SysErrorText(err));
}

std::string JoinScriptLines(const std::vector<std::string>& lines) {
  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i) text += "\r\n";
    text += lines[i];
  }
  return text;
}

std::string SaveNameOf(const std::string& name) {
  const std::size_t slash = name.find_last_of('/');
  const std::size_t dot = name.find_last_of('.');
  const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  if (!hasExtension) return name + ".TXT";
  const std::string ext = name.substr(dot);
  if (ext.size() == 4 && (ext[1] == 't' || ext[1] == 'T') && (ext[2] == 'x' || ext[2] == 'X') &&
      (ext[3] == 't' || ext[3] == 'T'))
    return name;
  return name.substr(0, dot) + ".TXT";
}

std::vector<std::string> InstalledHelpFiles(const std::string& programDir,
                                            const std::string& fileName) {
  std::vector<std::string> files;
  if (!programDir.empty())
    files.push_back(
        (std::filesystem::path(programDir) / TALMO_DOC_DIR_FROM_BIN / fileName).lexically_normal());
  const std::string built = (std::filesystem::path(TALMO_DOC_DIR) / fileName).lexically_normal();
  if (files.empty() || files.front() != built) files.push_back(built);
  return files;
}

std::string ProgramDir() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : exe.parent_path().string();
}

}  // namespace talmo
