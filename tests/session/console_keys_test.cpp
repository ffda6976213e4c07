#include "session/console_keys.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace talmo {
namespace {

// The actions as one text: "send:<bytes>" or the action's letter-like name.
std::string Actions(TConsoleKeys& keys, const std::string& typed) {
  std::vector<TConsoleKey> out;
  keys.Feed(reinterpret_cast<const std::uint8_t*>(typed.data()), typed.size(), out);
  std::string text;
  for (const TConsoleKey& k : out) {
    if (!text.empty()) text += ' ';
    switch (k.Action) {
      case TConsoleAction::Send: text += "send:" + k.Bytes; break;
      case TConsoleAction::HexEdit: text += "hex:" + k.Text; break;
      case TConsoleAction::HexError: text += "bad"; break;
      case TConsoleAction::HexCancel: text += "cancel"; break;
      case TConsoleAction::Unknown: text += std::string("unknown:") + k.Key; break;
      default: text += std::to_string(static_cast<int>(k.Action)); break;
    }
  }
  return text;
}

TEST(ConsoleKeys, TypedBytesGoOutAsTypedAndCommandKeysAskInstead) {
  const auto q = std::to_string(static_cast<int>(TConsoleAction::Quit));
  const auto brk = std::to_string(static_cast<int>(TConsoleAction::Break));
  const auto dtr = std::to_string(static_cast<int>(TConsoleAction::PulseDtr));
  const struct {
    const char* Name;
    TEnterKey Enter;
    bool HasKey;
    std::string Typed;
    std::string Actions;
    bool Pending;
  } kCases[] = {
      {"text and Ctrl+C in one send", TEnterKey::Cr, true, "ls\x03", "send:ls\x03", false},
      {"Enter as CR", TEnterKey::Cr, true, "a\r", "send:a\r", false},
      {"Enter as LF", TEnterKey::Lf, true, "a\r", "send:a\n", false},
      {"Enter as CR LF; a typed LF stays", TEnterKey::CrLf, true, "\r\n", "send:\r\n\n", false},
      {"quit", TEnterKey::Cr, true, "ab\x14q", "send:ab " + q, false},
      {"upper-case letters too", TEnterKey::Cr, true,
       "\x14"
       "B",
       brk, false},
      {"command key twice sends it once", TEnterKey::Cr, true, "\x14\x14z", "send:\x14z", false},
      {"command key waits for its letter", TEnterKey::Cr, true, "x\x14", "send:x", true},
      {"an unknown letter is said", TEnterKey::Cr, true, "\x14z", "unknown:z", false},
      {"no command key: everything is sent", TEnterKey::Cr, false, "\x14q", "send:\x14q", false},
      {"pulse", TEnterKey::Cr, true, "\x14p", dtr, false},
      {"a hex line, edited, sent whole", TEnterKey::Cr, true,
       "\x14x"
       "4g\x7f"
       "1 ff\rA",
       "hex: hex:4 hex:4g hex:4 hex:41 hex:41  hex:41 f hex:41 ff send:A\xff send:A", false},
      {"a hex line given up", TEnterKey::Cr, true,
       "\x14x"
       "41\x1b"
       "b",
       "hex: hex:4 hex:41 cancel send:b", false},
      {"a bad hex line is told, not sent", TEnterKey::Cr, true,
       "\x14x"
       "4\r",
       "hex: hex:4 bad", false},
      {"a hex line waits for Enter", TEnterKey::Cr, true,
       "\x14x"
       "41",
       "hex: hex:4 hex:41", true},
  };
  for (const auto& c : kCases) {
    TConsoleKeys keys(0x14, c.HasKey, c.Enter);
    EXPECT_EQ(Actions(keys, c.Typed), c.Actions) << c.Name;
    EXPECT_EQ(keys.Pending(), c.Pending) << c.Name;
  }
}

TEST(ConsoleKeys, CommandKeysAndHexBytesAreReadAsUsersWriteThem) {
  const struct {
    std::string Text;
    bool Ok;
    std::uint8_t Key;
    bool None;
  } kKeys[] = {
      {"^T", true, 0x14, false},  {"ctrl-a", true, 0x01, false}, {"Ctrl+]", true, 0x1D, false},
      {"t", true, 0x14, false},   {"none", true, 0, true},       {"^@", false, 0, false},
      {"ctrl-", false, 0, false}, {"ab", false, 0, false},       {"^1", false, 0, false}};
  for (const auto& k : kKeys) {
    std::uint8_t key = 0;
    bool none = false;
    EXPECT_EQ(ParseCommandKey(k.Text, key, none), k.Ok) << k.Text;
    if (k.Ok && !k.None) {
      EXPECT_EQ(key, k.Key) << k.Text;
    }
    EXPECT_EQ(none, k.None) << k.Text;
  }
  const struct {
    std::string Text;
    bool Ok;
    std::string Bytes;
    std::string Problem;
  } kHex[] = {{"02 41 0d0A", true, std::string("\x02\x41\x0d\x0a"), ""},
              {"00,ff", true, std::string("\x00\xff", 2), ""},
              {"", true, "", ""},
              {"4 1", false, "", "column 2"},
              {"41 4", false, "", "not whole"},
              {"4x", false, "", "'x' at column 2"}};
  for (const auto& h : kHex) {
    std::string bytes, problem;
    EXPECT_EQ(ParseHexBytes(h.Text, bytes, problem), h.Ok) << h.Text;
    if (h.Ok) {
      EXPECT_EQ(bytes, h.Bytes) << h.Text;
    }
    EXPECT_NE(problem.find(h.Problem), std::string::npos) << h.Text << ": " << problem;
  }
  // Every byte value can be sent through the hex line.
  std::string all;
  for (int b = 0; b < 256; ++b) {
    static constexpr char kDigits[] = "0123456789abcdef";
    all += kDigits[b >> 4];
    all += kDigits[b & 15];
    all += ' ';
  }
  std::string bytes, problem;
  ASSERT_TRUE(ParseHexBytes(all, bytes, problem)) << problem;
  ASSERT_EQ(bytes.size(), 256u);
  for (int b = 0; b < 256; ++b) EXPECT_EQ(static_cast<std::uint8_t>(bytes[b]), b);
}

}  // namespace
}  // namespace talmo
