#pragma once
// Save to Disk: the pane's lines as a text file with DOS line ends, the way
// the files of the same tool on other machines read them.

#include <string>
#include <vector>

namespace talmo {

// Writes `lines` to `path` (created or emptied), each ended by CR LF.
// Throws std::runtime_error with the text the window shows: the reason a
// file cannot be created, or "Failed to Save Stream" when a write or the
// final flush fails (a full disk).
void SavePaneLines(const std::string& path, const std::vector<std::string>& lines);

}  // namespace talmo
