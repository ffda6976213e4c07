#include "app/cli_args.h"

#include "base/error_text.h"
#include "engine/convert.h"

namespace talmo {

const char kFramingOptionsHelp[] =
    "  --first HH, --last HH  start and stop sign as in the sign fields (default 00)\n"
    "  --bcc, --no-bcc        take one block-check byte after the stop sign\n"
    "  --time, --no-time      stamp each frame\n"
    "  --no-convert           do not name control signs (they are not shown)\n"
    "  --hex                  show every byte as a hex pair\n"
    "  --stxhl                STX_HL frames: signs 02 and 03, BCC on\n"
    "  --prod2                PROD2 frames: signs 02 and 03, BCC off, Time on\n"
    "  --manch                decode Manchester-coded bytes first\n"
    "  --bcc-check xor|sum    check the block-check byte (implies --bcc; in\n"
    "                         STX_HL frames the last byte) against the XOR or\n"
    "                         the sum of the frame's bytes, and say after the\n"
    "                         line 'BCC ok' or 'BCC BAD (got 4F, expected 41)'\n"
    "  --bcc-span FROM..TO    the bytes checked: FROM start or after-start, TO\n"
    "                         stop or before-stop (default after-start..stop)\n"
    "Console lines (any of the first three cuts lines by these rules instead\n"
    "of by the signs):\n"
    "  --text                 the text look: printable bytes and UTF-8 as\n"
    "                         themselves, a line ended by LF (CR LF as one),\n"
    "                         other bytes as escapes (\\t \\r \\e \\x7F; \\\\)\n"
    "  --gap MS, --gap Nc     a silence of MS milliseconds (e.g. 5, 1.75), or of\n"
    "                         N character times of the line settings (3.5c),\n"
    "                         ends a line\n"
    "  --max N                a line holds at most N bytes (default 4096)\n"
    "                         (--last HH then ends a line after HH; in the\n"
    "                         text look LF does unless --last is given)\n"
    "  --stamp[=FORM]         lead every line with its first byte's arrival:\n"
    "                         time (local, ms; the default), utc, iso (UTC,\n"
    "                         microseconds), gap (since the line before), since\n"
    "                         (since the start); with any framing and look\n"
    "Modbus (instead of the looks and signs above):\n"
    "  --modbus rtu|ascii     one line per frame: unit, function, addresses,\n"
    "                         counts, values, exception by name, the check (CRC\n"
    "                         or LRC; a bad one with the value expected) and the\n"
    "                         bytes; each answer with the time since the end of\n"
    "                         its request. RTU frames end at a silence of 3.5\n"
    "                         characters of the line settings (at least 1.75 ms;\n"
    "                         --gap sets another), and are found by length and\n"
    "                         CRC within what an adapter delivers at once\n"
    "  --answer-timeout MS    a request without an answer within MS milliseconds\n"
    "                         is told as unanswered (default 1000)\n";

namespace {

bool IsStampForm(const std::string& v) {
  return v == "time" || v == "utc" || v == "iso" || v == "gap" || v == "since";
}

TStampForm StampFormOf(const std::string& v) {
  if (v == "utc") return TStampForm::Utc;
  if (v == "iso") return TStampForm::Iso;
  if (v == "gap") return TStampForm::Gap;
  if (v == "since") return TStampForm::Since;
  return TStampForm::Time;
}

void CheckGap(const std::string& v) {
  if (!ParseSilence(v))
    throw EUsageError("bad value for --gap: '" + v + "' (" + kSilenceForms + ")");
}

}  // namespace

bool TArgScanner::Next() {
  if (FPos >= FArgs.size()) return false;
  const std::string& a = FArgs[FPos++];
  FInline.reset();
  FIsOption = !FOnlyWords && a.size() > 1 && a[0] == '-';
  if (FIsOption && a == "--") {
    FOnlyWords = true;
    return Next();
  }
  FName = a;
  if (FIsOption) {
    if (const auto eq = a.find('='); eq != std::string::npos) {
      FName = a.substr(0, eq);
      FInline = a.substr(eq + 1);
    }
  }
  return true;
}

std::string TArgScanner::Value() {
  if (FInline) return *FInline;
  if (FPos >= FArgs.size()) throw EUsageError(FName + " needs a value");
  return FArgs[FPos++];
}

void TArgScanner::NoValue() const {
  if (FInline) throw EUsageError(FName + " takes no value");
}

std::optional<std::string> TArgScanner::ValueIf(bool (*accepts)(const std::string&)) {
  if (FInline) return *FInline;
  if (FPos < FArgs.size() && accepts(FArgs[FPos])) return FArgs[FPos++];
  return std::nullopt;
}

long long TArgScanner::Number(long long min, long long max) {
  const std::string v = Value();
  // Plain decimal digits only: no sign, no spaces, no other base.
  bool ok = !v.empty();
  long long n = 0;
  for (const char c : v) {
    if (c < '0' || c > '9') {
      ok = false;
      break;
    }
    if (n > (max - (c - '0')) / 10) {  // beyond max: no need to read on
      ok = false;
      break;
    }
    n = n * 10 + (c - '0');
  }
  if (!ok || n < min || n > max)
    throw EUsageError("bad value for " + FName + ": '" + v + "' (a whole number from " +
                      std::to_string(min) + " to " + std::to_string(max) + " expected)");
  return n;
}

void TArgScanner::Unknown() const {
  if (FIsOption) throw EUsageError("unknown option '" + FName + "'");
  throw EUsageError("unexpected word '" + FName + "'");
}

namespace {

std::string SignValue(TArgScanner& s) {
  const std::string v = s.Value();
  if (!IsSignFieldText(v))
    throw EUsageError("bad value for " + s.Word() + ": '" + v +
                      "' (one or two letters or digits expected, e.g. 02)");
  return v;
}

}  // namespace

bool TFramingRequest::Take(TArgScanner& s) {
  const std::string& n = s.Word();
  auto flag = [&s](bool& target) {
    s.NoValue();
    target = true;
  };
  auto choice = [&s](std::optional<bool>& target, bool v) {
    s.NoValue();
    target = v;
  };
  if (n == "--first")
    First = SignValue(s);
  else if (n == "--last")
    Last = SignValue(s);
  else if (n == "--bcc")
    choice(Bcc, true);
  else if (n == "--no-bcc")
    choice(Bcc, false);
  else if (n == "--time")
    choice(Time, true);
  else if (n == "--no-time")
    choice(Time, false);
  else if (n == "--no-convert")
    flag(NoConvert);
  else if (n == "--hex")
    flag(Hex);
  else if (n == "--stxhl")
    flag(STXHL);
  else if (n == "--prod2")
    flag(PROD2);
  else if (n == "--manch")
    flag(Manch);
  else if (n == "--text")
    flag(Text);
  else if (n == "--gap") {
    Gap = s.Value();
    CheckGap(*Gap);
  } else if (n == "--max")
    Max = s.Number(1, 1 << 20);
  else if (n == "--stamp") {
    const std::optional<std::string> form = s.ValueIf(IsStampForm);
    if (form && !IsStampForm(*form))
      throw EUsageError("bad value for --stamp: '" + *form +
                        "' (time, utc, iso, gap or since expected)");
    Stamp = StampFormOf(form.value_or("time"));
  } else if (n == "--modbus") {
    const std::string v = s.Value();
    if (v != "rtu" && v != "ascii")
      throw EUsageError("bad value for --modbus: '" + v + "' (rtu or ascii expected)");
    Modbus = v == "rtu" ? TModbusMode::Rtu : TModbusMode::Ascii;
  } else if (n == "--bcc-check") {
    const std::string v = s.Value();
    if (v != "xor" && v != "sum")
      throw EUsageError("bad value for --bcc-check: '" + v + "' (xor or sum expected)");
    BccCheck = v == "xor" ? TBccCheck::Xor : TBccCheck::Sum;
  } else if (n == "--bcc-span") {
    const std::string v = s.Value();
    const std::size_t dots = v.find("..");
    const std::string from = v.substr(0, dots);
    const std::string to = dots == std::string::npos ? "" : v.substr(dots + 2);
    if ((from != "start" && from != "after-start") || (to != "stop" && to != "before-stop"))
      throw EUsageError("bad value for --bcc-span: '" + v +
                        "' (FROM..TO expected: FROM start or after-start, TO stop or "
                        "before-stop)");
    BccSpan = std::pair(from == "start", to == "stop");
  } else if (n == "--answer-timeout")
    AnswerTimeoutMs = s.Number(1, 3600000);
  else
    return false;
  return true;
}

void TFramingRequest::Check() const {
  if (AnswerTimeoutMs && Modbus == TModbusMode::None)
    throw EUsageError("--answer-timeout needs --modbus");
  if (Modbus != TModbusMode::None) {
    // Every frame is shown as the Modbus decoder shows it.
    const char* other = Text                          ? "--text"
                        : Hex                         ? "--hex"
                        : NoConvert                   ? "--no-convert"
                        : STXHL                       ? "--stxhl"
                        : PROD2                       ? "--prod2"
                        : Manch                       ? "--manch"
                        : First                       ? "--first"
                        : Last                        ? "--last"
                        : Bcc                         ? "--bcc"
                        : BccCheck != TBccCheck::None ? "--bcc-check"
                        : Time                        ? "--time"
                        : Max                         ? "--max"
                                                      : nullptr;
    if (other)
      throw EUsageError(std::string(other) +
                        " does not go with --modbus, which frames and shows the stream itself "
                        "(a stamp on every frame: --stamp; another silence: --gap)");
    return;
  }
  if (STXHL && PROD2) throw EUsageError("--stxhl and --prod2 cannot be used together");
  if (BccSpan && BccCheck == TBccCheck::None) throw EUsageError("--bcc-span needs --bcc-check");
  if (BccCheck != TBccCheck::None && PROD2)
    throw EUsageError(
        "--bcc-check does not go with --prod2, whose frames have no block-check byte");
  if (BccCheck != TBccCheck::None && !STXHL && Bcc == false)
    throw EUsageError("--bcc-check checks the byte that --bcc takes: drop --no-bcc");
  if (Text && (Hex || NoConvert))
    throw EUsageError(std::string("--text and ") + (Hex ? "--hex" : "--no-convert") +
                      " are two looks: choose one");
  if (!Lines().Cut) return;
  // Lines cut by the rules have no frames: a frame option would do nothing.
  const char* frame = STXHL                         ? "--stxhl"
                      : PROD2                       ? "--prod2"
                      : Manch                       ? "--manch"
                      : First                       ? "--first"
                      : Bcc && *Bcc                 ? "--bcc"
                      : BccCheck != TBccCheck::None ? "--bcc-check"
                      : Time && *Time               ? "--time"
                                                    : nullptr;
  if (frame)
    throw EUsageError(std::string(frame) +
                      " frames the stream by its signs, which --text, --gap and --max "
                      "replace (a stamp on every line: --stamp)");
}

TLineRules TFramingRequest::Lines() const {
  TLineRules r;
  if (Modbus != TModbusMode::None) {
    r = ModbusLines(
        Modbus, AnswerTimeoutMs ? *AnswerTimeoutMs * 1000000 : TLineRules::kAnswerTimeoutDefaultNs);
    if (Stamp) r.Stamp = *Stamp;
    if (Gap) {
      r.GapChars = 0;
      r.GapFloorNs = 0;
      ApplyGap(r);
    }
    return r;
  }
  r.Cut = Text || Gap || Max ||
          (CutByDefault && !STXHL && !PROD2 && !Manch && !First && !Bcc.value_or(false) &&
           !Time.value_or(false));
  r.Look = Hex                    ? TLineLook::Hex
           : NoConvert            ? TLineLook::Raw
           : Text || CutByDefault ? TLineLook::Text
                                  : TLineLook::Names;
  if (Last)
    r.End = SignFromField(*Last);
  else if (r.Look == TLineLook::Text)
    r.End = 0x0A;
  ApplyGap(r);
  if (Max) r.Max = static_cast<std::size_t>(*Max);
  if (Stamp) r.Stamp = *Stamp;
  return r;
}

void TFramingRequest::ApplyGap(TLineRules& r) const {
  if (!Gap) return;
  const std::optional<TSilence> silence = ParseSilence(*Gap);
  if (!silence) return;  // checked when read
  r.GapNs = silence->Ns;
  r.GapChars = silence->Chars;
}

TFormatOptions TFramingRequest::Options() const {
  TFormatOptions o;
  o.Bcc = STXHL;
  o.Time = PROD2;
  o.STXHL = STXHL;
  o.PROD2 = PROD2;
  if (Bcc) o.Bcc = *Bcc;
  if (Time) o.Time = *Time;
  if (BccCheck != TBccCheck::None) {
    o.BccCheck = BccCheck;
    o.Bcc = true;
    if (BccSpan) std::tie(o.BccWithStart, o.BccWithStop) = *BccSpan;
  }
  o.Convert = !NoConvert;
  o.Hex = Hex;
  o.Manch = Manch;
  return o;
}

std::uint8_t TFramingRequest::FirstSign() const {
  return SignFromField(First.value_or(STXHL || PROD2 ? "02" : "00"));
}

std::uint8_t TFramingRequest::LastSign() const {
  return SignFromField(Last.value_or(STXHL || PROD2 ? "03" : "00"));
}

}  // namespace talmo
