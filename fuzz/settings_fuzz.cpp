// Random and mutated settings files through the export format, in memory
// (no file, no fsync per input). Properties of a text the parser takes:
// - written back unchanged, it gives the same bytes;
// - every value it lists is found by name, with the same type and data;
// - after the edits the store makes (a number, a text, binary data from the
//   input, a new key), the written text parses again, reads the new values
//   back, and every other value of every key is still what it was.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "settings/reg_format.h"

namespace {

using talmo::TRegValue;
using namespace talmo::regfile;

const std::string kSettingsKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkerstam\\TALMO";
const std::string kNewKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkerstam\\FUZZ NEW";

bool SameValue(const TRegValue& a, const TRegValue& b) {
  return a.Name == b.Name && a.Type == b.Type && a.Data == b.Data;
}

// Every key of the document (in upper case, as names compare) and its values.
std::map<std::string, std::vector<TRegValue>> AllValues(const TDocument& doc) {
  std::map<std::string, std::vector<TRegValue>> all;
  for (const TSection& s : doc.Sections) {
    std::string key = s.Path;
    for (char& c : key)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    if (!all.count(key)) all[key] = Values(doc, s.Path);
  }
  return all;
}

void CheckLookups(const TDocument& doc) {
  for (const TSection& s : doc.Sections) {
    Check(KeyOrChildExists(doc, s.Path));
    for (const TRegValue& v : Values(doc, s.Path)) {
      const TItem* item = FindValue(doc, s.Path, v.Name);
      Check(item != nullptr);
      Check(item->Type == v.Type && item->Data == v.Data);
    }
  }
}

// Text the key objects accept for a string value or a value name.
std::string SafeText(const std::string& s) {
  std::string out;
  for (char c : s)
    if (c != '\r' && c != '\n' && c != '\0') out += c;
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  TDocument doc;
  if (Parse(text, doc)) return 0;  // refused: the store sets such a file aside

  Check(Write(doc) == text);
  CheckLookups(doc);

  const auto before = AllValues(doc);
  const std::string bytes = text.substr(0, 300);
  const std::string name = SafeText(text.substr(text.size() / 2, 12));
  const std::string number("\x39\x30\x00\x00", 4);  // 12345
  const std::vector<TRegValue> edits = {
      {"FUZZCHECK", talmo::rdInteger, number},
      {"FUZZ TEXT", talmo::rdString, SafeText(bytes)},
      {"FUZZ BINARY", talmo::rdBinary, bytes},
      {name, talmo::rdString, "named from the input"},
  };
  for (const TRegValue& e : edits) SetValue(doc, kSettingsKey, e.Name, e.Type, e.Data);
  AddKey(doc, kNewKey);
  SetValue(doc, kNewKey, "N", talmo::rdInteger, number);

  const std::string written = Write(doc);
  TDocument again;
  const auto error = Parse(written, again);
  if (error) std::fprintf(stderr, "line %d: %s\n", error->Line, error->What.c_str());
  Check(!error);
  Check(Write(again) == written);
  CheckLookups(again);

  // The edited values read back; a later edit of the same name wins.
  std::map<std::string, TRegValue> expected;
  for (const TRegValue& e : edits) {
    std::string upper = e.Name;
    for (char& c : upper)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    expected[upper] = e;
  }
  for (const auto& [upper, e] : expected) {
    const TItem* item = FindValue(again, kSettingsKey, e.Name);
    Check(item != nullptr);
    Check(item->Type == e.Type && item->Data == e.Data);
  }
  const TItem* n = FindValue(again, kNewKey, "N");
  Check(n != nullptr && n->Data == number);

  // Everything else is as it was.
  auto after = AllValues(again);
  for (const auto& [key, values] : before) {
    Check(after.count(key) == 1);
    const std::vector<TRegValue>& now = after[key];
    std::size_t j = 0;
    for (const TRegValue& v : values) {
      std::string upper = v.Name;
      for (char& c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
      const bool edited = (SameName(key, kSettingsKey) && expected.count(upper)) ||
                          (SameName(key, kNewKey) && upper == "N");
      Check(j < now.size());
      Check(SameName(now[j].Name, v.Name));
      if (!edited) Check(SameValue(now[j], v));
      ++j;
    }
  }
  return 0;
}
