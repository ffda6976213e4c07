#include "session/respond_rules.h"

#include <cctype>

#include "engine/checks.h"

namespace talmo {
namespace {

// Patterns with more runs than this would make a match try too many
// places: a device's frame never needs them.
constexpr int kRunsMost = 4;

struct TWord {
  std::string Text;
  int Column;  // 1-based
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Spaces(std::string text) {
  for (char& c : text)
    if (c == '_') c = ' ';
  return text;
}

bool IsName(std::string_view s) {
  if (s.empty()) return false;
  for (const char c : s)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  return true;
}

}  // namespace

TRespondRules TRespondRules::Parse(std::string_view text, const std::string& name) {
  TRespondRules rules;
  int lineNo = 0;
  std::size_t from = 0;
  while (from <= text.size()) {
    std::size_t nl = text.find('\n', from);
    if (nl == std::string_view::npos) nl = text.size();
    std::string_view line = text.substr(from, nl - from);
    from = nl + 1;
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const auto fail = [&](int column, const std::string& what) {
      throw ERulesError(name + ":" + std::to_string(lineNo) + ":" + std::to_string(column) + ": " +
                        what);
    };
    // Words and where they begin; a [ ... ] group is one word.
    std::vector<TWord> words;
    for (std::size_t i = 0; i < line.size();) {
      if (line[i] == ' ' || line[i] == '\t') {
        ++i;
        continue;
      }
      const std::size_t start = i;
      if (line[i] == '[') {
        const std::size_t close = line.find(']', i);
        if (close == std::string_view::npos) fail(static_cast<int>(i + 1), "expected ']'");
        i = close + 1;
      } else {
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
      }
      words.push_back({std::string(line.substr(start, i - start)), static_cast<int>(start + 1)});
    }
    if (words.empty() || words[0].Text[0] == '#') continue;
    std::size_t arrow = 0;
    while (arrow < words.size() && words[arrow].Text != "->") ++arrow;
    if (arrow == words.size())
      fail(static_cast<int>(line.size() + 1),
           "expected '->' between the frame's pattern and the answer");
    if (arrow == 0) fail(words[0].Column, "expected a pattern of the received frame before '->'");

    TRule rule;
    rule.Line = lineNo;
    std::vector<std::string> keptNames;
    int runs = 0;
    // The byte forms of both sides; false when the word is none of them.
    const auto bytesOf = [&](const TWord& w, std::vector<TToken>& into) {
      std::string bytes;
      if (w.Text[0] == '$') {
        for (std::size_t i = 0; i < w.Text.size(); i += 3) {
          if (w.Text[i] != '$' || i + 2 >= w.Text.size() || HexDigit(w.Text[i + 1]) < 0 ||
              HexDigit(w.Text[i + 2]) < 0)
            fail(w.Column + static_cast<int>(i), "expected '$' and two hex digits, such as $0D");
          bytes += static_cast<char>(HexDigit(w.Text[i + 1]) * 16 + HexDigit(w.Text[i + 2]));
        }
      } else if (w.Text[0] == '\'') {
        bytes = Spaces(w.Text.substr(1));
      } else if (w.Text[0] == '%') {
        fail(w.Column, "expected bytes: time fields (%) are not taken in rules");
      } else {
        bytes = Spaces(w.Text);
      }
      if (!into.empty() && into.back().Kind == TKind::Bytes)
        into.back().Bytes += bytes;
      else
        into.push_back({TKind::Bytes, bytes});
    };
    for (std::size_t i = 0; i < arrow; ++i) {
      const TWord& w = words[i];
      if (w.Text == "?") {
        rule.Pattern.push_back({TKind::AnyOne, {}});
      } else if (w.Text == "*") {
        rule.Pattern.push_back({TKind::AnyRun, {}});
        ++runs;
      } else if (w.Text.front() == '<' && w.Text.size() > 1 && w.Text.back() == '>') {
        std::string n = w.Text.substr(1, w.Text.size() - 2);
        const bool run = !n.empty() && n.back() == '*';
        if (run) n.pop_back();
        if (!IsName(n)) fail(w.Column + 1, "expected a name of letters, digits and '_' in <...>");
        for (const std::string& k : keptNames)
          if (k == n) fail(w.Column + 1, "'" + n + "' is kept twice in this pattern");
        keptNames.push_back(n);
        rule.Pattern.push_back({run ? TKind::KeepRun : TKind::KeepOne, n});
        if (run) ++runs;
      } else if (w.Text.front() == '[') {
        fail(w.Column, "expected bytes: checks, [delay] and [times] belong after '->'");
      } else {
        bytesOf(w, rule.Pattern);
      }
      if (runs > kRunsMost)
        fail(w.Column, "expected at most " + std::to_string(kRunsMost) + " runs (*) in a pattern");
    }
    for (std::size_t i = arrow + 1; i < words.size(); ++i) {
      const TWord& w = words[i];
      if (w.Text == "->") fail(w.Column, "expected one '->' in a rule");
      if (w.Text == "?" || w.Text == "*")
        fail(w.Column, "'" + w.Text + "' matches bytes in a pattern; an answer sends it as $" +
                           (w.Text == "?" ? "3F" : "2A"));
      if (w.Text.front() == '<' && w.Text.size() > 1 && w.Text.back() == '>') {
        const std::string n = w.Text.substr(1, w.Text.size() - 2);
        bool known = false;
        for (const std::string& k : keptNames) known = known || k == n;
        if (!known) fail(w.Column + 1, "'" + n + "' is not kept by the pattern (<" + n + ">)");
        rule.Answer.push_back({TKind::Put, n});
        continue;
      }
      if (w.Text.front() != '[') {
        bytesOf(w, rule.Answer);
        continue;
      }
      // [check], [check from N], [delay MS], [times N]
      std::vector<std::string> parts;
      const std::string inner = w.Text.substr(1, w.Text.size() - 2);
      for (std::size_t p = 0; p < inner.size();) {
        if (inner[p] == ' ' || inner[p] == '\t') {
          ++p;
          continue;
        }
        const std::size_t e = inner.find_first_of(" \t", p);
        parts.push_back(inner.substr(p, e == std::string::npos ? std::string::npos : e - p));
        p = e == std::string::npos ? inner.size() : e;
      }
      const auto number = [&](std::size_t at, const char* what) {
        if (at >= parts.size() || parts[at].empty() || parts[at].size() > 9 ||
            parts[at].find_first_not_of("0123456789") != std::string::npos)
          fail(w.Column, std::string("expected ") + what + " in " + w.Text);
        return std::stoll(parts[at]);
      };
      static constexpr struct {
        const char* Name;
        TCheck Check;
      } kChecks[] = {{"xor", TCheck::Xor},
                     {"sum", TCheck::Sum},
                     {"crc16", TCheck::Crc16},
                     {"lrc", TCheck::Lrc}};
      const std::string head = parts.empty() ? "" : parts[0];
      bool done = false;
      for (const auto& c : kChecks) {
        if (head != c.Name) continue;
        TToken t{TKind::Check, {}, c.Check, 0};
        if (parts.size() > 1) {
          if (parts[1] != "from" || parts.size() != 3)
            fail(w.Column, std::string("expected [") + c.Name + "] or [" + c.Name + " from N]");
          t.From = static_cast<std::size_t>(number(2, "a byte's place (0 is the first)"));
        }
        rule.Answer.push_back(t);
        done = true;
      }
      if (done) continue;
      if (head == "delay" && parts.size() == 2) {
        rule.Delay = std::chrono::milliseconds(number(1, "milliseconds"));
      } else if (head == "times" && parts.size() == 2) {
        rule.Times = number(1, "a count");
        if (*rule.Times == 0) fail(w.Column, "expected a count of 1 or more in " + w.Text);
      } else {
        fail(w.Column,
             "expected [xor], [sum], [crc16], [lrc], [delay MS] or [times N], not " + w.Text);
      }
    }
    rules.FRules.push_back(std::move(rule));
  }
  return rules;
}

bool TRespondRules::Match(const std::vector<TToken>& pattern, std::size_t at,
                          std::string_view frame, std::size_t pos, TKept& kept,
                          std::vector<bool>& failed) {
  if (at == pattern.size()) return pos == frame.size();
  const std::size_t mark = at * (frame.size() + 1) + pos;
  if (failed[mark]) return false;
  const bool matched = MatchHere(pattern, at, frame, pos, kept, failed);
  if (!matched) failed[mark] = true;
  return matched;
}

bool TRespondRules::MatchHere(const std::vector<TToken>& pattern, std::size_t at,
                              std::string_view frame, std::size_t pos, TKept& kept,
                              std::vector<bool>& failed) {
  const TToken& t = pattern[at];
  switch (t.Kind) {
    case TKind::Bytes:
      return frame.substr(pos, t.Bytes.size()) == t.Bytes &&
             Match(pattern, at + 1, frame, pos + t.Bytes.size(), kept, failed);
    case TKind::AnyOne:
      return pos < frame.size() && Match(pattern, at + 1, frame, pos + 1, kept, failed);
    case TKind::KeepOne:
      if (pos >= frame.size()) return false;
      kept.emplace_back(t.Bytes, std::string(frame.substr(pos, 1)));
      if (Match(pattern, at + 1, frame, pos + 1, kept, failed)) return true;
      kept.pop_back();
      return false;
    case TKind::AnyRun:
    case TKind::KeepRun:
      // Shortest first: the rest of the pattern decides.
      for (std::size_t n = 0; pos + n <= frame.size(); ++n) {
        if (t.Kind == TKind::KeepRun) kept.emplace_back(t.Bytes, std::string(frame.substr(pos, n)));
        if (Match(pattern, at + 1, frame, pos + n, kept, failed)) return true;
        if (t.Kind == TKind::KeepRun) kept.pop_back();
      }
      return false;
    default: return false;
  }
}

std::string TRespondRules::Build(const std::vector<TToken>& answer, const TKept& kept) {
  std::string out;
  for (const TToken& t : answer) {
    switch (t.Kind) {
      case TKind::Bytes: out += t.Bytes; break;
      case TKind::Put:
        for (const auto& [n, v] : kept)
          if (n == t.Bytes) out += v;
        break;
      case TKind::Check: {
        const std::string_view over =
            t.From < out.size() ? std::string_view(out).substr(t.From) : std::string_view();
        switch (t.Check) {
          case TCheck::Xor: out += static_cast<char>(BccXor(over)); break;
          case TCheck::Sum: out += static_cast<char>(BccSum(over)); break;
          case TCheck::Lrc: out += static_cast<char>(Lrc(over)); break;
          case TCheck::Crc16: {
            const std::uint16_t crc = Crc16Modbus(over);
            out += static_cast<char>(crc & 0xFF);
            out += static_cast<char>(crc >> 8);
            break;
          }
        }
        break;
      }
      default: break;
    }
  }
  return out;
}

std::optional<TRespondRules::TMatch> TRespondRules::Answer(std::string_view frame) {
  for (std::size_t i = 0; i < FRules.size(); ++i) {
    TRule& r = FRules[i];
    if (r.Times && r.Used >= *r.Times) continue;
    TKept kept;
    std::vector<bool> failed(r.Pattern.size() * (frame.size() + 1), false);
    if (!Match(r.Pattern, 0, frame, 0, kept, failed)) continue;
    ++r.Used;
    return TMatch{i, Build(r.Answer, kept), r.Delay};
  }
  return std::nullopt;
}

}  // namespace talmo
