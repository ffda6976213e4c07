#include "app/ports_command.h"

#include <cerrno>

#include "app/cli_args.h"
#include "app/cli_output.h"
#include "ports/port_list.h"
#include "settings/registry.h"

namespace talmo {

const char kPortsUsage[] =
    "usage: talmocli ports\nLists the serial ports: COM name, device path, description.\n";

int RunPorts(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  if (!args.empty()) {
    SayUsage(err, "ports takes no options", kPortsUsage);
    return kExitUsage;
  }
  const auto store = TRegistryStore::ForFile(SettingsFilePath());
  // A settings file set aside or unreadable is news the next window start
  // would otherwise hide.
  if (const auto warning = store->TakeWarning()) Say(err, *warning);
  const TPortList list = MachinePortList(store);
  TLineOutput output(out);
  for (const TPortEntry& e : list.Entries())
    output.Note(std::fprintf(out, "%-6s  %-40s  %s\n", e.Name.c_str(), ShownPath(e).c_str(),
                             e.Description.c_str()));
  output.Flush();
  for (const std::string& p : list.Problems()) Say(err, p);
  if (output.Failed()) {
    SayOutputFailed(err, output.Error());
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace talmo
