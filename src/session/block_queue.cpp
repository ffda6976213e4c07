#include "session/block_queue.h"

namespace talmo {

void TBlockQueue::Push(const std::uint8_t* data, std::size_t n, Clock::time_point arrived) {
  if (n == 0) return;
  FBytes.insert(FBytes.end(), data, data + n);
  FBlocks.push_back({FBytes.size(), arrived});
}

TBlockQueue::TBlock TBlockQueue::Front() const {
  const std::size_t begin = FNext == 0 ? 0 : FBlocks[FNext - 1].End;
  return {FBytes.data() + begin, FBlocks[FNext].End - begin, FBlocks[FNext].Arrived};
}

void TBlockQueue::Pop() {
  if (++FNext < FBlocks.size()) return;
  FBytes.clear();
  FBlocks.clear();
  FNext = 0;
}

}  // namespace talmo
