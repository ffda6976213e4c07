// The export format in memory: a parser that keeps every line's exact
// text and a writer that regenerates only what changed.

#include "settings/reg_format.h"

#include <cstdio>
#include <unordered_map>
#include <utility>

namespace talmo::regfile {

namespace {

constexpr const char* kHeader5 = "Windows Registry Editor Version 5.00";
constexpr const char* kHeader4 = "REGEDIT4";

}  // namespace

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

namespace {

// The form under which SameName() names compare equal.
std::string UpperName(const std::string& s) {
  std::string u = s;
  for (char& c : u)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return u;
}

}  // namespace

bool StartsWithName(const std::string& s, const std::string& prefix) {
  return s.size() >= prefix.size() && SameName(s.substr(0, prefix.size()), prefix);
}

namespace {

bool IsBlank(const std::string& s) { return s.find_first_not_of(" \t\r\n") == std::string::npos; }

std::string Trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  const auto e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

void TrimBack(std::string& s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
}

std::string StripEol(const std::string& line) {
  std::string s = line;
  if (!s.empty() && s.back() == '\n') s.pop_back();
  if (!s.empty() && s.back() == '\r') s.pop_back();
  return s;
}

// A short, printable quotation of a faulty line for the warning.
std::string Quote(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (out.size() >= 60) {
      out += "...";
      break;
    }
    if (c < 0x20 || c == 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return "'" + out + "'";
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads a quoted text at s[pos] (which is '"'); \\ and \" are the escapes.
// Returns false when the closing quote is missing.
bool ParseQuoted(const std::string& s, std::size_t& pos, std::string& out) {
  out.clear();
  ++pos;
  while (pos < s.size()) {
    const char c = s[pos];
    if (c == '"') {
      ++pos;
      return true;
    }
    if (c == '\\' && pos + 1 < s.size() && (s[pos + 1] == '\\' || s[pos + 1] == '"')) {
      out += s[pos + 1];
      pos += 2;
      continue;
    }
    out += c;
    ++pos;
  }
  return false;
}

std::string EscapeQuoted(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

// Parses the data part of a value line (after '='). `text` is the logical
// line with continuations joined. Returns an empty text on success, else
// what is wrong. `deletion` is set for the import file's "=-".
std::string ParseData(const std::string& text, std::uint32_t& type, std::string& data,
                      bool& deletion) {
  deletion = false;
  data.clear();
  const std::string t = Trim(text);
  if (t == "-") {
    deletion = true;
    return {};
  }
  if (!t.empty() && t[0] == '"') {
    std::size_t pos = 0;
    if (!ParseQuoted(t, pos, data)) return "the text has no closing quote";
    if (pos != t.size()) return "unexpected characters after the closing quote";
    type = rdString;
    return {};
  }
  const auto colon = t.find(':');
  if (colon == std::string::npos)
    return "expected dword:, hex:, hex(N): or a quoted text after '='";
  const std::string kind = t.substr(0, colon);
  const std::string rest = t.substr(colon + 1);
  if (SameName(kind, "dword")) {
    if (rest.empty() || rest.size() > 8) return "a dword needs 1 to 8 hexadecimal digits";
    std::uint32_t v = 0;
    for (char c : rest) {
      const int d = HexDigit(c);
      if (d < 0) return "a dword needs 1 to 8 hexadecimal digits";
      v = (v << 4) | static_cast<std::uint32_t>(d);
    }
    type = rdInteger;
    for (int i = 0; i < 4; ++i) data += static_cast<char>((v >> (8 * i)) & 0xff);
    return {};
  }
  if (SameName(kind, "hex")) {
    type = rdBinary;
  } else if (kind.size() > 5 && SameName(kind.substr(0, 4), "hex(") && kind.back() == ')') {
    const std::string n = kind.substr(4, kind.size() - 5);
    if (n.size() > 8) return "the type number of hex(N): is too long";
    std::uint32_t v = 0;
    for (char c : n) {
      const int d = HexDigit(c);
      if (d < 0) return "hex(N): needs a hexadecimal type number";
      v = (v << 4) | static_cast<std::uint32_t>(d);
    }
    type = v;
  } else {
    return "unknown data type '" + kind + ":'";
  }
  // Bytes: pairs of hex digits separated by commas; blanks and the joined
  // continuation breaks are allowed between them.
  std::size_t i = 0;
  bool expectByte = true;
  while (i < rest.size()) {
    const char c = rest[i];
    if (c == ' ' || c == '\t') {
      ++i;
      continue;
    }
    if (c == ',') {
      if (expectByte) return "an empty byte between commas";
      expectByte = true;
      ++i;
      continue;
    }
    const int hi = HexDigit(c);
    if (hi < 0 || !expectByte) return "bytes must be hexadecimal pairs separated by commas";
    int v = hi;
    ++i;
    if (i < rest.size() && HexDigit(rest[i]) >= 0) {
      v = v * 16 + HexDigit(rest[i]);
      ++i;
    }
    if (i < rest.size() && HexDigit(rest[i]) >= 0)
      return "a byte has more than two hexadecimal digits";
    data += static_cast<char>(v);
    expectByte = false;
  }
  return {};
}

// Splits into physical lines, each with its line end (the last may lack it).
std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const auto nl = text.find('\n', pos);
    const std::size_t end = nl == std::string::npos ? text.size() : nl + 1;
    lines.push_back(text.substr(pos, end - pos));
    pos = end;
  }
  return lines;
}

}  // namespace

std::optional<TParseError> Parse(const std::string& text, TDocument& doc) {
  doc = TDocument{};
  if (text.size() >= 2 && ((static_cast<unsigned char>(text[0]) == 0xff &&
                            static_cast<unsigned char>(text[1]) == 0xfe) ||
                           (static_cast<unsigned char>(text[0]) == 0xfe &&
                            static_cast<unsigned char>(text[1]) == 0xff)))
    return TParseError{1, "the file is UTF-16 text; it must be saved as UTF-8"};
  if (text.find('\0') != std::string::npos) {
    const auto at = text.find('\0');
    int line = 1;
    for (std::size_t i = 0; i < at; ++i) line += text[i] == '\n';
    return TParseError{line, "the file holds a NUL byte: it is not a text file"};
  }
  const std::vector<std::string> lines = SplitLines(text);
  bool header = false;
  TSection* section = nullptr;
  for (std::size_t n = 0; n < lines.size(); ++n) {
    const int lineNo = static_cast<int>(n) + 1;
    std::string line = StripEol(lines[n]);
    if (n == 0 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    if (n == 0 && lines[n].size() >= 2 && lines[n].ends_with("\r\n")) doc.Eol = "\r\n";
    const std::string t = Trim(line);
    if (!header) {
      if (t.empty() || t[0] == ';') {
        doc.Prolog += lines[n];
        continue;
      }
      if (t != kHeader5 && t != kHeader4)
        return TParseError{lineNo, "expected the first line '" + std::string(kHeader5) +
                                       "', found " + Quote(line)};
      header = true;
      doc.Prolog += lines[n];
      continue;
    }
    if (t.empty() || t[0] == ';') {
      if (section)
        section->Items.push_back(TItem{false, lines[n], {}, 0, {}});
      else
        doc.Prolog += lines[n];
      continue;
    }
    if (t[0] == '[') {
      if (t.back() != ']' || t.size() < 3)
        return TParseError{lineNo, "a key line must be '[path]', found " + Quote(line)};
      doc.Sections.push_back(TSection{t.substr(1, t.size() - 2), lines[n], {}});
      section = &doc.Sections.back();
      continue;
    }
    if (t[0] != '"' && t[0] != '@')
      return TParseError{lineNo,
                         "expected a [key] line, a \"name\"=value line, a ';' "
                         "comment or a blank line, found " +
                             Quote(line)};
    if (!section) return TParseError{lineNo, "a value line before any [key] line: " + Quote(line)};
    TItem item;
    item.IsValue = true;
    std::size_t pos = 0;
    if (t[0] == '@') {
      pos = 1;
    } else if (!ParseQuoted(t, pos, item.Name)) {
      return TParseError{lineNo, "the value name has no closing quote: " + Quote(line)};
    }
    while (pos < t.size() && (t[pos] == ' ' || t[pos] == '\t')) ++pos;
    if (pos >= t.size() || t[pos] != '=')
      return TParseError{lineNo, "expected '=' after the value name: " + Quote(line)};
    std::string dataText = t.substr(pos + 1);
    item.Raw = lines[n];
    // hex data continues on the next line after a trailing backslash. Only
    // the end of the joined text is looked at, never the whole of it, so a
    // value over many lines is read in linear time.
    const std::string lead = Trim(dataText);
    if (!lead.empty() && lead[0] != '"') {
      TrimBack(dataText);
      while (!dataText.empty() && dataText.back() == '\\') {
        dataText.pop_back();
        if (n + 1 >= lines.size())
          return TParseError{lineNo, "the data continues past the end of the file"};
        ++n;
        item.Raw += lines[n];
        dataText += StripEol(lines[n]);
        TrimBack(dataText);
      }
    }
    bool deletion = false;
    const std::string err = ParseData(dataText, item.Type, item.Data, deletion);
    if (!err.empty()) return TParseError{lineNo, err + ": " + Quote(line)};
    if (deletion) {
      // An import file's "delete this value": meaningless here, kept as text.
      item.IsValue = false;
      item.Name.clear();
    }
    section->Items.push_back(std::move(item));
  }
  if (!header)
    return TParseError{1, "the file is empty or has no '" + std::string(kHeader5) + "' line"};
  return std::nullopt;
}

namespace {

std::string HexByte(unsigned char b) {
  static const char* digits = "0123456789abcdef";
  return {digits[b >> 4], digits[b & 15]};
}

}  // namespace

std::string FormatValue(const TItem& item, const std::string& eol) {
  std::string line = item.Name.empty() ? "@" : EscapeQuoted(item.Name);
  line += "=";
  if (item.Type == rdString) return line + EscapeQuoted(item.Data) + eol;
  if (item.Type == rdInteger && item.Data.size() == 4) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
      v = (v << 8) | static_cast<unsigned char>(item.Data[static_cast<std::size_t>(i)]);
    char buf[16];
    std::snprintf(buf, sizeof buf, "dword:%08x", v);
    return line + buf + eol;
  }
  if (item.Type == rdBinary) {
    line += "hex:";
  } else {
    char buf[24];
    std::snprintf(buf, sizeof buf, "hex(%x):", item.Type);
    line += buf;
  }
  // Long data wraps as the registry editor wraps it, under 80 columns.
  std::string out;
  for (std::size_t i = 0; i < item.Data.size(); ++i) {
    const bool last = i + 1 == item.Data.size();
    if (line.size() + 3 > 78) {
      out += line + "\\" + eol;
      line = "  ";
    }
    line += HexByte(static_cast<unsigned char>(item.Data[i]));
    if (!last) line += ",";
  }
  return out + line + eol;
}

namespace {

bool EndsWithBlankLine(const std::string& s) {
  return s.empty() || s.ends_with("\n\n") || s.ends_with("\n\r\n");
}

}  // namespace

std::string Write(const TDocument& doc) {
  std::string out = doc.Prolog;
  if (out.empty()) out = std::string(kHeader5) + doc.Eol + doc.Eol;
  // A generated line starts on a line of its own. A last line that ends in
  // a CR without its LF only lacks the LF: a second CR would stay in that
  // line and make it unreadable.
  auto startGenerated = [&] {
    if (out.empty() || out.back() == '\n') return;
    out += out.back() == '\r' ? std::string("\n") : doc.Eol;
  };
  for (const TSection& s : doc.Sections) {
    if (s.HeaderRaw.empty()) {
      startGenerated();
      if (!EndsWithBlankLine(out)) out += doc.Eol;
      out += "[" + s.Path + "]" + doc.Eol;
    } else {
      out += s.HeaderRaw;
    }
    for (const TItem& item : s.Items) {
      if (!item.Raw.empty()) {
        out += item.Raw;
      } else {
        startGenerated();
        out += FormatValue(item, doc.Eol);
      }
    }
  }
  return out;
}

// The last definition of a value wins, as when the file is imported.
const TItem* FindValue(const TDocument& doc, const std::string& full, const std::string& name) {
  const TItem* found = nullptr;
  for (const TSection& s : doc.Sections) {
    if (!SameName(s.Path, full)) continue;
    for (const TItem& item : s.Items)
      if (item.IsValue && SameName(item.Name, name)) found = &item;
  }
  return found;
}

TItem* FindValue(TDocument& doc, const std::string& full, const std::string& name) {
  return const_cast<TItem*>(FindValue(std::as_const(doc), full, name));
}

bool KeyOrChildExists(const TDocument& doc, const std::string& full) {
  for (const TSection& s : doc.Sections)
    if (SameName(s.Path, full) || StartsWithName(s.Path, full + "\\")) return true;
  return false;
}

std::vector<TRegValue> Values(const TDocument& doc, const std::string& full) {
  std::vector<TRegValue> values;
  // One pass with an index by name: a key of many values costs linear time.
  std::unordered_map<std::string, std::size_t> at;
  for (const TSection& s : doc.Sections) {
    if (!SameName(s.Path, full)) continue;
    for (const TItem& item : s.Items) {
      if (!item.IsValue) continue;
      const auto [it, added] = at.try_emplace(UpperName(item.Name), values.size());
      if (added) {
        values.push_back(TRegValue{item.Name, item.Type, item.Data});
      } else {  // the last definition wins, in the place of the first
        values[it->second].Type = item.Type;
        values[it->second].Data = item.Data;
      }
    }
  }
  return values;
}

void AddKey(TDocument& doc, const std::string& full) {
  if (KeyOrChildExists(doc, full)) return;
  TSection s{full, {}, {}};
  s.Items.push_back(TItem{false, doc.Eol, {}, 0, {}});
  doc.Sections.push_back(std::move(s));
}

void SetValue(TDocument& doc, const std::string& full, const std::string& name, std::uint32_t type,
              const std::string& data) {
  if (TItem* item = FindValue(doc, full, name)) {
    item->Type = type;
    item->Data = data;
    item->Raw.clear();
    return;
  }
  TSection* target = nullptr;
  for (TSection& s : doc.Sections)
    if (SameName(s.Path, full)) target = &s;
  if (!target) {
    doc.Sections.push_back(TSection{full, {}, {}});
    target = &doc.Sections.back();
    target->Items.push_back(TItem{false, doc.Eol, {}, 0, {}});
  }
  // New values go after the last non-blank line of the key, so the blank
  // line that separates keys stays where it is.
  std::size_t at = target->Items.size();
  while (at > 0 && !target->Items[at - 1].IsValue && IsBlank(target->Items[at - 1].Raw)) --at;
  target->Items.insert(target->Items.begin() + static_cast<std::ptrdiff_t>(at),
                       TItem{true, {}, name, type, data});
}

}  // namespace talmo::regfile
