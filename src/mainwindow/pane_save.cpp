#include "mainwindow/pane_save.h"

#include <cerrno>
#include <cstdio>
#include <stdexcept>

#include "base/error_text.h"

namespace talmo {

void SavePaneLines(const std::string& path, const std::vector<std::string>& lines) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    const std::string reason = SysErrorText(errno);
    throw std::runtime_error("Cannot create file \"" + path + "\". " + reason);
  }
  bool ok = true;
  for (const std::string& line : lines) {
    ok = ok && std::fwrite(line.data(), 1, line.size(), f) == line.size();
    ok = ok && std::fwrite("\r\n", 1, 2, f) == 2;
  }
  // The buffered tail goes out at the close: a full disk often shows there.
  ok = std::fclose(f) == 0 && ok;
  if (!ok) throw std::runtime_error("Failed to Save Stream");
}

}  // namespace talmo
