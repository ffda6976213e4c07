#include "session/port_writer.h"

#include <algorithm>

#include "serial/ser_comm.h"
#include "transmitfile/script_player.h"

namespace talmo {

std::function<void(const std::string&)> PortWriter(TSerCustomComm& port) {
  return [&port](const std::string& bytes) {
    const auto capacity = static_cast<std::size_t>(std::max(port.Buffers().WriteSize(), 1));
    WriteInPieces(bytes, capacity,
                  [&port](const char* data, int count) { port.WriteBuf(data, count); });
  };
}

}  // namespace talmo
