// talmocli: the monitor's engine without the window.

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "decode_command.h"

namespace {

const char kUsage[] =
    "usage: talmocli <command> [options]\n"
    "commands:\n"
    "  decode   show a raw capture as the monitor's display lines\n"
    "Run 'talmocli <command> --help' for a command's options.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return talmo::kExitUsage;
  }
  const std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "-h" || command == "--help" || command == "help") {
    std::fputs(kUsage, stdout);
    return talmo::kExitOk;
  }
  if (command == "decode") {
    for (const auto& a : args)
      if (a == "-h" || a == "--help") {
        std::fputs(talmo::kDecodeUsage, stdout);
        return talmo::kExitOk;
      }
    return talmo::RunDecode(args, STDIN_FILENO, stdout, stderr);
  }
  std::fprintf(stderr, "talmocli: unknown command '%s'\n%s", command.c_str(), kUsage);
  return talmo::kExitUsage;
}
