#include "session/flow_choice.h"

#include "serial/ser_settings.h"

namespace talmo {

void ApplyFlowChoice(TSerFlowControl& flow, TFlowChoice choice) {
  const bool handshake = choice == TFlowChoice::RtsCts;
  const bool xonxoff = choice == TFlowChoice::XonXoff;
  flow.SetOutCtsFlow(handshake);
  if (handshake)
    flow.SetControlRts(rtsHandshake);
  else if (flow.ControlRts() == rtsHandshake)
    flow.SetControlRts(rtsEnabled);
  flow.SetXonXoffOut(xonxoff);
  flow.SetXonXoffIn(xonxoff);
}

std::optional<TFlowChoice> FlowChoiceByName(const std::string& name) {
  if (name == "none") return TFlowChoice::None;
  if (name == "rtscts") return TFlowChoice::RtsCts;
  if (name == "xonxoff") return TFlowChoice::XonXoff;
  return std::nullopt;
}

}  // namespace talmo
