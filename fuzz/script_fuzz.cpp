// Random scripts through the player: SplitLine and EncodeWords on every
// line, then whole runs against a fake clock and byte sink. Checked: no
// crash, every interval the player sets is at least 1 ms, a sent line is
// logged as exactly its bytes, and a failing port never uses anything up.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "transmitfile/script_player.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // First byte: clock seed and whether writes fail; the rest is the script.
  const std::uint8_t control = data[0];
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<std::string> lines;
  for (std::size_t start = 0; start <= text.size();) {
    const std::size_t end = text.find('\n', start);
    std::string line =
        text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (line.size() > 4096) line.resize(4096);
    if (!line.empty() && line[0] != ';' && line[0] != '/') lines.push_back(line);
    if (end == std::string::npos) break;
    start = end + 1;
  }

  talmo::TSystemTime now{2026,
                         12,
                         1,
                         7,
                         static_cast<std::uint16_t>(control % 24),
                         static_cast<std::uint16_t>(control % 60),
                         static_cast<std::uint16_t>((control * 7) % 60),
                         static_cast<std::uint16_t>((control * 37) % 1000)};
  const talmo::TSystemTimeClock clock = [&now] { return now; };
  for (const std::string& line : lines) {
    talmo::TWordList words;
    talmo::SplitLine(line, words);
    const std::string bytes = talmo::EncodeWords(words, words.empty() ? 0 : 1, clock);
    (void)bytes;
  }

  const bool failing = control & 0x80;
  std::string sentBytes, loggedBytes;
  int lastInterval = 1;
  bool stopped = false;
  talmo::TPlayerHost host;
  host.DataLines = [&lines]() -> const std::vector<std::string>& { return lines; };
  host.LocalClock = clock;
  bool attempted = false;
  talmo::TScriptPlayer* playing = nullptr;
  std::int32_t lineAtWrite = 0, repeatAtWrite = 0;
  host.Write = [&](const std::string& b) {
    attempted = true;
    lineAtWrite = playing->lineIndex;
    repeatAtWrite = playing->repeatCount;
    if (failing) throw std::runtime_error("port refused");
    sentBytes += b;
  };
  host.Status = [](const std::string&) {};
  host.Sent = [&loggedBytes](const std::string& b) { loggedBytes += b; };
  host.SetInterval = [&lastInterval](int ms) {
    Check(ms >= 1);
    lastInterval = ms;
  };
  host.Stop = [&stopped] { stopped = true; };
  host.Error = [](const std::string&) {};
  talmo::TScriptPlayer player(std::move(host));
  playing = &player;
  player.Start();
  for (int step = 0; step < 64 && !stopped; ++step) {
    attempted = false;
    try {
      player.Step();
    } catch (...) {
    }
    // A step whose write failed uses nothing up: the next step tries the
    // same line in the same state.
    if (failing && attempted)
      Check(player.lineIndex == lineAtWrite && player.repeatCount == repeatAtWrite);
    // Let the clock move on by the interval, as the timer would.
    std::uint32_t ms = now.Milliseconds + static_cast<std::uint32_t>(lastInterval % 1000);
    std::uint32_t s = now.Second + static_cast<std::uint32_t>(lastInterval / 1000) + ms / 1000;
    now.Milliseconds = static_cast<std::uint16_t>(ms % 1000);
    now.Second = static_cast<std::uint16_t>(s % 60);
    now.Minute = static_cast<std::uint16_t>((now.Minute + s / 60) % 60);
  }
  Check(sentBytes == loggedBytes);
  return 0;
}
