#include "session/modbus_slave.h"

#include <cctype>
#include <vector>

#include "engine/checks.h"

namespace talmo {
namespace {

constexpr const char* kTableNames[] = {"coil", "discrete", "holding", "input"};
constexpr const char* kExceptionNames[] = {"", "illegal function", "illegal data address",
                                           "illegal data value", "server device failure"};
// Most items one request may read or write: what fits in the 253 bytes a
// frame holds after its address and function (2000 bits, 125 registers;
// fewer for writes, which also carry their address and count).
constexpr unsigned kMostBits = 2000, kMostWriteBits = 1968, kMostRegisters = 125,
                   kMostWriteRegisters = 123;

std::uint16_t Word(std::string_view f, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<std::uint8_t>(f[at]) << 8 |
                                    static_cast<std::uint8_t>(f[at + 1]));
}

void PutWord(std::string& out, std::uint16_t v) {
  out += static_cast<char>(v >> 8);
  out += static_cast<char>(v & 0xFF);
}

std::string WithCrc(std::string frame) {
  const std::uint16_t crc = Crc16Modbus(frame);
  frame += static_cast<char>(crc & 0xFF);
  frame += static_cast<char>(crc >> 8);
  return frame;
}

// A whole number, decimal or 0x hex; nothing when it is not one.
std::optional<long> NumberOf(const std::string& s) {
  if (s.empty()) return std::nullopt;
  const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
  const std::string digits = hex ? s.substr(2) : s;
  if (digits.empty() || digits.size() > 8) return std::nullopt;
  for (const char c : digits)
    if (!(hex ? std::isxdigit(static_cast<unsigned char>(c))
              : std::isdigit(static_cast<unsigned char>(c))))
      return std::nullopt;
  return std::stol(digits, nullptr, hex ? 16 : 10);
}

}  // namespace

TModbusSlave TModbusSlave::Parse(std::string_view text, const std::string& name) {
  TModbusSlave slave;
  int lineNo = 0;
  std::optional<std::uint8_t> unit;
  std::size_t from = 0;
  while (from <= text.size()) {
    std::size_t nl = text.find('\n', from);
    if (nl == std::string_view::npos) nl = text.size();
    std::string_view line = text.substr(from, nl - from);
    from = nl + 1;
    ++lineNo;
    // Words and their columns; '=' and '-' stand apart.
    std::vector<std::pair<std::string, int>> words;
    for (std::size_t i = 0; i < line.size();) {
      const char c = line[i];
      if (c == '#') break;
      if (c == ' ' || c == '\t' || c == '\r') {
        ++i;
      } else if (c == '=' || c == '-') {
        words.push_back({std::string(1, c), static_cast<int>(i + 1)});
        ++i;
      } else {
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' &&
               line[i] != '=' && line[i] != '-' && line[i] != '#')
          ++i;
        words.push_back({std::string(line.substr(start, i - start)), static_cast<int>(start + 1)});
      }
    }
    if (words.empty()) continue;
    const auto fail = [&](std::size_t word, const std::string& what) {
      const int column =
          word < words.size() ? words[word].second : static_cast<int>(line.size() + 1);
      throw EMapError(name + ":" + std::to_string(lineNo) + ":" + std::to_string(column) + ": " +
                      what);
    };
    const auto number = [&](std::size_t word, long most, const char* what) {
      const std::optional<long> n =
          word < words.size() ? NumberOf(words[word].first) : std::nullopt;
      if (!n || *n > most) fail(word, std::string("expected ") + what);
      return *n;
    };
    if (words[0].first == "unit") {
      unit = static_cast<std::uint8_t>(number(1, 247, "a unit address from 1 to 247"));
      if (*unit == 0) fail(1, "expected a unit address from 1 to 247 (0 is the broadcast)");
      if (words.size() > 2) fail(2, "expected the end of the line after the unit");
      slave.FUnits[*unit];
      continue;
    }
    int table = -1;
    for (int t = 0; t < 4; ++t)
      if (words[0].first == kTableNames[t]) table = t;
    if (table < 0) fail(0, "expected unit, coil, discrete, holding or input");
    if (!unit) fail(0, "expected a 'unit N' line before the first range");
    const long first = number(1, 65535, "an address from 0 to 65535");
    long last = first;
    std::size_t at = 2;
    if (at < words.size() && words[at].first == "-") {
      last = number(3, 65535, "the range's last address, up to 65535");
      if (last < first) fail(3, "expected a last address not below the first");
      at = 4;
    }
    if (at >= words.size() || words[at].first != "=") fail(at, "expected '=' and a value");
    const bool bits = table < 2;
    const long value = number(at + 1, bits ? 1 : 65535,
                              bits ? "0 or 1" : "a register value from 0 to 65535 (or 0x0-0xFFFF)");
    if (at + 2 < words.size()) fail(at + 2, "expected the end of the line after the value");
    auto& t = slave.FUnits[*unit].Tables[table];
    for (long a = first; a <= last; ++a)
      t[static_cast<std::uint16_t>(a)] = static_cast<std::uint16_t>(value);
  }
  return slave;
}

std::optional<std::string> TModbusSlave::Exception(std::uint8_t unit, std::uint8_t function,
                                                   std::uint8_t code, std::string& note) const {
  note += std::string(note.empty() ? "" : ": ") + "exception " + std::to_string(code) + " (" +
          kExceptionNames[code] + ")";
  std::string answer;
  answer += static_cast<char>(unit);
  answer += static_cast<char>(function | 0x80);
  answer += static_cast<char>(code);
  return WithCrc(answer);
}

TModbusSlave::TResult TModbusSlave::Handle(std::string_view frame) {
  TResult r;
  if (frame.size() < 4) {
    r.Note = "too short for a frame";
    return r;
  }
  const std::string_view body = frame.substr(0, frame.size() - 2);
  const std::uint16_t crc =
      static_cast<std::uint16_t>(static_cast<std::uint8_t>(frame[frame.size() - 2]) |
                                 static_cast<std::uint8_t>(frame[frame.size() - 1]) << 8);
  if (Crc16Modbus(body) != crc) {
    r.Note = "CRC bad: not answered";
    return r;
  }
  const auto unit = static_cast<std::uint8_t>(body[0]);
  const auto function = static_cast<std::uint8_t>(body[1]);
  const bool broadcast = unit == 0;
  if (!broadcast && !FUnits.count(unit)) {
    r.Note = "unit " + std::to_string(unit) + " is not in the map: not answered";
    return r;
  }
  const auto answerWith = [&](const std::optional<std::string>& a) {
    if (!broadcast && a) r.Answer = *a;
    if (broadcast)
      r.Note += r.Note.empty() ? "broadcast: not answered" : "; broadcast: not answered";
  };
  const auto fail = [&](std::uint8_t code) {
    answerWith(broadcast ? std::nullopt : Exception(unit, function, code, r.Note));
    return r;
  };
  // Each unit of a broadcast takes its writes.
  std::vector<TUnit*> units;
  if (broadcast)
    for (auto& [u, t] : FUnits) units.push_back(&t);
  else
    units.push_back(&FUnits[unit]);

  struct TFunction {
    std::uint8_t Function;
    TTable Table;
    bool Write, Single;
    const char* Name;
  };
  static constexpr TFunction kFunctions[] = {
      {1, TTable::Coil, false, false, "read coils"},
      {2, TTable::Discrete, false, false, "read discrete inputs"},
      {3, TTable::Holding, false, false, "read holding registers"},
      {4, TTable::Input, false, false, "read input registers"},
      {5, TTable::Coil, true, true, "write single coil"},
      {6, TTable::Holding, true, true, "write single register"},
      {15, TTable::Coil, true, false, "write multiple coils"},
      {16, TTable::Holding, true, false, "write multiple registers"}};
  const TFunction* f = [&]() -> const TFunction* {
    for (const auto& k : kFunctions)
      if (k.Function == function) return &k;
    return nullptr;
  }();
  if (!f) {
    r.Note = "function " + std::to_string(function);
    return fail(1);
  }
  r.Note = f->Name;
  const bool bits = f->Table == TTable::Coil || f->Table == TTable::Discrete;
  if (body.size() < 6 || (!f->Write && broadcast)) return fail(3);
  const std::uint16_t address = Word(body, 2);
  std::uint16_t count = f->Single ? 1 : Word(body, 4);
  r.Note += " " + std::to_string(address) + (f->Single ? "" : "+" + std::to_string(count));
  // The form of the request: its length and, for writes of several, its
  // byte count.
  std::size_t valuesAt = 4;
  if (!f->Write || f->Single) {
    if (body.size() != 6) return fail(3);
  } else {
    valuesAt = 7;
    const std::size_t bytes = bits ? (count + 7u) / 8u : count * 2u;
    if (body.size() < 7 || static_cast<std::uint8_t>(body[6]) != bytes || body.size() != 7 + bytes)
      return fail(3);
  }
  const unsigned most = f->Write ? (bits ? kMostWriteBits : kMostWriteRegisters)
                                 : (bits ? kMostBits : kMostRegisters);
  if (count == 0 || count > most) return fail(3);
  if (f->Single && bits && Word(body, 4) != 0xFF00 && Word(body, 4) != 0x0000) return fail(3);
  const auto table = static_cast<std::size_t>(f->Table);
  for (TUnit* u : units)
    for (unsigned i = 0; i < count; ++i)
      if (address + i > 0xFFFF || !u->Tables[table].count(static_cast<std::uint16_t>(address + i)))
        return fail(2);

  std::string answer;
  answer += static_cast<char>(unit);
  answer += static_cast<char>(function);
  if (!f->Write) {
    const auto& t = units.front()->Tables[table];
    if (bits) {
      std::string packed((count + 7u) / 8u, '\0');
      for (unsigned i = 0; i < count; ++i)
        if (t.at(static_cast<std::uint16_t>(address + i)))
          packed[i / 8] = static_cast<char>(packed[i / 8] | (1 << (i % 8)));
      answer += static_cast<char>(packed.size());
      answer += packed;
    } else {
      answer += static_cast<char>(count * 2);
      for (unsigned i = 0; i < count; ++i)
        PutWord(answer, t.at(static_cast<std::uint16_t>(address + i)));
    }
    answerWith(WithCrc(answer));
    return r;
  }
  for (TUnit* u : units) {
    auto& t = u->Tables[table];
    for (unsigned i = 0; i < count; ++i) {
      std::uint16_t v;
      if (f->Single)
        v = bits ? (Word(body, 4) == 0xFF00) : Word(body, 4);
      else if (bits)
        v = (static_cast<std::uint8_t>(body[valuesAt + i / 8]) >> (i % 8)) & 1;
      else
        v = Word(body, valuesAt + 2 * i);
      t[static_cast<std::uint16_t>(address + i)] = v;
    }
  }
  // A write is answered with its address and value, or address and count.
  answer.append(body.substr(2, 4));
  answerWith(WithCrc(answer));
  return r;
}

std::string TModbusSlave::Text() const {
  std::string out = "# the register map as the run left it\n";
  for (const auto& [unit, u] : FUnits) {
    out += "unit " + std::to_string(unit) + "\n";
    for (int t = 0; t < 4; ++t) {
      // Runs of equal values on consecutive addresses make one range.
      const auto& table = u.Tables[t];
      for (auto it = table.begin(); it != table.end();) {
        auto end = it;
        auto next = std::next(end);
        while (next != table.end() && next->first == end->first + 1 && next->second == it->second)
          end = next++;
        out += std::string(kTableNames[t]) + " " + std::to_string(it->first);
        if (end->first != it->first) out += "-" + std::to_string(end->first);
        out += " = " + std::to_string(it->second) + "\n";
        it = next;
      }
    }
  }
  return out;
}

}  // namespace talmo
