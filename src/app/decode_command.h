#pragma once
// `talmocli decode`: runs a raw capture through the receive formatter and
// writes its display lines.

#include <cstdio>
#include <string>
#include <vector>

namespace talmo {

// Exit codes of the command-line tool.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // input or output failed
inline constexpr int kExitUsage = 2;    // bad option or value

// args are the words after "decode". Reads FILE, or inputFd when FILE is
// absent or "-". Lines go to out, errors and usage to err.
int RunDecode(const std::vector<std::string>& args, int inputFd, std::FILE* out, std::FILE* err);

extern const char kDecodeUsage[];

}  // namespace talmo
