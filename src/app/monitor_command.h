#pragma once
// `talmocli ports` and `talmocli monitor`: the port list, and a headless
// monitor of one port through the port component and the receive formatter.

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

namespace talmo {

int RunPorts(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

// `stop` ends the monitor cleanly when set (Ctrl+C); may be null.
int RunMonitor(const std::vector<std::string>& args, std::FILE* out, std::FILE* err,
               const std::atomic<bool>* stop);

std::string MonitorUsage();

}  // namespace talmo
