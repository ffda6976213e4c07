// Random and mutated files through the timed capture's reader. Checked: no
// crash and no read outside a buffer (every byte of every packet and
// interface is touched); the reader stops with End or Error, an Error with
// a sentence, End only at the end of the input; it never asks for more
// than the largest block it accepts and one piece of reading; every packet
// names an interface of its section, and only a serial one gives a serial
// header; the file read whole, in small pieces or with its start already
// taken gives the same packets and the same end; a serial packet written
// again by our writer reads back the same.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "capture/pcapng.h"
#include "fuzz_check.h"

namespace {

using talmo::pcapng::TPcapngReader;
using TStep = TPcapngReader::TStep;
namespace pcapng = talmo::pcapng;

constexpr std::size_t kLargestAsk = pcapng::kMaxBlock + (1u << 20);

struct TGot {
  std::uint32_t Interface;
  std::int64_t TimeNs;
  pcapng::TDirection Direction;
  bool Serial;
  pcapng::TEvent Event;
  std::uint8_t Lines;
  std::string Payload, Comment;
  bool operator==(const TGot&) const = default;
};

struct TRun {
  std::vector<TGot> Packets;
  TStep Last = TStep::Error;
  std::string Error;
  bool Truncated = false;
  std::uint64_t Offset = 0;
  bool operator==(const TRun&) const = default;
};

// Reads `data` from `from` on, at most `piece` bytes a call.
struct TSource {
  const std::uint8_t* Data;
  std::size_t Size, At, Piece;
  std::size_t LargestAsk = 0;
  TPcapngReader::TRead Read() {
    return [this](std::uint8_t* p, std::size_t n) -> long {
      LargestAsk = std::max(LargestAsk, n);
      const std::size_t k = std::min({n, Piece, Size - At});
      if (k) std::memcpy(p, Data + At, k);
      At += k;
      return static_cast<long>(k);
    };
  }
};

unsigned Touch(const char* p, std::size_t n) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum += static_cast<unsigned char>(p[i]);
  return sum;
}

TRun Read(const std::uint8_t* data, std::size_t size, std::size_t piece, std::size_t taken) {
  TSource source{data, size, taken, piece};
  TPcapngReader reader(source.Read(), std::vector<std::uint8_t>(data, data + taken));
  TRun run;
  volatile unsigned sink = 0;
  while ((run.Last = reader.Next()) == TStep::Packet) {
    const pcapng::TReadPacket& p = reader.Packet();
    const auto& interfaces = reader.Interfaces();
    Check(p.Interface < interfaces.size());
    Check(!p.Serial || interfaces[p.Interface].LinkType == pcapng::kLinkSerial);
    Check(p.Payload.size() <= pcapng::kMaxBlock);
    Check(p.Comment.size() <= 0xFFFF);
    Check(p.TimeNs >= 0);
    Check(p.Direction == pcapng::TDirection::Unknown || p.Direction == pcapng::TDirection::In ||
          p.Direction == pcapng::TDirection::Out);
    if (!p.Serial) Check(p.Event == pcapng::TEvent::RxData && p.Lines == 0);
    sink = sink + Touch(p.Payload.data(), p.Payload.size()) +
           Touch(p.Comment.data(), p.Comment.size());
    for (const pcapng::TInterfaceInfo& i : interfaces)
      sink = sink + i.LinkType + Touch(i.Name.data(), i.Name.size()) +
             Touch(i.Description.data(), i.Description.size());
    Check(reader.Offset() <= size);
    run.Packets.push_back({p.Interface, p.TimeNs, p.Direction, p.Serial, p.Event, p.Lines,
                           std::string(p.Payload), std::string(p.Comment)});
  }
  run.Error = reader.Error();
  run.Truncated = reader.Truncated();
  run.Offset = reader.Offset();
  Check(run.Last == TStep::End || run.Last == TStep::Error);
  Check((run.Last == TStep::Error) == !run.Error.empty());
  Check(!run.Truncated || run.Last == TStep::Error);
  Check(reader.ReadErrno() == 0);
  Check(run.Offset <= size);
  if (run.Last == TStep::End) Check(run.Offset == size);
  // The end stays the end.
  Check(reader.Next() == run.Last && reader.Error() == run.Error);
  Check(source.LargestAsk <= kLargestAsk);
  return run;
}

// Serial packets written again (one section, one interface) read back
// with the same fields.
void WriteAgain(const TRun& run) {
  std::vector<std::uint8_t> file;
  pcapng::AppendSectionHeader(file, "fuzz");
  pcapng::AppendInterface(file, "again", "");
  std::vector<const TGot*> written;
  for (const TGot& g : run.Packets) {
    if (!g.Serial || g.Payload.size() > pcapng::kMaxPacketData || g.Comment.size() > 0xFFF0)
      continue;
    pcapng::TPacket p;
    p.TimeNs = g.TimeNs;
    p.Event = g.Event;
    p.Lines = g.Lines;
    p.Direction = g.Direction;
    p.Data = reinterpret_cast<const std::uint8_t*>(g.Payload.data());
    p.Size = g.Payload.size();
    p.Comment = g.Comment;
    pcapng::AppendPacket(file, p);
    written.push_back(&g);
  }
  const TRun again = Read(file.data(), file.size(), file.size(), 0);
  Check(again.Last == TStep::End);
  Check(again.Packets.size() == written.size());
  for (std::size_t i = 0; i < written.size(); ++i) {
    TGot want = *written[i];
    want.Interface = 0;
    Check(again.Packets[i] == want);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const TRun whole = Read(data, size, size + 1, 0);
  const std::size_t piece = 1 + size % 13;
  Check(Read(data, size, piece, 0) == whole);
  Check(Read(data, size, piece + 7, size / 3) == whole);
  WriteAgain(whole);
  return 0;
}
