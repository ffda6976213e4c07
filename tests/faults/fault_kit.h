#pragma once
// What the fault programs share: a pseudo-terminal the test plays the device
// on, the process's own CPU time, and a throw-away settings folder.

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

// The shared test kit, reached by its path so this folder's build needs no
// change for it.
#include "../support/pty_pair.h"
#include "../support/temp_dir.h"

namespace talmo::faults {

// The port opens `Path`; the test is the device at `Master`. The near end
// stays open here too, so the far end can still read what the port wrote
// after the port has closed (a pty drops its data at the last close).
struct TFarEnd : test::TPtyPair {
  int& Near = Slave;

  TFarEnd() { Open(TMaster::NonBlocking); }

  // The device goes away: the port's side sees a hang-up, and the node
  // vanishes once nothing holds the near end.
  void Unplug() { CloseMaster(); }
  // The near end as the test holds it; a port alone on a vanished pty sees
  // exactly what a pulled USB adapter shows.
  void ReleaseNear() { CloseSlave(); }
  bool Send(const std::string& bytes) const {
    return ::write(Master, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  // What has arrived so far (does not wait).
  std::string Drain() const {
    std::string out;
    char b[4096];
    for (;;) {
      const ssize_t r = ::read(Master, b, sizeof b);
      if (r <= 0) break;
      out.append(b, static_cast<std::size_t>(r));
    }
    return out;
  }
};

inline double CpuSeconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

inline double WallSeconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// A fresh folder that also takes the settings (XDG_CONFIG_HOME), so no test
// touches the user's own; removed at the end.
struct TScratchDir {
  test::TTempDir Folder{"talmo-faults"};
  std::string Path = Folder.Path();
  TScratchDir() { Folder.UseAsConfigHome(); }
};

// Bytes that tell their own position, so a prefix check also finds a byte
// lost or changed in the middle.
inline std::string Pattern(std::size_t from, std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(((from + i) * 7 + (from + i) / 251) & 0xFF);
  return s;
}

}  // namespace talmo::faults
