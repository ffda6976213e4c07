#include "device/rfc2217_codec.h"

#include <cerrno>
#include <cstdlib>

#include "base/control_lines.h"
#include "device/remote_port_name.h"

namespace talmo {

using namespace telnet;

// --- decoding ----------------------------------------------------------------

void TTelnetDecoder::AfterIac(std::uint8_t b, TTelnetSink& sink) {
  if (b == kIac) {
    sink.Data(&b, 1);
    FState = TState::Data;
  } else if (b >= kWill && b <= kDont) {
    FVerb = b;
    FState = TState::Verb;
  } else if (b == kSb) {
    FState = TState::SbOption;
  } else {
    sink.Command(b);
    FState = TState::Data;
  }
}

void TTelnetDecoder::Feed(const std::uint8_t* p, std::size_t n, TTelnetSink& sink) {
  std::size_t i = 0;
  while (i < n) {
    switch (FState) {
      case TState::Data: {
        // The common case: a run of plain data up to the next IAC.
        std::size_t run = i;
        while (run < n && p[run] != kIac) ++run;
        if (run > i) sink.Data(p + i, run - i);
        if (run < n) FState = TState::Iac;
        i = run + (run < n ? 1 : 0);
        continue;
      }
      case TState::Iac: AfterIac(p[i++], sink); continue;
      case TState::Verb:
        FState = TState::Data;
        sink.Negotiation(FVerb, p[i++]);
        continue;
      case TState::SbOption:
        FSbOption = p[i++];
        FSb.clear();
        FSbOverflow = false;
        FState = TState::Sb;
        continue;
      case TState::Sb: {
        const std::uint8_t b = p[i++];
        if (b == kIac) {
          FState = TState::SbIac;
        } else if (FSb.size() < kMaxSubNegotiation) {
          FSb.push_back(b);
        } else {
          FSbOverflow = true;
        }
        continue;
      }
      case TState::SbIac: {
        const std::uint8_t b = p[i++];
        if (b == kIac) {
          if (FSb.size() < kMaxSubNegotiation)
            FSb.push_back(kIac);
          else
            FSbOverflow = true;
          FState = TState::Sb;
        } else if (b == kSe) {
          FState = TState::Data;
          if (!FSbOverflow) sink.SubNegotiation(FSbOption, FSb.data(), FSb.size());
          FSb.clear();
        } else {
          // A command inside a sub-negotiation: the server broke it off.
          // The unfinished one is dropped and the command counts.
          FSb.clear();
          AfterIac(b, sink);
        }
        continue;
      }
    }
  }
}

// --- encoding ----------------------------------------------------------------

void AppendEscaped(const std::uint8_t* p, std::size_t n, std::vector<std::uint8_t>& out) {
  out.reserve(out.size() + n + n / 64 + 1);
  for (std::size_t i = 0; i < n; ++i) {
    out.push_back(p[i]);
    if (p[i] == kIac) out.push_back(kIac);
  }
}

void AppendNegotiation(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out) {
  out.insert(out.end(), {kIac, verb, option});
}

void AppendSubNegotiation(std::uint8_t option, const std::uint8_t* p, std::size_t n,
                          std::vector<std::uint8_t>& out) {
  out.insert(out.end(), {kIac, kSb, option});
  AppendEscaped(p, n, out);
  out.insert(out.end(), {kIac, kSe});
}

// --- option negotiation --------------------------------------------------------

void TTelnetOptions::EnableLocal(std::uint8_t option, std::vector<std::uint8_t>& out) {
  if (FUs[option] != qNo) return;
  FUs[option] = qWantYes;
  AppendNegotiation(kWill, option, out);
}

void TTelnetOptions::EnableRemote(std::uint8_t option, std::vector<std::uint8_t>& out) {
  if (FHim[option] != qNo) return;
  FHim[option] = qWantYes;
  AppendNegotiation(kDo, option, out);
}

void TTelnetOptions::Receive(std::uint8_t verb, std::uint8_t option,
                             std::vector<std::uint8_t>& out) {
  // Only a change of state is answered; an answer to our own request, or a
  // repeat of the state we are in, is not, which ends every loop.
  const bool remoteSide = verb == kWill || verb == kWont;
  const bool enable = verb == kWill || verb == kDo;
  TQ& q = remoteSide ? FHim[option] : FUs[option];
  const bool ok = remoteSide ? FRemoteOk[option] : FLocalOk[option];
  const std::uint8_t yes = remoteSide ? kDo : kWill;
  const std::uint8_t no = remoteSide ? kDont : kWont;
  if (enable) {
    switch (q) {
      case qNo:
        if (ok) {
          q = qYes;
          AppendNegotiation(yes, option, out);
        } else {
          AppendNegotiation(no, option, out);
        }
        break;
      case qYes: break;
      case qWantNo: q = qNo; break;  // an answer to a refusal we never send
      case qWantYes: q = qYes; break;
    }
  } else {
    switch (q) {
      case qNo: break;
      case qYes:
        q = qNo;
        AppendNegotiation(no, option, out);
        break;
      case qWantNo:
      case qWantYes: q = qNo; break;
    }
  }
}

// --- the device control block as COM-PORT commands --------------------------

namespace {

TComPortCommand Control(TComPortSetting s, std::uint8_t value, bool line) {
  return {s, comport::kSetControl, value, line};
}

// SET-CONTROL values and the setting an answer with that value reports.
TComPortSetting ControlSetting(std::uint32_t value) {
  switch (value) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 17:
    case 19: return csFlow;
    case 4:
    case 5:
    case 6: return csBreak;
    case 7:
    case 8:
    case 9: return csDtr;
    case 10:
    case 11:
    case 12: return csRts;
    default: return csInFlow;  // 13..16, 18
  }
}

}  // namespace

int PlanComPort(const TSerDCB& dcb, std::vector<TComPortCommand>& out) {
  out.clear();
  if (dcb.BaudRate == 0) return EINVAL;
  if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return EINVAL;
  if (dcb.Parity > 4) return EINVAL;
  static constexpr std::uint8_t kStopCodes[] = {1, 3, 2};  // 1, 1.5, 2
  if (dcb.StopBits > 2) return EINVAL;
  if (dcb.StopBits == 1 && dcb.ByteSize != 5) return EINVAL;

  // DTR: disabled drops it, enabled and handshake raise it. RTS: disabled
  // drops it, enabled and toggle raise it, under handshake the flow control
  // owns it. As on a local device.
  out.push_back(Control(csDtr, dcb.DtrControl() == 0 ? 9 : 8, false));
  if (dcb.RtsControl() != 2) out.push_back(Control(csRts, dcb.RtsControl() == 0 ? 12 : 11, false));

  out.push_back({csBaudrate, comport::kSetBaudrate, dcb.BaudRate, true});
  out.push_back({csDatasize, comport::kSetDatasize, dcb.ByteSize, true});
  out.push_back({csParity, comport::kSetParity, static_cast<std::uint32_t>(dcb.Parity + 1), true});
  out.push_back({csStopsize, comport::kSetStopsize, kStopCodes[dcb.StopBits], true});
  std::uint8_t flow = 1;  // none
  if ((dcb.Flags & fOutxCtsFlow) || dcb.RtsControl() == 2)
    flow = 3;  // hardware
  else if (dcb.Flags & (fOutX | fInX))
    flow = 2;  // XON/XOFF
  out.push_back(Control(csFlow, flow, true));
  return 0;
}

TComPortCommand LineControl(std::uint8_t line, bool on) {
  if (line == kLineRts) return Control(csRts, on ? 11 : 12, false);
  return Control(csDtr, on ? 8 : 9, false);
}

TComPortCommand BreakControl(bool on) { return Control(csBreak, on ? 5 : 6, false); }

std::uint8_t OutputLinesOf(const TSerDCB& dcb) {
  std::uint8_t lines = 0;
  if (dcb.DtrControl() != 0) lines |= kLineDtr;
  if (dcb.RtsControl() != 0 && dcb.RtsControl() != 2) lines |= kLineRts;
  return lines;
}

void AppendComPortCommand(const TComPortCommand& c, std::vector<std::uint8_t>& out) {
  if (c.Code == comport::kSetBaudrate) {
    const std::uint8_t v[4] = {
        static_cast<std::uint8_t>(c.Value >> 24), static_cast<std::uint8_t>(c.Value >> 16),
        static_cast<std::uint8_t>(c.Value >> 8), static_cast<std::uint8_t>(c.Value)};
    const std::uint8_t payload[5] = {c.Code, v[0], v[1], v[2], v[3]};
    AppendSubNegotiation(kOptComPort, payload, 5, out);
    return;
  }
  const std::uint8_t payload[2] = {c.Code, static_cast<std::uint8_t>(c.Value)};
  AppendSubNegotiation(kOptComPort, payload, 2, out);
}

void AppendComPort(std::uint8_t code, const std::uint8_t* value, std::size_t n,
                   std::vector<std::uint8_t>& out) {
  std::vector<std::uint8_t> payload{code};
  payload.insert(payload.end(), value, value + n);
  AppendSubNegotiation(kOptComPort, payload.data(), payload.size(), out);
}

bool ReadComPortAnswer(const std::uint8_t* p, std::size_t n, TComPortSetting& setting,
                       std::uint32_t& value) {
  if (n < 2) return false;
  using namespace comport;
  switch (p[0]) {
    case kServerOffset + kSetBaudrate:
      if (n < 5) return false;
      setting = csBaudrate;
      value = static_cast<std::uint32_t>(p[1]) << 24 | static_cast<std::uint32_t>(p[2]) << 16 |
              static_cast<std::uint32_t>(p[3]) << 8 | p[4];
      return true;
    case kServerOffset + kSetDatasize: setting = csDatasize; break;
    case kServerOffset + kSetParity: setting = csParity; break;
    case kServerOffset + kSetStopsize: setting = csStopsize; break;
    case kServerOffset + kSetControl: setting = ControlSetting(p[1]); break;
    default: return false;
  }
  value = p[1];
  return true;
}

bool AnswerMatches(const TComPortCommand& asked, std::uint32_t answer) {
  if (asked.Setting != csBaudrate) return answer == asked.Value;
  const long long off = std::llabs(static_cast<long long>(answer) - asked.Value);
  return off * 50 <= static_cast<long long>(asked.Value);
}

std::uint32_t LineStateErrors(std::uint8_t state) {
  std::uint32_t e = 0;
  if (state & 0x02) e |= CE_OVERRUN;
  if (state & 0x04) e |= CE_RXPARITY;
  if (state & 0x08) e |= CE_FRAME;
  if (state & 0x10) e |= CE_BREAK;
  return e;
}

std::uint32_t LineStateEvents(std::uint8_t state) {
  std::uint32_t ev = 0;
  if (state & 0x0E) ev |= EV_ERR;
  if (state & 0x10) ev |= EV_BREAK;
  return ev;
}

std::uint32_t ModemStateEvents(std::uint8_t state, std::uint8_t previous, bool first) {
  // Low nibble: delta CTS, delta DSR, trailing edge of RI, delta DCD; high
  // nibble: the lines in the same order.
  const std::uint8_t changed =
      static_cast<std::uint8_t>((state & 0x0F) | (first ? 0 : ((state ^ previous) >> 4) & 0x0F));
  std::uint32_t ev = 0;
  if (changed & 0x01) ev |= EV_CTS;
  if (changed & 0x02) ev |= EV_DSR;
  if (changed & 0x04) ev |= EV_RING;
  if (changed & 0x08) ev |= EV_RLSD;
  return ev;
}

std::uint8_t LinesOfModemState(std::uint8_t state) {
  std::uint8_t lines = 0;
  if (state & 0x10) lines |= kLineCts;
  if (state & 0x20) lines |= kLineDsr;
  if (state & 0x40) lines |= kLineRing;
  if (state & 0x80) lines |= kLineDcd;
  return lines;
}

// --- names -----------------------------------------------------------------------

std::string RemotePortNameProblem(const std::string& name, std::string& host, std::string& port) {
  host.clear();
  port.clear();
  if (!IsRemotePortName(name)) return "it does not begin with rfc2217://";
  const std::string rest = name.substr(kRemotePortScheme.size());
  std::size_t colon;
  if (!rest.empty() && rest[0] == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string::npos) return "the IPv6 address has no closing ]";
    if (close + 1 >= rest.size() || rest[close + 1] != ':') return "there is no :PORT";
    host = rest.substr(1, close - 1);
    colon = close + 1;
  } else {
    colon = rest.find(':');
    if (colon == std::string::npos) return "there is no :PORT";
    if (rest.find(':', colon + 1) != std::string::npos) return "an IPv6 address needs brackets";
    host = rest.substr(0, colon);
  }
  port = rest.substr(colon + 1);
  if (host.empty()) return "there is no host";
  // The longest name DNS can hold.
  if (host.size() > 253) return "the host is longer than 253 characters";
  for (char c : host)
    if (c == '/' || c == ' ' || c == '\t' || c == '[' || c == ']' ||
        static_cast<unsigned char>(c) < 0x20)
      return "the host holds a character no host name has";
  if (port.empty()) return "there is no port number";
  if (port.size() > 5) return "the port is outside 1..65535";
  long number = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return "the port is not a number";
    if (number <= 65535) number = number * 10 + (c - '0');
  }
  if (number < 1 || number > 65535) return "the port is outside 1..65535";
  return {};
}

bool ParseRemotePortName(const std::string& name, std::string& host, std::string& port) {
  return RemotePortNameProblem(name, host, port).empty();
}

}  // namespace talmo
