// Throughput of the receive formatter, bytes in to display lines out, in
// the looks and framings a monitor runs most.

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "engine/formatter.h"

namespace {

using talmo::TFormatOptions;

std::vector<std::uint8_t> RandomStream(std::size_t size) {
  std::mt19937 rng(42);
  std::vector<std::uint8_t> v(size);
  for (auto& b : v) b = static_cast<std::uint8_t>(rng());
  return v;
}

// STX_HL frames of 32 payload bytes, back to back.
std::vector<std::uint8_t> StxHlStream(std::size_t size) {
  std::mt19937 rng(42);
  std::vector<std::uint8_t> v;
  v.reserve(size + 64);
  while (v.size() < size) {
    v.insert(v.end(), {0x02, 0x00, 32});
    for (int i = 0; i < 32; ++i) v.push_back(static_cast<std::uint8_t>(rng()));
  }
  return v;
}

void Run(benchmark::State& state, TFormatOptions opts, std::uint8_t first, std::uint8_t last,
         const std::vector<std::uint8_t>& stream) {
  std::size_t lineBytes = 0;
  talmo::TFormatterHooks hooks;
  hooks.Line = [&](std::string_view l) { lineBytes += l.size(); };
  talmo::TReceiveFormatter f(opts, std::move(hooks));
  f.SetSigns(first, last);
  constexpr std::size_t kRead = 4096;
  for (auto _ : state) {
    for (std::size_t pos = 0; pos < stream.size(); pos += kRead)
      f.FormatReceived(stream.data() + pos, std::min(kRead, stream.size() - pos));
    f.TimeoutFlush();
  }
  benchmark::DoNotOptimize(lineBytes);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}

const std::vector<std::uint8_t>& Random() {
  static const auto s = RandomStream(8 << 20);
  return s;
}

void BM_PlainConvert(benchmark::State& state) { Run(state, {}, 0x00, 0x00, Random()); }

void BM_PlainHex(benchmark::State& state) {
  TFormatOptions o;
  o.Hex = true;
  Run(state, o, 0x00, 0x00, Random());
}

void BM_StxHl(benchmark::State& state) {
  static const auto s = StxHlStream(8 << 20);
  TFormatOptions o;
  o.STXHL = true;
  o.Bcc = true;
  Run(state, o, 0x02, 0x03, s);
}

}  // namespace

BENCHMARK(BM_PlainConvert)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainHex)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StxHl)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
