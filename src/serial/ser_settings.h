#pragma once
// The three settings objects a port owns (flow control, event characters,
// buffers), with the change notification that lets the port rewrite the
// device control block. GUI thread only.

#include <cstdint>
#include <functional>
#include <string>

#include "serial/ser_types.h"

namespace talmo {

class TSerPersistent {
 public:
  using TChangeEvent = std::function<void(TSerPersistent& Sender)>;

  virtual ~TSerPersistent() = default;
  TSerPersistent(const TSerPersistent&) = delete;
  TSerPersistent& operator=(const TSerPersistent&) = delete;

  void BeginUpdate() { ++FUpdateCount; }
  void EndUpdate();
  void Changed();
  std::int32_t UpdateCount() const { return FUpdateCount; }

  // Set by the owning port to its change handler.
  TChangeEvent OnChange;

  // Copies from an object of the same class; any other class is refused
  // with std::invalid_argument.
  virtual void Assign(const TSerPersistent& Source) = 0;
  virtual const char* ClassName() const = 0;

 protected:
  TSerPersistent() = default;
  [[noreturn]] void AssignError(const TSerPersistent& Source) const;

 private:
  std::int32_t FUpdateCount = 0;
};

class TSerFlowControl : public TSerPersistent {
 public:
  TSerFlowControl() = default;

  bool OutCtsFlow() const { return FOutCtsFlow; }
  bool OutDsrFlow() const { return FOutDsrFlow; }
  TSerControlDtr ControlDtr() const { return FControlDtr; }
  TSerControlRts ControlRts() const { return FControlRts; }
  bool XonXoffOut() const { return FXonXoffOut; }
  bool XonXoffIn() const { return FXonXoffIn; }
  bool DsrSensitivity() const { return FDsrSensitivity; }
  bool TxContinueOnXoff() const { return FTxContinueOnXoff; }

  void SetOutCtsFlow(bool v) { Set(FOutCtsFlow, v); }
  void SetOutDsrFlow(bool v) { Set(FOutDsrFlow, v); }
  void SetControlDtr(TSerControlDtr v) { Set(FControlDtr, v); }
  void SetControlRts(TSerControlRts v) { Set(FControlRts, v); }
  void SetXonXoffOut(bool v) { Set(FXonXoffOut, v); }
  void SetXonXoffIn(bool v) { Set(FXonXoffIn, v); }
  void SetDsrSensitivity(bool v) { Set(FDsrSensitivity, v); }
  void SetTxContinueOnXoff(bool v) { Set(FTxContinueOnXoff, v); }

  void Assign(const TSerPersistent& Source) override;
  const char* ClassName() const override { return "TSerFlowControl"; }

 private:
  template <typename T>
  void Set(T& field, T v) {
    if (field == v) return;
    field = v;
    Changed();
  }
  bool FOutCtsFlow = false;
  bool FOutDsrFlow = false;
  TSerControlDtr FControlDtr = dtrDisabled;
  TSerControlRts FControlRts = rtsDisabled;
  bool FXonXoffOut = false;
  bool FXonXoffIn = false;
  bool FDsrSensitivity = false;
  bool FTxContinueOnXoff = false;
};

class TSerEventChars : public TSerPersistent {
 public:
  TSerEventChars() = default;

  std::uint8_t XonChar() const { return FChars[0]; }
  std::uint8_t XoffChar() const { return FChars[1]; }
  std::uint8_t ErrorChar() const { return FChars[2]; }
  std::uint8_t EventChar() const { return FChars[3]; }
  std::uint8_t EofChar() const { return FChars[4]; }

  // Index 1 XonChar, 2 XoffChar, 3 ErrorChar, 4 EventChar, 5 EofChar.
  // Notifies every time, also when the value is unchanged.
  void SetChar(int Index, std::uint8_t Value);
  void SetXonChar(std::uint8_t v) { SetChar(1, v); }
  void SetXoffChar(std::uint8_t v) { SetChar(2, v); }
  void SetErrorChar(std::uint8_t v) { SetChar(3, v); }
  void SetEventChar(std::uint8_t v) { SetChar(4, v); }
  void SetEofChar(std::uint8_t v) { SetChar(5, v); }

  void Assign(const TSerPersistent& Source) override;
  const char* ClassName() const override { return "TSerEventChars"; }

 private:
  std::uint8_t FChars[5] = {17, 19, 0, 0, 0};
};

// TSerIntW: 0..2147483647. A negative value is refused with
// std::out_of_range naming the property, and nothing is stored.
class TSerBuffers : public TSerPersistent {
 public:
  TSerBuffers() = default;

  std::int32_t ReadSize() const { return FReadSize; }
  std::int32_t WriteSize() const { return FWriteSize; }
  std::int32_t ReadTimeout() const { return FReadTimeout; }
  std::int32_t WriteTimeout() const { return FWriteTimeout; }
  std::int32_t XonLimit() const { return FXonLimit; }
  std::int32_t XoffLimit() const { return FXoffLimit; }

  void SetReadSize(std::int32_t v) { SetNotify(FReadSize, v, "ReadSize"); }
  void SetWriteSize(std::int32_t v) { SetNotify(FWriteSize, v, "WriteSize"); }
  void SetXonLimit(std::int32_t v) { SetNotify(FXonLimit, v, "XonLimit"); }
  void SetXoffLimit(std::int32_t v) { SetNotify(FXoffLimit, v, "XoffLimit"); }
  // Time-outs take effect at the next wait; they never notify.
  void SetReadTimeout(std::int32_t v);
  void SetWriteTimeout(std::int32_t v);

  void Assign(const TSerPersistent& Source) override;
  const char* ClassName() const override { return "TSerBuffers"; }

 private:
  void SetNotify(std::int32_t& field, std::int32_t v, const char* name);
  std::int32_t FReadSize = 4096;
  std::int32_t FWriteSize = 2048;
  std::int32_t FReadTimeout = 1000;
  std::int32_t FWriteTimeout = 1000;
  std::int32_t FXonLimit = 1024;
  std::int32_t FXoffLimit = 1024;
};

}  // namespace talmo
