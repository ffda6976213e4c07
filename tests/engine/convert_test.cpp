#include "engine/convert.h"

#include <gtest/gtest.h>

#include <string>

namespace talmo {
namespace {

TFormatOptions Look(bool hex, bool convert) {
  TFormatOptions o;
  o.Hex = hex;
  o.Convert = convert;
  return o;
}

std::string Text(std::uint8_t b, bool hex, bool convert) {
  std::string s;
  AppendSignText(s, b, Look(hex, convert));
  return s;
}

TEST(kSignNames, HoldsThirtyThreeThreeCharacterEntries) {
  ASSERT_EQ(kSignNames.size(), 99u);
  EXPECT_EQ(kSignNames.substr(0, 3), "NUL");
  EXPECT_EQ(kSignNames.substr(3 * 0x0D, 3), "CR ");
  EXPECT_EQ(kSignNames.substr(3 * 0x1B, 3), "ESC");
  EXPECT_EQ(kSignNames.substr(3 * 0x20, 3), "SP ");
}

TEST(AppendSignText, DocumentedExamples) {
  struct Row {
    std::uint8_t b;
    const char* hex;
    const char* convert;
    const char* neither;
  };
  const Row rows[] = {
      {0x02, " 02", " STX", ""}, {0x0D, " 0D", " CR ", ""},    {0x20, " 20", "  SP ", " "},
      {0x41, " 41", " A", "A"},  {0x7F, " 7F", " $7F", "$7F"}, {0xC4, " C4", " $C4", "$C4"},
      {0x00, " 00", " NUL", ""}, {0x7E, " 7E", " ~", "~"},     {0x1F, " 1F", " US ", ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(static_cast<int>(r.b));
    EXPECT_EQ(Text(r.b, true, true), r.hex);
    EXPECT_EQ(Text(r.b, true, false), r.hex) << "Hex ignores Convert";
    EXPECT_EQ(Text(r.b, false, true), r.convert);
    EXPECT_EQ(Text(r.b, false, false), r.neither);
  }
}

TEST(AppendSignText, EveryByteInEveryLook) {
  for (int v = 0; v < 256; ++v) {
    SCOPED_TRACE(v);
    const auto b = static_cast<std::uint8_t>(v);
    const std::string hex = Text(b, true, false);
    const std::string conv = Text(b, false, true);
    const std::string plain = Text(b, false, false);
    for (const std::string* s : {&hex, &conv, &plain})
      for (char c : *s) EXPECT_TRUE(c >= 0x20 && c <= 0x7E) << "unprintable in '" << *s << "'";

    ASSERT_EQ(hex.size(), 3u);
    EXPECT_EQ(std::stoi(hex.substr(1), nullptr, 16), v);
    EXPECT_EQ(hex.substr(1), [&] {
      char d[2];
      PutHex2(d, v);
      return std::string(d, 2);
    }());

    // Convert is the plain look with a space before it, plus names for
    // control signs and the space.
    ASSERT_EQ(conv[0], ' ');
    if (v < 0x20) {
      EXPECT_EQ(plain, "");
      EXPECT_EQ(conv.substr(1), kSignNames.substr(3 * v, 3));
    } else if (v == 0x20) {
      EXPECT_EQ(plain, " ");
      EXPECT_EQ(conv, "  SP ");
    } else {
      EXPECT_EQ(conv.substr(1), plain);
      if (v < 0x7F)
        EXPECT_EQ(plain, std::string(1, static_cast<char>(v)));
      else
        EXPECT_EQ(plain, "$" + hex.substr(1));
    }
  }
}

TEST(AppendSignText, AppendsToWhatIsThere) {
  std::string s = "First:";
  AppendSignText(s, 0x02, Look(false, true));
  s += ",  Last:";
  AppendSignText(s, 0x03, Look(false, true));
  EXPECT_EQ(s, "First: STX,  Last: ETX");
}

TEST(HexPairToInt, LenientDigits) {
  struct Row {
    const char* text;
    int value;
  };
  const Row rows[] = {
      {"FF", 255}, {"ff", 255},  {"02", 2},   {"2 ", 32},  {"00", 0},  {"  ", 0},
      {"7e", 126}, {"G0", -144}, {"Z0", 160}, {"g0", 256}, {"A", 160}, {"", 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(HexPairToInt(r.text), r.value);
  }
}

TEST(DecPrefixToInt, LeadingDigitsUpToNine) {
  struct Row {
    const char* text;
    int value;
  };
  const Row rows[] = {
      {"123abc", 123},
      {"abc", 0},
      {"123456789x", 123456789},
      {"1234567890", 0},
      {"999999999", 999999999},
      {"", 0},
      {"0007", 7},
      {"-5", 0},
      {"12345678901234", 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(DecPrefixToInt(r.text), r.value);
  }
}

TEST(PutDigits, FixedWidths) {
  char buf[8] = {};
  PutDec2(buf, 5);
  EXPECT_EQ(std::string(buf, 2), "05");
  PutDec3(buf, 7);
  EXPECT_EQ(std::string(buf, 3), "007");
  PutDec3(buf, 999);
  EXPECT_EQ(std::string(buf, 3), "999");
  PutDec4(buf, 12345);
  EXPECT_EQ(std::string(buf, 4), "2345");
  PutDec4(buf, 0);
  EXPECT_EQ(std::string(buf, 4), "0000");
  PutHex2(buf, 0x0A);
  EXPECT_EQ(std::string(buf, 2), "0A");
  PutHex2(buf, 0x1FF);  // only the low byte
  EXPECT_EQ(std::string(buf, 2), "FF");
}

TEST(CopyBytes, CopiesFirstToLast) {
  char buf[] = "abcdef";
  CopyBytes(buf + 1, buf, 4);  // overlapping: each copied byte feeds the next
  EXPECT_STREQ(buf, "aaaaaf");
  char dst[4] = {'x', 'x', 'x', 0};
  CopyBytes(dst, "abc", 0);
  CopyBytes(dst, "abc", -3);
  EXPECT_STREQ(dst, "xxx");
}

TEST(SignField, ReadsAsTheMaskedFieldDoes) {
  struct Row {
    const char* text;
    int sign;
  };
  const Row rows[] = {{"02", 0x02}, {"2", 0x20},  {"7e", 0x7E},
                      {"7E", 0x7E}, {"FF", 0xFF}, {"00", 0}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_TRUE(IsSignFieldText(r.text));
    EXPECT_EQ(SignFromField(r.text), r.sign);
  }
  for (const char* bad : {"", "123", "-1", " 2", "2!", "0-"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(IsSignFieldText(bad));
  }
}

}  // namespace
}  // namespace talmo
