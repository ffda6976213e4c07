// make_timed_capture RAW OUT.pcapng [BLOCK]: writes the bytes of RAW as a
// timed capture of received packets of BLOCK bytes (default 4096), one
// millisecond apart, as the monitor would have recorded them.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "capture/capture_file.h"

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: make_timed_capture RAW OUT.pcapng [BLOCK]\n");
    return 2;
  }
  const long block = argc == 4 ? std::atol(argv[3]) : 4096;
  std::FILE* in = std::fopen(argv[1], "rb");
  if (!in || block <= 0) {
    std::perror(argv[1]);
    return 1;
  }
  talmo::TCaptureFile capture;
  try {
    capture.StartExact(argv[2], {"COM1", "/dev/ttyUSB0 115200 8N1"}, true);
  } catch (const talmo::ECaptureError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(block));
  talmo::pcapng::TPacket p;
  p.TimeNs = 1796700000000000000;
  p.Direction = talmo::pcapng::TDirection::In;
  for (std::size_t n; (n = std::fread(buf.data(), 1, buf.size(), in)) > 0;) {
    p.Data = buf.data();
    p.Size = n;
    if (!capture.Record(p)) {
      std::fprintf(stderr, "%s\n", capture.WriteError().c_str());
      return 1;
    }
    p.TimeNs += 1000000;
  }
  std::fclose(in);
  return 0;
}
