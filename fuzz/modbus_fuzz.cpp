// Random chunks through the Modbus framer and pairing, RTU and ASCII, from
// one or two sources with time passing between them. Checked on every
// input: nothing crashes, the pieces of a chunk are the chunk (nothing
// lost, nothing glued), a frame called good has the check it claims, lines
// hold only printable characters, and at the end nothing is left due.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/checks.h"
#include "engine/modbus.h"
#include "fuzz_check.h"

namespace {

using talmo::TModbusMode;
using talmo::TModbusPairing;
using talmo::TModbusPiece;

void CheckPieces(TModbusMode mode, const std::uint8_t* p, std::size_t n) {
  talmo::TModbusFramer framer(mode);
  std::size_t at = 0;
  bool noiseBefore = false;
  for (const TModbusPiece& piece : framer.Split(p, n)) {
    Check(piece.Offset == at && !piece.Raw.empty());
    Check(std::equal(piece.Raw.begin(), piece.Raw.end(), p + at));
    at += piece.Raw.size();
    // Noise runs end where a frame begins: two in a row would be one.
    Check(!(piece.Noise && noiseBefore));
    noiseBefore = piece.Noise;
    if (piece.Noise || piece.Malformed) continue;
    Check(piece.Pdu.size() >= 2);
    if (mode == TModbusMode::Rtu && piece.CheckGood) {
      const std::uint16_t crc = talmo::Crc16Modbus(
          std::string_view(reinterpret_cast<const char*>(piece.Raw.data()), piece.Raw.size() - 2));
      Check(piece.Raw[piece.Raw.size() - 2] == (crc & 0xFF) && piece.Raw.back() == (crc >> 8));
    }
    if (mode == TModbusMode::Ascii && piece.CheckGood)
      Check(talmo::Lrc(std::string_view(reinterpret_cast<const char*>(piece.Pdu.data()),
                                        piece.Pdu.size())) == piece.Got);
  }
  Check(at == n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // Header: the mode (bit 0) and the number of sources (bit 1). Then
  // chunks: a length byte, a control byte (the source in bit 0, the time
  // since the chunk before in the other bits, in milliseconds times 8),
  // and that many bytes.
  const TModbusMode mode = data[0] & 1 ? TModbusMode::Ascii : TModbusMode::Rtu;
  const int sources = data[0] & 2 ? 2 : 1;
  TModbusPairing pairing(mode, 100000000);
  for (int s = 0; s < sources; ++s) pairing.AddSource();
  TModbusPairing::TLines lines;
  std::int64_t now = 0;
  std::size_t pos = 1;
  while (pos + 2 <= size) {
    const std::size_t len = std::min<std::size_t>(data[pos], size - pos - 2);
    const std::uint8_t control = data[pos + 1];
    pos += 2;
    now += static_cast<std::int64_t>(control >> 1) * 8000000;
    const int source = (control & 1) % sources;
    for (int s = 0; s < sources; ++s) pairing.DueBy(s, now, lines);
    CheckPieces(mode, data + pos, len);
    const TModbusPairing::TBlockTime blocks[] = {{0, now}, {len / 2, now + 1000000}};
    pairing.Chunk(source, data + pos, len, blocks, lines);
    pos += len;
  }
  for (int s = 0; s < sources; ++s) {
    pairing.DueBy(s, INT64_MAX, lines);
    Check(!pairing.NextDue(s));
  }
  for (const TModbusPairing::TLine& l : lines)
    for (const char c : l.Text) Check(c >= 0x20 && c <= 0x7E);
  return 0;
}
