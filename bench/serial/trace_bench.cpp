// What the trace costs while it is off: a trace point against the same
// loop without one, and a device read over a pseudo-terminal (which holds
// trace points) for scale. On, to /dev/null, for comparison. The trace is
// always compiled in, so the off figure is what every user pays.

#include <benchmark/benchmark.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "base/trace.h"
#include "device/posix_device.h"
#include "support/pty_pair.h"

namespace {

// The work around a trace point in a device call: a size that the
// compiler cannot fold away.
void BM_NoTracePoint(benchmark::State& state) {
  std::size_t n = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(n);
    ++n;
  }
}
BENCHMARK(BM_NoTracePoint);

void BM_TracePointOff(benchmark::State& state) {
  talmo::TraceOff();
  std::size_t n = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(n);
    TALMO_TRACE("/dev/ttyUSB0", "read %zu of %zu bytes", n, n + 1);
    ++n;
  }
}
BENCHMARK(BM_TracePointOff);

void BM_TracePointOnToDevNull(benchmark::State& state) {
  if (talmo::TraceToFile("/dev/null", "trace_bench") != 0) {
    state.SkipWithError("cannot open /dev/null");
    return;
  }
  std::size_t n = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(n);
    TALMO_TRACE("/dev/ttyUSB0", "read %zu of %zu bytes", n, n + 1);
    ++n;
  }
  talmo::TraceOff();
}
BENCHMARK(BM_TracePointOnToDevNull);

// One byte written by the far end and read through the device layer, the
// trace off: the call a trace point sits in.
void BM_PtyReadOneByteTraceOff(benchmark::State& state) {
  talmo::TraceOff();
  talmo::test::TPtyPair pty;
  int error = 0;
  if (!pty.Open()) {
    state.SkipWithError("no pseudo-terminal pair");
    return;
  }
  auto device = talmo::OpenPosixDevice(pty.Path, error);
  if (!device) {
    state.SkipWithError("cannot open the pty");
    return;
  }
  char b = 'x';
  for (auto _ : state) {
    if (::write(pty.Master, &b, 1) != 1) {
      state.SkipWithError("write failed");
      break;
    }
    pollfd p{device->PollFd(), POLLIN, 0};
    ::poll(&p, 1, 1000);
    std::size_t got = 0;
    device->Read(&b, 1, got);
    benchmark::DoNotOptimize(got);
  }
}
BENCHMARK(BM_PtyReadOneByteTraceOff);

}  // namespace

BENCHMARK_MAIN();
