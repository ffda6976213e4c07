#pragma once
// Blocks read as they came, each with its arrival time, and handed on
// later in one go. Each wake-up for a block then costs a read and a copy;
// the framing, decoding and output of the blocks run together a moment
// later, on warm caches, with every block's own time: what is shown is
// what handling each block at once would show.
//
// Threads: one (the loop that reads and hands on). Nothing throws but
// allocation.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace talmo {

class TBlockQueue {
 public:
  using Clock = std::chrono::steady_clock;

  struct TBlock {
    const std::uint8_t* Data;
    std::size_t Size;
    Clock::time_point Arrived;
  };

  void Push(const std::uint8_t* data, std::size_t n, Clock::time_point arrived);
  bool Empty() const { return FNext == FBlocks.size(); }
  // The oldest block not yet taken; only while not Empty. Valid until the
  // next Push.
  TBlock Front() const;
  // Forgets the oldest block; the room is kept for the next ones.
  void Pop();

 private:
  struct TEntry {
    std::size_t End;  // in FBytes
    Clock::time_point Arrived;
  };
  std::vector<std::uint8_t> FBytes;
  std::vector<TEntry> FBlocks;
  std::size_t FNext = 0;
};

}  // namespace talmo
