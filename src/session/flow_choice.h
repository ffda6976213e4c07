#pragma once
// The flow control a user picks by name (none, RTS/CTS, XON/XOFF), set on
// a port's flow-control settings the same way by every program.

#include <optional>
#include <string>

namespace talmo {

class TSerFlowControl;

enum class TFlowChoice { None, RtsCts, XonXoff };

// RTS/CTS drives RTS (an RTS handshake) and waits for CTS; XON/XOFF works
// both ways; leaving RTS/CTS raises RTS as a plain line again. DTR and the
// other settings stay.
void ApplyFlowChoice(TSerFlowControl& flow, TFlowChoice choice);

// "none", "rtscts", "xonxoff"; nothing for another name.
std::optional<TFlowChoice> FlowChoiceByName(const std::string& name);

}  // namespace talmo
