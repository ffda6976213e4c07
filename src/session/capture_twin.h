#pragma once
// A device's twin, made from a recorded conversation: each request frame
// is answered with the answer that followed the same request in the
// recording, after the recorded response time. A request recorded several
// times with different answers gets them in the order they were recorded,
// and round again.
//
// The recording is handed over as its blocks in time order, each a
// request's or an answer's. Blocks of one side that follow each other
// closer than the silence make one frame; a frame of the other side, or a
// longer silence, ends it. A request followed by an answer is a pair; one
// followed by another request had no answer, and gets none here either.
//
// Single-threaded; nothing fails.

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace talmo {

class TCaptureTwin {
 public:
  struct TAnswer {
    std::string Bytes;  // empty: the recording had none (silence)
    std::chrono::nanoseconds Delay{0};
  };

  // `silenceNs`: the pause that ends a frame within one side.
  explicit TCaptureTwin(std::int64_t silenceNs) : FSilenceNs(silenceNs) {}

  // The recording's blocks, in time order.
  void Add(bool request, std::int64_t timeNs, std::string_view bytes);
  // After the last block.
  void Finish();

  // The recorded answer to a request frame; nothing when it was never
  // recorded. `speed` divides the recorded response time.
  std::optional<TAnswer> Answer(std::string_view request, double speed = 1);
  // Pairs learned, and requests heard (with or without an answer).
  std::size_t Pairs() const { return FPairs; }
  std::size_t Requests() const { return FTable.size(); }

 private:
  struct TFrame {
    bool Request;
    std::string Bytes;
    std::int64_t First, Last;
  };
  struct TEntry {
    std::vector<TAnswer> Answers;
    std::size_t Next = 0;
  };
  void EndFrame();

  std::int64_t FSilenceNs;
  std::optional<TFrame> FOpen;
  // The request frame waiting for its answer.
  std::optional<TFrame> FRequest;
  std::map<std::string, TEntry, std::less<>> FTable;
  std::size_t FPairs = 0;
};

}  // namespace talmo
