#pragma once
// Every default of a port, in one initializer: what a new component holds,
// and the port as the window designs it, whose line settings talmocli's
// ports start from too. A default changes here and nowhere else.

#include <cstdint>

#include "serial/ser_types.h"

namespace talmo {

struct TSerLineDefaults {
  TSerBaudrate Baudrate;
  TSerParity Parity;
  TSerDatabits Databits;
  TSerStopbits Stopbits;
};

struct TSerDefaults {
  // A new TSerComm, before anything is set.
  struct {
    TSerLineDefaults Line;
    std::int32_t UserBaudrate;  // 0: none (brUser needs one set)
    std::int32_t PortNum;
    const char* DeviceName;  // a format: PortNum fills "%d"
    TSerCommEvents MonitorEvents;
    TThreadPriority EventPriority, WritePriority;
    bool AutoOpen, DirectWrite, UpdateDCB;
  } Component;
  // The window's port as designed; the rest keeps the component's defaults.
  struct {
    TSerLineDefaults Line;
    std::int32_t PortNum;
    const char* DeviceName;
    TSerControlDtr ControlDtr;
    TSerControlRts ControlRts;
    TSerCommEvents MonitorEvents;
    std::int32_t ReadSize, WriteSize;
    // Bounds only the wait for a read to complete; with the time-outs set
    // at open that wait ends at once.
    std::int32_t ReadTimeoutMs;
  } Designed;
};

inline constexpr TSerDefaults kSerDefaults{
    .Component = {.Line = {br1200, paNone, db8, sb1},
                  .UserBaudrate = 0,
                  .PortNum = 0,
                  .DeviceName = "COM%d",
                  .MonitorEvents = {ceError, ceRxChar, ceTxEmpty},
                  .EventPriority = tpNormal,
                  .WritePriority = tpHighest,
                  .AutoOpen = false,
                  .DirectWrite = false,
                  .UpdateDCB = true},
    .Designed = {.Line = {br19200, paNone, db8, sb1},
                 .PortNum = 13,
                 .DeviceName = "COM13",
                 .ControlDtr = dtrEnabled,
                 .ControlRts = rtsHandshake,
                 .MonitorEvents = {ceBreak, ceCts, ceDsr, ceError, ceRxChar, ceTxEmpty, ceRxFlag},
                 .ReadSize = 1024,
                 .WriteSize = 1024,
                 .ReadTimeoutMs = 607},
};

}  // namespace talmo
