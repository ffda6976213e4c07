#include "session/port_writer.h"

#include <algorithm>

#include "base/write_pieces.h"
#include "serial/ser_comm.h"

namespace talmo {

std::function<void(const std::string&)> PortWriter(TSerCustomComm& port,
                                                   std::function<void(const char*, int)> sent) {
  return [&port, sent = std::move(sent)](const std::string& bytes) {
    const auto capacity = static_cast<std::size_t>(std::max(port.Buffers().WriteSize(), 1));
    WriteInPieces(bytes, capacity, [&port, &sent](const char* data, int count) {
      port.WriteBuf(data, count);
      if (sent) sent(data, count);
    });
  };
}

}  // namespace talmo
