// Random option sets and byte streams through the receive formatter, with
// option changes between blocks. Checked on every input: nothing crashes,
// every byte reaches the capture hook and the count, lines hold only
// printable characters, and cutting the same stream into other reads gives
// the same lines.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/formatter.h"
#include "fuzz_check.h"

namespace {

using talmo::TFormatOptions;

TFormatOptions OptionsFrom(std::uint8_t bits) {
  TFormatOptions o;
  o.Manch = bits & 1;
  o.Time = bits & 2;
  o.Bcc = bits & 4;
  o.STXHL = bits & 8;
  o.PROD2 = bits & 16;
  o.Hex = bits & 32;
  o.Convert = bits & 64;
  return o;
}

struct Run {
  TFormatOptions opts;
  std::vector<std::string> lines;
  std::string captured;
  std::int64_t pauseNs = 0;
  talmo::TReceiveFormatter f;

  Run() : f(opts, Hooks(), Clocks()) {}
  talmo::TFormatterHooks Hooks() {
    talmo::TFormatterHooks h;
    h.Line = [this](std::string_view l) { lines.emplace_back(l); };
    h.Capture = [this](const std::uint8_t* b, std::size_t n) {
      captured.append(reinterpret_cast<const char*>(b), n);
    };
    return h;
  }
  talmo::TFormatterClocks Clocks() {
    talmo::TFormatterClocks c;
    c.Utc = [] { return talmo::TSystemTime{2026, 12, 1, 7, 12, 34, 56, 789}; };
    c.Counter.Read = [](std::int64_t& v) {
      v = 0;
      return true;
    };
    c.Counter.Frequency = 1000000;
    c.Pause = [this] { return pauseNs; };
    return c;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  // Header: options, start sign, stop sign. Then blocks: a length byte, a
  // control byte (new options when its top bit is set; a pause of the low
  // bits times 10 ms), and that many bytes.
  Run a, whole;
  a.opts = whole.opts = OptionsFrom(data[0]);
  a.f.SetSigns(data[1], data[2]);
  whole.f.SetSigns(data[1], data[2]);
  std::string stream;
  bool optionsChanged = false;
  std::size_t pos = 3;
  while (pos + 2 <= size) {
    const std::size_t len = std::min<std::size_t>(data[pos], size - pos - 2);
    const std::uint8_t control = data[pos + 1];
    pos += 2;
    if (control & 0x80) {
      a.opts = OptionsFrom(control);
      optionsChanged = true;
    }
    a.pauseNs += static_cast<std::int64_t>(control & 3) * 10000000;
    if (control & 0x40) a.f.TimeoutFlush();
    a.f.FormatReceived(data + pos, len);
    stream.append(reinterpret_cast<const char*>(data + pos), len);
    pos += len;
    Check(a.f.SignCount() >= 0 && a.f.SignCount() < talmo::TReceiveFormatter::kSignBufferSize);
  }
  a.f.TimeoutFlush();
  Check(a.captured == stream);
  Check(a.f.TotalSigns() == static_cast<std::int64_t>(stream.size()));
  for (const std::string& l : a.lines)
    for (char c : l) Check(c >= 0x20 && c <= 0x7E);

  // Without option changes, pauses or forced flushes, the cut into reads
  // must not matter.
  bool plainCuts = !optionsChanged;
  for (std::size_t p = 3; plainCuts && p + 2 <= size;) {
    const std::size_t len = std::min<std::size_t>(data[p], size - p - 2);
    if (data[p + 1] & 0x43) plainCuts = false;
    p += 2 + len;
  }
  if (plainCuts) {
    whole.f.FormatReceived(reinterpret_cast<const std::uint8_t*>(stream.data()), stream.size());
    whole.f.TimeoutFlush();
    Check(whole.lines == a.lines);
  }
  return 0;
}
