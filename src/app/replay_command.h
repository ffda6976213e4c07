#pragma once
// `talmocli play --capture FILE.pcapng`: replays the blocks of a timed
// capture on a port with their recorded gaps, so that a recorded device can
// stand in for the real one; or lists the schedule (--dry-run).

#include <cstdio>
#include <string>
#include <vector>

namespace talmo {

// Whether `play`'s arguments ask for a replay (--capture before any "--").
bool AsksForReplay(const std::vector<std::string>& args);

// Exit codes: 0 done, 1 a file or port failure, 2 a usage error. Its usage
// is part of play's.
int RunReplay(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

}  // namespace talmo
