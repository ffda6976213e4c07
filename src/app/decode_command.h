#pragma once
// `talmocli decode`: runs a raw capture through the receive formatter and
// writes its display lines.

#include <cstdio>
#include <string>
#include <vector>

#include "app/cli_args.h"

namespace talmo {

// args are the words after "decode". Reads FILE, or inputFd when FILE is
// absent or "-". Lines go to out, errors and usage to err.
int RunDecode(const std::vector<std::string>& args, int inputFd, std::FILE* out, std::FILE* err);

std::string DecodeUsage();

}  // namespace talmo
