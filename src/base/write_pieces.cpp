#include "base/write_pieces.h"

#include <algorithm>

namespace talmo {

void WriteInPieces(const std::string& bytes, std::size_t capacity,
                   const std::function<void(const char* data, int count)>& write) {
  if (capacity == 0) capacity = bytes.size();
  for (std::size_t at = 0; at < bytes.size(); at += capacity) {
    const std::size_t n = std::min(capacity, bytes.size() - at);
    if (at == 0) {
      write(bytes.data(), static_cast<int>(n));
      continue;
    }
    try {
      write(bytes.data() + at, static_cast<int>(n));
    } catch (const std::exception& e) {
      throw EPartialWriteError(e.what(), at, std::current_exception());
    }
  }
}

}  // namespace talmo
