#pragma once
// What the soak programs share: numbered frames that can be told apart and
// checked byte for byte, the process's resident memory, and small figures.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace talmo::soak {

constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEtx = 0x03;

// Frame number `seq`: STX, eight digits, 0 to 60 bytes of every value but
// STX and ETX, ETX. Any byte lost, changed or moved shows in the frame's
// line or in the capture.
inline std::string Frame(std::uint64_t seq) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%08llu", static_cast<unsigned long long>(seq % 100000000));
  std::string f(1, static_cast<char>(kStx));
  f += digits;
  const std::size_t filler = static_cast<std::size_t>((seq * 7919) % 61);
  for (std::size_t j = 0; j < filler; ++j) {
    const unsigned v = static_cast<unsigned>((seq * 131 + j * 17) % 254);
    f += static_cast<char>(v < 2 ? v : v + 2);
  }
  f += static_cast<char>(kEtx);
  return f;
}

// A line of the Hex look (" 02 30 ... 03") back into its bytes; nothing
// when it is not such a line.
inline std::optional<std::string> HexLineBytes(const std::string& line) {
  if (line.size() % 3 != 0) return std::nullopt;
  std::string out;
  out.reserve(line.size() / 3);
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < line.size(); i += 3) {
    const int hi = nibble(line[i + 1]), lo = nibble(line[i + 2]);
    if (line[i] != ' ' || hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
  }
  return out;
}

// Resident memory of this process in KiB (VmRSS), 0 when unknown.
inline long RssKiB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return 0;
}

inline double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

// Least-squares slope of y over x.
inline double Slope(const std::vector<double>& x, const std::vector<double>& y) {
  const std::size_t n = std::min(x.size(), y.size());
  if (n < 2) return 0;
  double mx = 0, my = 0;
  for (std::size_t i = 0; i < n; ++i) mx += x[i], my += y[i];
  mx /= static_cast<double>(n);
  my /= static_cast<double>(n);
  double num = 0, den = 0;
  for (std::size_t i = 0; i < n; ++i)
    num += (x[i] - mx) * (y[i] - my), den += (x[i] - mx) * (x[i] - mx);
  return den > 0 ? num / den : 0;
}

// "--name value" options of a soak program; a bad one ends it with usage.
struct TSoakArgs {
  double Seconds;
  double Warmup;
  std::string Keep;    // folder to keep the files in; empty: removed
  double Rate = 0;     // lines a second, where the program feeds at a rate
  bool Timed = false;  // --capture timed: a timed capture instead of the raw one
};

inline TSoakArgs ParseSoakArgs(int argc, char** argv, double seconds, double warmup,
                               const char* usage) {
  TSoakArgs a{seconds, warmup, {}, 0};
  for (int i = 1; i < argc; ++i) {
    const std::string n = argv[i];
    if (n == "--help" || n == "-h") {
      std::printf("%s", usage);
      std::exit(0);
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "%s: %s needs a value\n%s", argv[0], n.c_str(), usage);
      std::exit(2);
    }
    const std::string v = argv[++i];
    char* end = nullptr;
    const double d = std::strtod(v.c_str(), &end);
    const bool number = end && *end == '\0' && d > 0 && d < 1e6;
    if (n == "--seconds" && number)
      a.Seconds = d;
    else if (n == "--warmup" && number)
      a.Warmup = d;
    else if (n == "--rate" && number)
      a.Rate = d;
    else if (n == "--keep")
      a.Keep = v;
    else if (n == "--capture" && (v == "raw" || v == "timed"))
      a.Timed = v == "timed";
    else {
      std::fprintf(stderr, "%s: bad option or value: %s %s\n%s", argv[0], n.c_str(), v.c_str(),
                   usage);
      std::exit(2);
    }
  }
  if (a.Warmup >= a.Seconds) a.Warmup = a.Seconds / 4;
  return a;
}

}  // namespace talmo::soak
