#pragma once
// What to tell a user whom the system does not let open a device. Serial
// devices belong to a group (on Debian "dialout"); the first open fails
// until the user joins it and logs in again, and the system's own text
// ("Permission denied") does not say so.

#include <string>

namespace talmo {

// The hint for a device at `path` that could not be opened for lack of
// permission, read from the device itself:
//  - group may read and write, and the process is not in it: join that
//    group (named, or its number when it has no name) and log in again;
//  - only the owner may: names the owner;
//  - "" when the device cannot be looked at, or the process already is in
//    its group (then the group is not what keeps it out).
std::string DeviceAccessHint(const std::string& path);

}  // namespace talmo
