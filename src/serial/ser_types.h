#pragma once
// The vocabulary of the serial port component: line-setting enumerations,
// event and option sets, the device control block record and the error type.
// Portable: nothing here knows how a device is reached.

#include <cstdint>
#include <initializer_list>
#include <string>

#include "base/error_text.h"
#include "base/line_error_bits.h"

namespace talmo {

enum TSerBaudrate : std::uint8_t {
  brUser,
  br110,
  br300,
  br600,
  br1200,
  br2400,
  br4800,
  br9600,
  br14400,
  br19200,
  br38400,
  br56000,
  br57600,
  br115200,
  br128000,
  br256000
};
enum TSerParity : std::uint8_t { paNone, paOdd, paEven, paMark, paSpace };
enum TSerDatabits : std::uint8_t { db4, db5, db6, db7, db8 };
enum TSerStopbits : std::uint8_t { sb1, sb15, sb2 };
enum TSerControlDtr : std::uint8_t { dtrDisabled, dtrEnabled, dtrHandshake };
enum TSerControlRts : std::uint8_t { rtsDisabled, rtsEnabled, rtsHandshake, rtsToggle };

enum TSerCommEvent : std::uint8_t {
  ceBreak,
  ceCts,
  ceDsr,
  ceError,
  ceRing,
  ceRlsd,
  ceRxChar,
  ceTxEmpty,
  ceRxFlag,
  cePErr,
  ceRx80Full,
  ceEvent1,
  ceEvent2
};
enum TSerCommOption : std::uint8_t { coErrorChar, coNullStrip, coParityCheck };

enum TThreadPriority : std::uint8_t {
  tpIdle,
  tpLowest,
  tpLower,
  tpNormal,
  tpHigher,
  tpHighest,
  tpTimeCritical
};

// A set over a small enumeration; bit i stands for the member of ordinal i.
template <typename E, typename Bits>
class TSerSet {
 public:
  constexpr TSerSet() = default;
  constexpr TSerSet(std::initializer_list<E> members) {
    for (E m : members) FBits = static_cast<Bits>(FBits | Bit(m));
  }
  static constexpr TSerSet FromBits(Bits bits) {
    TSerSet s;
    s.FBits = bits;
    return s;
  }
  constexpr bool Contains(E m) const { return (FBits & Bit(m)) != 0; }
  constexpr void Include(E m) { FBits = static_cast<Bits>(FBits | Bit(m)); }
  constexpr void Exclude(E m) { FBits = static_cast<Bits>(FBits & ~Bit(m)); }
  constexpr bool Empty() const { return FBits == 0; }
  constexpr Bits ToBits() const { return FBits; }
  friend constexpr bool operator==(TSerSet a, TSerSet b) = default;

 private:
  static constexpr Bits Bit(E m) { return static_cast<Bits>(1u << m); }
  Bits FBits = 0;
};

using TSerCommEvents = TSerSet<TSerCommEvent, std::uint16_t>;
using TSerCommOptions = TSerSet<TSerCommOption, std::uint8_t>;

// Event-mask bits of the device layer (the Win32 EV_* values).
inline constexpr std::uint32_t EV_RXCHAR = 0x0001;
inline constexpr std::uint32_t EV_RXFLAG = 0x0002;
inline constexpr std::uint32_t EV_TXEMPTY = 0x0004;
inline constexpr std::uint32_t EV_CTS = 0x0008;
inline constexpr std::uint32_t EV_DSR = 0x0010;
inline constexpr std::uint32_t EV_RLSD = 0x0020;
inline constexpr std::uint32_t EV_BREAK = 0x0040;
inline constexpr std::uint32_t EV_ERR = 0x0080;
inline constexpr std::uint32_t EV_RING = 0x0100;
inline constexpr std::uint32_t EV_PERR = 0x0200;
inline constexpr std::uint32_t EV_RX80FULL = 0x0400;
inline constexpr std::uint32_t EV_EVENT1 = 0x0800;
inline constexpr std::uint32_t EV_EVENT2 = 0x1000;

// The event bit that monitoring each TSerCommEvent asks for.
constexpr std::uint32_t EventBitOf(TSerCommEvent e) {
  constexpr std::uint32_t kBits[] = {EV_BREAK,    EV_CTS,    EV_DSR,     EV_ERR,    EV_RING,
                                     EV_RLSD,     EV_RXCHAR, EV_TXEMPTY, EV_RXFLAG, EV_PERR,
                                     EV_RX80FULL, EV_EVENT1, EV_EVENT2};
  return e <= ceEvent2 ? kBits[e] : 0;
}
std::uint32_t EventMaskOf(TSerCommEvents events);

// The error bits of the error state (CE_*) are in base/line_error_bits.h.

// DCB flag bits.
inline constexpr std::uint32_t fBinary = 0x0001;
inline constexpr std::uint32_t fParity = 0x0002;
inline constexpr std::uint32_t fOutxCtsFlow = 0x0004;
inline constexpr std::uint32_t fOutxDsrFlow = 0x0008;
inline constexpr std::uint32_t fDtrControlMask = 0x0030;
inline constexpr std::uint32_t fDsrSensitivity = 0x0040;
inline constexpr std::uint32_t fTXContinueOnXoff = 0x0080;
inline constexpr std::uint32_t fOutX = 0x0100;
inline constexpr std::uint32_t fInX = 0x0200;
inline constexpr std::uint32_t fErrorChar = 0x0400;
inline constexpr std::uint32_t fNull = 0x0800;
inline constexpr std::uint32_t fRtsControlMask = 0x3000;
inline constexpr std::uint32_t fAbortOnError = 0x4000;

// The device control block, member for member the 28-byte Win32 record.
struct TSerDCB {
  std::uint32_t DCBlength = 0;
  std::uint32_t BaudRate = 0;
  std::uint32_t Flags = 0;
  std::uint16_t wReserved = 0;
  std::uint16_t XonLim = 0;
  std::uint16_t XoffLim = 0;
  std::uint8_t ByteSize = 0;
  std::uint8_t Parity = 0;
  std::uint8_t StopBits = 0;
  std::uint8_t XonChar = 0;
  std::uint8_t XoffChar = 0;
  std::uint8_t ErrorChar = 0;
  std::uint8_t EofChar = 0;
  std::uint8_t EvtChar = 0;
  std::uint16_t wReserved1 = 0;

  std::uint32_t DtrControl() const { return (Flags & fDtrControlMask) >> 4; }
  std::uint32_t RtsControl() const { return (Flags & fRtsControlMask) >> 12; }
  friend bool operator==(const TSerDCB&, const TSerDCB&) = default;
};
static_assert(sizeof(TSerDCB) == 28);

// Queue status of the device (the Win32 COMSTAT record, flags folded).
struct TSerComStat {
  std::uint32_t Flags = 0;
  std::uint32_t cbInQue = 0;
  std::uint32_t cbOutQue = 0;
  // Line errors the device folded into this report instead of reporting
  // each (a flood of them); 0 for a device that reports every one.
  std::uint32_t Folded = 0;
};

// The port component's error: its message text, and for some failures a
// hint from the device layer at what the user can do about it, shown after
// the message (never inside it; ErrorHintOf gives it).
class ESerCommError : public EHintedError {
 public:
  using EHintedError::EHintedError;
};

// A failed open, with the device layer's errno code, so a caller can tell
// a device that is not there from one that refused.
class ESerOpenError : public ESerCommError {
 public:
  ESerOpenError(const std::string& message, const std::string& hint, int code)
      : ESerCommError(message, hint), FCode(code) {}
  int Code() const { return FCode; }

 private:
  int FCode;
};

// The write queue had no room for a write within its time-out: nothing of
// that write went; the same bytes may be written again later.
class ESerQueueFullError : public ESerCommError {
 public:
  ESerQueueFullError() : ESerCommError("Output buffer is full. Please check comm status.") {}
};

// Fills the placeholders of a message template in one pass: each "%d" or
// "%s" takes the next argument in turn. Arguments are never scanned again,
// so a device name holding '%' comes out as it is.
std::string FormatSerMessage(const std::string& tmpl, std::initializer_list<std::string> args);

// A device name as messages show it: a name longer than a line (a pasted
// block, a runaway host name) is cut, with its length told.
std::string ShortDeviceName(const std::string& name);

}  // namespace talmo
