#pragma once
// `talmocli ports`: the port list, with what happened to the settings file.

#include <cstdio>
#include <string>
#include <vector>

namespace talmo {

extern const char kPortsUsage[];

int RunPorts(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

}  // namespace talmo
