// talmocli: the monitor's engine without the window.

#include <signal.h>
#include <unistd.h>

#include <atomic>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "decode_command.h"
#include "monitor_command.h"
#include "play_command.h"
#include "talmo_build.h"

namespace {

std::atomic<bool> gStop{false};

void OnInterrupt(int) { gStop.store(true); }

bool WantsHelp(const std::vector<std::string>& args) {
  for (const auto& a : args)
    if (a == "-h" || a == "--help") return true;
  return false;
}

const char kUsage[] =
    "usage: talmocli <command> [options]\n"
    "commands:\n"
    "  decode   show a raw capture as the monitor's display lines\n"
    "  ports    list the serial ports\n"
    "  monitor  show what arrives on a port, line by line\n"
    "  play     play a transmit script (on a port, or dry against a virtual clock)\n"
    "Run 'talmocli <command> --help' for a command's options,\n"
    "'talmocli --version' for the version.\n";

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
  if (command == "-V" || command == "--version") {
    std::fputs("talmocli " TALMO_VERSION "\n", stdout);
    return talmo::kExitOk;
  }
  if (command == "ports" && WantsHelp(args))
    return std::fputs("usage: talmocli ports\nLists the serial ports: COM name, device path, description.\n", stdout),
           talmo::kExitOk;
  if (command == "decode") {
    if (WantsHelp(args)) return std::fputs(talmo::DecodeUsage().c_str(), stdout), talmo::kExitOk;
    return talmo::RunDecode(args, STDIN_FILENO, stdout, stderr);
  }
  if (command == "ports") return talmo::RunPorts(args, stdout, stderr);
  if (command == "play") return talmo::RunPlay(args, stdout, stderr);
  if (command == "monitor") {
    if (WantsHelp(args)) return std::fputs(talmo::MonitorUsage().c_str(), stdout), talmo::kExitOk;
    // Ctrl+C and a polite kill end the monitor cleanly: the last line is
    // shown, the capture closed, the port released.
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    return talmo::RunMonitor(args, stdout, stderr, &gStop);
  }
  std::fprintf(stderr, "talmocli: unknown command '%s'\n%s", command.c_str(), kUsage);
  return talmo::kExitUsage;
}
