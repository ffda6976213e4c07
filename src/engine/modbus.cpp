#include "engine/modbus.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <utility>

#include "engine/checks.h"
#include "engine/convert.h"

namespace talmo {
namespace {

std::uint16_t ModbusCrc(const std::uint8_t* p, std::size_t n) {
  return Crc16Modbus(std::string_view(reinterpret_cast<const char*>(p), n));
}

std::uint8_t ModbusLrc(const std::uint8_t* p, std::size_t n) {
  return Lrc(std::string_view(reinterpret_cast<const char*>(p), n));
}

// One more byte into a running CRC-16 (Crc16Modbus's, bit by bit): the
// scan for a frame of no fixed length tries every length in one pass.
std::uint16_t ModbusCrcAdd(std::uint16_t crc, std::uint8_t b) {
  crc ^= b;
  for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  return crc;
}

// Frames longer than this are none: the serial line's limit.
constexpr std::size_t kMaxFrame = 256;
// Unit addresses above this are reserved: no frame begins with one.
constexpr std::uint8_t kMaxUnit = 247;
constexpr std::uint8_t kExceptionBit = 0x80;
constexpr std::uint8_t kMeiDeviceId = 0x0E;

// A whole-frame length (with the two CRC bytes) that one form of the
// function has. Unknown: the bytes do not reach the field that tells it;
// `Length` is then the least the frame can have.
struct TLength {
  std::size_t Length;
  TModbusForm Form;
  bool Unknown = false;
};

struct TLengths {
  TLength Items[3];
  int Count = 0;
  // The function has forms the rules do not cover (sub-functions with
  // data of their own length): its frames are found by the CRC alone.
  bool Open = false;
  void Add(TLength l) { Items[Count++] = l; }
};

// A form whose length is told by a byte count at `at` (one byte, or two
// when `wide`), with `head` bytes before the counted ones.
TLength Counted(const std::uint8_t* p, std::size_t n, std::size_t at, TModbusForm form,
                bool wide = false) {
  const std::size_t head = at + (wide ? 2 : 1);
  if (n < head) return {head + 2, form, true};
  const std::size_t count = wide ? (std::size_t{p[at]} << 8 | p[at + 1]) : p[at];
  return {head + count + 2, form};
}

// The answer of "read device identification": objects of their own lengths.
TLength DeviceIdAnswer(const std::uint8_t* p, std::size_t n) {
  constexpr std::size_t kObjects =
      8;  // after unit, function, MEI, code, conformity, more, next, count
  if (n < kObjects) return {kObjects + 2, TModbusForm::Answer, true};
  std::size_t at = kObjects;
  for (int i = 0; i < p[kObjects - 1]; ++i) {
    if (n < at + 2) return {at + 2 + 2, TModbusForm::Answer, true};
    at += 2 + p[at + 1];
    if (at > kMaxFrame) break;
  }
  return {at + 2, TModbusForm::Answer};
}

// The lengths a frame beginning with `p` (n >= 2 bytes) may have.
TLengths LengthsOf(const std::uint8_t* p, std::size_t n) {
  using enum TModbusForm;
  TLengths l;
  const std::uint8_t f = p[1];
  if (f & kExceptionBit) {
    l.Add({5, Answer});
    return l;
  }
  switch (f) {
    case 1:
    case 2:
    case 3:
    case 4:
      l.Add({8, Request});
      l.Add(Counted(p, n, 2, Answer));
      break;
    case 5:
    case 6:
      l.Add({8, Request});
      l.Add({8, Answer});
      break;
    case 7:
      l.Add({4, Request});
      l.Add({5, Answer});
      break;
    case 8:
      // Sub-function 0 echoes data of any length.
      l.Add({8, Request});
      l.Add({8, Answer});
      l.Open = true;
      break;
    case 11:
      l.Add({4, Request});
      l.Add({8, Answer});
      break;
    case 12:
    case 17:
      l.Add({4, Request});
      l.Add(Counted(p, n, 2, Answer));
      break;
    case 15:
    case 16:
      l.Add(Counted(p, n, 6, Request));
      l.Add({8, Answer});
      break;
    case 20:
    case 21:
      l.Add(Counted(p, n, 2, Request));
      l.Add(Counted(p, n, 2, Answer));
      break;
    case 22:
      l.Add({10, Request});
      l.Add({10, Answer});
      break;
    case 23:
      l.Add(Counted(p, n, 10, Request));
      l.Add(Counted(p, n, 2, Answer));
      break;
    case 24:
      l.Add({6, Request});
      l.Add(Counted(p, n, 2, Answer, true));
      break;
    case 43:
      if (n < 3) {
        l.Open = true;
        l.Add({3 + 2, Request, true});
      } else if (p[2] == kMeiDeviceId) {
        l.Add({7, Request});
        l.Add(DeviceIdAnswer(p, n));
      } else {
        l.Open = true;  // CANopen and others: their own data
      }
      break;
    default: l.Open = true;
  }
  return l;
}

bool CrcGood(const std::uint8_t* p, std::size_t len) {
  const std::uint16_t crc = ModbusCrc(p, len - 2);
  return p[len - 2] == (crc & 0xFF) && p[len - 1] == (crc >> 8);
}

// The forms of length `len` among `l`.
void FormsOf(const TLengths& l, std::size_t len, bool& request, bool& answer) {
  request = answer = false;
  for (int i = 0; i < l.Count; ++i)
    if (!l.Items[i].Unknown && l.Items[i].Length == len)
      (l.Items[i].Form == TModbusForm::Request ? request : answer) = true;
}

// The length of a frame with a good CRC at the start of p (n >= 4), 0 when
// none begins there.
std::size_t GoodFrameAt(const std::uint8_t* p, std::size_t n) {
  const TLengths l = LengthsOf(p, n);
  for (int i = 0; i < l.Count; ++i) {
    const TLength& c = l.Items[i];
    if (!c.Unknown && c.Length >= 4 && c.Length <= n && c.Length <= kMaxFrame &&
        CrcGood(p, c.Length))
      return c.Length;
  }
  if (l.Open && p[0] <= kMaxUnit) {
    // Functions of no fixed form: the shortest span the CRC closes (the
    // CRC carried along, so a long run of noise costs no more per byte).
    std::uint16_t crc = ModbusCrc(p, 2);
    for (std::size_t len = 4; len <= std::min(n, kMaxFrame); ++len) {
      if (p[len - 2] == (crc & 0xFF) && p[len - 1] == (crc >> 8)) return len;
      crc = ModbusCrcAdd(crc, p[len - 2]);
    }
  }
  return 0;
}

// The frame of `len` bytes at p; `checked`: its CRC is known to be good
// (GoodFrameAt found it so), and is not computed again.
TModbusPiece RtuFrame(const std::uint8_t* p, std::size_t len, std::size_t offset,
                      bool checked = false) {
  TModbusPiece f;
  f.Raw = {p, len};
  f.Pdu = {p, len - 2};
  f.Offset = offset;
  f.Got = static_cast<std::uint16_t>(p[len - 2] << 8 | p[len - 1]);
  if (checked) {
    f.Expected = f.Got;
  } else {
    const std::uint16_t crc = ModbusCrc(p, len - 2);
    f.Expected = static_cast<std::uint16_t>((crc & 0xFF) << 8 | crc >> 8);
  }
  f.CheckGood = f.Got == f.Expected;
  const TLengths l = LengthsOf(p, len);
  FormsOf(l, len, f.CanRequest, f.CanAnswer);
  if (l.Open && !f.CanRequest && !f.CanAnswer) f.CanRequest = f.CanAnswer = true;
  return f;
}

// Bytes that may be a frame with a bad CRC: a unit, a known function.
bool Framelike(std::span<const std::uint8_t> b) {
  return b.size() >= 4 && b.size() <= kMaxFrame && b[0] <= kMaxUnit &&
         ModbusFunctionName(b[1] & ~kExceptionBit);
}

// Noise that has exactly the length of a form of its function is a frame
// whose CRC went bad on the way.
bool FitsAForm(std::span<const std::uint8_t> b) {
  if (!Framelike(b)) return false;
  bool request, answer;
  FormsOf(LengthsOf(b.data(), b.size()), b.size(), request, answer);
  return request || answer;
}

TModbusPiece Noise(const std::uint8_t* p, std::size_t from, std::size_t to) {
  TModbusPiece piece;
  piece.Noise = true;
  piece.Raw = {p + from, to - from};
  piece.Offset = from;
  return piece;
}

int HexDigit(std::uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::span<const TModbusPiece> TModbusFramer::Split(const std::uint8_t* p, std::size_t n) {
  FPieces.clear();
  if (n == 0) return {};
  if (FMode == TModbusMode::Ascii)
    SplitAscii(p, n);
  else
    SplitRtu(p, n);
  return FPieces;
}

void TModbusFramer::SplitRtu(const std::uint8_t* p, std::size_t n) {
  std::size_t noise = n;  // where the noise being gathered began; n: none
  const auto endNoise = [&](std::size_t end) {
    if (noise >= end) return;
    FPieces.push_back(Noise(p, noise, end));
    noise = n;
  };
  for (std::size_t i = 0; i < n;) {
    if (const std::size_t len = n - i >= 4 ? GoodFrameAt(p + i, n - i) : 0) {
      endNoise(i);
      FPieces.push_back(RtuFrame(p + i, len, i, true));
      i += len;
      continue;
    }
    if (noise == n) noise = i;
    ++i;
  }
  endNoise(n);
  // What the silence delimited is one frame when nothing in it checks out.
  for (TModbusPiece& piece : FPieces)
    if (piece.Noise && ((FPieces.size() == 1 && Framelike(piece.Raw)) || FitsAForm(piece.Raw)))
      piece = RtuFrame(piece.Raw.data(), piece.Raw.size(), piece.Offset);
}

TModbusPiece TModbusFramer::AsciiFrame(const std::uint8_t* p, std::size_t len, std::size_t offset) {
  TModbusPiece f;
  f.Raw = {p, len};
  f.Offset = offset;
  const bool ended = len >= 3 && p[len - 2] == '\r' && p[len - 1] == '\n';
  const std::size_t digits = ended ? len - 3 : len - 1;
  const std::size_t start = FDecoded.size();
  bool hex = digits % 2 == 0;
  for (std::size_t i = 1; hex && i + 1 < 1 + digits + 1; i += 2) {
    const int high = HexDigit(p[i]), low = HexDigit(p[i + 1]);
    if (high < 0 || low < 0) hex = false;
    FDecoded.push_back(static_cast<std::uint8_t>(high << 4 | low));
  }
  const std::size_t decoded = FDecoded.size() - start;
  if (!ended || !hex || decoded < 3) {
    FDecoded.resize(start);
    f.Malformed = true;
    return f;
  }
  f.Pdu = {FDecoded.data() + start, decoded - 1};
  f.Got = FDecoded.back();
  f.Expected = ModbusLrc(f.Pdu.data(), f.Pdu.size());
  f.CheckGood = f.Got == f.Expected;
  // The forms by the length the frame would have in RTU.
  FScratch.assign(f.Pdu.begin(), f.Pdu.end());
  FScratch.resize(FScratch.size() + 2);
  const TLengths l = LengthsOf(FScratch.data(), FScratch.size());
  FormsOf(l, FScratch.size(), f.CanRequest, f.CanAnswer);
  if (l.Open && !f.CanRequest && !f.CanAnswer) f.CanRequest = f.CanAnswer = true;
  return f;
}

void TModbusFramer::SplitAscii(const std::uint8_t* p, std::size_t n) {
  // A frame's binary content is at most half its characters: with this
  // room the store never moves, and the pieces' views of it stay valid.
  FDecoded.clear();
  FDecoded.reserve(n / 2 + 1);
  for (std::size_t i = 0; i < n;) {
    std::size_t colon = i;
    while (colon < n && p[colon] != ':') ++colon;
    if (colon > i) FPieces.push_back(Noise(p, i, colon));
    if (colon == n) break;
    // A frame ends at LF; a ':' before it begins the next one.
    std::size_t end = colon + 1;
    while (end < n && p[end] != ':' && p[end] != '\n') ++end;
    if (end < n && p[end] == '\n') ++end;
    FPieces.push_back(AsciiFrame(p + colon, end - colon, colon));
    i = end;
  }
}

namespace {

std::uint16_t Word(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]);
}

// A number as a frame's line shows it; the lines' hot paths call this
// rather than Append.
void AppendNumber(std::string& s, unsigned v) {
  char d[12];
  const auto [end, ec] = std::to_chars(d, d + sizeof d, v);
  (void)ec;  // 12 places hold any unsigned
  // A pointer and a length: the form with two pointers goes the slow way,
  // through replace.
  s.append(d, static_cast<std::size_t>(end - d));
}

// `format` with its one number in place: %u, or %02u, %02X, %04X (zeros
// before, to that many places). Without the C library's format machinery:
// this runs several times for every frame of a decode.
void Append(std::string& s, const char* format, unsigned a) {
  const char* at = std::strchr(format, '%');
  if (!at) {
    s += format;
    return;
  }
  s.append(format, static_cast<std::size_t>(at - format));
  ++at;
  std::size_t width = 0;
  if (*at == '0') {
    width = static_cast<std::size_t>(at[1] - '0');
    at += 2;
  }
  const bool hex = *at == 'X';
  char d[12];
  const auto [end, ec] = std::to_chars(d, d + sizeof d, a, hex ? 16 : 10);
  (void)ec;  // 12 places hold any unsigned
  const std::size_t len = static_cast<std::size_t>(end - d);
  if (len < width) s.append(width - len, '0');
  if (hex)
    for (char* c = d; c != end; ++c)
      if (*c >= 'a') *c = static_cast<char>(*c - 'a' + 'A');
  s.append(d, static_cast<std::size_t>(end - d));
  s += at + 1;
}

// Characters as a line may show them: printable ASCII as itself (a
// backslash doubled), every other byte as an escape, so that no received
// byte can pass for text or move the user's cursor.
void AppendEscaped(std::string& s, const std::uint8_t* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t c = p[i];
    if (c == '\\') {
      s += "\\\\";
    } else if (c >= 0x20 && c < 0x7F) {
      s += static_cast<char>(c);
    } else if (c == '\r' || c == '\n') {
      s += c == '\r' ? "\\r" : "\\n";
    } else {
      char t[5] = {'\\', 'x', 0, 0, 0};
      PutHex2(t + 2, c);
      s.append(t, 4);
    }
  }
}

// "01 03 0A": the line's room made once, then written in place, since
// every frame's bytes end its line.
void AppendHex(std::string& s, const std::uint8_t* p, std::size_t n) {
  if (n == 0) return;
  const std::size_t at = s.size();
  s.resize(at + 3 * n - 1);
  char* d = s.data() + at;
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (std::size_t i = 0; i < n; ++i) {
    if (i) *d++ = ' ';
    *d++ = kDigits[p[i] >> 4];
    *d++ = kDigits[p[i] & 15];
  }
}

// "bytes 4 values 1, 2" from the byte count at `at`; a count that the
// frame does not hold is said.
enum class TCounted : std::uint8_t { Bits, Registers, Bytes };

void AppendCounted(std::string& s, std::span<const std::uint8_t> b, std::size_t at, TCounted look) {
  const std::size_t head = at + 1;
  if (b.size() < head) return;
  const std::size_t count = b[at];
  s += " bytes ";
  AppendNumber(s, static_cast<unsigned>(count));
  const std::size_t have = b.size() - head;
  if (have != count) Append(s, " (%u present)", static_cast<unsigned>(have));
  const std::size_t n = std::min(count, have);
  if (look == TCounted::Registers) {
    s += " values";
    for (std::size_t i = 0; i + 1 < n; i += 2) {
      s += i ? ", " : " ";
      AppendNumber(s, Word(b, head + i));
    }
  } else if (look == TCounted::Bytes) {
    if (n) s += " data ";
    AppendHex(s, b.data() + head, n);
  } else {
    s += " bits";
    for (std::size_t i = 0; i < n; ++i) {
      s += ' ';
      // The first coil is the lowest bit: written first, as addresses grow.
      for (int bit = 0; bit < 8; ++bit) s += (b[head + i] >> bit) & 1 ? '1' : '0';
    }
  }
}

void AppendAddressCount(std::string& s, std::span<const std::uint8_t> b, std::size_t at,
                        const char* count = "count") {
  if (b.size() < at + 4) return;
  s += " address ";
  AppendNumber(s, Word(b, at));
  s += ' ';
  s += count;
  s += ' ';
  AppendNumber(s, Word(b, at + 2));
}

void AppendDeviceId(std::string& s, std::span<const std::uint8_t> b, TModbusForm form) {
  if (b.size() < 4) return;
  Append(s, " MEI %u", b[2]);
  if (b[2] != kMeiDeviceId) return;
  s += " read device identification";
  if (form == TModbusForm::Request) {
    if (b.size() >= 5) {
      Append(s, " code %u", b[3]);
      Append(s, " object %u", b[4]);
    }
    return;
  }
  if (b.size() < 8) return;
  Append(s, " code %u", b[3]);
  Append(s, " conformity 0x%02X", b[4]);
  Append(s, " more %u", b[5]);
  Append(s, " next %u", b[6]);
  Append(s, " objects %u", b[7]);
  std::size_t at = 8;
  for (int i = 0; i < b[7] && at + 2 <= b.size(); ++i) {
    const std::size_t len = std::min<std::size_t>(b[at + 1], b.size() - at - 2);
    Append(s, i ? ", %u " : ": %u ", b[at]);
    s += '"';
    AppendEscaped(s, b.data() + at + 2, len);
    s += '"';
    at += 2 + len;
  }
}

// The fields of a frame that is no exception.
void AppendFields(std::string& s, std::span<const std::uint8_t> b, TModbusForm form) {
  const bool request = form == TModbusForm::Request;
  s += request ? " request" : " answer";
  switch (b[1]) {
    case 1:
    case 2:
    case 3:
    case 4:
      if (request)
        AppendAddressCount(s, b, 2);
      else
        AppendCounted(s, b, 2, b[1] >= 3 ? TCounted::Registers : TCounted::Bits);
      break;
    case 5:
      if (b.size() >= 6) {
        Append(s, " address %u", Word(b, 2));
        const std::uint16_t v = Word(b, 4);
        if (v == 0xFF00 || v == 0)
          s += v ? " on" : " off";
        else
          Append(s, " value 0x%04X (neither on nor off)", v);
      }
      break;
    case 6: AppendAddressCount(s, b, 2, "value"); break;
    case 7:
      if (!request && b.size() >= 3) Append(s, " status 0x%02X", b[2]);
      break;
    case 8:
      if (b.size() >= 4) Append(s, " sub-function %u", Word(b, 2));
      if (b.size() > 4) {
        s += " data ";
        AppendHex(s, b.data() + 4, b.size() - 4);
      }
      break;
    case 11:
      if (!request && b.size() >= 6) {
        Append(s, " status 0x%04X", Word(b, 2));
        Append(s, " events %u", Word(b, 4));
      }
      break;
    case 12:
    case 17:
    case 20:
    case 21:
      if (!request || b[1] >= 20) AppendCounted(s, b, 2, TCounted::Bytes);
      break;
    case 15:
    case 16:
      AppendAddressCount(s, b, 2);
      if (request) AppendCounted(s, b, 6, b[1] == 16 ? TCounted::Registers : TCounted::Bits);
      break;
    case 22:
      if (b.size() >= 8) {
        Append(s, " address %u", Word(b, 2));
        Append(s, " and 0x%04X", Word(b, 4));
        Append(s, " or 0x%04X", Word(b, 6));
      }
      break;
    case 23:
      if (request) {
        AppendAddressCount(s, b, 2, "count");
        if (b.size() >= 10) {
          Append(s, " write address %u", Word(b, 6));
          Append(s, " count %u", Word(b, 8));
        }
        AppendCounted(s, b, 10, TCounted::Registers);
      } else {
        AppendCounted(s, b, 2, TCounted::Registers);
      }
      break;
    case 24:
      if (request && b.size() >= 4) Append(s, " address %u", Word(b, 2));
      if (!request && b.size() >= 6) {
        Append(s, " bytes %u", Word(b, 2));
        Append(s, " count %u values", Word(b, 4));
        for (std::size_t i = 6; i + 1 < b.size(); i += 2)
          Append(s, i > 6 ? ", %u" : " %u", Word(b, i));
      }
      break;
    case 43: AppendDeviceId(s, b, form); break;
    default:
      if (b.size() > 2) {
        s += " data ";
        AppendHex(s, b.data() + 2, b.size() - 2);
      }
  }
}

}  // namespace

std::size_t ModbusMissing(const std::uint8_t* p, std::size_t n) {
  if (n == 0) return 0;
  if (p[0] > kMaxUnit) return 0;
  if (n == 1) return 3;
  if (!ModbusFunctionName(p[1] & ~kExceptionBit)) return 0;
  const TLengths l = LengthsOf(p, n);
  std::size_t missing = 0;
  for (int i = 0; i < l.Count; ++i) {
    const TLength& c = l.Items[i];
    if (c.Length == n && !c.Unknown) return 0;  // whole already, with a bad CRC
    if (c.Length > n && c.Length <= kMaxFrame && (missing == 0 || c.Length - n < missing))
      missing = c.Length - n;
  }
  return missing;
}

const char* ModbusFunctionName(std::uint8_t function) {
  switch (function) {
    case 1: return "read coils";
    case 2: return "read discrete inputs";
    case 3: return "read holding registers";
    case 4: return "read input registers";
    case 5: return "write single coil";
    case 6: return "write single register";
    case 7: return "read exception status";
    case 8: return "diagnostics";
    case 11: return "get comm event counter";
    case 12: return "get comm event log";
    case 15: return "write multiple coils";
    case 16: return "write multiple registers";
    case 17: return "report server id";
    case 20: return "read file record";
    case 21: return "write file record";
    case 22: return "mask write register";
    case 23: return "read/write multiple registers";
    case 24: return "read FIFO queue";
    case 43: return "encapsulated interface";
    default: return nullptr;
  }
}

const char* ModbusExceptionName(std::uint8_t code) {
  switch (code) {
    case 1: return "illegal function";
    case 2: return "illegal data address";
    case 3: return "illegal data value";
    case 4: return "server device failure";
    case 5: return "acknowledge";
    case 6: return "server device busy";
    case 8: return "memory parity error";
    case 10: return "gateway path unavailable";
    case 11: return "gateway target device failed to respond";
    default: return nullptr;
  }
}

void AppendModbus(std::string& s, TModbusMode mode, const TModbusPiece& piece, TModbusForm form,
                  std::string_view extra) {
  const bool ascii = mode == TModbusMode::Ascii;
  const auto raw = [&] {
    s += " | ";
    if (ascii)
      AppendEscaped(s, piece.Raw.data(), piece.Raw.size());
    else
      AppendHex(s, piece.Raw.data(), piece.Raw.size());
  };
  const auto more = [&] {
    if (extra.empty()) return;
    s += " | ";
    s += extra;
  };
  if (piece.Noise || piece.Malformed) {
    Append(s, piece.Noise ? "noise %u byte" : "malformed ASCII frame %u byte",
           static_cast<unsigned>(piece.Raw.size()));
    if (piece.Raw.size() != 1) s += 's';
    more();
    raw();
    return;
  }
  const std::span<const std::uint8_t> b = piece.Pdu;
  s += "unit ";
  AppendNumber(s, b[0]);
  if (b[0] == 0) s += " (broadcast)";
  const std::uint8_t function = b[1] & ~kExceptionBit;
  if (const char* name = ModbusFunctionName(function)) {
    s += ' ';
    s += name;
    s += " (";
    AppendNumber(s, function);
    s += ')';
  } else {
    Append(s, " function %u", function);
  }
  if (b[1] & kExceptionBit) {
    if (b.size() >= 3) {
      Append(s, " exception %02u", b[2]);
      if (const char* name = ModbusExceptionName(b[2])) {
        s += ' ';
        s += name;
      }
    } else {
      s += " exception";
    }
  } else {
    AppendFields(s, b, form);
  }
  s += ascii ? " | LRC " : " | CRC ";
  if (piece.CheckGood) {
    s += "ok";
  } else {
    Append(s, ascii ? "BAD (got %02X" : "BAD (got %04X", piece.Got);
    Append(s, ascii ? ", expected %02X)" : ", expected %04X)", piece.Expected);
  }
  more();
  raw();
}

TModbusPairing::TLine& TModbusPairing::TLines::Add(std::int64_t atNs) {
  if (FCount == FItems.size()) FItems.emplace_back();
  TLine& line = FItems[FCount++];
  line.AtNs = atNs;
  line.Text.clear();
  return line;
}

TModbusPairing::TModbusPairing(TModbusMode mode, std::int64_t answerTimeoutNs)
    : FMode(mode), FTimeoutNs(answerTimeoutNs), FFramer(mode) {}

int TModbusPairing::AddSource() {
  FTails.emplace_back();
  return FSources++;
}

TModbusPairing::TTail& TModbusPairing::TailOf(int source) {
  const auto at = static_cast<std::size_t>(source);
  if (at >= FTails.size()) FTails.resize(at + 1);
  return FTails[at];
}

namespace {

std::int64_t TimeAt(std::span<const TModbusPairing::TBlockTime> blocks, std::size_t offset) {
  std::int64_t t = blocks.empty() ? 0 : blocks.front().AtNs;
  for (const auto& b : blocks) {
    if (b.Offset > offset) break;
    t = b.AtNs;
  }
  return t;
}

// "12.345 ms" from nanoseconds, to the microsecond, cut (not rounded).
void AppendMilliseconds(std::string& s, std::int64_t ns) {
  const bool negative = ns < 0;
  const std::uint64_t us = (negative ? 0 - static_cast<std::uint64_t>(ns) : ns) / 1000;
  if (negative) s += '-';
  char d[24];
  const auto [end, ec] = std::to_chars(d, d + sizeof d, us / 1000);
  (void)ec;  // 24 places hold any 64-bit number
  s.append(d, static_cast<std::size_t>(end - d));
  const auto frac = static_cast<unsigned>(us % 1000);
  const char places[] = {'.', static_cast<char>('0' + frac / 100),
                         static_cast<char>('0' + frac / 10 % 10),
                         static_cast<char>('0' + frac % 10)};
  s.append(places, sizeof places);
  s += " ms";
}

// "unit 1 read holding registers (3)"
void AppendName(std::string& s, std::uint8_t unit, std::uint8_t function) {
  Append(s, "unit %u", unit);
  if (const char* name = ModbusFunctionName(function)) {
    s += ' ';
    s += name;
    Append(s, " (%u)", function);
  } else {
    Append(s, " function %u", function);
  }
}

}  // namespace

void TModbusPairing::Chunk(int source, const std::uint8_t* p, std::size_t n,
                           std::span<const TBlockTime> blocks, TLines& out) {
  if (n == 0) return;
  if (TTail& tail = TailOf(source); !tail.Bytes.empty()) {
    const TTail held = std::exchange(tail, {});
    FJoined.assign(held.Bytes.begin(), held.Bytes.end());
    FJoined.insert(FJoined.end(), p, p + n);
    const std::span<const TModbusPiece> pieces = FFramer.Split(FJoined.data(), FJoined.size());
    if (!pieces.empty() && !pieces.front().Noise && pieces.front().CheckGood &&
        pieces.front().Raw.size() > held.Bytes.size()) {
      // The tail was the start of a frame that a block boundary cut.
      FJoinedBlocks = held.Blocks;
      for (const TBlockTime& b : blocks)
        FJoinedBlocks.push_back({b.Offset + held.Bytes.size(), b.AtNs});
      p = FJoined.data();
      n = FJoined.size();
      blocks = FJoinedBlocks;
    } else {
      Frames(source, FFramer.Split(held.Bytes.data(), held.Bytes.size()), held.Blocks, out);
    }
  }
  std::span<const TModbusPiece> pieces = FFramer.Split(p, n);
  // An unfinished RTU frame at the end waits for the rest of it.
  if (FMode == TModbusMode::Rtu && !pieces.empty() && !pieces.back().CheckGood &&
      ModbusMissing(pieces.back().Raw.data(), pieces.back().Raw.size()) > 0) {
    const TModbusPiece& last = pieces.back();
    TTail& tail = TailOf(source);
    tail.Bytes.assign(last.Raw.begin(), last.Raw.end());
    tail.Blocks.push_back({0, TimeAt(blocks, last.Offset)});
    for (const TBlockTime& b : blocks)
      if (b.Offset > last.Offset) tail.Blocks.push_back({b.Offset - last.Offset, b.AtNs});
    pieces = pieces.first(pieces.size() - 1);
  }
  Frames(source, pieces, blocks, out);
}

void TModbusPairing::Frames(int source, std::span<const TModbusPiece> pieces,
                            std::span<const TBlockTime> blocks, TLines& out) {
  for (const TModbusPiece& piece : pieces) {
    const std::int64_t first = TimeAt(blocks, piece.Offset);
    const std::int64_t last = TimeAt(blocks, piece.Offset + piece.Raw.size() - 1);
    TModbusForm form = TModbusForm::Request;
    FExtra.clear();
    TModbusEvent event{TModbusEvent::TKind::Noise, source};
    event.Bytes = piece.Raw.size();
    if (piece.Malformed) event.Kind = TModbusEvent::TKind::BadCheck;
    if (!piece.Noise && !piece.Malformed) {
      const std::uint8_t unit = piece.Pdu[0], function = piece.Pdu[1] & 0x7F;
      const bool exception = piece.Pdu[1] & 0x80;
      // An answer comes from the other side, unless one stream holds both.
      const auto pending = std::find_if(FPending.begin(), FPending.end(), [&](const TPending& r) {
        return r.Unit == unit && r.Function == function && (r.Source != source || FSources <= 1);
      });
      if (exception || (piece.CanAnswer && !piece.CanRequest))
        form = TModbusForm::Answer;
      else if (piece.CanAnswer && pending != FPending.end())
        form = TModbusForm::Answer;
      event.Unit = unit;
      event.Function = function;
      event.Kind = !piece.CheckGood              ? TModbusEvent::TKind::BadCheck
                   : exception                   ? TModbusEvent::TKind::Exception
                   : form == TModbusForm::Answer ? TModbusEvent::TKind::Answer
                                                 : TModbusEvent::TKind::Request;
      if (!piece.CheckGood) {
        FExtra = "not paired";
      } else if (form == TModbusForm::Answer) {
        if (pending != FPending.end()) {
          event.ResponseNs = first - pending->EndNs;
          FExtra = "answer after ";
          AppendMilliseconds(FExtra, event.ResponseNs);
          FPending.erase(pending);
        } else {
          FExtra = "no request waiting";
        }
      } else if (unit == 0) {
        FExtra = "broadcast: no answer expected";
      } else {
        // A master asks one thing at a time: a new request from the same
        // side means the one before was given up (told before this one).
        for (auto r = FPending.begin(); r != FPending.end();)
          if (r->Source == source) {
            ReportUnanswered(*r, first, "the next request came first", out);
            r = FPending.erase(r);
          } else {
            ++r;
          }
        FPending.push_back({source, unit, function, last});
      }
    }
    AppendModbus(out.Add(first).Text, FMode, piece, form, FExtra);
    Tell(event);
  }
}

void TModbusPairing::ReportUnanswered(const TPending& p, std::int64_t atNs, const char* why,
                                      TLines& out) const {
  TModbusEvent e{TModbusEvent::TKind::Unanswered, p.Source, p.Unit, p.Function};
  Tell(e);
  std::string& text = out.Add(atNs).Text;
  AppendName(text, p.Unit, p.Function);
  text += " request unanswered";
  if (why) {
    text += ": ";
    text += why;
  } else {
    text += " within ";
    AppendMilliseconds(text, FTimeoutNs);
  }
}

void TModbusPairing::DueBy(int source, std::int64_t t, TLines& out) {
  for (;;) {
    const std::optional<std::int64_t> due = NextDue(source);
    if (!due || *due > t) return;
    if (TTail& tail = TailOf(source);
        !tail.Bytes.empty() && tail.Blocks.back().AtNs + kTailHoldNs == *due) {
      const TTail held = std::exchange(tail, {});
      Frames(source, FFramer.Split(held.Bytes.data(), held.Bytes.size()), held.Blocks, out);
      continue;
    }
    for (auto r = FPending.begin(); r != FPending.end(); ++r)
      if (r->Source == source && r->EndNs + FTimeoutNs == *due) {
        ReportUnanswered(*r, *due, nullptr, out);
        FPending.erase(r);
        break;
      }
  }
}

std::optional<std::int64_t> TModbusPairing::NextDue(int source) const {
  std::optional<std::int64_t> due;
  if (static_cast<std::size_t>(source) < FTails.size())
    if (const TTail& tail = FTails[static_cast<std::size_t>(source)]; !tail.Bytes.empty())
      due = tail.Blocks.back().AtNs + kTailHoldNs;
  for (const TPending& r : FPending)
    if (r.Source == source && (!due || r.EndNs + FTimeoutNs < *due)) due = r.EndNs + FTimeoutNs;
  return due;
}

}  // namespace talmo
