#include "capture/pcapng.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/error_text.h"

namespace talmo::pcapng {
namespace {

constexpr std::uint32_t kSectionType = 0x0A0D0D0A;
constexpr std::uint32_t kInterfaceType = 1;
constexpr std::uint32_t kObsoletePacketType = 2;
constexpr std::uint32_t kSimplePacketType = 3;
constexpr std::uint32_t kEnhancedType = 6;
constexpr std::uint32_t kByteOrder = 0x1A2B3C4D;
constexpr std::uint32_t kByteOrderSwapped = 0x4D3C2B1A;
constexpr std::uint16_t kOptEnd = 0, kOptComment = 1;
constexpr std::uint16_t kShbUserAppl = 4;
constexpr std::uint16_t kIfName = 2, kIfDescription = 3, kIfTsResol = 9;
constexpr std::uint16_t kEpbFlags = 2;
constexpr std::int64_t kNanos = 1000000000;
// Reads are taken in pieces of up to this size: a decode of a large
// capture reads as fast as a raw one. The buffer starts small and doubles
// each time it runs dry, so a small file (or a fuzz input) costs little.
constexpr std::size_t kReadPiece = 1 << 20;
constexpr std::size_t kFirstPiece = 1 << 12;

void Put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void Put32Be(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 3; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void Pad(std::vector<std::uint8_t>& out) {
  while (out.size() % 4 != 0) out.push_back(0);
}

void Option(std::vector<std::uint8_t>& out, std::uint16_t code, const void* value, std::size_t n) {
  // An option's length field has 16 bits; a longer text is cut.
  n = std::min<std::size_t>(n, 0xFFF0);
  Put16(out, code);
  Put16(out, static_cast<std::uint16_t>(n));
  const auto* p = static_cast<const std::uint8_t*>(value);
  out.insert(out.end(), p, p + n);
  Pad(out);
}

void TextOption(std::vector<std::uint8_t>& out, std::uint16_t code, std::string_view text) {
  if (!text.empty()) Option(out, code, text.data(), text.size());
}

// Starts a block of `type` at the end of out; Close writes both lengths.
std::size_t Open(std::vector<std::uint8_t>& out, std::uint32_t type) {
  const std::size_t start = out.size();
  Put32(out, type);
  Put32(out, 0);
  return start;
}

void Close(std::vector<std::uint8_t>& out, std::size_t start) {
  Pad(out);
  const auto length = static_cast<std::uint32_t>(out.size() + 4 - start);
  Put32(out, length);
  for (int i = 0; i < 4; ++i) out[start + 4 + i] = static_cast<std::uint8_t>(length >> (8 * i));
}

std::string At(std::uint64_t offset) { return "at byte " + std::to_string(offset); }

}  // namespace

void AppendSectionHeader(std::vector<std::uint8_t>& out, std::string_view application) {
  const std::size_t start = Open(out, kSectionType);
  Put32(out, kByteOrder);
  Put16(out, 1);
  Put16(out, 0);
  Put32(out, 0xFFFFFFFF);  // section length unknown: written as it grows
  Put32(out, 0xFFFFFFFF);
  TextOption(out, kShbUserAppl, application);
  Put32(out, kOptEnd);
  Close(out, start);
}

void AppendInterface(std::vector<std::uint8_t>& out, std::string_view name,
                     std::string_view description) {
  const std::size_t start = Open(out, kInterfaceType);
  Put16(out, kLinkSerial);
  Put16(out, 0);
  Put32(out, 0);  // no snap length: every block whole
  TextOption(out, kIfName, name);
  TextOption(out, kIfDescription, description);
  const std::uint8_t nanoseconds = 9;
  Option(out, kIfTsResol, &nanoseconds, 1);
  Put32(out, kOptEnd);
  Close(out, start);
}

void AppendPacket(std::vector<std::uint8_t>& out, const TPacket& p) {
  if (p.Size > kMaxPacketData) {
    TPacket piece = p;
    for (std::size_t at = 0; at < p.Size; at += kMaxPacketData) {
      piece.Data = p.Data + at;
      piece.Size = std::min(kMaxPacketData, p.Size - at);
      piece.Comment = at == 0 ? p.Comment : std::string_view();
      AppendPacket(out, piece);
    }
    return;
  }
  const std::int64_t ns = std::max<std::int64_t>(p.TimeNs, 0);
  const auto stamp = static_cast<std::uint64_t>(ns);
  const auto captured = static_cast<std::uint32_t>(kSerialHeaderSize + p.Size);
  const std::size_t start = Open(out, kEnhancedType);
  Put32(out, p.Interface);
  Put32(out, static_cast<std::uint32_t>(stamp >> 32));
  Put32(out, static_cast<std::uint32_t>(stamp));
  Put32(out, captured);
  Put32(out, captured);
  Put32Be(out, static_cast<std::uint32_t>(ns / kNanos));
  Put32Be(out, static_cast<std::uint32_t>(ns % kNanos / 1000));
  out.push_back(static_cast<std::uint8_t>(p.Event));
  out.push_back(p.Lines);
  Put16(out, 0);
  if (p.Size > 0) out.insert(out.end(), p.Data, p.Data + p.Size);
  Pad(out);
  if (p.Direction != TDirection::Unknown) {
    // In the file's order (little-endian, as every field we write).
    const auto flags = static_cast<std::uint8_t>(p.Direction);
    const std::uint8_t v[4] = {flags, 0, 0, 0};
    Option(out, kEpbFlags, v, 4);
  }
  TextOption(out, kOptComment, p.Comment);
  if (p.Direction != TDirection::Unknown || !p.Comment.empty()) Put32(out, kOptEnd);
  Close(out, start);
}

bool IsTimedName(std::string_view path) {
  constexpr std::string_view kExt = ".pcapng";
  if (path.size() < kExt.size()) return false;
  const std::string_view tail = path.substr(path.size() - kExt.size());
  for (std::size_t i = 0; i < kExt.size(); ++i) {
    char c = tail[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kExt[i]) return false;
  }
  return true;
}

bool StartsPcapng(const std::uint8_t* p, std::size_t n) {
  return n >= 4 && p[0] == 0x0A && p[1] == 0x0D && p[2] == 0x0D && p[3] == 0x0A;
}

// --- reading -----------------------------------------------------------------

TPcapngReader::TPcapngReader(TRead read, std::vector<std::uint8_t> first)
    : FRead(std::move(read)), FBuf(std::move(first)), FEnd(FBuf.size()) {}

std::uint32_t TPcapngReader::U32(const std::uint8_t* p) const {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return FSwap ? __builtin_bswap32(v) : v;
}

std::uint16_t TPcapngReader::U16(const std::uint8_t* p) const {
  std::uint16_t v;
  std::memcpy(&v, p, 2);
  return FSwap ? __builtin_bswap16(v) : v;
}

// Makes `want` unread bytes available; false at the end of the input or on
// a failed read (FReadErrno).
bool TPcapngReader::Fill(std::size_t want) {
  if (FEnd - FHead >= want) return true;
  if (FHead > 0) {
    std::memmove(FBuf.data(), FBuf.data() + FHead, FEnd - FHead);
    FEnd -= FHead;
    FHead = 0;
  }
  if (FBuf.size() < std::max(want, kReadPiece)) {
    const std::size_t grown = std::min(kReadPiece, std::max(kFirstPiece, 2 * FBuf.size()));
    FBuf.resize(std::max(want, grown));
  }
  while (FEnd < want && !FEof) {
    const long got = FRead(FBuf.data() + FEnd, FBuf.size() - FEnd);
    if (got < 0) {
      if (errno == EINTR) continue;
      FReadErrno = errno;
      return false;
    }
    if (got == 0) FEof = true;
    FEnd += static_cast<std::size_t>(got);
  }
  return FEnd >= want;
}

TPcapngReader::TStep TPcapngReader::Fail(std::string why, bool truncated) {
  FDone = true;
  FTruncated = truncated;
  FError = std::move(why);
  return TStep::Error;
}

TPcapngReader::TStep TPcapngReader::Next() {
  while (!FDone) {
    if (!Fill(8)) {
      if (FReadErrno)
        return Fail("cannot be read " + At(FOffset) + ": " + SysErrorText(FReadErrno));
      if (FEnd == FHead && FSeenSection) {
        FDone = true;
        return TStep::End;
      }
      if (FEnd == FHead) return Fail("is empty: no pcapng section header");
      // A few bytes that cannot start a section are no cut pcapng file.
      const std::uint8_t kStart[] = {0x0A, 0x0D, 0x0D, 0x0A};
      if (!FSeenSection &&
          std::memcmp(FBuf.data() + FHead, kStart, std::min<std::size_t>(FEnd - FHead, 4)) != 0)
        return Fail("is not a pcapng file: no section header " + At(FOffset));
      return Fail("ends " + At(FOffset + (FEnd - FHead)) + ", inside the block " + At(FOffset),
                  true);
    }
    const std::uint8_t* head = FBuf.data() + FHead;
    std::uint32_t type;
    std::memcpy(&type, head, 4);
    if (type == kSectionType) {
      if (!Fill(12)) {
        if (FReadErrno)
          return Fail("cannot be read " + At(FOffset) + ": " + SysErrorText(FReadErrno));
        return Fail("ends " + At(FOffset + (FEnd - FHead)) + ", inside the block " + At(FOffset),
                    true);
      }
      head = FBuf.data() + FHead;
      std::uint32_t order;
      std::memcpy(&order, head + 8, 4);
      if (order == kByteOrder)
        FSwap = false;
      else if (order == kByteOrderSwapped)
        FSwap = true;
      else
        return Fail("has a section header " + At(FOffset) + " with an unknown byte-order mark");
      type = kSectionType;
    } else if (!FSeenSection) {
      return Fail("is not a pcapng file: no section header " + At(FOffset));
    } else {
      type = U32(head);
    }
    const std::uint32_t length = U32(head + 4);
    if (length < 12 || length % 4 != 0)
      return Fail("has a block " + At(FOffset) + " with a length of " + std::to_string(length) +
                  " (a block is a multiple of 4, at least 12)");
    if (length > kMaxBlock)
      return Fail("has a block " + At(FOffset) + " that claims " + std::to_string(length) +
                  " bytes; blocks over " + std::to_string(kMaxBlock >> 20) + " MiB are refused");
    if (!Fill(length)) {
      if (FReadErrno)
        return Fail("cannot be read " + At(FOffset) + ": " + SysErrorText(FReadErrno));
      return Fail("ends " + At(FOffset + (FEnd - FHead)) + ", inside the block " + At(FOffset) +
                      " of " + std::to_string(length) + " bytes",
                  true);
    }
    const std::uint8_t* block = FBuf.data() + FHead;
    if (U32(block + length - 4) != length)
      return Fail("has a block " + At(FOffset) + " whose two lengths differ (" +
                  std::to_string(length) + ", " + std::to_string(U32(block + length - 4)) + ")");
    bool ok = true, packet = false;
    if (type == kSectionType) {
      ok = Section(block, length);
    } else if (type == kInterfaceType) {
      ok = Interface(block, length);
    } else if (type == kEnhancedType || type == kObsoletePacketType) {
      ok = packet = Timed(block, length, type == kObsoletePacketType);
    } else if (type == kSimplePacketType) {
      ok = packet = Simple(block, length);
    }
    // Other blocks (statistics, name resolution, ...) say nothing we show.
    if (!ok) return TStep::Error;
    FHead += length;
    FOffset += length;
    if (packet) return TStep::Packet;
  }
  return FTruncated || !FError.empty() ? TStep::Error : TStep::End;
}

bool TPcapngReader::Section(const std::uint8_t* block, std::size_t length) {
  if (length < 28) {
    Fail("has a section header " + At(FOffset) + " too short for its fields");
    return false;
  }
  const std::uint16_t major = U16(block + 12);
  if (major != 1) {
    Fail("has a section " + At(FOffset) + " of version " + std::to_string(major) + "." +
         std::to_string(U16(block + 14)) + "; version 1 is read");
    return false;
  }
  FSeenSection = true;
  // Interfaces are numbered per section.
  FInterfaces.clear();
  FUnitsPerSecond.clear();
  FSnapLengths.clear();
  return true;
}

bool TPcapngReader::Interface(const std::uint8_t* block, std::size_t length) {
  if (length < 20) {
    Fail("has an interface description " + At(FOffset) + " too short for its fields");
    return false;
  }
  TInterfaceInfo info;
  info.LinkType = U16(block + 8);
  const std::uint32_t snap = U32(block + 12);
  std::int64_t units = 1000000;
  std::size_t at = 16;
  const std::size_t end = length - 4;
  while (at + 4 <= end) {
    const std::uint16_t code = U16(block + at), n = U16(block + at + 2);
    if (code == kOptEnd) break;
    const std::size_t padded = (static_cast<std::size_t>(n) + 3) & ~std::size_t{3};
    if (at + 4 + padded > end) {
      Fail("has an interface description " + At(FOffset) + " whose option runs past its end");
      return false;
    }
    const auto* value = reinterpret_cast<const char*>(block + at + 4);
    if (code == kIfName) info.Name.assign(value, n);
    if (code == kIfDescription) info.Description.assign(value, n);
    if (code == kIfTsResol && n >= 1) {
      const std::uint8_t v = block[at + 4];
      const int exponent = v & 0x7F;
      if ((v & 0x80) ? exponent > 62 : exponent > 18) {
        Fail("has an interface description " + At(FOffset) + " with a time resolution of " +
             ((v & 0x80) ? "2^-" : "10^-") + std::to_string(exponent) + " s that no clock has");
        return false;
      }
      units = 1;
      for (int i = 0; i < exponent; ++i) units *= (v & 0x80) ? 2 : 10;
    }
    at += 4 + padded;
  }
  FInterfaces.push_back(std::move(info));
  FUnitsPerSecond.push_back(units);
  FSnapLengths.push_back(snap);
  return true;
}

bool TPcapngReader::KnownInterface(std::uint32_t id, const char* what) {
  if (id < FInterfaces.size()) return true;
  const std::size_t known = FInterfaces.size();
  Fail(std::string("has a ") + what + " " + At(FOffset) + " of interface " + std::to_string(id) +
       ", but its section describes " +
       (known == 0   ? std::string("no interface")
        : known == 1 ? std::string("1 interface")
                     : std::to_string(known) + " interfaces") +
       " before it");
  return false;
}

// An enhanced packet block, or the obsolete packet block it replaced: the
// same fields, but a 16-bit interface number (beside a drop count).
bool TPcapngReader::Timed(const std::uint8_t* block, std::size_t length, bool obsolete) {
  if (length < 32) {
    Fail("has a packet block " + At(FOffset) + " too short for its fields");
    return false;
  }
  const std::uint32_t id = obsolete ? U16(block + 8) : U32(block + 8);
  if (!KnownInterface(id, "packet")) return false;
  const std::uint64_t stamp = (std::uint64_t{U32(block + 12)} << 32) | U32(block + 16);
  const std::uint32_t captured = U32(block + 20);
  if (captured > length - 32) {
    Fail("has a packet " + At(FOffset) + " that claims " + std::to_string(captured) +
         " bytes in a block of " + std::to_string(length) + " bytes");
    return false;
  }
  TReadPacket p;
  p.Interface = id;
  const std::int64_t units = FUnitsPerSecond[id];
  if (units == kNanos) {
    // Our own captures' units: no wide division for every packet.
    p.TimeNs = stamp > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MAX
                                                             : static_cast<std::int64_t>(stamp);
  } else {
    const __int128 ns = static_cast<__int128>(stamp) * kNanos / units;
    p.TimeNs = ns > INT64_MAX ? INT64_MAX : static_cast<std::int64_t>(ns);
  }
  const std::size_t padded = (std::size_t{captured} + 3) & ~std::size_t{3};
  std::size_t at = 28 + padded;
  const std::size_t end = length - 4;
  while (at + 4 <= end) {
    const std::uint16_t code = U16(block + at), n = U16(block + at + 2);
    if (code == kOptEnd) break;
    const std::size_t optPadded = (static_cast<std::size_t>(n) + 3) & ~std::size_t{3};
    if (at + 4 + optPadded > end) {
      Fail("has a packet " + At(FOffset) + " whose option runs past its end");
      return false;
    }
    if (code == kEpbFlags && n == 4) p.Direction = static_cast<TDirection>(U32(block + at + 4) & 3);
    if (code == kOptComment)
      p.Comment = std::string_view(reinterpret_cast<const char*>(block + at + 4), n);
    at += 4 + optPadded;
  }
  if (p.Direction != TDirection::In && p.Direction != TDirection::Out)
    p.Direction = TDirection::Unknown;
  Take(p, block + 28, captured);
  return true;
}

// A simple packet block: interface 0, no time, no options; its bytes are
// those the block holds, up to the interface's snap length.
bool TPcapngReader::Simple(const std::uint8_t* block, std::size_t length) {
  if (length < 16) {
    Fail("has a simple packet block " + At(FOffset) + " too short for its fields");
    return false;
  }
  if (!KnownInterface(0, "simple packet")) return false;
  std::size_t captured = std::min<std::size_t>(U32(block + 8), length - 16);
  if (FSnapLengths[0] != 0) captured = std::min<std::size_t>(captured, FSnapLengths[0]);
  TReadPacket p;
  // It arrived after the packet before it and before the one after it:
  // the previous packet's time is the best known.
  p.TimeNs = FLastTimeNs;
  Take(p, block + 12, captured);
  return true;
}

// Fills in the packet's bytes (and, on a serial interface, its serial
// header's fields) and makes it the current packet.
void TPcapngReader::Take(TReadPacket& p, const std::uint8_t* data, std::size_t captured) {
  if (FInterfaces[p.Interface].LinkType == kLinkSerial && captured >= kSerialHeaderSize) {
    p.Serial = true;
    p.Event = static_cast<TEvent>(data[8]);
    p.Lines = data[9];
    p.Payload = std::string_view(reinterpret_cast<const char*>(data) + kSerialHeaderSize,
                                 captured - kSerialHeaderSize);
    if (p.Direction == TDirection::Unknown)
      p.Direction = p.Event == TEvent::TxData   ? TDirection::Out
                    : p.Event == TEvent::RxData ? TDirection::In
                                                : TDirection::Unknown;
  } else {
    p.Payload = std::string_view(reinterpret_cast<const char*>(data), captured);
  }
  FLastTimeNs = p.TimeNs;
  FPacket = p;
}

}  // namespace talmo::pcapng
