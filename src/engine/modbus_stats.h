#pragma once
// Figures of a Modbus conversation: per side (a port's direction) the
// bytes, frames and line use; per unit and function the requests,
// answers, exceptions, check failures and unanswered requests, with the
// response times' minimum, median, 99th percentile and maximum; and a
// histogram of the response times. As text, or as JSON for scripts.
//
// Pure and single-threaded; no call fails.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engine/modbus.h"

namespace talmo {

class TModbusStats {
 public:
  // `frames`: Modbus frames are counted (else only bytes and line use).
  explicit TModbusStats(bool frames = true) : FCountFrames(frames) {}
  // A side, numbered as its pairing source: "tap RX"; the time of one
  // character on its line (0: unknown, no line use).
  void AddSide(std::string name, double charNs);
  // Bytes of `side` that arrived at `ns`.
  void Block(int side, std::size_t bytes, std::int64_t ns);
  void Event(const TModbusEvent& e);

  std::string Text() const;
  std::string Json() const;

 private:
  struct TSide {
    std::string Name;
    double CharNs = 0;
    std::uint64_t Bytes = 0, Frames = 0, NoiseBytes = 0;
  };
  struct TFunction {
    std::uint64_t Requests = 0, Answers = 0, Exceptions = 0, BadChecks = 0, Unanswered = 0;
    std::vector<std::int64_t> Times;  // response times, ns
  };
  struct TFigures {
    std::int64_t Min = 0, Median = 0, P99 = 0, Max = 0;
  };
  static TFigures FiguresOf(std::vector<std::int64_t> times);
  // The sides' line use in percent over the capture's span; negative: unknown.
  double LineUse(const TSide& side) const;
  std::vector<std::uint64_t> Histogram() const;

  std::vector<TSide> FSides;
  std::map<std::pair<std::uint8_t, std::uint8_t>, TFunction> FFunctions;
  std::int64_t FFirstNs = 0, FLastNs = 0;
  bool FAny = false;
  bool FCountFrames;
};

}  // namespace talmo
