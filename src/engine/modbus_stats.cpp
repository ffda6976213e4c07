#include "engine/modbus_stats.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace talmo {
namespace {

// Upper bounds of the histogram's bins in milliseconds; the last bin is open.
constexpr double kBinsMs[] = {1, 2, 5, 10, 20, 50, 100, 200, 500, 1000};
constexpr std::size_t kBins = sizeof kBinsMs / sizeof kBinsMs[0] + 1;
constexpr int kBarWidth = 40;

// Milliseconds to the microsecond, cut as the frames' lines cut them.
std::string Ms(std::int64_t ns) {
  char s[32];
  const bool negative = ns < 0;
  const std::uint64_t us = (negative ? 0 - static_cast<std::uint64_t>(ns) : ns) / 1000;
  std::snprintf(s, sizeof s, "%s%" PRIu64 ".%03" PRIu64, negative ? "-" : "", us / 1000, us % 1000);
  return s;
}

std::string FunctionText(std::uint8_t function) {
  const char* name = ModbusFunctionName(function);
  return name ? std::string(name) + " (" + std::to_string(function) + ")"
              : "function " + std::to_string(function);
}

// A JSON string of plain ASCII names (control characters escaped).
std::string Quoted(const std::string& s) {
  std::string q = "\"";
  for (const char c : s) {
    if (c == '"' || c == '\\') {
      q += '\\';
      q += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char e[8];
      std::snprintf(e, sizeof e, "\\u%04x", c);
      q += e;
    } else {
      q += c;
    }
  }
  return q + '"';
}

}  // namespace

void TModbusStats::AddSide(std::string name, double charNs) {
  FSides.push_back({std::move(name), charNs});
}

void TModbusStats::Block(int side, std::size_t bytes, std::int64_t ns) {
  if (side < 0 || static_cast<std::size_t>(side) >= FSides.size()) return;
  FSides[side].Bytes += bytes;
  if (!FAny || ns < FFirstNs) FFirstNs = ns;
  if (!FAny || ns > FLastNs) FLastNs = ns;
  FAny = true;
}

void TModbusStats::Event(const TModbusEvent& e) {
  using enum TModbusEvent::TKind;
  if (e.Source >= 0 && static_cast<std::size_t>(e.Source) < FSides.size()) {
    TSide& side = FSides[e.Source];
    if (e.Kind == Noise)
      side.NoiseBytes += e.Bytes;
    else if (e.Kind != Unanswered)
      ++side.Frames;
  }
  if (e.Kind == Noise) return;
  TFunction& f = FFunctions[{e.Unit, e.Function}];
  switch (e.Kind) {
    case Request: ++f.Requests; break;
    case Answer: ++f.Answers; break;
    case Exception: ++f.Exceptions; break;
    case BadCheck: ++f.BadChecks; break;
    case Unanswered: ++f.Unanswered; break;
    case Noise: break;
  }
  if (e.ResponseNs >= 0) f.Times.push_back(e.ResponseNs);
}

TModbusStats::TFigures TModbusStats::FiguresOf(std::vector<std::int64_t> times) {
  TFigures f;
  if (times.empty()) return f;
  std::sort(times.begin(), times.end());
  // Nearest rank: the smallest time that at least the share of all reach.
  const auto rank = [&times](double share) {
    std::size_t r = static_cast<std::size_t>(share * static_cast<double>(times.size()) + 0.999999);
    return times[std::clamp<std::size_t>(r, 1, times.size()) - 1];
  };
  f.Min = times.front();
  f.Median = rank(0.5);
  f.P99 = rank(0.99);
  f.Max = times.back();
  return f;
}

double TModbusStats::LineUse(const TSide& side) const {
  const std::int64_t span = FLastNs - FFirstNs;
  if (side.CharNs <= 0 || span <= 0) return -1;
  return static_cast<double>(side.Bytes) * side.CharNs / static_cast<double>(span) * 100;
}

std::vector<std::uint64_t> TModbusStats::Histogram() const {
  std::vector<std::uint64_t> bins(kBins);
  for (const auto& [key, f] : FFunctions)
    for (const std::int64_t t : f.Times) {
      std::size_t i = 0;
      while (i + 1 < kBins && static_cast<double>(t) / 1e6 >= kBinsMs[i]) ++i;
      ++bins[i];
    }
  return bins;
}

std::string TModbusStats::Text() const {
  std::string s;
  char line[256];
  for (const TSide& side : FSides) {
    const double use = LineUse(side);
    s += side.Name + ": " + std::to_string(side.Bytes) + " bytes";
    if (FCountFrames)
      s += ", " + std::to_string(side.Frames) + " frames, " + std::to_string(side.NoiseBytes) +
           " noise bytes";
    if (use >= 0) {
      std::snprintf(line, sizeof line, ", line use %.2f %%", use);
      s += line;
    }
    s += '\n';
  }
  for (const auto& [key, f] : FFunctions) {
    std::snprintf(line, sizeof line,
                  "unit %u %s: %" PRIu64 " requests, %" PRIu64 " answers, %" PRIu64
                  " exceptions, %" PRIu64 " check failures, %" PRIu64 " unanswered",
                  key.first, FunctionText(key.second).c_str(), f.Requests, f.Answers, f.Exceptions,
                  f.BadChecks, f.Unanswered);
    s += line;
    if (!f.Times.empty()) {
      const TFigures t = FiguresOf(f.Times);
      s += "; response ms min " + Ms(t.Min) + ", median " + Ms(t.Median) + ", p99 " + Ms(t.P99) +
           ", max " + Ms(t.Max);
    }
    s += '\n';
  }
  const std::vector<std::uint64_t> bins = Histogram();
  const std::uint64_t most = *std::max_element(bins.begin(), bins.end());
  if (most == 0) return s;
  s += "response times:\n";
  for (std::size_t i = 0; i < kBins; ++i) {
    char range[32];
    if (i + 1 < kBins)
      std::snprintf(range, sizeof range, "%g-%g ms", i ? kBinsMs[i - 1] : 0.0, kBinsMs[i]);
    else
      std::snprintf(range, sizeof range, "%g ms-", kBinsMs[i - 1]);
    const int bar = static_cast<int>((bins[i] * kBarWidth + most - 1) / most);
    std::snprintf(line, sizeof line, "  %-12s %-*s %" PRIu64 "\n", range, kBarWidth,
                  std::string(static_cast<std::size_t>(bar), '#').c_str(), bins[i]);
    s += line;
  }
  return s;
}

std::string TModbusStats::Json() const {
  std::string s = "{\"sides\": [";
  char n[64];
  for (std::size_t i = 0; i < FSides.size(); ++i) {
    const TSide& side = FSides[i];
    s += i ? ", " : "";
    s += "{\"name\": " + Quoted(side.Name) + ", \"bytes\": " + std::to_string(side.Bytes) +
         ", \"frames\": " + (FCountFrames ? std::to_string(side.Frames) : "null") +
         ", \"noise_bytes\": " + (FCountFrames ? std::to_string(side.NoiseBytes) : "null") +
         ", \"line_use_percent\": ";
    const double use = LineUse(side);
    if (use >= 0) {
      std::snprintf(n, sizeof n, "%.4f", use);
      s += n;
    } else {
      s += "null";
    }
    s += '}';
  }
  s += "], \"functions\": [";
  bool first = true;
  for (const auto& [key, f] : FFunctions) {
    s += first ? "" : ", ";
    first = false;
    const char* name = ModbusFunctionName(key.second);
    s += "{\"unit\": " + std::to_string(key.first) +
         ", \"function\": " + std::to_string(key.second) +
         ", \"name\": " + (name ? Quoted(name) : "null") +
         ", \"requests\": " + std::to_string(f.Requests) +
         ", \"answers\": " + std::to_string(f.Answers) +
         ", \"exceptions\": " + std::to_string(f.Exceptions) +
         ", \"check_failures\": " + std::to_string(f.BadChecks) +
         ", \"unanswered\": " + std::to_string(f.Unanswered) + ", \"response_ms\": ";
    if (f.Times.empty()) {
      s += "null";
    } else {
      const TFigures t = FiguresOf(f.Times);
      s += "{\"min\": " + Ms(t.Min) + ", \"median\": " + Ms(t.Median) + ", \"p99\": " + Ms(t.P99) +
           ", \"max\": " + Ms(t.Max) + "}";
    }
    s += '}';
  }
  s += "], \"histogram\": [";
  const std::vector<std::uint64_t> bins = Histogram();
  for (std::size_t i = 0; i < kBins; ++i) {
    std::snprintf(n, sizeof n, "%g", i ? kBinsMs[i - 1] : 0.0);
    s += i ? ", " : "";
    s += std::string("{\"from_ms\": ") + n + ", \"to_ms\": ";
    if (i + 1 < kBins) {
      std::snprintf(n, sizeof n, "%g", kBinsMs[i]);
      s += n;
    } else {
      s += "null";
    }
    s += ", \"count\": " + std::to_string(bins[i]) + "}";
  }
  s += "]}\n";
  return s;
}

}  // namespace talmo
