#include "engine/line_cutter.h"

#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <stdexcept>
#include <string>

#include "engine/convert.h"

namespace talmo {

TLineRules ModbusLines(TModbusMode mode, std::int64_t answerTimeoutNs) {
  TLineRules r;
  r.Modbus = mode;
  r.AnswerTimeoutNs = answerTimeoutNs;
  if (mode == TModbusMode::Rtu) {
    r.GapChars = kModbusSilenceChars;
    r.GapFloorNs = kModbusSilenceFloorNs;
  }
  return r;
}

std::optional<TSilence> ParseSilence(std::string_view text) {
  const bool chars = !text.empty() && text.back() == 'c';
  const std::string number(chars ? text.substr(0, text.size() - 1) : text);
  // Digits with one point at most: stod alone would take a sign, spaces,
  // "inf", an exponent or hex.
  if (number.empty() || number[0] < '0' || number[0] > '9' ||
      number.find_first_not_of("0123456789.") != std::string::npos ||
      number.find('.') != number.rfind('.'))
    return std::nullopt;
  std::size_t used = 0;
  double d = 0;
  try {
    d = std::stod(number, &used);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (used != number.size() || !(d > 0) || d > 10000000) return std::nullopt;
  TSilence s;
  if (chars)
    s.Chars = d;
  else
    s.Ns = static_cast<std::int64_t>(d * 1e6);
  return s;
}

namespace {

constexpr std::int64_t kNsPerSecond = 1000000000;
constexpr std::uint8_t kLf = 0x0A, kCr = 0x0D;

// Whole seconds and the nanoseconds in them, right for times before 1970.
void SplitNs(std::int64_t ns, std::time_t& seconds, std::int64_t& nanos) {
  nanos = ((ns % kNsPerSecond) + kNsPerSecond) % kNsPerSecond;
  seconds = static_cast<std::time_t>((ns - nanos) / kNsPerSecond);
}

// "+S.uuuuuu" / "S.uuuuuu": seconds with microseconds, signed for a clock
// that went back.
void AppendSeconds(std::string& out, std::int64_t ns, bool plus) {
  const bool negative = ns < 0;
  const std::uint64_t us = (negative ? 0 - static_cast<std::uint64_t>(ns) : ns) / 1000;
  char s[48];
  std::snprintf(s, sizeof s, "%s%" PRIu64 ".%06" PRIu64,
                negative ? "-"
                : plus   ? "+"
                         : "",
                us / 1000000, us % 1000000);
  out += s;
}

// The number of bytes a UTF-8 character led by `b` has after it, or -1
// when `b` leads none (ASCII, a continuation byte, or a lead that only
// over-long or out-of-range characters have).
int Utf8Follow(std::uint8_t b) {
  if (b >= 0xC2 && b <= 0xDF) return 1;
  if (b >= 0xE0 && b <= 0xEF) return 2;
  if (b >= 0xF0 && b <= 0xF4) return 3;
  return -1;
}

// Whether `b` may stand second after `lead`: the ranges that rule out
// over-long forms, surrogates, code points past U+10FFFF, and the C1
// controls (U+0080..U+009F), which some terminals obey.
bool Utf8Second(std::uint8_t lead, std::uint8_t b) {
  std::uint8_t low = 0x80, high = 0xBF;
  if (lead == 0xC2) low = 0xA0;
  if (lead == 0xE0) low = 0xA0;
  if (lead == 0xED) high = 0x9F;
  if (lead == 0xF0) low = 0x90;
  if (lead == 0xF4) high = 0x8F;
  return b >= low && b <= high;
}

}  // namespace

void AppendStamp(std::string& out, TStampForm form, std::int64_t utcNs, std::int64_t startNs,
                 std::optional<std::int64_t> previousNs) {
  if (form == TStampForm::None) return;
  out += '[';
  std::time_t seconds;
  std::int64_t nanos;
  SplitNs(utcNs, seconds, nanos);
  std::tm tm{};
  char s[64];
  switch (form) {
    case TStampForm::None: break;
    case TStampForm::Time:
    case TStampForm::Utc:
      if (form == TStampForm::Time)
        localtime_r(&seconds, &tm);
      else
        gmtime_r(&seconds, &tm);
      std::snprintf(s, sizeof s, "%02d:%02d:%02d.%03d%s", tm.tm_hour, tm.tm_min, tm.tm_sec,
                    static_cast<int>(nanos / 1000000), form == TStampForm::Utc ? "Z" : "");
      out += s;
      break;
    case TStampForm::Iso:
      gmtime_r(&seconds, &tm);
      std::snprintf(s, sizeof s, "%04d-%02d-%02dT%02d:%02d:%02d.%06dZ", tm.tm_year + 1900,
                    tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                    static_cast<int>(nanos / 1000));
      out += s;
      break;
    case TStampForm::Gap: AppendSeconds(out, utcNs - previousNs.value_or(startNs), true); break;
    case TStampForm::Since: AppendSeconds(out, utcNs - startNs, false); break;
  }
  out += "] ";
}

TLineCutter::TLineCutter(const TLineRules& rules, TSink sink, std::int64_t startNs)
    : FRules(rules), FSink(std::move(sink)), FStartNs(startNs) {}

void TLineCutter::BeginLine(std::int64_t utcNs) {
  FInLine = true;
  FBytes = 0;
  AppendStamp(FText, FRules.Stamp, utcNs, FStartNs, FPreviousNs);
  // The frame view's looks begin each byte with a space of their own.
  if (FRules.Look != TLineLook::Text && FRules.Look != TLineLook::Bytes && !FText.empty())
    FText.pop_back();
  FPreviousNs = utcNs;
}

void TLineCutter::Feed(const std::uint8_t* block, std::size_t n, std::int64_t utcNs) {
  const bool text = FRules.Look == TLineLook::Text, bytes = FRules.Look == TLineLook::Bytes;
  const TSignLook* looks =
      text || bytes ? nullptr
                    : SignLooks(FRules.Look == TLineLook::Hex, FRules.Look == TLineLook::Names);
  const std::size_t max = FRules.Max ? FRules.Max : TLineRules::kMaxDefault;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t b = block[i];
    if (FInLine && FRules.Start && b == *FRules.Start) Finish();
    if (!FInLine) BeginLine(utcNs);
    ++FBytes;
    const bool ends = FRules.End && b == *FRules.End;
    if (text) {
      if (ends && b == kLf) {
        FHeldCr = false;  // the CR of a CR LF goes with it
      } else {
        AppendText(b);
      }
    } else if (bytes) {
      FText += static_cast<char>(b);
    } else {
      const TSignLook& look = looks[b];
      FText.append(look.text, look.length);
    }
    if (ends || FBytes >= max) Finish();
  }
  Emit();
}

void TLineCutter::AppendText(std::uint8_t b) {
  if (FHeldNeed > 0) {
    if ((FHeldLength == 1 ? Utf8Second(FHeldUtf8[0], b) : (b & 0xC0) == 0x80)) {
      FHeldUtf8[FHeldLength++] = b;
      if (--FHeldNeed == 0) {
        FText.append(reinterpret_cast<const char*>(FHeldUtf8), FHeldLength);
        FHeldLength = 0;
      }
      return;
    }
    FlushHeld();  // a broken character: its bytes as escapes
  }
  if (FHeldCr) {
    FHeldCr = false;
    AppendEscape(kCr);
  }
  if (b >= 0x20 && b < 0x7F) {
    if (b == '\\') FText += '\\';
    FText += static_cast<char>(b);
  } else if (b == kCr) {
    FHeldCr = true;
  } else if (const int follow = Utf8Follow(b); follow > 0) {
    FHeldUtf8[0] = b;
    FHeldLength = 1;
    FHeldNeed = follow;
  } else {
    AppendEscape(b);
  }
}

void TLineCutter::AppendEscape(std::uint8_t b) {
  switch (b) {
    case 0x00: FText += "\\0"; return;
    case 0x07: FText += "\\a"; return;
    case 0x08: FText += "\\b"; return;
    case 0x09: FText += "\\t"; return;
    case 0x0A: FText += "\\n"; return;
    case 0x0B: FText += "\\v"; return;
    case 0x0C: FText += "\\f"; return;
    case 0x0D: FText += "\\r"; return;
    case 0x1B: FText += "\\e"; return;
    default: {
      char s[5] = {'\\', 'x', 0, 0, 0};
      PutHex2(s + 2, b);
      FText.append(s, 4);
    }
  }
}

void TLineCutter::FlushHeld() {
  for (int i = 0; i < FHeldLength; ++i) AppendEscape(FHeldUtf8[i]);
  FHeldLength = 0;
  FHeldNeed = 0;
  if (FHeldCr) {
    FHeldCr = false;
    AppendEscape(kCr);
  }
}

void TLineCutter::Finish() {
  FlushHeld();
  Emit();
  FInLine = false;
  if (FSink.End) FSink.End();
}

void TLineCutter::EndLine() {
  if (FInLine) Finish();
}

void TLineCutter::Emit() {
  if (FText.empty()) return;
  if (FSink.Piece) FSink.Piece(FText);
  FText.clear();
}

std::string TextLookOf(std::string_view bytes) {
  TLineRules rules;
  std::string out;
  TLineCutter cutter(rules, {[&out](std::string_view piece) { out += piece; }, {}}, 0);
  cutter.Feed(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), 0);
  cutter.EndLine();
  return out;
}

}  // namespace talmo
