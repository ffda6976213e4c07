#pragma once
// What the kernel counts of a running process, for tests that check that a
// program sleeps while it waits (counted, never timed).

#include <sys/types.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace talmo::test {

// Context switches of all threads of a process, voluntary and not.
inline long long ContextSwitches(pid_t pid) {
  long long sum = 0;
  std::error_code ec;
  for (const auto& t :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream in(t.path() / "status");
    std::string line;
    while (std::getline(in, line))
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
          line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
        sum += std::atoll(line.substr(line.find(':') + 1).c_str());
  }
  return sum;
}

}  // namespace talmo::test
