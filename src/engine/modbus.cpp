#include "engine/modbus.h"

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>

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

TModbusPiece RtuFrame(const std::uint8_t* p, std::size_t len, std::size_t offset) {
  TModbusPiece f;
  f.Raw.assign(p, p + len);
  f.Pdu.assign(p, p + len - 2);
  f.Offset = offset;
  const std::uint16_t crc = ModbusCrc(p, len - 2);
  f.Got = static_cast<std::uint16_t>(p[len - 2] << 8 | p[len - 1]);
  f.Expected = static_cast<std::uint16_t>((crc & 0xFF) << 8 | crc >> 8);
  f.CheckGood = f.Got == f.Expected;
  const TLengths l = LengthsOf(p, len);
  FormsOf(l, len, f.CanRequest, f.CanAnswer);
  if (l.Open && !f.CanRequest && !f.CanAnswer) f.CanRequest = f.CanAnswer = true;
  return f;
}

// Bytes that may be a frame with a bad CRC: a unit, a known function.
bool Framelike(const std::vector<std::uint8_t>& b) {
  return b.size() >= 4 && b.size() <= kMaxFrame && b[0] <= kMaxUnit &&
         ModbusFunctionName(b[1] & ~kExceptionBit);
}

// Noise that has exactly the length of a form of its function is a frame
// whose CRC went bad on the way.
bool FitsAForm(const std::vector<std::uint8_t>& b) {
  if (!Framelike(b)) return false;
  bool request, answer;
  FormsOf(LengthsOf(b.data(), b.size()), b.size(), request, answer);
  return request || answer;
}

std::vector<TModbusPiece> SplitRtu(const std::uint8_t* p, std::size_t n) {
  std::vector<TModbusPiece> out;
  std::size_t noise = n;  // where the noise being gathered began; n: none
  const auto endNoise = [&](std::size_t end) {
    if (noise >= end) return;
    TModbusPiece piece;
    piece.Noise = true;
    piece.Raw.assign(p + noise, p + end);
    piece.Offset = noise;
    out.push_back(std::move(piece));
    noise = n;
  };
  for (std::size_t i = 0; i < n;) {
    if (const std::size_t len = n - i >= 4 ? GoodFrameAt(p + i, n - i) : 0) {
      endNoise(i);
      out.push_back(RtuFrame(p + i, len, i));
      i += len;
      continue;
    }
    if (noise == n) noise = i;
    ++i;
  }
  endNoise(n);
  // What the silence delimited is one frame when nothing in it checks out.
  for (TModbusPiece& piece : out)
    if (piece.Noise && ((out.size() == 1 && Framelike(piece.Raw)) || FitsAForm(piece.Raw)))
      piece = RtuFrame(piece.Raw.data(), piece.Raw.size(), piece.Offset);
  return out;
}

int HexDigit(std::uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

TModbusPiece AsciiFrame(const std::uint8_t* p, std::size_t len, std::size_t offset) {
  TModbusPiece f;
  f.Raw.assign(p, p + len);
  f.Offset = offset;
  const bool ended = len >= 3 && p[len - 2] == '\r' && p[len - 1] == '\n';
  const std::size_t digits = ended ? len - 3 : len - 1;
  std::vector<std::uint8_t> bytes;
  bool hex = digits % 2 == 0;
  for (std::size_t i = 1; hex && i + 1 < 1 + digits + 1; i += 2) {
    const int high = HexDigit(p[i]), low = HexDigit(p[i + 1]);
    if (high < 0 || low < 0) hex = false;
    bytes.push_back(static_cast<std::uint8_t>(high << 4 | low));
  }
  if (!ended || !hex || bytes.size() < 3) {
    f.Malformed = true;
    return f;
  }
  f.Pdu.assign(bytes.begin(), bytes.end() - 1);
  f.Got = bytes.back();
  f.Expected = ModbusLrc(f.Pdu.data(), f.Pdu.size());
  f.CheckGood = f.Got == f.Expected;
  // The forms by the length the frame would have in RTU.
  std::vector<std::uint8_t> rtu = f.Pdu;
  rtu.resize(rtu.size() + 2);
  const TLengths l = LengthsOf(rtu.data(), rtu.size());
  FormsOf(l, rtu.size(), f.CanRequest, f.CanAnswer);
  if (l.Open && !f.CanRequest && !f.CanAnswer) f.CanRequest = f.CanAnswer = true;
  return f;
}

std::vector<TModbusPiece> SplitAscii(const std::uint8_t* p, std::size_t n) {
  std::vector<TModbusPiece> out;
  for (std::size_t i = 0; i < n;) {
    std::size_t colon = i;
    while (colon < n && p[colon] != ':') ++colon;
    if (colon > i) {
      TModbusPiece noise;
      noise.Noise = true;
      noise.Raw.assign(p + i, p + colon);
      noise.Offset = i;
      out.push_back(std::move(noise));
    }
    if (colon == n) break;
    // A frame ends at LF; a ':' before it begins the next one.
    std::size_t end = colon + 1;
    while (end < n && p[end] != ':' && p[end] != '\n') ++end;
    if (end < n && p[end] == '\n') ++end;
    out.push_back(AsciiFrame(p + colon, end - colon, colon));
    i = end;
  }
  return out;
}

std::uint16_t Word(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]);
}

void Append(std::string& s, const char* format, unsigned a) {
  // The common plain number without the C library's format machinery:
  // this runs several times for every frame of a decode.
  const char* at = format;
  while (*at && !(at[0] == '%' && at[1] == 'u')) ++at;
  if (*at) {
    s.append(format, static_cast<std::size_t>(at - format));
    char d[12];
    const auto [end, ec] = std::to_chars(d, d + sizeof d, a);
    (void)ec;  // 12 places hold any unsigned
    s.append(d, end);
    s += at + 2;
    return;
  }
  char t[48];
  std::snprintf(t, sizeof t, format, a);
  s += t;
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

void AppendHex(std::string& s, const std::uint8_t* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    char t[3] = {};
    PutHex2(t, p[i]);
    if (i) s += ' ';
    s.append(t, 2);
  }
}

// "bytes 4 values 1, 2" from the byte count at `at`; a count that the
// frame does not hold is said.
enum class TCounted : std::uint8_t { Bits, Registers, Bytes };

void AppendCounted(std::string& s, const std::vector<std::uint8_t>& b, std::size_t at,
                   TCounted look) {
  const std::size_t head = at + 1;
  if (b.size() < head) return;
  const std::size_t count = b[at];
  Append(s, " bytes %u", static_cast<unsigned>(count));
  const std::size_t have = b.size() - head;
  if (have != count) Append(s, " (%u present)", static_cast<unsigned>(have));
  const std::size_t n = std::min(count, have);
  if (look == TCounted::Registers) {
    s += " values";
    for (std::size_t i = 0; i + 1 < n; i += 2) Append(s, i ? ", %u" : " %u", Word(b, head + i));
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

void AppendAddressCount(std::string& s, const std::vector<std::uint8_t>& b, std::size_t at,
                        const char* count = "count") {
  if (b.size() < at + 4) return;
  Append(s, " address %u", Word(b, at));
  s += ' ';
  s += count;
  Append(s, " %u", Word(b, at + 2));
}

void AppendDeviceId(std::string& s, const std::vector<std::uint8_t>& b, TModbusForm form) {
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
void AppendFields(std::string& s, const std::vector<std::uint8_t>& b, TModbusForm form) {
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

std::vector<TModbusPiece> SplitModbus(TModbusMode mode, const std::uint8_t* p, std::size_t n) {
  if (n == 0) return {};
  return mode == TModbusMode::Ascii ? SplitAscii(p, n) : SplitRtu(p, n);
}

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

std::string DescribeModbus(TModbusMode mode, const TModbusPiece& piece, TModbusForm form,
                           const std::string& extra) {
  std::string s;
  const bool ascii = mode == TModbusMode::Ascii;
  const auto raw = [&] {
    s += " | ";
    if (ascii)
      AppendEscaped(s, piece.Raw.data(), piece.Raw.size());
    else
      AppendHex(s, piece.Raw.data(), piece.Raw.size());
  };
  if (piece.Noise || piece.Malformed) {
    Append(s, piece.Noise ? "noise %u byte" : "malformed ASCII frame %u byte",
           static_cast<unsigned>(piece.Raw.size()));
    if (piece.Raw.size() != 1) s += 's';
    if (!extra.empty()) s += " | " + extra;
    raw();
    return s;
  }
  const std::vector<std::uint8_t>& b = piece.Pdu;
  Append(s, "unit %u", b[0]);
  if (b[0] == 0) s += " (broadcast)";
  const std::uint8_t function = b[1] & ~kExceptionBit;
  if (const char* name = ModbusFunctionName(function)) {
    s += ' ';
    s += name;
    Append(s, " (%u)", function);
  } else {
    Append(s, " function %u", function);
  }
  if (b[1] & kExceptionBit) {
    if (b.size() >= 3) {
      Append(s, " exception %02u", b[2]);
      if (const char* name = ModbusExceptionName(b[2])) s += std::string(" ") + name;
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
  if (!extra.empty()) s += " | " + extra;
  raw();
  return s;
}

TModbusPairing::TModbusPairing(TModbusMode mode, std::int64_t answerTimeoutNs)
    : FMode(mode), FTimeoutNs(answerTimeoutNs) {}

int TModbusPairing::AddSource() { return FSources++; }

namespace {

std::int64_t TimeAt(std::span<const TModbusPairing::TBlockTime> blocks, std::size_t offset) {
  std::int64_t t = blocks.empty() ? 0 : blocks.front().AtNs;
  for (const auto& b : blocks) {
    if (b.Offset > offset) break;
    t = b.AtNs;
  }
  return t;
}

std::string Milliseconds(std::int64_t ns) {
  char s[48];
  const bool negative = ns < 0;
  const std::uint64_t us = (negative ? 0 - static_cast<std::uint64_t>(ns) : ns) / 1000;
  std::snprintf(s, sizeof s, "%s%" PRIu64 ".%03" PRIu64 " ms", negative ? "-" : "", us / 1000,
                us % 1000);
  return s;
}

// "unit 1 read holding registers (3)"
std::string NameOf(std::uint8_t unit, std::uint8_t function) {
  std::string s = "unit " + std::to_string(unit);
  if (const char* name = ModbusFunctionName(function))
    s += std::string(" ") + name + " (" + std::to_string(function) + ")";
  else
    s += " function " + std::to_string(function);
  return s;
}

}  // namespace

void TModbusPairing::Chunk(int source, const std::uint8_t* p, std::size_t n,
                           std::span<const TBlockTime> blocks, std::vector<TLine>& out) {
  if (n == 0) return;
  std::vector<std::uint8_t> joined;
  std::vector<TBlockTime> joinedBlocks;
  if (const auto tail = FTails.find(source); tail != FTails.end()) {
    TTail held = std::move(tail->second);
    FTails.erase(tail);
    joined = held.Bytes;
    joined.insert(joined.end(), p, p + n);
    const std::vector<TModbusPiece> pieces = SplitModbus(FMode, joined.data(), joined.size());
    if (!pieces.empty() && !pieces.front().Noise && pieces.front().CheckGood &&
        pieces.front().Raw.size() > held.Bytes.size()) {
      // The tail was the start of a frame that a block boundary cut.
      joinedBlocks = held.Blocks;
      for (const TBlockTime& b : blocks)
        joinedBlocks.push_back({b.Offset + held.Bytes.size(), b.AtNs});
      p = joined.data();
      n = joined.size();
      blocks = joinedBlocks;
    } else {
      Frames(source, SplitModbus(FMode, held.Bytes.data(), held.Bytes.size()), held.Blocks, out);
    }
  }
  std::vector<TModbusPiece> pieces = SplitModbus(FMode, p, n);
  // An unfinished RTU frame at the end waits for the rest of it.
  if (FMode == TModbusMode::Rtu && !pieces.empty() && !pieces.back().CheckGood &&
      ModbusMissing(pieces.back().Raw.data(), pieces.back().Raw.size()) > 0) {
    const TModbusPiece& last = pieces.back();
    TTail& tail = FTails[source];
    tail.Bytes = last.Raw;
    tail.Blocks.push_back({0, TimeAt(blocks, last.Offset)});
    for (const TBlockTime& b : blocks)
      if (b.Offset > last.Offset) tail.Blocks.push_back({b.Offset - last.Offset, b.AtNs});
    pieces.pop_back();
  }
  Frames(source, pieces, blocks, out);
}

void TModbusPairing::Frames(int source, const std::vector<TModbusPiece>& pieces,
                            std::span<const TBlockTime> blocks, std::vector<TLine>& out) {
  for (const TModbusPiece& piece : pieces) {
    const std::int64_t first = TimeAt(blocks, piece.Offset);
    const std::int64_t last = TimeAt(blocks, piece.Offset + piece.Raw.size() - 1);
    std::vector<TLine> before;
    TModbusForm form = TModbusForm::Request;
    std::string extra;
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
        extra = "not paired";
      } else if (form == TModbusForm::Answer) {
        if (pending != FPending.end()) {
          event.ResponseNs = first - pending->EndNs;
          extra = "answer after " + Milliseconds(event.ResponseNs);
          FPending.erase(pending);
        } else {
          extra = "no request waiting";
        }
      } else if (unit == 0) {
        extra = "broadcast: no answer expected";
      } else {
        // A master asks one thing at a time: a new request from the same
        // side means the one before was given up.
        for (auto r = FPending.begin(); r != FPending.end();)
          if (r->Source == source) {
            ReportUnanswered(*r, first, "the next request came first", before);
            r = FPending.erase(r);
          } else {
            ++r;
          }
        FPending.push_back({source, unit, function, last, NameOf(unit, function)});
      }
    }
    out.insert(out.end(), before.begin(), before.end());
    out.push_back({first, DescribeModbus(FMode, piece, form, extra)});
    Tell(event);
  }
}

void TModbusPairing::ReportUnanswered(const TPending& p, std::int64_t atNs, const char* why,
                                      std::vector<TLine>& out) const {
  TModbusEvent e{TModbusEvent::TKind::Unanswered, p.Source, p.Unit, p.Function};
  Tell(e);
  std::string text = p.Name + " request unanswered";
  if (why)
    text += std::string(": ") + why;
  else
    text += " within " + Milliseconds(FTimeoutNs);
  out.push_back({atNs, std::move(text)});
}

void TModbusPairing::DueBy(int source, std::int64_t t, std::vector<TLine>& out) {
  for (;;) {
    const std::optional<std::int64_t> due = NextDue(source);
    if (!due || *due > t) return;
    const auto tail = FTails.find(source);
    if (tail != FTails.end() && tail->second.Blocks.back().AtNs + kTailHoldNs == *due) {
      const TTail held = std::move(tail->second);
      FTails.erase(tail);
      Frames(source, SplitModbus(FMode, held.Bytes.data(), held.Bytes.size()), held.Blocks, out);
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
  if (const auto tail = FTails.find(source); tail != FTails.end())
    due = tail->second.Blocks.back().AtNs + kTailHoldNs;
  for (const TPending& r : FPending)
    if (r.Source == source && (!due || r.EndNs + FTimeoutNs < *due)) due = r.EndNs + FTimeoutNs;
  return due;
}

}  // namespace talmo
