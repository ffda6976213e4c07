#include "app/ports_command.h"

#include <cerrno>

#include "app/cli_args.h"
#include "platform/port_list.h"
#include "platform/registry.h"
#include "serial/ser_types.h"

namespace talmo {

int RunPorts(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  if (!args.empty()) {
    std::fprintf(err, "talmocli: ports takes no options\nusage: talmocli ports\n");
    return kExitUsage;
  }
  const auto store = TRegistryStore::ForFile(SettingsFilePath());
  // A settings file set aside or unreadable is news the next window start
  // would otherwise hide.
  if (const auto warning = store->TakeWarning())
    std::fprintf(err, "talmocli: %s\n", warning->c_str());
  const TPortList list = MachinePortList(store);
  int failure = 0;
  for (const TPortEntry& e : list.Entries())
    if (std::fprintf(out, "%-6s  %-40s  %s\n", e.Name.c_str(), ShownPath(e).c_str(),
                     e.Description.c_str()) < 0 &&
        !failure)
      failure = errno;
  if (std::fflush(out) != 0 && !failure) failure = errno;
  for (const std::string& p : list.Problems()) std::fprintf(err, "talmocli: %s\n", p.c_str());
  if (failure) {
    SayOutputFailed(err, failure);
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace talmo
