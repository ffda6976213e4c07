// The export format in memory: what the parser refuses and where, what it
// reads from each kind of value line, texts that come back byte for byte,
// the generated value lines, and the edits the store makes.

#include "settings/reg_format.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "support/settings_file.h"

namespace talmo::regfile {
namespace {

const std::string kHeader = talmo::test::kSettingsHeader;

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += static_cast<char>(b);
  return s;
}

// ---------------------------------------------------------------------------
// Texts the parser refuses: the line and what was wrong

struct TBadText {
  const char* what;
  std::string text;
  int line;
  const char* says;
};

TEST(RegFormat, RefusesTextsThatAreNotTheExportFormatNamingTheLine) {
  const TBadText cases[] = {
      {"empty", "", 1, "no 'Windows Registry Editor Version 5.00' line"},
      {"open quote", std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\X]\n\"A=dword:1\n", 4,
       "no closing quote"},
      {"bad dword", std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\X]\n\"A\"=dword:123456789\n", 4,
       "1 to 8 hexadecimal digits"},
      {"bad byte", std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\X]\n\"A\"=hex:01,0g\n", 4,
       "hexadecimal pairs"},
      {"unknown type", std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\X]\n\"A\"=qword:1\n", 4,
       "unknown data type 'qword:'"},
      {"value before key", std::string(kHeader) + "\"A\"=dword:00000001\n", 3,
       "before any [key] line"},
      {"open key line", std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\X\n", 3, "'[path]'"},
      {"continuation at end", std::string(kHeader) + "[K]\n\"A\"=hex:01,\\\n", 4,
       "past the end of the file"},
      {"UTF-16", std::string("\xff\xfeW\0i\0", 6), 1, "UTF-16"},
      {"NUL byte", std::string(kHeader) + "[K]\n\"A\"=\"x" + std::string(1, '\0') + "\"\n", 4,
       "NUL"},
      {"empty key line", std::string(kHeader) + "[]\n", 3, "'[path]'"},
      {"no equals", std::string(kHeader) + "[K]\n\"A\" dword:00000001\n", 4,
       "expected '=' after the value name"},
      {"empty byte", std::string(kHeader) + "[K]\n\"A\"=hex:01,,02\n", 4, "an empty byte"},
      {"three digit byte", std::string(kHeader) + "[K]\n\"A\"=hex:012\n", 4,
       "more than two hexadecimal digits"},
      {"text after quote", std::string(kHeader) + "[K]\n\"A\"=\"x\"y\n", 4,
       "unexpected characters after the closing quote"},
      {"no type", std::string(kHeader) + "[K]\n\"A\"=17\n", 4, "expected dword:, hex:"},
      {"bad type number", std::string(kHeader) + "[K]\n\"A\"=hex(z):00\n", 4,
       "hex(N): needs a hexadecimal type number"},
  };
  for (const TBadText& c : cases) {
    SCOPED_TRACE(c.what);
    TDocument doc;
    const auto error = Parse(c.text, doc);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->Line, c.line);
    EXPECT_NE(error->What.find(c.says), std::string::npos) << error->What;
  }
}

// ---------------------------------------------------------------------------
// What each kind of value line reads as

struct TValueLine {
  std::string line;  // below "[K]"
  std::string name;
  std::uint32_t type;
  std::string data;
};

TEST(RegFormat, ReadsEveryKindOfValueLine) {
  const TValueLine cases[] = {
      {"\"A\"=dword:0000000f", "A", rdInteger, Bytes({0x0f, 0, 0, 0})},
      {"\"A\"=DWORD:1", "A", rdInteger, Bytes({1, 0, 0, 0})},
      {"\"A\"=dword:ffffffff", "A", rdInteger, Bytes({0xff, 0xff, 0xff, 0xff})},
      {"\"A\"  =  hex:01,02,\\\n     03,04", "A", rdBinary, Bytes({1, 2, 3, 4})},
      {"\"A\"=hex:", "A", rdBinary, ""},
      {"\"A\"=hex:1, f ,AB", "A", rdBinary, Bytes({1, 0x0f, 0xab})},
      {"\"A\"=hex(b):01,00,00,00,00,00,00,00", "A", rdQword, Bytes({1, 0, 0, 0, 0, 0, 0, 0})},
      {"\"A\"=hex(0):aa,bb", "A", rdNone, Bytes({0xaa, 0xbb})},
      {"\"A\"=hex(7):41,00,00,00", "A", rdMultiString, Bytes({0x41, 0, 0, 0})},
      {"\"A\"=hex(12345678):", "A", 0x12345678u, ""},
      {"\"A\"=\"C:\\\\path\\\\\"", "A", rdString, "C:\\path\\"},
      {"\"say \\\"hi\\\"\"=\"\\\"\"", "say \"hi\"", rdString, "\""},
      {"\"A\"=\"caf\xe9 ; [x]\"", "A", rdString, "caf\xe9 ; [x]"},
      {"@=\"default\"", "", rdString, "default"},
      {"\t\"A\"=\"\"\t", "A", rdString, ""},
  };
  for (const TValueLine& c : cases) {
    SCOPED_TRACE(c.line);
    TDocument doc;
    ASSERT_FALSE(Parse(std::string(kHeader) + "[K]\n" + c.line + "\n", doc).has_value());
    const auto values = Values(doc, "K");
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].Name, c.name);
    EXPECT_EQ(values[0].Type, c.type);
    EXPECT_EQ(values[0].Data, c.data);
  }
}

// ---------------------------------------------------------------------------
// Texts the parser takes come back byte for byte

TEST(RegFormat, WritesWhatItReadByteForByte) {
  const std::string texts[] = {
      kHeader,
      "REGEDIT4\n",
      "; before the header\n\nWindows Registry Editor Version 5.00\n[K]\n",
      "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n[K]\r\n\"A\"=dword:00000001\r\n",
      std::string(kHeader) + "[K]\n\"x\"=dword:00000001",  // no line end at the end
      std::string(kHeader) + "  [K]  \n  \"A\" = hex:01 , 02 ,\\  \n 03\t\n; c\n\n",
      std::string(kHeader) + "[K]\n\"DELETED\"=-\n@=\"\"\n[K]\n\"a\"=dword:1\n",
      "  Windows Registry Editor Version 5.00\t\r\n[a\\b\\c]\r\n\r\n\r\n",
      std::string(kHeader) + "[K]\n\"A\"=\"text\\\\\"\r\n",
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    TDocument doc;
    ASSERT_FALSE(Parse(text, doc).has_value());
    EXPECT_EQ(Write(doc), text);
  }
}

// ---------------------------------------------------------------------------
// Generated value lines

struct TGenerated {
  const char* what;
  TItem item;
  std::string line;
};

TEST(RegFormat, GeneratesValueLinesAsTheRegistryEditorWritesThem) {
  std::string bytes25;
  for (int i = 0; i < 25; ++i) bytes25 += static_cast<char>(i);
  const TGenerated cases[] = {
      {"dword",
       {true, {}, "REGBAUD", rdInteger, Bytes({6, 0, 0, 0})},
       "\"REGBAUD\"=dword:00000006\n"},
      {"negative dword",
       {true, {}, "N", rdInteger, Bytes({0xff, 0xff, 0xff, 0xff})},
       "\"N\"=dword:ffffffff\n"},
      {"dword type of another size",
       {true, {}, "N", rdInteger, Bytes({1, 2})},
       "\"N\"=hex(4):01,02\n"},
      {"text with escapes",
       {true, {}, "back\\slash \"name\"", rdString, "C:\\path\\ \"hi\""},
       "\"back\\\\slash \\\"name\\\"\"=\"C:\\\\path\\\\ \\\"hi\\\"\"\n"},
      {"default value", {true, {}, "", rdString, "def"}, "@=\"def\"\n"},
      {"empty binary", {true, {}, "B", rdBinary, ""}, "\"B\"=hex:\n"},
      {"binary",
       {true, {}, "REGPROTOCOL", rdBinary, Bytes({2, 3, 1, 0, 1, 0, 1, 0, 0})},
       "\"REGPROTOCOL\"=hex:02,03,01,00,01,00,01,00,00\n"},
      {"other type",
       {true, {}, "Q", rdQword, Bytes({1, 0, 0, 0, 0, 0, 0, 0xab})},
       "\"Q\"=hex(b):01,00,00,00,00,00,00,ab\n"},
      {"long binary wraps under 80 columns",
       {true, {}, "BIN", rdBinary, bytes25},
       "\"BIN\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\n"
       "  16,17,18\n"},
  };
  for (const TGenerated& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(FormatValue(c.item, "\n"), c.line);
    // And it reads back as it was.
    TDocument doc;
    ASSERT_FALSE(Parse(std::string(kHeader) + "[K]\n" + c.line, doc).has_value());
    const auto values = Values(doc, "K");
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].Name, c.item.Name);
    EXPECT_EQ(values[0].Data, c.item.Data);
  }
  EXPECT_EQ(FormatValue({true, {}, "A", rdInteger, Bytes({1, 0, 0, 0})}, "\r\n"),
            "\"A\"=dword:00000001\r\n");
}

// ---------------------------------------------------------------------------
// Edits

struct TEdit {
  const char* what;
  std::string before;
  const char* key;
  const char* name;
  std::string after;
};

TEST(RegFormat, SetValueChangesOnlyItsLineAndAddsNewValuesWhereTheKeyEndsReadably) {
  const TEdit cases[] = {
      {"changed in place under its own name, keeping the others' text",
       std::string(kHeader) + "[K]\n\"A\"=DWORD:2\n\"B\" = hex:01\n\n", "K", "a",
       std::string(kHeader) + "[K]\n\"A\"=dword:00000007\n\"B\" = hex:01\n\n"},
      {"the last definition changes",
       std::string(kHeader) + "[K]\n\"A\"=dword:00000001\n[k]\n\"A\"=dword:00000002\n", "K", "A",
       std::string(kHeader) + "[K]\n\"A\"=dword:00000001\n[k]\n\"A\"=dword:00000007\n"},
      {"added before the blank lines that separate keys",
       std::string(kHeader) + "[K]\n\"A\"=dword:00000001\n; note\n\n\n[L]\n", "K", "N",
       std::string(kHeader) + "[K]\n\"A\"=dword:00000001\n; note\n\"N\"=dword:00000007\n\n\n[L]\n"},
      {"added to the key's last section",
       std::string(kHeader) + "[K]\n\n[L]\n\n[K]\n\"A\"=dword:00000001\n", "K", "N",
       std::string(kHeader) + "[K]\n\n[L]\n\n[K]\n\"A\"=dword:00000001\n\"N\"=dword:00000007\n"},
      {"a new key after a file without a line end at the end",
       std::string(kHeader) + "[K]\n\"A\"=dword:00000001", "New", "N",
       std::string(kHeader) + "[K]\n\"A\"=dword:00000001\n\n[New]\n\"N\"=dword:00000007\n\n"},
      {"a new key in a CR LF file", "Windows Registry Editor Version 5.00\r\n\r\n", "New", "N",
       "Windows Registry Editor Version 5.00\r\n\r\n[New]\r\n\"N\"=dword:00000007\r\n\r\n"},
      {"a first key in an empty document", "", "New", "N",
       std::string(kHeader) + "[New]\n\"N\"=dword:00000007\n\n"},
      // A last line that ends in a CR without its LF gets the LF, not a
      // second CR that would make the line unreadable.
      {"after a last line of a lone CR", "Windows Registry Editor Version 5.00\r\n\r", "New", "N",
       "Windows Registry Editor Version 5.00\r\n\r\n[New]\r\n\"N\"=dword:00000007\r\n\r\n"},
      {"after a last value line ending in CR",
       "Windows Registry Editor Version 5.00\r\n[K]\r\n\"A\"=dword:00000001\r", "K", "N",
       "Windows Registry Editor Version 5.00\r\n[K]\r\n\"A\"=dword:00000001\r\n"
       "\"N\"=dword:00000007\r\n"},
      {"after a last key line ending in CR", "Windows Registry Editor Version 5.00\n[K]\r", "K",
       "N", "Windows Registry Editor Version 5.00\n[K]\r\n\"N\"=dword:00000007\n"},
  };
  for (const TEdit& c : cases) {
    SCOPED_TRACE(c.what);
    TDocument doc;
    if (!c.before.empty()) {
      ASSERT_FALSE(Parse(c.before, doc).has_value());
    }
    SetValue(doc, c.key, c.name, rdInteger, Bytes({7, 0, 0, 0}));
    EXPECT_EQ(Write(doc), c.after);
    // What was written reads again: a store never writes a file it would
    // have to set aside at the next start.
    TDocument again;
    const auto error = Parse(Write(doc), again);
    EXPECT_FALSE(error.has_value()) << error->Line << ": " << error->What;
  }
}

TEST(RegFormat, KeysExistWithTheirChildrenInAnyCase) {
  TDocument doc;
  ASSERT_FALSE(Parse(std::string(kHeader) + "[A\\B\\C]\n\"x\"=\"1\"\n", doc).has_value());
  struct TCase {
    const char* key;
    bool exists;
  };
  const TCase cases[] = {{"A\\B\\C", true},     {"a\\b", true},    {"A", true},
                         {"A\\B\\C\\D", false}, {"A\\B\\", false}, {"A\\BC", false}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(KeyOrChildExists(doc, c.key), c.exists);
  }
  const std::string before = Write(doc);
  AddKey(doc, "a\\B");
  EXPECT_EQ(Write(doc), before);  // a parent of a key exists already
  AddKey(doc, "Other");
  EXPECT_EQ(Write(doc), before + "\n[Other]\n\n");
}

}  // namespace
}  // namespace talmo::regfile
