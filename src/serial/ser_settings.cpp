#include "serial/ser_settings.h"

#include <stdexcept>

namespace talmo {

void TSerPersistent::Changed() {
  if (FUpdateCount == 0 && OnChange) OnChange(*this);
}

void TSerPersistent::EndUpdate() {
  if (FUpdateCount > 0) --FUpdateCount;
  Changed();
}

void TSerPersistent::AssignError(const TSerPersistent& Source) const {
  throw std::invalid_argument(std::string("Cannot assign a ") + Source.ClassName() + " to a " +
                              ClassName());
}

namespace {
// BeginUpdate ... EndUpdate, with EndUpdate also when the copy throws; an
// exception from that EndUpdate must not replace the one already passing.
template <typename Body>
void InUpdate(TSerPersistent& self, Body body) {
  self.BeginUpdate();
  try {
    body();
  } catch (...) {
    try {
      self.EndUpdate();
    } catch (...) {
    }
    throw;
  }
  self.EndUpdate();
}

void CheckIntW(std::int32_t v, const char* name) {
  if (v < 0)
    throw std::out_of_range(std::string("Buffers.") + name + ": " + std::to_string(v) +
                            " is out of range 0..2147483647");
}
}  // namespace

void TSerFlowControl::Assign(const TSerPersistent& Source) {
  auto* src = dynamic_cast<const TSerFlowControl*>(&Source);
  if (!src) AssignError(Source);
  if (src == this) {
    InUpdate(*this, [] {});
    return;
  }
  InUpdate(*this, [&] {
    SetOutCtsFlow(src->FOutCtsFlow);
    SetOutDsrFlow(src->FOutDsrFlow);
    SetControlDtr(src->FControlDtr);
    SetControlRts(src->FControlRts);
    SetXonXoffOut(src->FXonXoffOut);
    SetXonXoffIn(src->FXonXoffIn);
    SetDsrSensitivity(src->FDsrSensitivity);
    SetTxContinueOnXoff(src->FTxContinueOnXoff);
  });
}

void TSerEventChars::SetChar(int Index, std::uint8_t Value) {
  if (Index < 1 || Index > 5)
    throw std::out_of_range("TSerEventChars: character index " + std::to_string(Index) +
                            " is not 1..5");
  FChars[Index - 1] = Value;
  Changed();
}

void TSerEventChars::Assign(const TSerPersistent& Source) {
  auto* src = dynamic_cast<const TSerEventChars*>(&Source);
  if (!src) AssignError(Source);
  const std::uint8_t copy[5] = {src->FChars[0], src->FChars[1], src->FChars[2], src->FChars[3],
                                src->FChars[4]};
  InUpdate(*this, [&] {
    for (int i = 1; i <= 5; ++i) SetChar(i, copy[i - 1]);
  });
}

void TSerBuffers::SetNotify(std::int32_t& field, std::int32_t v, const char* name) {
  CheckIntW(v, name);
  if (field == v) return;
  field = v;
  Changed();
}

void TSerBuffers::SetReadTimeout(std::int32_t v) {
  CheckIntW(v, "ReadTimeout");
  FReadTimeout = v;
}

void TSerBuffers::SetWriteTimeout(std::int32_t v) {
  CheckIntW(v, "WriteTimeout");
  FWriteTimeout = v;
}

void TSerBuffers::Assign(const TSerPersistent& Source) {
  auto* src = dynamic_cast<const TSerBuffers*>(&Source);
  if (!src) AssignError(Source);
  InUpdate(*this, [&] {
    FReadSize = src->FReadSize;
    FWriteSize = src->FWriteSize;
    FReadTimeout = src->FReadTimeout;
    FWriteTimeout = src->FWriteTimeout;
    FXonLimit = src->FXonLimit;
    FXoffLimit = src->FXoffLimit;
  });
}

}  // namespace talmo
