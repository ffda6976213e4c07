// Random server streams through the Telnet / RFC 2217 decoder. Checked: no
// crash; the stream cut at any place decodes as it does whole; data that
// came out, escaped again, decodes to itself and nothing else; no
// sub-negotiation comes out longer than the bound; every answer and
// notification parses without reading past its payload; the option
// negotiation never agrees to the same word twice in a row; a name parses
// only into a host and a port in range.

#include <cstdint>
#include <string>
#include <vector>

#include "device/rfc2217_codec.h"
#include "fuzz_check.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Recorder : talmo::TTelnetSink {
  Bytes data;
  std::vector<Bytes> items;  // commands and sub-negotiations, tagged
  talmo::TTelnetOptions options;
  bool repeatAnswered = false;
  std::uint8_t lastVerb = 0, lastOption = 0;
  bool haveLast = false;

  void Data(const std::uint8_t* p, std::size_t n) override {
    data.insert(data.end(), p, p + n);
    haveLast = false;
  }
  void Negotiation(std::uint8_t verb, std::uint8_t option) override {
    items.push_back({0, verb, option, static_cast<std::uint8_t>(data.size() & 0xFF)});
    Bytes reply;
    options.Receive(verb, option, reply);
    // A refusal may be said again to a request made again; an agreement
    // is never repeated, or two peers would answer each other for ever.
    if (haveLast && verb == lastVerb && option == lastOption && !reply.empty() &&
        (reply[1] == talmo::telnet::kWill || reply[1] == talmo::telnet::kDo))
      repeatAnswered = true;
    haveLast = true;
    lastVerb = verb;
    lastOption = option;
  }
  void SubNegotiation(std::uint8_t option, const std::uint8_t* p, std::size_t n) override {
    Check(n <= talmo::TTelnetDecoder::kMaxSubNegotiation);
    Bytes item{1, option, static_cast<std::uint8_t>(data.size() & 0xFF)};
    item.insert(item.end(), p, p + n);
    items.push_back(item);
    talmo::TComPortSetting setting;
    std::uint32_t value = 0;
    if (talmo::ReadComPortAnswer(p, n, setting, value)) Check(setting < talmo::csSettingCount);
    if (n >= 2) {
      (void)talmo::LineStateErrors(p[1]);
      (void)talmo::ModemStateEvents(p[1], p[0], n & 1);
    }
    haveLast = false;
  }
  void Command(std::uint8_t c) override {
    items.push_back({2, c, static_cast<std::uint8_t>(data.size() & 0xFF)});
    haveLast = false;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* in, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t cut = size > 1 ? in[0] % size : 0;
  const std::uint8_t* stream = in + 1;
  const std::size_t n = size - 1;

  Recorder whole;
  talmo::TTelnetDecoder d1;
  d1.Feed(stream, n, whole);
  Check(!whole.repeatAnswered);

  // The same stream cut in two, then fed byte by byte.
  Recorder split, bytes;
  talmo::TTelnetDecoder d2, d3;
  const std::size_t at = cut < n ? cut : n;
  d2.Feed(stream, at, split);
  d2.Feed(stream + at, n - at, split);
  for (std::size_t i = 0; i < n; ++i) d3.Feed(stream + i, 1, bytes);
  Check(split.data == whole.data && split.items == whole.items);
  Check(bytes.data == whole.data && bytes.items == whole.items);
  Check(d1.InCommand() == d2.InCommand() && d1.InCommand() == d3.InCommand());

  // Data escaped again is data again, whatever bytes it holds.
  Bytes wire;
  talmo::AppendEscaped(whole.data.data(), whole.data.size(), wire);
  Recorder again;
  talmo::TTelnetDecoder d4;
  d4.Feed(wire.data(), wire.size(), again);
  Check(again.data == whole.data && again.items.empty() && !d4.InCommand());

  std::string host, port;
  const std::string name(reinterpret_cast<const char*>(stream), n);
  if (talmo::ParseRemotePortName("rfc2217://" + name, host, port)) {
    Check(!host.empty() && !port.empty() && port.size() <= 5);
    const long number = std::stol(port);
    Check(number >= 1 && number <= 65535);
  }
  return 0;
}
