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
    "  --manch                decode Manchester-coded bytes first\n";

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
  else
    return false;
  return true;
}

void TFramingRequest::Check() const {
  if (STXHL && PROD2) throw EUsageError("--stxhl and --prod2 cannot be used together");
}

TFormatOptions TFramingRequest::Options() const {
  TFormatOptions o;
  o.Bcc = STXHL;
  o.Time = PROD2;
  o.STXHL = STXHL;
  o.PROD2 = PROD2;
  if (Bcc) o.Bcc = *Bcc;
  if (Time) o.Time = *Time;
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
