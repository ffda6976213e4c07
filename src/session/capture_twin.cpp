#include "session/capture_twin.h"

namespace talmo {

void TCaptureTwin::Add(bool request, std::int64_t timeNs, std::string_view bytes) {
  if (bytes.empty()) return;
  if (FOpen && (FOpen->Request != request || timeNs - FOpen->Last > FSilenceNs)) EndFrame();
  if (!FOpen) FOpen = TFrame{request, {}, timeNs, timeNs};
  FOpen->Bytes += bytes;
  FOpen->Last = timeNs;
}

void TCaptureTwin::EndFrame() {
  TFrame frame = std::move(*FOpen);
  FOpen.reset();
  if (frame.Request) {
    // A request that follows a request: the one before had no answer.
    if (FRequest) FTable[FRequest->Bytes].Answers.push_back({});
    FRequest = std::move(frame);
    return;
  }
  if (!FRequest) return;  // the device spoke unasked: nothing to answer
  FTable[FRequest->Bytes].Answers.push_back(
      {std::move(frame.Bytes), std::chrono::nanoseconds(frame.First - FRequest->Last)});
  ++FPairs;
  FRequest.reset();
}

void TCaptureTwin::Finish() {
  if (FOpen) EndFrame();
  if (FRequest) FTable[FRequest->Bytes].Answers.push_back({});
  FRequest.reset();
}

std::optional<TCaptureTwin::TAnswer> TCaptureTwin::Answer(std::string_view request, double speed) {
  const auto found = FTable.find(request);
  if (found == FTable.end()) return std::nullopt;
  TEntry& e = found->second;
  TAnswer a = e.Answers[e.Next];
  e.Next = (e.Next + 1) % e.Answers.size();
  if (speed > 0)
    a.Delay = std::chrono::nanoseconds(static_cast<std::int64_t>(a.Delay.count() / speed));
  if (a.Delay.count() < 0) a.Delay = std::chrono::nanoseconds(0);
  return a;
}

}  // namespace talmo
