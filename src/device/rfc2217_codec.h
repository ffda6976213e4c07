#pragma once
// Telnet (RFC 854, 856, 858) with the COM-PORT-OPTION (RFC 2217) as pure
// functions and small state machines: the decoder of what a server sends,
// the escaping of what we send, the option negotiation, and the mapping of
// the device control block onto COM-PORT commands. Nothing here touches a
// socket, so all of it is checked from tables and fuzzed.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "serial/ser_types.h"

namespace talmo {

namespace telnet {
inline constexpr std::uint8_t kSe = 240;
inline constexpr std::uint8_t kNop = 241;
inline constexpr std::uint8_t kGa = 249;
inline constexpr std::uint8_t kSb = 250;
inline constexpr std::uint8_t kWill = 251;
inline constexpr std::uint8_t kWont = 252;
inline constexpr std::uint8_t kDo = 253;
inline constexpr std::uint8_t kDont = 254;
inline constexpr std::uint8_t kIac = 255;

inline constexpr std::uint8_t kOptBinary = 0;
inline constexpr std::uint8_t kOptEcho = 1;
inline constexpr std::uint8_t kOptSuppressGoAhead = 3;
inline constexpr std::uint8_t kOptComPort = 44;
}  // namespace telnet

// COM-PORT-OPTION command codes, client to server. The server answers a
// command with its code + kServerOffset and the value it took.
namespace comport {
inline constexpr std::uint8_t kSignature = 0;
inline constexpr std::uint8_t kSetBaudrate = 1;
inline constexpr std::uint8_t kSetDatasize = 2;
inline constexpr std::uint8_t kSetParity = 3;
inline constexpr std::uint8_t kSetStopsize = 4;
inline constexpr std::uint8_t kSetControl = 5;
inline constexpr std::uint8_t kNotifyLinestate = 6;
inline constexpr std::uint8_t kNotifyModemstate = 7;
inline constexpr std::uint8_t kFlowcontrolSuspend = 8;
inline constexpr std::uint8_t kFlowcontrolResume = 9;
inline constexpr std::uint8_t kSetLinestateMask = 10;
inline constexpr std::uint8_t kSetModemstateMask = 11;
inline constexpr std::uint8_t kPurgeData = 12;
inline constexpr std::uint8_t kServerOffset = 100;

// PURGE-DATA values.
inline constexpr std::uint8_t kPurgeBoth = 3;
// The line-state bits we ask to hear of: overrun, parity, framing, break.
inline constexpr std::uint8_t kLinestateErrors = 0x1E;
}  // namespace comport

// --- decoding ----------------------------------------------------------------

// What the decoder finds, in stream order.
class TTelnetSink {
 public:
  virtual ~TTelnetSink() = default;
  // A run of data bytes, 0xFF already unescaped.
  virtual void Data(const std::uint8_t* p, std::size_t n) = 0;
  // WILL, WONT, DO or DONT `option`.
  virtual void Negotiation(std::uint8_t verb, std::uint8_t option) = 0;
  // IAC SB option ... IAC SE, the payload unescaped.
  virtual void SubNegotiation(std::uint8_t option, const std::uint8_t* p, std::size_t n) = 0;
  // Any other command (NOP, GA, BRK, a stray SE, ...).
  virtual void Command(std::uint8_t command) { (void)command; }
};

// Turns the byte stream of a Telnet server into data and commands. Keeps
// its state between calls, so a command or sub-negotiation may be split
// across reads at any byte.
class TTelnetDecoder {
 public:
  // A sub-negotiation longer than this is not one we know; it is dropped
  // (up to its IAC SE) instead of growing without bound.
  static constexpr std::size_t kMaxSubNegotiation = 256;

  void Feed(const std::uint8_t* p, std::size_t n, TTelnetSink& sink);
  // True between reads inside a command or sub-negotiation.
  bool InCommand() const { return FState != TState::Data; }

 private:
  enum class TState { Data, Iac, Verb, SbOption, Sb, SbIac };
  void AfterIac(std::uint8_t b, TTelnetSink& sink);

  TState FState = TState::Data;
  std::uint8_t FVerb = 0;
  std::uint8_t FSbOption = 0;
  bool FSbOverflow = false;
  std::vector<std::uint8_t> FSb;
};

// --- encoding ----------------------------------------------------------------

// Appends data with every 0xFF doubled.
void AppendEscaped(const std::uint8_t* p, std::size_t n, std::vector<std::uint8_t>& out);
// IAC verb option.
void AppendNegotiation(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out);
// IAC SB option payload IAC SE, 0xFF in the payload doubled.
void AppendSubNegotiation(std::uint8_t option, const std::uint8_t* p, std::size_t n,
                          std::vector<std::uint8_t>& out);

// --- option negotiation --------------------------------------------------------

// The state of the options on both sides (the "Q method" of RFC 1143, which
// keeps two peers from answering each other for ever). We only ever enable
// options; the server may refuse or drop any.
class TTelnetOptions {
 public:
  enum TQ : std::uint8_t { qNo, qYes, qWantNo, qWantYes };

  // Options we enable on our side when asked, and let the server enable on
  // its side.
  void AcceptLocal(std::uint8_t option) { FLocalOk[option] = true; }
  void AcceptRemote(std::uint8_t option) { FRemoteOk[option] = true; }
  // Asks to enable an option on our side (WILL) or the server's (DO);
  // appends the request unless it is on or asked for already.
  void EnableLocal(std::uint8_t option, std::vector<std::uint8_t>& out);
  void EnableRemote(std::uint8_t option, std::vector<std::uint8_t>& out);
  // A WILL, WONT, DO or DONT of the server; appends our answer, if one is
  // due.
  void Receive(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out);

  TQ Local(std::uint8_t option) const { return FUs[option]; }
  TQ Remote(std::uint8_t option) const { return FHim[option]; }

 private:
  std::array<TQ, 256> FUs{};
  std::array<TQ, 256> FHim{};
  std::array<bool, 256> FLocalOk{};
  std::array<bool, 256> FRemoteOk{};
};

// --- the device control block as COM-PORT commands --------------------------

// What a command sets; the server's answer names the same setting.
enum TComPortSetting : std::uint8_t {
  csBaudrate,
  csDatasize,
  csParity,
  csStopsize,
  csFlow,
  csInFlow,
  csBreak,
  csDtr,
  csRts,
  csSettingCount
};

struct TComPortCommand {
  TComPortSetting Setting = csBaudrate;
  std::uint8_t Code = 0;    // comport::kSet...
  std::uint32_t Value = 0;  // 4 bytes for the rate, else 1
  // A line setting the server must take; the modem lines (DTR, RTS) are
  // not kept by every device, and servers do not always answer them.
  bool Line = true;
  friend bool operator==(const TComPortCommand&, const TComPortCommand&) = default;
};

// The commands for `dcb`, in sending order (modem lines first, so that
// their answers, if any, come before the line settings'). Returns 0, or
// EINVAL for what a line cannot keep and a local device refuses too: rate
// 0 (a server would take it as a question), data bits outside 5..8, 1.5
// stop bits other than with 5 data bits, unknown parity or stop-bit codes.
// XON/XOFF in either direction asks the server for XON/XOFF (RFC 2217 sets
// it for both); the XON/XOFF characters and the parity check have no
// command and stay as the server has them.
int PlanComPort(const TSerDCB& dcb, std::vector<TComPortCommand>& out);

// SET-CONTROL raising or dropping one output line: kLineDtr (8 on, 9 off)
// or kLineRts (11, 12) of base/control_lines.h.
TComPortCommand LineControl(std::uint8_t line, bool on);
// SET-CONTROL starting (5) or ending (6) a break.
TComPortCommand BreakControl(bool on);
// The output lines `dcb` leaves raised (kLineDtr, kLineRts): what
// PlanComPort asks for; RTS under a handshake is the server's.
std::uint8_t OutputLinesOf(const TSerDCB& dcb);

// IAC SB COM-PORT code value IAC SE.
void AppendComPortCommand(const TComPortCommand& c, std::vector<std::uint8_t>& out);
// A plain COM-PORT command with a one-byte value (or none: `n` 0).
void AppendComPort(std::uint8_t code, const std::uint8_t* value, std::size_t n,
                   std::vector<std::uint8_t>& out);

// The setting a server's answer (a COM-PORT sub-negotiation payload, code
// first) reports, and its value; false for anything that is no answer to
// a setting (notifications, signature, flow-control suspend, ...).
bool ReadComPortAnswer(const std::uint8_t* p, std::size_t n, TComPortSetting& setting,
                       std::uint32_t& value);
// True when `answer` means the server took `asked`. Rates may land within
// 2 % (a UART divides its clock); everything else must match.
bool AnswerMatches(const TComPortCommand& asked, std::uint32_t answer);

// NOTIFY-LINESTATE bits as the error bits (CE_*) and the events (EV_ERR,
// EV_BREAK) a local device reports for the same line errors.
std::uint32_t LineStateErrors(std::uint8_t state);
std::uint32_t LineStateEvents(std::uint8_t state);
// NOTIFY-MODEMSTATE as EV_CTS, EV_DSR, EV_RING and EV_RLSD: a line whose
// delta bit is set or whose state differs from `previous` (ignored when
// `first`).
std::uint32_t ModemStateEvents(std::uint8_t state, std::uint8_t previous, bool first);
// NOTIFY-MODEMSTATE's lines as control lines (base/control_lines.h).
std::uint8_t LinesOfModemState(std::uint8_t state);

// --- names -----------------------------------------------------------------------

// Splits "rfc2217://HOST:PORT" ("[v6-address]:PORT" for IPv6; the scheme in
// any case). False for anything else: no host, no port, a port outside
// 1..65535, an IPv6 address without brackets, a path or spaces, a host
// longer than 253 characters.
bool ParseRemotePortName(const std::string& name, std::string& host, std::string& port);
// What is wrong with `name` as a remote port name ("" when nothing is).
std::string RemotePortNameProblem(const std::string& name, std::string& host, std::string& port);
// The forms a remote port name takes, for messages.
inline constexpr const char* kRemotePortNameForms =
    "rfc2217://HOST:PORT, or rfc2217://[v6]:PORT for an IPv6 address";

}  // namespace talmo
