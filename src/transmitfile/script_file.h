#pragma once
// Script files: reading and writing the 8-bit text, cutting it into lines,
// and picking the data lines that the player plays.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace talmo {

// A line counts with at most this many characters; the rest is ignored.
inline constexpr std::size_t kScriptLineLimit = 4096;

// The lines of a script text: CR LF, a lone CR and a lone LF each end a
// line. A text that ends with a line break ends with an empty line, as the
// editing memo shows it.
std::vector<std::string> SplitScriptText(std::string_view text);

// True for a line the player plays: not empty, and its first character is
// neither '/' nor ';'.
bool IsDataLine(std::string_view line);

// The data lines of `lines`, in order, each cut to kScriptLineLimit.
std::vector<std::string> DataLinesOf(const std::vector<std::string>& lines);

// The whole file; throws std::runtime_error naming the file and the reason.
std::string ReadScriptFile(const std::string& path);

// Writes `text` as it is, replacing the file; throws std::runtime_error
// naming the file and the reason.
void WriteScriptFile(const std::string& path, std::string_view text);

// `lines` joined by CR LF (no break after the last one).
std::string JoinScriptLines(const std::vector<std::string>& lines);

// The name Save writes: the extension forced to ".TXT". A name whose
// extension is already .txt in any case keeps it, so that Save writes the
// file that was opened where names are case-sensitive.
std::string SaveNameOf(const std::string& name);

// Where an installed copy of the help file may be, in the order to try:
// the documentation folder beside the program's own install (found from
// `programDir`, the folder of the running program, so that a moved or
// unpacked install finds its own copy), then the folder the build installs
// to. Empty `programDir`: only the latter.
std::vector<std::string> InstalledHelpFiles(const std::string& programDir,
                                            const std::string& fileName);

// The folder of the running program; "" when the system does not tell.
std::string ProgramDir();

}  // namespace talmo
