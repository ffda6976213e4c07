#include "engine/formatter.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "engine/checks.h"
#include "engine/convert.h"

namespace talmo {
namespace {

constexpr std::int64_t kNanosPerMs = 1000000;
constexpr std::int64_t kProd2PauseMs = 20;
// STX_HL's high length byte is below this; a larger one is no length, and
// the frame ends at it.
constexpr std::uint8_t kStxHlHighLimit = 3;
// A PROD2 frame has five bytes more after its length byte than it counts.
constexpr int kProd2TrailerBytes = 5;

bool IsManchesterValid(std::uint8_t b) {
  // Each bit pair must hold complementary bits.
  return ((b ^ (b >> 1)) & 0x55) == 0x55;
}

std::uint8_t ManchesterNibble(std::uint8_t b) {
  return static_cast<std::uint8_t>((b & 1) | ((b >> 1) & 2) | ((b >> 2) & 4) | ((b >> 3) & 8));
}

}  // namespace

TReceiveFormatter::TReceiveFormatter(const TFormatOptions& options, TFormatterHooks hooks,
                                     TFormatterClocks clocks)
    : Hooks(std::move(hooks)),
      FOptions(options),
      FClocks(std::move(clocks)),
      FFrameWatch(false, FClocks.Counter) {
  ResetFrame();
}

void TReceiveFormatter::FormatReceived(const std::uint8_t* block, std::size_t n) {
  if (n == 0) return;
  if (Hooks.Capture) Hooks.Capture(block, n);
  FTotalSigns += static_cast<std::int64_t>(n);
  if (Hooks.LastSign) {
    // Built in a kept buffer: this runs for every block.
    FLastSignText.clear();
    AppendLastSignText(FLastSignText, block[n - 1]);
    Hooks.LastSign(FLastSignText);
  }
  std::size_t i = 0;
  while (i < n) {
    if (CanCollectOnly()) {
      i += CollectRun(block + i, n - i);
      if (FSignCount == kSignBufferSize) {
        FlushSigns();
        continue;
      }
      if (i == n) break;
    }
    ProcessByte(block[i++]);
  }
}

bool TReceiveFormatter::CanCollectOnly() const {
  const TFormatOptions& o = FOptions;
  return !o.Manch && !o.PROD2 && !o.STXHL &&
         (FFrameState == TFrameState::Idle || FFrameState == TFrameState::InFrame);
}

std::size_t TReceiveFormatter::CollectRun(const std::uint8_t* bytes, std::size_t n) {
  // In plain framing a byte that is neither sign is only collected; the
  // full steps would do exactly this. The run up to the nearer sign is
  // found and copied whole (memchr and memcpy work many bytes at a time).
  std::size_t run = std::min(n, static_cast<std::size_t>(kSignBufferSize - FSignCount));
  for (const std::uint8_t sign : {FFirstSign, FLastSign})
    if (const void* at = std::memchr(bytes, sign, run))
      run = static_cast<std::size_t>(static_cast<const std::uint8_t*>(at) - bytes);
  if (FSignCount + run > FSignBuffer.size())
    FSignBuffer.resize(
        std::min<std::size_t>(kSignBufferSize, std::max(2 * FSignBuffer.size(), FSignCount + run)));
  std::memcpy(FSignBuffer.data() + FSignCount, bytes, run);
  FSignCount += static_cast<int>(run);
  return run;
}

std::string TReceiveFormatter::LastSignText(std::uint8_t b) const {
  std::string text;
  AppendLastSignText(text, b);
  return text;
}

void TReceiveFormatter::AppendLastSignText(std::string& text, std::uint8_t b) const {
  AppendSignText(text, b, FOptions);
  char digits[24];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, FTotalSigns);
  (void)ec;  // 24 places hold any 64-bit count
  text += " (";
  text.append(digits, end);
  text += ')';
}

void TReceiveFormatter::FlushSigns() {
  if (FSignCount == 0) return;
  const TSignLook* looks = SignLooks(FOptions.Hex, FOptions.Convert);
  // Each look is at most five characters, and one is moved as eight.
  const std::size_t need = static_cast<std::size_t>(FSignCount) * 5 + 8 + FLineNote.size();
  if (FLineText.size() < need) FLineText.resize(std::max(need, 2 * FLineText.size()));
  char* out = FLineText.data();
  // Locals: a store through `out` may alias any member, which the loop
  // would otherwise load again for every sign.
  const std::uint8_t* sign = FSignBuffer.data();
  const std::uint8_t* const end = sign + FSignCount;
  // The whole look, length byte too: one 8-byte move, then advance past
  // the text (the next look overwrites the rest).
  if constexpr (std::endian::native == std::endian::little) {
    // Two at a time, each length taken from the look's last byte in the
    // register it was moved with: no second load per sign.
    static_assert(sizeof(TSignLook) == 8 && offsetof(TSignLook, length) == 7);
    for (; end - sign >= 2; sign += 2) {
      std::uint64_t a, b;
      std::memcpy(&a, &looks[sign[0]], 8);
      std::memcpy(&b, &looks[sign[1]], 8);
      const auto la = static_cast<std::size_t>(a >> 56);
      std::memcpy(out, &a, 8);
      std::memcpy(out + la, &b, 8);
      out += la + static_cast<std::size_t>(b >> 56);
    }
  }
  for (; sign != end; ++sign) {
    const TSignLook& look = looks[*sign];
    std::memcpy(out, &look, sizeof look);
    out += look.length;
  }
  if (!FLineNote.empty()) {
    std::memcpy(out, FLineNote.data(), FLineNote.size());
    out += FLineNote.size();
    FLineNote.clear();
  }
  // Cleared before the hooks run so a hook that feeds bytes back starts afresh.
  FSignCount = 0;
  FFrameBegin = -1;
  if (Hooks.Line)
    Hooks.Line(
        std::string_view(FLineText.data(), static_cast<std::size_t>(out - FLineText.data())));
  if (Hooks.RestartTimeout) Hooks.RestartTimeout();
}

void TReceiveFormatter::ResetFrame() {
  FFrameRestart = true;
  FFrameState = TFrameState::Idle;
}

void TReceiveFormatter::TimeoutFlush() {
  FlushSigns();
  ResetFrame();
  FSignCount = 0;
}

void TReceiveFormatter::ProcessByte(std::uint8_t b) {
  const TFormatOptions& o = FOptions;

  if (o.Manch && IsManchesterValid(b)) {
    const std::uint8_t nibble = ManchesterNibble(b);
    if (FManchPhase == 0) {
      FManchPhase = 1;
      FManchHigh = static_cast<std::uint8_t>(nibble * 16);
      return;
    }
    FManchPhase = 0;
    b = static_cast<std::uint8_t>(FManchHigh + nibble);
  }

  if (static_cast<std::size_t>(FSignCount) == FSignBuffer.size())
    FSignBuffer.resize(std::min<std::size_t>(kSignBufferSize, 2 * FSignBuffer.size()));
  FSignBuffer[FSignCount++] = b;
  if (FSignCount >= kSignBufferSize) FlushSigns();

  bool signTests = true;
  if (o.PROD2) {
    const std::int64_t now = FClocks.Pause();
    const bool paused =
        !FLastRxTime || std::llabs(now - *FLastRxTime) / kNanosPerMs > kProd2PauseMs;
    FLastRxTime = now;
    if (paused || FFrameRestart) {
      FFrameRestart = false;
      FFirstSign = b;
      FSignBuffer[0] = b;
      FSignCount = 1;
      // The broken-off frame's count must not run on into the new frame,
      // or the byte after a pause would never start one.
      FFrameRemaining = 0;
      FFrameState = TFrameState::Idle;
    }
    FLastSign = static_cast<std::uint8_t>(b + 1);
    if (FFrameRemaining > 0) signTests = false;
  }

  if (signTests && !(o.STXHL && (FFrameRemaining > 0 || FFrameState == TFrameState::LengthHigh ||
                                 FFrameState == TFrameState::LengthLow))) {
    if (b == FFirstSign && FFrameState != TFrameState::AwaitBcc) FFrameState = TFrameState::Idle;
    if (b == FLastSign && FFrameState != TFrameState::AwaitBcc) FFrameState = TFrameState::InFrame;
  }

  switch (FFrameState) {
    case TFrameState::Idle:
      if (b == FFirstSign) StartFrame(b);
      break;
    case TFrameState::LengthHigh:
      if (b < kStxHlHighLimit) {
        FFrameRemaining = b * 256;
        FFrameState = TFrameState::LengthLow;
      } else {
        InFrameAction(b);
      }
      break;
    case TFrameState::LengthLow:
      FFrameRemaining += b;
      if (o.PROD2) FFrameRemaining += kProd2TrailerBytes;
      FFrameState = TFrameState::InFrame;
      InFrameAction(b);
      break;
    case TFrameState::InFrame: InFrameAction(b); break;
    case TFrameState::AwaitBcc:
      // The block-check byte closes the line.
      CheckBcc();
      TimeoutFlush();
      break;
  }
}

void TReceiveFormatter::InFrameAction(std::uint8_t b) {
  const TFormatOptions& o = FOptions;
  if (o.STXHL || o.PROD2) {
    if (FFrameRemaining > 0) {
      --FFrameRemaining;
    } else {
      // A counted STX_HL frame ends with its block-check byte; one cut
      // short by a bad length byte, or of length 0, has none.
      if (o.STXHL && FFrameState == TFrameState::InFrame && FFrameBegin >= 0 &&
          FSignCount - FFrameBegin > 3)
        CheckBcc();
      TimeoutFlush();
    }
  } else if (b == FLastSign) {
    if (o.Bcc) {
      FFrameState = TFrameState::AwaitBcc;
    } else {
      FlushSigns();
      ResetFrame();
    }
  }
}

void TReceiveFormatter::StartFrame(std::uint8_t b) {
  // What came before the start sign becomes a line of its own.
  if (FSignCount > 1) {
    --FSignCount;
    FlushSigns();
  }
  if (FOptions.Time) {
    BuildStamp(FSignBuffer.data());
    FSignBuffer[kStampLength] = b;
    FSignCount = kStampLength + 1;
  } else {
    FSignBuffer[0] = b;
    FSignCount = 1;
  }
  FFrameBegin = FSignCount - 1;
  FFrameState = TFrameState::InFrame;
  FFrameRemaining = 0;
  if (FOptions.STXHL) FFrameState = TFrameState::LengthHigh;
  if (FOptions.PROD2) FFrameState = TFrameState::LengthLow;
}

void TReceiveFormatter::CheckBcc() {
  const TFormatOptions& o = FOptions;
  if (o.BccCheck == TBccCheck::None) return;
  if (FFrameBegin < 0) {
    // Cut at the buffer's size, or a stop sign with no frame before it.
    FLineNote = " | BCC not checked (no start sign in this line)";
    return;
  }
  const int bcc = FSignCount - 1;
  const int from = FFrameBegin + (o.BccWithStart ? 0 : 1);
  const int to = bcc - (o.BccWithStop ? 0 : 1);
  const std::string_view span(reinterpret_cast<const char*>(FSignBuffer.data()) + from,
                              static_cast<std::size_t>(std::max(0, to - from)));
  const std::uint8_t expected = o.BccCheck == TBccCheck::Xor ? BccXor(span) : BccSum(span);
  const std::uint8_t got = FSignBuffer[static_cast<std::size_t>(bcc)];
  if (got == expected) {
    FLineNote = " | BCC ok";
    return;
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  FLineNote = " | BCC BAD (got ";
  FLineNote += kHex[got >> 4];
  FLineNote += kHex[got & 15];
  FLineNote += ", expected ";
  FLineNote += kHex[expected >> 4];
  FLineNote += kHex[expected & 15];
  FLineNote += ')';
}

void TReceiveFormatter::BuildStamp(std::uint8_t* dst) {
  FStampTime = FClocks.Utc();
  FFrameWatch.Stop();
  const auto us = static_cast<std::uint32_t>(FFrameWatch.ElapsedMicroseconds());
  FFrameWatch.Start();

  char s[kStampLength];
  s[0] = '[';
  PutDec2(s + 1, FStampTime.Second);
  s[3] = '.';
  PutDec3(s + 4, FStampTime.Milliseconds);
  s[7] = '/';
  PutDec4(s + 8, static_cast<int>((us / 1000) % 10000));
  PutDec3(s + 12, static_cast<int>(us % 1000));
  s[15] = ']';
  std::memcpy(dst, s, kStampLength);
}

}  // namespace talmo
