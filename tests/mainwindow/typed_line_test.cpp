#include "mainwindow/typed_line.h"

#include <gtest/gtest.h>

namespace talmo {
namespace {

TEST(TypedLine, CountsAndCaptions) {
  TTypedLine t;
  EXPECT_EQ(t.Caption(), "Transmit");
  for (std::uint8_t k : {'x', 'y', 'z'}) ASSERT_TRUE(t.Add(k));
  EXPECT_EQ(t.Count(), 3);
  EXPECT_EQ(t.Caption(), "Transmit (3)");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(t.Data()), 3), "xyz");
  t.SetSingle('X');
  EXPECT_EQ(t.Count(), 1);
  t.Add('Y');
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(t.Data()), 2), "XY");
  t.Reset();
  EXPECT_EQ(t.Caption(), "Transmit");
}

TEST(TypedLine, RefusesKeysPastItsRoom) {
  TTypedLine t;
  for (int i = 0; i < TTypedLine::kCapacity; ++i) ASSERT_TRUE(t.Add(static_cast<std::uint8_t>(i)));
  EXPECT_FALSE(t.Add('!'));
  EXPECT_EQ(t.Count(), TTypedLine::kCapacity);
  EXPECT_EQ(t.Data()[TTypedLine::kCapacity - 1],
            static_cast<std::uint8_t>(TTypedLine::kCapacity - 1));
  t.SetSingle('A');  // Direct mode still works on a full line
  EXPECT_EQ(t.Count(), 1);
}

TEST(TypedEcho, OnlyNamedSignsAreEchoed) {
  TFormatOptions convert;  // Convert on, Hex off
  TFormatOptions hex;
  hex.Hex = true;
  TFormatOptions neither;
  neither.Convert = false;
  struct Row {
    std::uint8_t key;
    const char* convert;
  };
  const Row rows[] = {{0x02, " STX"},  {0x00, " NUL"}, {0x0D, " CR "},
                      {0x20, "  SP "}, {0x7F, " $7F"}, {'A', ""},
                      {'~', ""},       {0x80, ""},     {0xC4, ""}};
  for (const Row& r : rows) {
    SCOPED_TRACE(static_cast<int>(r.key));
    EXPECT_EQ(TypedEcho(r.key, convert), r.convert);
    EXPECT_EQ(TypedEcho(r.key, hex), "");
    EXPECT_EQ(TypedEcho(r.key, neither), "");
  }
}

TEST(TypedEcho, JoinsShortLastLinesBelowTheHeader) {
  EXPECT_FALSE(EchoJoinsLastLine(2, 0));
  EXPECT_TRUE(EchoJoinsLastLine(3, 79));
  EXPECT_FALSE(EchoJoinsLastLine(3, 80));
}

// Typed characters become their windows-1252 byte; those the code page has
// no byte for are refused rather than sent as something else.
TEST(AnsiByte, MapsTheCodePageAndRefusesTheRest) {
  const struct {
    char32_t c;
    int byte;  // -1: refused
  } rows[] = {
      {U'A', 0x41},      {0x01, 0x01},
      {0x7F, 0x7F},      {U'\u00A0', 0xA0},
      {U'\u00E9', 0xE9}, {U'\u00FF', 0xFF},
      {U'\u20AC', 0x80}, {U'\u201A', 0x82},
      {U'\u2026', 0x85}, {U'\u0160', 0x8A},
      {U'\u2018', 0x91}, {U'\u2014', 0x97},
      {U'\u2122', 0x99}, {U'\u0178', 0x9F},
      {0x80, -1},        {0x81, -1},
      {0x9F, -1},        {U'\u0100', -1},
      {U'\u20AD', -1},   {U'\u4E2D', -1},
      {0x1F600, -1},     {0, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(static_cast<unsigned>(r.c));
    const std::optional<std::uint8_t> b = AnsiByte(r.c);
    if (r.byte < 0)
      EXPECT_FALSE(b.has_value());
    else
      EXPECT_EQ(b, std::optional<std::uint8_t>(static_cast<std::uint8_t>(r.byte)));
  }
}

}  // namespace
}  // namespace talmo
