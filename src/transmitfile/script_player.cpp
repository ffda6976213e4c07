#include "transmitfile/script_player.h"

#include <algorithm>
#include <climits>
#include <stdexcept>

#include "engine/convert.h"

namespace talmo {
namespace {

bool IsSeparator(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string Underscored(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c == '_') c = ' ';
  return out;
}

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && IsSeparator(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSeparator(s.back())) s.remove_suffix(1);
  return s;
}

// The number after the command character of a first word.
int CommandNumber(const std::string& word) {
  return word.size() > 1 ? DecPrefixToInt(std::string_view(word).substr(1)) : 0;
}

// The second number of a repeat or wait line; a missing word reads as 0.
int SecondNumber(const TWordList& words) { return words.size() > 1 ? DecPrefixToInt(words[1]) : 0; }

// One date or time field of the "%" form; empty for an unknown letter.
std::string TimeField(char what, const TSystemTime& t) {
  char buf[3] = {};
  switch (what) {
    case 'h': PutDec2(buf, t.Hour); return std::string(buf, 2);
    case 'm': PutDec2(buf, t.Minute); return std::string(buf, 2);
    case 's': PutDec2(buf, t.Second); return std::string(buf, 2);
    // Two digits for any year, not only 2000..2099.
    case 'Y': PutDec2(buf, t.Year % 100); return std::string(buf, 2);
    case 'M': PutDec2(buf, t.Month); return std::string(buf, 2);
    case 'D': PutDec2(buf, t.Day); return std::string(buf, 2);
    case '1':
    case '2':
    case '3':
      PutDec3(buf, t.Milliseconds % 1000);
      return std::string(buf, static_cast<std::size_t>(what - '0'));
    default: return {};
  }
}

}  // namespace

void SplitLine(std::string_view line, TWordList& words) {
  words.clear();
  std::size_t i = 0;
  const std::size_t n = line.size();
  while (i < n) {
    if (IsSeparator(line[i])) {
      ++i;
      continue;
    }
    if (line[i] == '"') {
      std::string word;
      ++i;
      while (i < n) {
        if (line[i] == '"') {
          if (i + 1 < n && line[i + 1] == '"') {
            word += '"';
            i += 2;
            continue;
          }
          ++i;  // the closing quote
          break;
        }
        word += line[i++];
      }
      words.push_back(std::move(word));
      continue;
    }
    std::size_t end = i;
    while (end < n && !IsSeparator(line[end])) ++end;
    words.emplace_back(line.substr(i, end - i));
    i = end;
  }
}

std::string EncodeWords(const TWordList& words, std::size_t first, const TSystemTimeClock& now) {
  std::string out;
  std::optional<TSystemTime> time;
  for (std::size_t k = first; k < words.size(); ++k) {
    if (words[k].empty()) continue;
    std::string word = words[k];
    for (bool again = true; again;) {
      again = false;
      const char c = word[0];
      if (word.size() < 2) word += "  ";
      const std::string_view rest = std::string_view(word).substr(1);
      switch (c) {
        case '$':
          out += static_cast<char>(HexPairToInt(rest.substr(0, 2)) & 0xFF);
          if (word.size() >= 4) {
            word.erase(0, 3);
            again = true;
          }
          break;
        case '%':
          if (!time) time = now();
          out += TimeField(rest[0], *time);
          if (word.size() >= 3) {
            word.erase(0, 2);
            again = true;
          }
          break;
        case '\'': out += Underscored(rest); break;
        case '/':
          if (rest[0] == '/') return out;  // the rest of the line is a comment
          break;
        default: out += Underscored(Trimmed(word)); break;
      }
    }
  }
  return out;
}

std::string TxStatusText(const std::string& bytes) {
  // The memo cannot show control bytes (a box, a cut line, a broken line):
  // they are named as the pane's echo names them (" STX", " CR ", " $7F"),
  // and so are C1 bytes 0x80..0x9F, which a Latin-1 memo cannot show either.
  const TSignLook* named = SignLooks(false, true);
  std::string text = "TX[" + std::to_string(bytes.size()) + "]";
  for (const char c : bytes) {
    const auto b = static_cast<std::uint8_t>(c);
    if (b < 0x20 || (b >= 0x7F && b < 0xA0))
      text.append(named[b].text, named[b].length);
    else
      text += c;
  }
  return text;
}

std::string WaitStatusText(int ms) { return "Wait " + std::to_string(ms) + " ms"; }

int WaitDelay(int s, int t, const TSystemTime& now) {
  int target = t - 1;
  if (target < 0) target += 1000;
  if (target < 0 || target > 999) target = 0;
  int delay = target - static_cast<int>(now.Milliseconds % 1000);
  if (s >= 0 && s <= 59) {
    delay += (s - static_cast<int>(now.Second)) * 1000;
    if (delay < 0) delay += 60000;
  } else if (delay < 0) {
    delay += 1000;
  }
  return delay;
}

void TScriptPlayer::Start() {
  lineIndex = 0;
  repeatCount = -1;
  FRest.reset();
}

void TScriptPlayer::SendWords(const TWordList& words, std::size_t first) {
  const std::string out = FRest ? *FRest : EncodeWords(words, first, FHost.LocalClock);
  if (out.empty()) return;
  try {
    FHost.Write(out);
  } catch (const EPartialWriteError& e) {
    FRest = out.substr(std::min(e.Written, out.size()));
    throw;
  }
  FRest.reset();
  if (FHost.Sent) FHost.Sent(out);
  FHost.Status(TxStatusText(out));
}

void TScriptPlayer::SetInterval(std::int64_t delay) {
  if (delay < 1) delay = 1;
  // A pause too long for the timer waits as long as the timer can.
  if (delay > INT_MAX) delay = INT_MAX;
  FHost.SetInterval(static_cast<int>(delay));
}

void TScriptPlayer::Split(const std::string& line, TWordList& words) {
  ++FLinesRead;
  SplitLine(line, words);
}

namespace {

// A line the step passes over within the same tick: no words, or a comment.
bool PassedOver(const TWordList& words) {
  return words.empty() || (!words[0].empty() && (words[0][0] == '/' || words[0][0] == ';'));
}

}  // namespace

std::int32_t TScriptPlayer::SkipPassedOver(const std::vector<std::string>& lines,
                                           std::int32_t index) {
  if (!FHost.DataVersion) return index;
  const std::uint64_t version = FHost.DataVersion();
  if (FNextPlayedVersion != version || FNextPlayed.size() != lines.size()) {
    // Read every line once; a script of only comments and a restart then
    // costs a step two lookups instead of two passes over the script.
    FNextPlayed.assign(lines.size(), 0);
    TWordList words;
    auto next = static_cast<std::int32_t>(lines.size());
    for (std::size_t i = lines.size(); i-- > 0;) {
      Split(lines[i], words);
      if (!PassedOver(words)) next = static_cast<std::int32_t>(i);
      FNextPlayed[i] = next;
    }
    FNextPlayedVersion = version;
  }
  return FNextPlayed[static_cast<std::size_t>(index)];
}

void TScriptPlayer::Step() {
  try {
    RunStep();
  } catch (const std::exception& e) {
    // A port that keeps refusing would otherwise put up the same box at
    // every tick.
    if (FErrorShown) return;
    FErrorShown = true;
    if (FHost.Error) FHost.Error(e.what());
    return;
  }
  FErrorShown = false;
}

void TScriptPlayer::RunStep() {
  int restarts = 0;
  for (;;) {
    const std::vector<std::string>& lines = FHost.DataLines();
    if (lineIndex < 0 || static_cast<std::size_t>(lineIndex) >= lines.size()) {
      FHost.Stop();
      return;
    }
    if (repeatCount < 0) repeatCount = 0;
    if (!wordList)
      throw std::logic_error("Assertion failed: the word list is missing (Strings, line 90)");
    lineIndex = SkipPassedOver(lines, lineIndex);
    if (static_cast<std::size_t>(lineIndex) >= lines.size()) continue;
    TWordList& words = *wordList;
    Split(lines[static_cast<std::size_t>(lineIndex)], words);
    if (words.empty()) {
      ++lineIndex;
      continue;
    }
    const std::string& command = words[0];
    const char c = command.empty() ? '\0' : command[0];
    std::int64_t delay = 0;
    switch (c) {
      case '/':
      case ';': ++lineIndex; continue;
      case 'r':
        lineIndex = 0;
        // Nothing between two restarts ended the step: give the GUI its turn.
        if (++restarts >= 2) {
          SetInterval(1);
          return;
        }
        continue;
      case 'm':
        delay = CommandNumber(command);
        SendWords(words, 1);
        break;
      case 's':
        delay = static_cast<std::int64_t>(CommandNumber(command)) * 1000;
        SendWords(words, 1);
        break;
      case 'l':
        if (repeatCount == 0) repeatCount = CommandNumber(command);
        delay = SecondNumber(words);
        SendWords(words, 2);
        --repeatCount;
        if (repeatCount > 0) --lineIndex;
        break;
      case 'w':
        if (repeatCount != 0) {
          SendWords(words, 2);
          repeatCount = 0;
          ++lineIndex;
          continue;
        }
        delay = WaitDelay(CommandNumber(command), SecondNumber(words), FHost.LocalClock());
        repeatCount = 1;
        --lineIndex;
        FHost.Status(WaitStatusText(static_cast<int>(delay) + 1));
        if (FHost.Waiting) FHost.Waiting(static_cast<int>(delay) + 1);
        break;
      default: break;
    }
    SetInterval(delay);
    ++lineIndex;
    return;
  }
}

}  // namespace talmo
