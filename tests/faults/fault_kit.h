#pragma once
// What the fault programs share: a pseudo-terminal the test plays the device
// on, the process's own CPU time, a throw-away settings folder, and the
// port's timing for tests.

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "serial/ser_comm.h"
// The shared test kit, reached by its path so this folder's build needs no
// change for it.
#include "support/pty_pair.h"
#include "support/temp_dir.h"

namespace talmo::faults {

// The port's timing in the fault programs: the system's retry pause, which
// the idle checks must see as it is, but no pause after Close (it waits for
// nothing the tests look at), and a room wait in the write queue whose
// clock runs ten times faster than real time, so a queue that never drains
// is refused in a tenth of its time-out.
inline TSerTiming QuickTiming() {
  auto ahead = std::make_shared<std::atomic<std::int64_t>>(0);  // ms
  TSerTiming timing = TSerTiming::System();
  timing.IsSystem = false;  // the room wait looks every millisecond
  timing.Now = [ahead] {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(ahead->load());
  };
  timing.Sleep = [ahead](std::chrono::milliseconds ms) {
    if (ms > std::chrono::milliseconds(1)) {
      *ahead += ms.count();  // Close's pause
      return;
    }
    std::this_thread::sleep_for(ms);
    *ahead += 9 * ms.count();
  };
  return timing;
}

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
  for (std::size_t i = 0; i < n; ++i)
    s[i] = static_cast<char>(((from + i) * 7 + (from + i) / 251) & 0xFF);
  return s;
}

}  // namespace talmo::faults
