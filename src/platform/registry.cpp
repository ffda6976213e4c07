// The settings file in the registry editor's export format: parsing that
// keeps every line's exact text, rewriting that regenerates only what
// changed, and the atomic replacement of the file.

#include "registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <unordered_map>

#include "ser_types.h"

namespace talmo {

namespace regfile {

// One physical or (for hex data with continuations) logical line of a key
// section. Raw holds its exact text including the line ends; an empty Raw
// means the item is new or changed and is generated when written.
struct TItem {
  bool IsValue = false;
  std::string Raw;
  std::string Name;  // "" is the default value "@"
  std::uint32_t Type = 0;
  std::string Data;
};

struct TSection {
  std::string Path;       // full path as written between the brackets
  std::string HeaderRaw;  // empty: generated
  std::vector<TItem> Items;
};

struct TDocument {
  std::string Prolog;  // BOM, header line and what precedes the first key
  std::vector<TSection> Sections;
  std::string Eol = "\n";
};

}  // namespace regfile

using regfile::TDocument;
using regfile::TItem;
using regfile::TSection;

namespace {

constexpr const char* kHeader5 = "Windows Registry Editor Version 5.00";
constexpr const char* kHeader4 = "REGEDIT4";
constexpr std::size_t kMaxFileSize = 16u << 20;

// Keys and value names compare without regard to ASCII case, as the
// registry does.
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

// The form under which SameName() names compare equal.
std::string UpperName(const std::string& s) {
  std::string u = s;
  for (char& c : u)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return u;
}

bool StartsWithName(const std::string& s, const std::string& prefix) {
  return s.size() >= prefix.size() && SameName(s.substr(0, prefix.size()), prefix);
}

std::string FullPath(const std::string& key) {
  std::string full = TRegistry::RootKeyName;
  if (!key.empty()) full += "\\" + key;
  return full;
}

bool IsBlank(const std::string& s) {
  return s.find_first_not_of(" \t\r\n") == std::string::npos;
}

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

struct TParseError {
  int Line;
  std::string What;
};

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
    if (c == '\\' && pos + 1 < s.size() &&
        (s[pos + 1] == '\\' || s[pos + 1] == '"')) {
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
std::string ParseData(const std::string& text, std::uint32_t& type,
                      std::string& data, bool& deletion) {
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
    if (rest.empty() || rest.size() > 8)
      return "a dword needs 1 to 8 hexadecimal digits";
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
  } else if (kind.size() > 5 && SameName(kind.substr(0, 4), "hex(") &&
             kind.back() == ')') {
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
    if (n == 0 && lines[n].size() >= 2 && lines[n].ends_with("\r\n"))
      doc.Eol = "\r\n";
    const std::string t = Trim(line);
    if (!header) {
      if (t.empty() || t[0] == ';') {
        doc.Prolog += lines[n];
        continue;
      }
      if (t != kHeader5 && t != kHeader4)
        return TParseError{lineNo, "expected the first line '" +
                                       std::string(kHeader5) + "', found " +
                                       Quote(line)};
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
                         "comment or a blank line, found " + Quote(line)};
    if (!section)
      return TParseError{lineNo, "a value line before any [key] line: " + Quote(line)};
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
    if (!err.empty())
      return TParseError{lineNo, err + ": " + Quote(line)};
    if (deletion) {
      // An import file's "delete this value": meaningless here, kept as text.
      item.IsValue = false;
      item.Name.clear();
    }
    section->Items.push_back(std::move(item));
  }
  if (!header)
    return TParseError{1, "the file is empty or has no '" + std::string(kHeader5) +
                              "' line"};
  return std::nullopt;
}

std::string HexByte(unsigned char b) {
  static const char* digits = "0123456789abcdef";
  return {digits[b >> 4], digits[b & 15]};
}

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

bool EndsWithBlankLine(const std::string& s) {
  return s.empty() || s.ends_with("\n\n") || s.ends_with("\n\r\n");
}

std::string Serialize(const TDocument& doc) {
  std::string out = doc.Prolog;
  if (out.empty()) out = std::string(kHeader5) + doc.Eol + doc.Eol;
  auto startGenerated = [&] {
    if (!out.empty() && out.back() != '\n') out += doc.Eol;
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

bool DataIsSafeText(const std::string& s) {
  return s.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

std::string Errno(const std::string& what, int err) {
  return what + ": " + SysErrorText(err);
}

bool WriteAll(int fd, const std::string& text, int& err) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// mkdir -p; the folders hold per-user settings, so only the user may enter.
bool MakeFolders(const std::string& dir, std::string& error) {
  if (dir.empty()) return true;
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    error = Errno("cannot use folder " + dir, ENOTDIR);
    return false;
  }
  const auto slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0 &&
      !MakeFolders(dir.substr(0, slash), error))
    return false;
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    error = Errno("cannot create folder " + dir, errno);
    return false;
  }
  return true;
}

std::string LocalStamp(std::chrono::system_clock::time_point t) {
  const std::time_t tt = std::chrono::system_clock::to_time_t(t);
  std::tm tm {};
  localtime_r(&tt, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &tm);
  return buf;
}

// Keys that exist only on the system this program was first written for;
// here they never exist and are never created.
bool IsAbsentKey(const std::string& key) {
  const std::string policy = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
  return SameName(key, policy) || StartsWithName(key, policy + "\\");
}

std::string NormalizeKey(const std::string& key) {
  std::size_t b = 0, e = key.size();
  while (b < e && key[b] == '\\') ++b;
  while (e > b && key[e - 1] == '\\') --e;
  return key.substr(b, e - b);
}

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return path.substr(0, slash == 0 ? 1 : slash);
}

// A settings file kept elsewhere through a link is read, replaced and set
// aside at its target, so the link stays. The links are followed by hand:
// a target that does not exist yet is still where the file belongs.
std::string TargetPath(const std::string& path) {
  std::string p = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat lst {};
    if (::lstat(p.c_str(), &lst) != 0 || !S_ISLNK(lst.st_mode)) return p;
    std::string link(static_cast<std::size_t>(lst.st_size > 0 ? lst.st_size : 255) + 1, '\0');
    const ssize_t n = ::readlink(p.c_str(), link.data(), link.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= link.size()) return p;
    link.resize(static_cast<std::size_t>(n));
    p = link[0] == '/' ? link : FolderOf(p) + "/" + link;
  }
  return p;  // a loop of links: Save() refuses to replace it
}

// Holds an flock on the settings folder, so that two running programs
// change the file one after the other and neither loses the other's change.
// Nothing is held when the folder does not exist yet.
class TFolderLock {
 public:
  explicit TFolderLock(const std::string& dir)
      : FFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (FFd >= 0)
      while (::flock(FFd, LOCK_EX) != 0 && errno == EINTR) {
      }
  }
  ~TFolderLock() {
    if (FFd >= 0) ::close(FFd);
  }
  TFolderLock(const TFolderLock&) = delete;
  TFolderLock& operator=(const TFolderLock&) = delete;

 private:
  int FFd;
};

std::mutex& StoresLock() {
  static std::mutex m;
  return m;
}
std::map<std::string, std::weak_ptr<TRegistryStore>>& Stores() {
  static std::map<std::string, std::weak_ptr<TRegistryStore>> m;
  return m;
}

// The last definition of a value wins, as when the file is imported.
TItem* FindValue(TDocument& doc, const std::string& full, const std::string& name) {
  TItem* found = nullptr;
  for (TSection& s : doc.Sections) {
    if (!SameName(s.Path, full)) continue;
    for (TItem& item : s.Items)
      if (item.IsValue && SameName(item.Name, name)) found = &item;
  }
  return found;
}

bool SectionOrChildExists(const TDocument& doc, const std::string& full) {
  for (const TSection& s : doc.Sections)
    if (SameName(s.Path, full) || StartsWithName(s.Path, full + "\\")) return true;
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------

TRegistryStore::TRegistryStore(std::string path, TWallClock clock)
    : FPath(std::move(path)),
      FClock(clock ? std::move(clock) : TWallClock(&std::chrono::system_clock::now)),
      FDoc(std::make_unique<TDocument>()) {}

TRegistryStore::~TRegistryStore() = default;

std::shared_ptr<TRegistryStore> TRegistryStore::ForFile(const std::string& path,
                                                        TWallClock clock) {
  std::string key = path;
  if (!path.empty()) {
    std::error_code ec;
    const auto abs = std::filesystem::absolute(path, ec);
    if (!ec) key = abs.lexically_normal().string();
  }
  std::lock_guard<std::mutex> guard(StoresLock());
  auto& stores = Stores();
  if (auto existing = stores[key].lock()) return existing;
  std::shared_ptr<TRegistryStore> store(new TRegistryStore(key, std::move(clock)));
  {
    std::lock_guard<std::mutex> own(store->FLock);
    store->Load();
  }
  stores[key] = store;
  // Forget stores that have gone, so the table does not grow.
  for (auto it = stores.begin(); it != stores.end();)
    it = it->second.expired() ? stores.erase(it) : std::next(it);
  return store;
}

TRegistryStore::TStamp TRegistryStore::StampNow() const {
  TStamp s;
  struct stat st {};
  if (FPath.empty() || ::stat(FPath.c_str(), &st) != 0) return s;
  s.Exists = true;
  s.Dev = st.st_dev;
  s.Ino = st.st_ino;
  s.Size = static_cast<std::uint64_t>(st.st_size);
  s.MtimeNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return s;
}

void TRegistryStore::Load() {
  FDoc = std::make_unique<TDocument>();
  FBlocked = false;
  FUnsaved = false;
  FStamp = StampNow();
  if (FPath.empty()) {
    FWarning = "No folder for the settings file is known (HOME is not set); "
               "settings will not be saved.";
    FBlocked = true;
    return;
  }
  // O_NONBLOCK: a FIFO put in its place must not hang the start.
  const int rfd = ::open(FPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (rfd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return;  // first start
    FWarning = "The settings file " + FPath + " cannot be read (" +
               SysErrorText(errno) + "); TALMO starts with default settings "
               "and will not save settings until it can read the file.";
    FBlocked = true;
    return;
  }
  struct stat st {};
  std::string text;
  bool tooLarge = false;
  if (::fstat(rfd, &st) == 0 && !S_ISREG(st.st_mode)) {
    ::close(rfd);
    FWarning = "The settings file " + FPath + " is not a regular file; TALMO "
               "starts with default settings and will not save settings.";
    FBlocked = true;
    return;
  }
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(rfd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      ::close(rfd);
      FWarning = "The settings file " + FPath + " cannot be read (" +
                 SysErrorText(err) + "); TALMO starts with default settings "
                 "and will not save settings until it can read the file.";
      FBlocked = true;
      return;
    }
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
    if (text.size() > kMaxFileSize) {
      tooLarge = true;
      break;
    }
  }
  ::close(rfd);
  TDocument doc;
  if (tooLarge) {
    SetAside(FPath + ": the file is larger than 16 MiB");
    return;
  }
  if (auto err = Parse(text, doc)) {
    SetAside(FPath + ", line " + std::to_string(err->Line) + ": " + err->What);
    return;
  }
  *FDoc = std::move(doc);
}

void TRegistryStore::SetAside(const std::string& why) {
  FDoc = std::make_unique<TDocument>();
  // Beside the file itself: a link to it stays and leads to the new file.
  const std::string file = TargetPath(FPath);
  const std::string base = file + ".unreadable-" + LocalStamp(FClock());
  std::string target = base;
  int err = 0;
  for (int attempt = 2; attempt < 1000; ++attempt) {
    // Never replace an earlier set-aside file.
    if (::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, target.c_str(),
                    RENAME_NOREPLACE) == 0) {
      err = 0;
      break;
    }
    err = errno;
    if (err == EINVAL) {
      // The file system knows no RENAME_NOREPLACE: check, then rename.
      struct stat st {};
      if (::stat(target.c_str(), &st) != 0 && ::rename(file.c_str(), target.c_str()) == 0) {
        err = 0;
        break;
      }
      err = errno == ENOENT ? EEXIST : errno;
    }
    if (err != EEXIST) break;
    target = base + "-" + std::to_string(attempt);
  }
  if (err == 0) {
    FStamp = StampNow();
    FBlocked = false;
    FWarning = "The settings file could not be read (" + why + "). It was set "
               "aside as " + target + ", so TALMO goes back to its default settings.";
  } else {
    FBlocked = true;
    FWarning = "The settings file could not be read (" + why + ") and could not "
               "be set aside (" + SysErrorText(err) + "). TALMO starts with "
               "default settings and will not save settings until the file is "
               "repaired or removed.";
  }
}

bool TRegistryStore::ReloadIfChanged() {
  if (StampNow() == FStamp) return false;
  Load();
  return true;
}

std::optional<std::string> TRegistryStore::TakeWarning() {
  std::lock_guard<std::mutex> guard(FLock);
  std::optional<std::string> w;
  w.swap(FWarning);
  return w;
}

bool TRegistryStore::KeyExists(const std::string& key) {
  std::lock_guard<std::mutex> guard(FLock);
  ReloadIfChanged();
  return key.empty() || SectionOrChildExists(*FDoc, FullPath(key));
}

void TRegistryStore::CreateKey(const std::string& key) {
  std::lock_guard<std::mutex> guard(FLock);
  ReloadIfChanged();
  const std::string full = FullPath(key);
  if (key.empty() || SectionOrChildExists(*FDoc, full)) return;
  TSection s{full, {}, {}};
  s.Items.push_back(TItem{false, FDoc->Eol, {}, 0, {}});
  FDoc->Sections.push_back(std::move(s));
}

bool TRegistryStore::ValueExists(const std::string& key, const std::string& name) {
  std::lock_guard<std::mutex> guard(FLock);
  ReloadIfChanged();
  return FindValue(*FDoc, FullPath(key), name) != nullptr;
}

bool TRegistryStore::GetValue(const std::string& key, const std::string& name,
                              std::uint32_t& type, std::string& data) {
  std::lock_guard<std::mutex> guard(FLock);
  ReloadIfChanged();
  const TItem* item = FindValue(*FDoc, FullPath(key), name);
  if (!item) return false;
  type = item->Type;
  data = item->Data;
  return true;
}

std::vector<std::string> TRegistryStore::ValueNames(const std::string& key) {
  std::vector<std::string> names;
  for (TRegValue& v : Values(key)) names.push_back(std::move(v.Name));
  return names;
}

std::vector<TRegValue> TRegistryStore::Values(const std::string& key) {
  std::lock_guard<std::mutex> guard(FLock);
  ReloadIfChanged();
  const std::string full = FullPath(key);
  std::vector<TRegValue> values;
  // One pass with an index by name: a key of many values costs linear time.
  std::unordered_map<std::string, std::size_t> at;
  for (const TSection& s : FDoc->Sections) {
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

bool TRegistryStore::SetValue(const std::string& key, const std::string& name,
                              std::uint32_t type, const std::string& data,
                              bool keepUnsaved) {
  const std::string message = "Failed to set data for '" + name + "'";
  std::lock_guard<std::mutex> guard(FLock);
  const TFolderLock folder(FolderOf(TargetPath(FPath)));
  ReloadIfChanged();
  const std::string full = FullPath(key);
  if (TItem* existing = FindValue(*FDoc, full, name);
      existing && existing->Type == type && existing->Data == data && !FUnsaved)
    return false;  // the file already says so
  TDocument next = *FDoc;
  if (TItem* item = FindValue(next, full, name)) {
    item->Type = type;
    item->Data = data;
    item->Raw.clear();
  } else {
    TSection* target = nullptr;
    for (TSection& s : next.Sections)
      if (SameName(s.Path, full)) target = &s;
    if (!target) {
      next.Sections.push_back(TSection{full, {}, {}});
      target = &next.Sections.back();
      target->Items.push_back(TItem{false, next.Eol, {}, 0, {}});
    }
    // New values go after the last non-blank line of the key, so the blank
    // line that separates keys stays where it is.
    std::size_t at = target->Items.size();
    while (at > 0 && !target->Items[at - 1].IsValue &&
           IsBlank(target->Items[at - 1].Raw))
      --at;
    target->Items.insert(target->Items.begin() + static_cast<std::ptrdiff_t>(at),
                         TItem{true, {}, name, type, data});
  }
  std::string error;
  if (FBlocked)
    error = "the file is unreadable and is kept as it is";
  else if (Save(next, error))
    FUnsaved = false;
  if (!error.empty()) {
    if (keepUnsaved) {
      *FDoc = std::move(next);
      FUnsaved = true;
    }
    throw ERegistryException(message, error);
  }
  *FDoc = std::move(next);
  return true;
}

bool TRegistryStore::Save(const TDocument& doc, std::string& error) {
  const std::string text = Serialize(doc);
  const std::string path = TargetPath(FPath);
  const std::string dir = FolderOf(path);
  const std::string base = path.substr(path.find_last_of('/') + 1);
  struct stat link {};
  if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    // A link that leads nowhere (a loop) is the user's, not ours to replace.
    error = Errno("cannot write " + FPath, ELOOP);
    return false;
  }
  if (!MakeFolders(dir, error)) return false;
  std::string tmp = dir + "/." + base + ".tmp-XXXXXX";
  const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) {
    error = Errno("cannot create a temporary file in " + dir, errno);
    return false;
  }
  int err = 0;
  struct stat old {};
  const mode_t mode = ::stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0600;
  bool ok = WriteAll(fd, text, err);
  if (ok && ::fchmod(fd, mode) != 0) {
    err = errno;
    ok = false;
  }
  if (ok && ::fsync(fd) != 0) {
    err = errno;
    ok = false;
  }
  if (::close(fd) != 0 && ok) {
    err = errno;
    ok = false;
  }
  if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
    err = errno;
    ok = false;
  }
  if (!ok) {
    ::unlink(tmp.c_str());
    error = Errno("cannot write " + path, err);
    return false;
  }
  // The rename itself is durable only once the folder is.
  const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    (void)::fsync(dfd);
    ::close(dfd);
  }
  FStamp = StampNow();
  return true;
}

// ---------------------------------------------------------------------------

TRegistry::TRegistry() : TRegistry(TRegistryStore::ForFile(SettingsFilePath())) {}

TRegistry::TRegistry(std::shared_ptr<TRegistryStore> store) : FStore(std::move(store)) {}

bool TRegistry::OpenKey(const std::string& key, bool canCreate) {
  const std::string k = NormalizeKey(key);
  if (IsAbsentKey(k)) return false;
  if (!FStore->KeyExists(k)) {
    // A key path must fit in one "[...]" line.
    if (!canCreate || !DataIsSafeText(k) || k.find(']') != std::string::npos)
      return false;
    FStore->CreateKey(k);
  }
  FOpen = true;
  FCurrentPath = k;
  return true;
}

bool TRegistry::KeyExists(const std::string& key) {
  const std::string k = NormalizeKey(key);
  return !IsAbsentKey(k) && FStore->KeyExists(k);
}

void TRegistry::CloseKey() {
  FOpen = false;
  FCurrentPath.clear();
}

bool TRegistry::ValueExists(const std::string& name) {
  return FOpen && FStore->ValueExists(FCurrentPath, name);
}

std::optional<std::uint32_t> TRegistry::GetDataType(const std::string& name) {
  std::uint32_t type = 0;
  std::string data;
  if (!FOpen || !FStore->GetValue(FCurrentPath, name, type, data)) return std::nullopt;
  return type;
}

std::int32_t TRegistry::ReadInteger(const std::string& name) {
  std::uint32_t type = 0;
  std::string data;
  if (!FOpen || !FStore->GetValue(FCurrentPath, name, type, data))
    throw ERegistryException("Failed to get data for '" + name + "'",
                             FOpen ? "no such value" : "no key is open");
  if (type != rdInteger || data.size() != 4)
    throw ERegistryException("Invalid data type for '" + name + "'");
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i)
    v = (v << 8) | static_cast<unsigned char>(data[static_cast<std::size_t>(i)]);
  return static_cast<std::int32_t>(v);
}

void TRegistry::WriteInteger(const std::string& name, std::int32_t value) {
  const auto v = static_cast<std::uint32_t>(value);
  std::string data;
  for (int i = 0; i < 4; ++i) data += static_cast<char>((v >> (8 * i)) & 0xff);
  Write(name, rdInteger, data);
}

bool TRegistry::ReadBool(const std::string& name) { return ReadInteger(name) != 0; }

void TRegistry::WriteBool(const std::string& name, bool value) {
  WriteInteger(name, value ? 1 : 0);
}

int TRegistry::ReadBinaryData(const std::string& name, void* buffer, int size) {
  std::uint32_t type = 0;
  std::string data;
  if (!FOpen || !FStore->GetValue(FCurrentPath, name, type, data)) return 0;
  // Texts and numbers are not binary data; other kinds ("hex(N):") are.
  const bool binary = type != rdString && type != rdExpandString &&
                      type != rdInteger && type != 5 && type != rdMultiString &&
                      type != rdQword;
  if (!binary || size < 0 || data.size() > static_cast<std::size_t>(size))
    throw ERegistryException("Invalid data type for '" + name + "'");
  if (!data.empty()) std::memcpy(buffer, data.data(), data.size());
  return static_cast<int>(data.size());
}

void TRegistry::WriteBinaryData(const std::string& name, const void* buffer, int size) {
  if (size < 0)
    throw ERegistryException("Failed to set data for '" + name + "'", "negative size");
  Write(name, rdBinary,
        size == 0 ? std::string() : std::string(static_cast<const char*>(buffer),
                                                static_cast<std::size_t>(size)));
}

std::string TRegistry::ReadString(const std::string& name) {
  std::uint32_t type = 0;
  std::string data;
  if (!FOpen || !FStore->GetValue(FCurrentPath, name, type, data)) return {};
  if (type != rdString) throw ERegistryException("Invalid data type for '" + name + "'");
  return data;
}

void TRegistry::WriteString(const std::string& name, const std::string& value) {
  if (!DataIsSafeText(value))
    throw ERegistryException("Failed to set data for '" + name + "'",
                             "a text with a line break or NUL cannot be stored");
  Write(name, rdString, value);
}

std::vector<std::string> TRegistry::GetValueNames() {
  if (!FOpen) return {};
  return FStore->ValueNames(FCurrentPath);
}

void TRegistry::Write(const std::string& name, std::uint32_t type,
                      const std::string& data) {
  if (!FOpen)
    throw ERegistryException("Failed to set data for '" + name + "'", "no key is open");
  if (!DataIsSafeText(name))
    throw ERegistryException("Failed to set data for '" + name + "'",
                             "a value name with a line break or NUL cannot be stored");
  if (!FOnRefused) {
    FStore->SetValue(FCurrentPath, name, type, data);
    return;
  }
  try {
    if (FStore->SetValue(FCurrentPath, name, type, data, true)) FRefusalReported = false;
  } catch (const ERegistryException& e) {
    if (FRefusalReported) return;
    FRefusalReported = true;
    FOnRefused(std::string(e.what()) + " in " + FStore->Path() + ": " + e.Detail() +
               ". Changed settings are used while TALMO runs but are not saved.");
  }
}

}  // namespace talmo
