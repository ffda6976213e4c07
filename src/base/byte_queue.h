#pragma once
// Bytes on their way, appended at the back and taken from the front. What
// was taken is dropped in one step once it is most of the buffer, so a
// steady stream neither moves every byte at every take nor grows without
// bound.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace talmo {

class TByteQueue {
 public:
  std::size_t Size() const { return FData.size() - FFront; }
  bool Empty() const { return Size() == 0; }
  const std::uint8_t* Front() const { return FData.data() + FFront; }
  void Append(const std::uint8_t* p, std::size_t n) { FData.insert(FData.end(), p, p + n); }
  void Drop(std::size_t n) {
    FFront += n;
    if (FFront == FData.size()) {
      FData.clear();
      FFront = 0;
    } else if (FFront > 1 << 16) {
      FData.erase(FData.begin(), FData.begin() + static_cast<std::ptrdiff_t>(FFront));
      FFront = 0;
    }
  }
  void Clear() {
    FData.clear();
    FFront = 0;
  }

 private:
  std::vector<std::uint8_t> FData;
  std::size_t FFront = 0;
};

}  // namespace talmo
