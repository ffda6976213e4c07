#pragma once
// The registry editor's export format ("Windows Registry Editor Version
// 5.00", [key] lines, "name"=value lines) as a document in memory: parsing
// that keeps every line's exact text, writing that regenerates only what
// changed, and the edits the settings store makes. No file access here.
//
// Contracts:
// - Write(Parse(text)) gives `text` back byte for byte for every text that
//   Parse() takes.
// - Keys, values, comments and blank lines an edit does not touch are
//   written back byte for byte, in their order.
// - Keys and value names compare without regard to ASCII case, as the
//   registry does.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace talmo {

// Data types as the registry numbers them; "hex(N):" keeps any other N.
enum TRegDataType : std::uint32_t {
  rdNone = 0,
  rdString = 1,            // "text"
  rdExpandString = 2,      // hex(2):
  rdBinary = 3,            // hex:
  rdInteger = 4,           // dword:
  rdIntegerBigEndian = 5,  // hex(5):
  rdMultiString = 7,       // hex(7):
  rdQword = 11,            // hex(b):
};

// One value of a key as the file defines it.
struct TRegValue {
  std::string Name;  // "" is the default value "@"
  std::uint32_t Type = 0;
  std::string Data;
};

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

struct TParseError {
  int Line;  // 1-based
  std::string What;
};

// Reads `text` into `doc`; on an error `doc` holds what was read before it.
std::optional<TParseError> Parse(const std::string& text, TDocument& doc);

// The text of `doc`: kept lines as they were read, the others generated.
std::string Write(const TDocument& doc);

// One generated "name"=value line (with continuations for long data).
std::string FormatValue(const TItem& item, const std::string& eol);

bool SameName(const std::string& a, const std::string& b);
bool StartsWithName(const std::string& s, const std::string& prefix);

// The value `name` of the key `full` (a path as between the brackets); the
// last definition wins, as when the file is imported. Null when missing.
TItem* FindValue(TDocument& doc, const std::string& full, const std::string& name);
const TItem* FindValue(const TDocument& doc, const std::string& full, const std::string& name);

// True when the key or a key below it has a section.
bool KeyOrChildExists(const TDocument& doc, const std::string& full);

// Every value of the key in file order; where a name is defined twice the
// last definition wins, in the place of the first.
std::vector<TRegValue> Values(const TDocument& doc, const std::string& full);

// Adds an empty section for the key unless the key or a child exists.
void AddKey(TDocument& doc, const std::string& full);

// Changes the value (its last definition), or adds it after the last
// non-blank line of the key's last section, creating the key as needed.
void SetValue(TDocument& doc, const std::string& full, const std::string& name, std::uint32_t type,
              const std::string& data);

}  // namespace regfile
}  // namespace talmo
