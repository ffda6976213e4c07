// The Telnet / RFC 2217 codec from tables: the decoder fed whole, split at
// every place and byte by byte gives the same result; 0xFF is escaped both
// ways; the option negotiation answers only changes; the device control
// block maps onto COM-PORT commands; answers, notifications and names.

#include "device/rfc2217_codec.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace talmo {
namespace {

using namespace telnet;
using Bytes = std::vector<std::uint8_t>;

Bytes B(std::initializer_list<int> v) {
  Bytes b;
  for (int x : v) b.push_back(static_cast<std::uint8_t>(x));
  return b;
}

// The decoder's findings as one text: data runs merged, so that a split
// that only cuts a run in two reads the same.
class Recorder : public TTelnetSink {
 public:
  void Data(const std::uint8_t* p, std::size_t n) override {
    if (FItems.empty() || FItems.back().rfind("D:", 0) != 0) FItems.push_back("D:");
    for (std::size_t i = 0; i < n; ++i) FItems.back() += Hex(p[i]);
  }
  void Negotiation(std::uint8_t verb, std::uint8_t option) override {
    FItems.push_back("N:" + Hex(verb) + Hex(option));
  }
  void SubNegotiation(std::uint8_t option, const std::uint8_t* p, std::size_t n) override {
    std::string s = "S:" + Hex(option) + ":";
    for (std::size_t i = 0; i < n; ++i) s += Hex(p[i]);
    FItems.push_back(s);
  }
  void Command(std::uint8_t c) override { FItems.push_back("C:" + Hex(c)); }
  std::vector<std::string> FItems;

  static std::string Hex(std::uint8_t b) {
    static const char* d = "0123456789ABCDEF";
    return {d[b >> 4], d[b & 15]};
  }
};

std::vector<std::string> DecodeInPieces(const Bytes& in, const std::vector<std::size_t>& cuts) {
  TTelnetDecoder dec;
  Recorder rec;
  std::size_t start = 0;
  for (std::size_t cut : cuts) {
    dec.Feed(in.data() + start, cut - start, rec);
    start = cut;
  }
  dec.Feed(in.data() + start, in.size() - start, rec);
  return rec.FItems;
}

TEST(TelnetDecoder, SameResultWholeSplitAnywhereAndByteByByte) {
  const Bytes longSb = [] {
    Bytes b = B({kIac, kSb, 44});
    b.insert(b.end(), TTelnetDecoder::kMaxSubNegotiation + 1, 'x');
    b.insert(b.end(), {kIac, kSe, 'A'});
    return b;
  }();
  const struct {
    const char* name;
    Bytes in;
    std::vector<std::string> want;
  } cases[] = {
      {"plain data", B({'a', 'b', 0, 13, 10}), {"D:6162000D0A"}},
      {"escaped 0xFF", B({'a', kIac, kIac, 'b'}), {"D:61FF62"}},
      {"a run of 0xFF", B({kIac, kIac, kIac, kIac, kIac, kIac}), {"D:FFFFFF"}},
      {"negotiation between data", B({'a', kIac, kWill, 0, 'b'}), {"D:61", "N:FB00", "D:62"}},
      {"every verb",
       B({kIac, kWill, 3, kIac, kWont, 1, kIac, kDo, 44, kIac, kDont, 1}),
       {"N:FB03", "N:FC01", "N:FD2C", "N:FE01"}},
      {"negotiation of option 255", B({kIac, kDo, kIac, 'z'}), {"N:FDFF", "D:7A"}},
      {"rate answer", B({kIac, kSb, 44, 101, 0, 0, 4, 0, kIac, kSe}), {"S:2C:6500000400"}},
      {"0xFF inside a sub-negotiation",
       B({kIac, kSb, 44, 101, 0, 0, kIac, kIac, kIac, kIac, kIac, kSe}),
       {"S:2C:650000FFFF"}},
      {"empty sub-negotiation", B({kIac, kSb, 44, kIac, kSe}), {"S:2C:"}},
      {"sub-negotiation broken off by a command",
       B({kIac, kSb, 44, 106, kIac, kWill, 0, 'q'}),
       {"N:FB00", "D:71"}},
      {"over-long sub-negotiation dropped", longSb, {"D:41"}},
      {"other commands",
       B({kIac, kNop, 'a', kIac, kGa, kIac, kSe, kIac, 243}),
       {"C:F1", "D:61", "C:F9", "C:F0", "C:F3"}},
      {"data and answers interleaved",
       B({1, kIac, kSb, 44, 107, 0x11, kIac, kSe, 2, kIac, kIac, kIac, kSb, 44, 108, kIac, kSe, 3}),
       {"D:01", "S:2C:6B11", "D:02FF", "S:2C:6C", "D:03"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(DecodeInPieces(c.in, {}), c.want);
    for (std::size_t cut = 1; cut < c.in.size(); ++cut) {
      SCOPED_TRACE("cut at " + std::to_string(cut));
      ASSERT_EQ(DecodeInPieces(c.in, {cut}), c.want);
    }
    std::vector<std::size_t> each;
    for (std::size_t i = 1; i < c.in.size(); ++i) each.push_back(i);
    EXPECT_EQ(DecodeInPieces(c.in, each), c.want);
  }
}

TEST(TelnetDecoder, KnowsWhenItStopsInsideACommand) {
  TTelnetDecoder dec;
  Recorder rec;
  const Bytes part = B({'a', kIac, kSb, 44, 1});
  dec.Feed(part.data(), part.size(), rec);
  EXPECT_TRUE(dec.InCommand());
  const Bytes rest = B({kIac, kSe});
  dec.Feed(rest.data(), rest.size(), rec);
  EXPECT_FALSE(dec.InCommand());
}

TEST(TelnetEscape, TableAndEveryByteValueRoundTrips) {
  const struct {
    Bytes in, want;
  } cases[] = {
      {B({}), B({})},
      {B({'a'}), B({'a'})},
      {B({kIac}), B({kIac, kIac})},
      {B({kIac, kIac, 0}), B({kIac, kIac, kIac, kIac, 0})},
      {B({kSe, kSb, kIac, 254}), B({kSe, kSb, kIac, kIac, 254})},
  };
  for (const auto& c : cases) {
    Bytes out;
    AppendEscaped(c.in.data(), c.in.size(), out);
    EXPECT_EQ(out, c.want);
  }
  Bytes all;
  for (int rep = 0; rep < 3; ++rep)
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<std::uint8_t>(b));
  all.insert(all.end(), 50, kIac);
  Bytes wire;
  AppendEscaped(all.data(), all.size(), wire);
  for (std::size_t cut = 0; cut <= wire.size(); cut += 7) {
    TTelnetDecoder dec;
    struct Collect : TTelnetSink {
      Bytes got;
      void Data(const std::uint8_t* p, std::size_t n) override { got.insert(got.end(), p, p + n); }
      void Negotiation(std::uint8_t, std::uint8_t) override { ADD_FAILURE(); }
      void SubNegotiation(std::uint8_t, const std::uint8_t*, std::size_t) override {
        ADD_FAILURE();
      }
    } sink;
    dec.Feed(wire.data(), cut, sink);
    dec.Feed(wire.data() + cut, wire.size() - cut, sink);
    ASSERT_EQ(sink.got, all) << "cut at " << cut;
  }
}

TEST(TelnetEscape, SubNegotiationPayloadIsEscaped) {
  Bytes out;
  const Bytes payload = B({1, 0, 0, kIac, kIac});
  AppendSubNegotiation(44, payload.data(), payload.size(), out);
  EXPECT_EQ(out, B({kIac, kSb, 44, 1, 0, 0, kIac, kIac, kIac, kIac, kIac, kSe}));
}

TEST(TelnetOptions, AnswersOnlyChangesAndRefusesWhatItDoesNotKnow) {
  // One exchange per row, on one state that carries over from row to row.
  TTelnetOptions opt;
  opt.AcceptLocal(kOptBinary);
  opt.AcceptLocal(kOptComPort);
  opt.AcceptRemote(kOptBinary);
  opt.AcceptRemote(kOptSuppressGoAhead);
  const struct {
    const char* name;
    int verb;  // 0: we ask EnableLocal, 1: we ask EnableRemote
    int option;
    Bytes reply;
    TTelnetOptions::TQ local, remote;
  } rows[] = {
      {"we offer BINARY", 0, kOptBinary, B({kIac, kWill, 0}), TTelnetOptions::qWantYes,
       TTelnetOptions::qNo},
      {"asking again sends nothing", 0, kOptBinary, B({}), TTelnetOptions::qWantYes,
       TTelnetOptions::qNo},
      {"server agrees: no answer", kDo, kOptBinary, B({}), TTelnetOptions::qYes,
       TTelnetOptions::qNo},
      {"server repeats: no answer", kDo, kOptBinary, B({}), TTelnetOptions::qYes,
       TTelnetOptions::qNo},
      {"server offers BINARY: we agree", kWill, kOptBinary, B({kIac, kDo, 0}), TTelnetOptions::qYes,
       TTelnetOptions::qYes},
      {"server offers it again: no answer", kWill, kOptBinary, B({}), TTelnetOptions::qYes,
       TTelnetOptions::qYes},
      {"server drops BINARY on its side: we confirm", kWont, kOptBinary, B({kIac, kDont, 0}),
       TTelnetOptions::qYes, TTelnetOptions::qNo},
      {"server asks us to drop ours: we confirm", kDont, kOptBinary, B({kIac, kWont, 0}),
       TTelnetOptions::qNo, TTelnetOptions::qNo},
      {"server refuses what is off already: no answer", kDont, kOptBinary, B({}),
       TTelnetOptions::qNo, TTelnetOptions::qNo},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    Bytes out;
    const auto o = static_cast<std::uint8_t>(r.option);
    if (r.verb == 0)
      opt.EnableLocal(o, out);
    else if (r.verb == 1)
      opt.EnableRemote(o, out);
    else
      opt.Receive(static_cast<std::uint8_t>(r.verb), o, out);
    EXPECT_EQ(out, r.reply);
    EXPECT_EQ(opt.Local(o), r.local);
    EXPECT_EQ(opt.Remote(o), r.remote);
  }
  const struct {
    const char* name;
    int verb, option;
    Bytes reply;
  } strangers[] = {
      {"server would echo: no", kWill, kOptEcho, B({kIac, kDont, 1})},
      {"server asks us to echo: no", kDo, kOptEcho, B({kIac, kWont, 1})},
      {"server refuses an option it never had: no answer", kWont, 99, B({})},
      {"our COM-PORT, asked by the server", kDo, kOptComPort, B({kIac, kWill, 44})},
      {"the server's SUPPRESS-GO-AHEAD", kWill, kOptSuppressGoAhead, B({kIac, kDo, 3})},
  };
  for (const auto& s : strangers) {
    SCOPED_TRACE(s.name);
    Bytes out;
    opt.Receive(static_cast<std::uint8_t>(s.verb), static_cast<std::uint8_t>(s.option), out);
    EXPECT_EQ(out, s.reply);
  }
  // Our own request refused: off, and nothing more said.
  Bytes out;
  opt.EnableRemote(kOptEcho, out);
  out.clear();
  opt.Receive(kWont, kOptEcho, out);
  EXPECT_EQ(out, B({}));
  EXPECT_EQ(opt.Remote(kOptEcho), TTelnetOptions::qNo);
}

TSerDCB Dcb(std::uint32_t rate, int bits, int parity, int stop,
            std::uint32_t flags = fBinary | 0x1010) {
  TSerDCB d{};
  d.BaudRate = rate;
  d.ByteSize = static_cast<std::uint8_t>(bits);
  d.Parity = static_cast<std::uint8_t>(parity);
  d.StopBits = static_cast<std::uint8_t>(stop);
  d.Flags = flags;
  return d;
}

TComPortCommand Ctl(TComPortSetting s, std::uint32_t v, bool line) {
  return {s, comport::kSetControl, v, line};
}

std::vector<TComPortCommand> Line(std::uint32_t rate, std::uint32_t bits, std::uint32_t parity,
                                  std::uint32_t stop, std::uint32_t flow) {
  return {{csBaudrate, comport::kSetBaudrate, rate, true},
          {csDatasize, comport::kSetDatasize, bits, true},
          {csParity, comport::kSetParity, parity, true},
          {csStopsize, comport::kSetStopsize, stop, true},
          Ctl(csFlow, flow, true)};
}

std::vector<TComPortCommand> With(std::vector<TComPortCommand> modem,
                                  std::vector<TComPortCommand> line) {
  modem.insert(modem.end(), line.begin(), line.end());
  return modem;
}

TEST(ComPortPlan, DeviceControlBlockMapsOntoCommands) {
  // DTR and RTS enabled in the default flags (0x1010).
  const auto dtrOn = Ctl(csDtr, 8, false), rtsOn = Ctl(csRts, 11, false);
  const struct {
    const char* name;
    TSerDCB dcb;
    std::vector<TComPortCommand> want;
  } cases[] = {
      {"19200 8N1", Dcb(19200, 8, 0, 0), With({dtrOn, rtsOn}, Line(19200, 8, 1, 1, 1))},
      {"1024 baud", Dcb(1024, 8, 0, 0), With({dtrOn, rtsOn}, Line(1024, 8, 1, 1, 1))},
      {"a user rate", Dcb(123457, 8, 0, 0), With({dtrOn, rtsOn}, Line(123457, 8, 1, 1, 1))},
      {"7 data bits, odd", Dcb(9600, 7, 1, 0), With({dtrOn, rtsOn}, Line(9600, 7, 2, 1, 1))},
      {"even", Dcb(9600, 8, 2, 0), With({dtrOn, rtsOn}, Line(9600, 8, 3, 1, 1))},
      {"mark", Dcb(9600, 8, 3, 0), With({dtrOn, rtsOn}, Line(9600, 8, 4, 1, 1))},
      {"space", Dcb(9600, 6, 4, 0), With({dtrOn, rtsOn}, Line(9600, 6, 5, 1, 1))},
      {"two stop bits", Dcb(9600, 8, 0, 2), With({dtrOn, rtsOn}, Line(9600, 8, 1, 2, 1))},
      {"1.5 stop bits with 5 data bits", Dcb(300, 5, 0, 1),
       With({dtrOn, rtsOn}, Line(300, 5, 1, 3, 1))},
      {"CTS output flow", Dcb(9600, 8, 0, 0, fBinary | 0x1010 | fOutxCtsFlow),
       With({dtrOn, rtsOn}, Line(9600, 8, 1, 1, 3))},
      {"RTS handshake: the flow control owns RTS", Dcb(9600, 8, 0, 0, fBinary | 0x2010),
       With({dtrOn}, Line(9600, 8, 1, 1, 3))},
      {"XON/XOFF out", Dcb(9600, 8, 0, 0, fBinary | 0x1010 | fOutX),
       With({dtrOn, rtsOn}, Line(9600, 8, 1, 1, 2))},
      {"XON/XOFF in", Dcb(9600, 8, 0, 0, fBinary | 0x1010 | fInX),
       With({dtrOn, rtsOn}, Line(9600, 8, 1, 1, 2))},
      {"DTR and RTS disabled", Dcb(9600, 8, 0, 0, fBinary),
       With({Ctl(csDtr, 9, false), Ctl(csRts, 12, false)}, Line(9600, 8, 1, 1, 1))},
      {"DTR handshake raises DTR, RTS toggle raises RTS", Dcb(9600, 8, 0, 0, fBinary | 0x3020),
       With({dtrOn, rtsOn}, Line(9600, 8, 1, 1, 1))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<TComPortCommand> got;
    ASSERT_EQ(PlanComPort(c.dcb, got), 0);
    EXPECT_EQ(got, c.want);
  }
  const struct {
    const char* name;
    TSerDCB dcb;
  } refused[] = {
      {"rate 0 (a question, not a rate)", Dcb(0, 8, 0, 0)},
      {"4 data bits", Dcb(9600, 4, 0, 0)},
      {"9 data bits", Dcb(9600, 9, 0, 0)},
      {"1.5 stop bits with 8 data bits", Dcb(9600, 8, 0, 1)},
      {"unknown parity", Dcb(9600, 8, 5, 0)},
      {"unknown stop bits", Dcb(9600, 8, 0, 3)},
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(r.name);
    std::vector<TComPortCommand> got;
    EXPECT_EQ(PlanComPort(r.dcb, got), EINVAL);
  }
}

TEST(ComPortPlan, CommandsOnTheWire) {
  const struct {
    TComPortCommand c;
    Bytes want;
  } cases[] = {
      {{csBaudrate, comport::kSetBaudrate, 1024, true},
       B({kIac, kSb, 44, 1, 0, 0, 4, 0, kIac, kSe})},
      {{csBaudrate, comport::kSetBaudrate, 115200, true},
       B({kIac, kSb, 44, 1, 0, 1, 0xC2, 0, kIac, kSe})},
      // A rate with 0xFF in it is escaped like data.
      {{csBaudrate, comport::kSetBaudrate, 0xFFFF, true},
       B({kIac, kSb, 44, 1, 0, 0, kIac, kIac, kIac, kIac, kIac, kSe})},
      {{csDatasize, comport::kSetDatasize, 7, true}, B({kIac, kSb, 44, 2, 7, kIac, kSe})},
      {Ctl(csDtr, 8, false), B({kIac, kSb, 44, 5, 8, kIac, kSe})},
  };
  for (const auto& c : cases) {
    Bytes out;
    AppendComPortCommand(c.c, out);
    EXPECT_EQ(out, c.want);
  }
}

TEST(ComPortAnswers, ServerAnswersNameTheirSetting) {
  const struct {
    const char* name;
    Bytes payload;
    bool isAnswer;
    TComPortSetting setting;
    std::uint32_t value;
  } cases[] = {
      {"rate", B({101, 0, 0, 0x25, 0x80}), true, csBaudrate, 9600},
      {"short rate", B({101, 0, 0}), false, csBaudrate, 0},
      {"data size", B({102, 7}), true, csDatasize, 7},
      {"parity", B({103, 3}), true, csParity, 3},
      {"stop size", B({104, 2}), true, csStopsize, 2},
      {"flow", B({105, 3}), true, csFlow, 3},
      {"flow query", B({105, 0}), true, csFlow, 0},
      {"inbound flow", B({105, 14}), true, csInFlow, 14},
      {"break", B({105, 5}), true, csBreak, 5},
      {"DTR", B({105, 8}), true, csDtr, 8},
      {"RTS", B({105, 12}), true, csRts, 12},
      {"line state is no answer", B({106, 0x10}), false, csBaudrate, 0},
      {"signature is no answer", B({100, 's'}), false, csBaudrate, 0},
      {"a client command is no answer", B({1, 0, 0, 4, 0}), false, csBaudrate, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TComPortSetting s = csBaudrate;
    std::uint32_t v = 0;
    ASSERT_EQ(ReadComPortAnswer(c.payload.data(), c.payload.size(), s, v), c.isAnswer);
    if (!c.isAnswer) continue;
    EXPECT_EQ(s, c.setting);
    EXPECT_EQ(v, c.value);
  }
  const TComPortCommand rate{csBaudrate, comport::kSetBaudrate, 115200, true};
  EXPECT_TRUE(AnswerMatches(rate, 115200));
  EXPECT_TRUE(AnswerMatches(rate, 114000));  // a divided clock
  EXPECT_FALSE(AnswerMatches(rate, 9600));
  EXPECT_TRUE(AnswerMatches(Ctl(csDtr, 8, false), 8));
  EXPECT_FALSE(AnswerMatches(Ctl(csDtr, 8, false), 9));
  EXPECT_FALSE(AnswerMatches({csDatasize, comport::kSetDatasize, 7, true}, 8));
}

TEST(ComPortNotifications, LineAndModemStatesBecomeTheLocalBits) {
  const struct {
    std::uint8_t state;
    std::uint32_t errors, events;
  } lines[] = {
      {0x00, 0, 0},
      {0x01, 0, 0},  // data ready: no error
      {0x02, CE_OVERRUN, EV_ERR},
      {0x04, CE_RXPARITY, EV_ERR},
      {0x08, CE_FRAME, EV_ERR},
      {0x10, CE_BREAK, EV_BREAK},
      {0x60, 0, 0},  // transmitter empty
      {0x1E, CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK, EV_ERR | EV_BREAK},
  };
  for (const auto& l : lines) {
    SCOPED_TRACE(static_cast<int>(l.state));
    EXPECT_EQ(LineStateErrors(l.state), l.errors);
    EXPECT_EQ(LineStateEvents(l.state), l.events);
  }
  const struct {
    std::uint8_t state, previous;
    bool first;
    std::uint32_t events;
  } modems[] = {
      {0x00, 0x00, true, 0},
      {0xB0, 0x00, true, 0},  // the first report of lines already up
      {0x11, 0x00, true, EV_CTS},
      {0x22, 0x00, false, EV_DSR},
      {0x04, 0x40, false, EV_RING},
      {0x88, 0x00, false, EV_RLSD},
      {0x10, 0x00, false, EV_CTS},  // a change without its delta bit
      {0x00, 0xF0, false, EV_CTS | EV_DSR | EV_RING | EV_RLSD},
      {0xF0, 0xF0, false, 0},
  };
  for (const auto& m : modems) {
    SCOPED_TRACE(static_cast<int>(m.state));
    EXPECT_EQ(ModemStateEvents(m.state, m.previous, m.first), m.events);
  }
}

TEST(RemotePortName, SplitsHostAndPort) {
  const struct {
    const char* name;
    bool ok;
    const char* host;
    const char* port;
  } cases[] = {
      {"rfc2217://lab-pi:7000", true, "lab-pi", "7000"},
      {"RFC2217://127.0.0.1:1", true, "127.0.0.1", "1"},
      {"rfc2217://[::1]:2217", true, "::1", "2217"},
      {"rfc2217://[fe80::1%eth0]:65535", true, "fe80::1%eth0", "65535"},
      {"rfc2217://host.example.org:23", true, "host.example.org", "23"},
      {"rfc2217://host", false, "", ""},
      {"rfc2217://host:", false, "", ""},
      {"rfc2217://:7000", false, "", ""},
      {"rfc2217://host:0", false, "", ""},
      {"rfc2217://host:65536", false, "", ""},
      {"rfc2217://host:70a", false, "", ""},
      {"rfc2217://::1:7000", false, "", ""},
      {"rfc2217://[::1]7000", false, "", ""},
      {"rfc2217://[::1", false, "", ""},
      {"rfc2217://host/x:7000", false, "", ""},
      {"rfc2217://ho st:7000", false, "", ""},
      {"telnet://host:7000", false, "", ""},
      {"/dev/ttyUSB0", false, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string host, port;
    ASSERT_EQ(ParseRemotePortName(c.name, host, port), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(host, c.host);
    EXPECT_EQ(port, c.port);
  }
}

}  // namespace
}  // namespace talmo
