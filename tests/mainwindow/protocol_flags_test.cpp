#include "mainwindow/protocol_flags.h"

#include <gtest/gtest.h>

namespace talmo {
namespace {

using TBytes = TProtocolFlags::TBytes;

// Each offset lands in its own field, and values other than 0 and 1 are
// kept as stored (the loader tests some bytes for exactly 1).
TEST(ProtocolFlags, PackAndUnpackKeepEveryByteInItsField) {
  struct Case {
    const char* what;
    TBytes bytes;
    TProtocolFlags fields;
  };
  const Case cases[] = {
      {"first start", {0, 0, 0, 0, 0, 0, 0, 0, 0}, {}},
      {"signs", {0x02, 0x03, 0, 0, 0, 0, 0, 0, 0}, {.First = 0x02, .Last = 0x03}},
      {"bcc", {0, 0, 1, 0, 0, 0, 0, 0, 0}, {.Bcc = 1}},
      {"time", {0, 0, 0, 1, 0, 0, 0, 0, 0}, {.Time = 1}},
      {"convert", {0, 0, 0, 0, 1, 0, 0, 0, 0}, {.Convert = 1}},
      {"hex", {0, 0, 0, 0, 0, 1, 0, 0, 0}, {.Hex = 1}},
      {"stx_hl", {0, 0, 0, 0, 0, 0, 1, 0, 0}, {.STXHL = 1}},
      {"prod2", {0, 0, 0, 0, 0, 0, 0, 1, 0}, {.PROD2 = 1}},
      {"manch", {0, 0, 0, 0, 0, 0, 0, 0, 1}, {.Manch = 1}},
      {"stx_hl preset",
       {0x02, 0x03, 1, 0, 1, 0, 1, 0, 0},
       {.First = 0x02, .Last = 0x03, .Bcc = 1, .Convert = 1, .STXHL = 1}},
      {"odd stored values",
       {0xFF, 0x80, 2, 3, 4, 5, 6, 7, 8},
       {.First = 0xFF,
        .Last = 0x80,
        .Bcc = 2,
        .Time = 3,
        .Convert = 4,
        .Hex = 5,
        .STXHL = 6,
        .PROD2 = 7,
        .Manch = 8}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(TProtocolFlags::Unpack(c.bytes), c.fields);
    EXPECT_EQ(c.fields.Pack(), c.bytes);
    EXPECT_EQ(TProtocolFlags::Unpack(c.bytes).Pack(), c.bytes);
  }
}

}  // namespace
}  // namespace talmo
