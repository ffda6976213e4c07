#pragma once
// `talmocli stats`: the figures of a timed capture: per port and direction
// the bytes and line use; with --modbus, per unit and function the
// requests, answers, exceptions, check failures, unanswered requests and
// response times.

#include <cstdio>
#include <string>
#include <vector>

namespace talmo {

// args are the words after "stats". The figures go to out, errors and
// usage to err.
int RunStats(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

std::string StatsUsage();

}  // namespace talmo
