#include "engine/formatter.h"

#include <cstdlib>
#include <cstring>

#include "engine/convert.h"

namespace talmo {
namespace {

constexpr std::int64_t kNanosPerMs = 1000000;
constexpr std::int64_t kProd2PauseMs = 20;

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
      Options_(options),
      Clocks_(std::move(clocks)),
      FrameWatch_(false, Clocks_.Counter) {
  ResetFrame();
}

void TReceiveFormatter::FormatReceived(const std::uint8_t* block, std::size_t n) {
  if (n == 0) return;
  if (Hooks.Capture) Hooks.Capture(block, n);
  TotalSigns_ += static_cast<std::int64_t>(n);
  if (Hooks.LastSign) Hooks.LastSign(LastSignText(block[n - 1]));
  std::size_t i = 0;
  while (i < n) {
    if (CanCollectOnly()) {
      i += CollectRun(block + i, n - i);
      if (SignCount_ == SignBufferSize) {
        FlushSigns();
        continue;
      }
      if (i == n) break;
    }
    ProcessByte(block[i++]);
  }
}

bool TReceiveFormatter::CanCollectOnly() const {
  const TFormatOptions& o = Options_;
  return !o.Manch && !o.PROD2 && !o.STXHL &&
         (FrameState_ == TFrameState::Idle || FrameState_ == TFrameState::InFrame);
}

std::size_t TReceiveFormatter::CollectRun(const std::uint8_t* bytes, std::size_t n) {
  // In plain framing a byte that is neither sign is only collected; the
  // full steps would do exactly this. Locals keep the loop in registers
  // (byte stores may alias every member).
  const std::uint8_t first = FirstSign_;
  const std::uint8_t last = LastSign_;
  std::uint8_t* buffer = SignBuffer_.data();
  int count = SignCount_;
  std::size_t taken = 0;
  while (taken < n && count < SignBufferSize) {
    const std::uint8_t b = bytes[taken];
    if (b == first || b == last) break;
    buffer[count++] = b;
    ++taken;
  }
  SignCount_ = count;
  return taken;
}

std::string TReceiveFormatter::LastSignText(std::uint8_t b) const {
  std::string text;
  AppendSignText(text, b, Options_);
  text += " (";
  text += std::to_string(TotalSigns_);
  text += ')';
  return text;
}

void TReceiveFormatter::FlushSigns() {
  if (SignCount_ == 0) return;
  const TSignLook* looks = SignLooks(Options_.Hex, Options_.Convert);
  char* out = LineText_.data();
  for (int i = 0; i < SignCount_; ++i) {
    const TSignLook& look = looks[SignBuffer_[i]];
    std::memcpy(out, look.text, sizeof look.text);  // fixed-size copy, then advance
    out += look.length;
  }
  // Cleared before the hooks run so a hook that feeds bytes back starts afresh.
  SignCount_ = 0;
  if (Hooks.Line)
    Hooks.Line(
        std::string_view(LineText_.data(), static_cast<std::size_t>(out - LineText_.data())));
  if (Hooks.RestartTimeout) Hooks.RestartTimeout();
}

void TReceiveFormatter::ResetFrame() {
  FrameRestart_ = true;
  FrameState_ = TFrameState::Idle;
}

void TReceiveFormatter::TimeoutFlush() {
  FlushSigns();
  ResetFrame();
  SignCount_ = 0;
}

void TReceiveFormatter::EndLine() {
  FlushSigns();
  ResetFrame();
  SignCount_ = 0;
}

void TReceiveFormatter::ProcessByte(std::uint8_t b) {
  const TFormatOptions& o = Options_;

  if (o.Manch && IsManchesterValid(b)) {
    const std::uint8_t nibble = ManchesterNibble(b);
    if (ManchPhase_ == 0) {
      ManchPhase_ = 1;
      ManchHigh_ = static_cast<std::uint8_t>(nibble * 16);
      return;
    }
    ManchPhase_ = 0;
    b = static_cast<std::uint8_t>(ManchHigh_ + nibble);
  }

  SignBuffer_[SignCount_++] = b;
  if (SignCount_ >= SignBufferSize) FlushSigns();

  bool signTests = true;
  if (o.PROD2) {
    const std::int64_t now = Clocks_.Pause();
    const bool paused =
        !LastRxTime_ || std::llabs(now - *LastRxTime_) / kNanosPerMs > kProd2PauseMs;
    LastRxTime_ = now;
    if (paused || FrameRestart_) {
      FrameRestart_ = false;
      FirstSign_ = b;
      SignBuffer_[0] = b;
      SignCount_ = 1;
      // The broken-off frame's count must not run on into the new frame,
      // or the byte after a pause would never start one.
      FrameRemaining_ = 0;
      FrameState_ = TFrameState::Idle;
    }
    LastSign_ = static_cast<std::uint8_t>(b + 1);
    if (FrameRemaining_ > 0) signTests = false;
  }

  if (signTests && !(o.STXHL && (FrameRemaining_ > 0 || FrameState_ == TFrameState::LengthHigh ||
                                 FrameState_ == TFrameState::LengthLow))) {
    if (b == FirstSign_ && FrameState_ != TFrameState::AwaitBcc) FrameState_ = TFrameState::Idle;
    if (b == LastSign_ && FrameState_ != TFrameState::AwaitBcc) FrameState_ = TFrameState::InFrame;
  }

  switch (FrameState_) {
    case TFrameState::Idle:
      if (b == FirstSign_) StartFrame(b);
      break;
    case TFrameState::LengthHigh:
      if (b < 3) {
        FrameRemaining_ = b * 256;
        FrameState_ = TFrameState::LengthLow;
      } else {
        InFrameAction(b);
      }
      break;
    case TFrameState::LengthLow:
      FrameRemaining_ += b;
      if (o.PROD2) FrameRemaining_ += 5;
      FrameState_ = TFrameState::InFrame;
      InFrameAction(b);
      break;
    case TFrameState::InFrame: InFrameAction(b); break;
    case TFrameState::AwaitBcc:
      // The block-check byte closes the line; its value is not checked.
      EndLine();
      break;
  }
}

void TReceiveFormatter::InFrameAction(std::uint8_t b) {
  const TFormatOptions& o = Options_;
  if (o.STXHL || o.PROD2) {
    if (FrameRemaining_ > 0)
      --FrameRemaining_;
    else
      EndLine();
  } else if (b == LastSign_) {
    if (o.Bcc) {
      FrameState_ = TFrameState::AwaitBcc;
    } else {
      FlushSigns();
      ResetFrame();
    }
  }
}

void TReceiveFormatter::StartFrame(std::uint8_t b) {
  // What came before the start sign becomes a line of its own.
  if (SignCount_ > 1) {
    --SignCount_;
    FlushSigns();
  }
  if (Options_.Time) {
    BuildStamp(SignBuffer_.data());
    SignBuffer_[StampLength] = b;
    SignCount_ = StampLength + 1;
  } else {
    SignBuffer_[0] = b;
    SignCount_ = 1;
  }
  FrameState_ = TFrameState::InFrame;
  FrameRemaining_ = 0;
  if (Options_.STXHL) FrameState_ = TFrameState::LengthHigh;
  if (Options_.PROD2) FrameState_ = TFrameState::LengthLow;
}

void TReceiveFormatter::BuildStamp(std::uint8_t* dst) {
  StampTime_ = Clocks_.Utc();
  FrameWatch_.Stop();
  const auto us = static_cast<std::uint32_t>(FrameWatch_.ElapsedMicroseconds());
  FrameWatch_.Start();

  char s[StampLength];
  s[0] = '[';
  PutDec2(s + 1, StampTime_.Second);
  s[3] = '.';
  PutDec3(s + 4, StampTime_.Milliseconds);
  s[7] = '/';
  PutDec4(s + 8, static_cast<int>((us / 1000) % 10000));
  PutDec3(s + 12, static_cast<int>(us % 1000));
  s[15] = ']';
  std::memcpy(dst, s, StampLength);
}

}  // namespace talmo
