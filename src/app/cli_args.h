#pragma once
// Command-line words of talmocli: a scanner for options (--name,
// --name=value, --name value) and positional words, and the framing options
// that decode and monitor share.

#include <cstdint>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/line_cutter.h"
#include "engine/options.h"

namespace talmo {

// Exit codes of the command-line tool.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // input, output or device failed
inline constexpr int kExitUsage = 2;    // bad option or value

class EUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TArgScanner {
 public:
  explicit TArgScanner(const std::vector<std::string>& args) : FArgs(args) {}
  // Moves to the next word; false at the end.
  bool Next();
  // An option (begins with "-" but is not "-" alone, and comes before "--").
  bool IsOption() const { return FIsOption; }
  // The option's name without its inline value, or the positional word.
  const std::string& Word() const { return FName; }
  // The option's value: inline, or the next word. Usage error when missing.
  std::string Value();
  // Usage error when the option was given an inline value.
  void NoValue() const;
  // An optional value: inline, or the next word when `accepts` takes it.
  std::optional<std::string> ValueIf(bool (*accepts)(const std::string&));
  // A whole number in [min, max] (0 <= min) written in plain decimal
  // digits, or a usage error naming the option and the value.
  long long Number(long long min, long long max);
  [[noreturn]] void Unknown() const;

 private:
  const std::vector<std::string>& FArgs;
  std::size_t FPos = 0;
  bool FOnlyWords = false;
  bool FIsOption = false;
  std::string FName;
  std::optional<std::string> FInline;
};

// The framing options; defaults are the window's form defaults, and the
// --stxhl and --prod2 presets give way to options given explicitly.
struct TFramingRequest {
  std::optional<std::string> First, Last;
  std::optional<bool> Bcc, Time;
  bool NoConvert = false, Hex = false, STXHL = false, PROD2 = false, Manch = false;
  // The block-check byte checked, over the span (with start, with stop).
  TBccCheck BccCheck = TBccCheck::None;
  std::optional<std::pair<bool, bool>> BccSpan;
  // Console lines: the text look, a silence or a length ends a line, a
  // stamp on each. Any of the first three cuts lines by the line rules.
  bool Text = false;
  std::optional<std::string> Gap;
  std::optional<long long> Max;
  std::optional<TStampForm> Stamp;
  // Modbus frames, each decoded on a line and each answer paired.
  TModbusMode Modbus = TModbusMode::None;
  std::optional<long long> AnswerTimeoutMs;
  // The look and cutting a program has when none is asked for (a console
  // cuts text lines).
  bool CutByDefault = false;

  // Takes the scanner's current option when it is a framing option.
  bool Take(TArgScanner& s);
  void Check() const;
  TFormatOptions Options() const;
  std::uint8_t FirstSign() const;
  std::uint8_t LastSign() const;
  // The line rules the options ask for (Cut when lines are cut by them).
  TLineRules Lines() const;
  // --gap, checked by Take, into the rules' silence (nothing without it).
  void ApplyGap(TLineRules& r) const;
};

extern const char kFramingOptionsHelp[];

}  // namespace talmo
