#include "desktop.h"

#include "loopback_port.h"
#include "port_list.h"
#include "posix_device.h"
#include "registry.h"

namespace talmo {

TMainEnvironment MakeDesktopEnvironment() {
  TMainEnvironment env;
  env.SettingsPath = SettingsFilePath();
  auto store = TRegistryStore::ForFile(env.SettingsPath);
  std::optional<TPortEntry> loopback;
  if (!TLoopbackPort::Instance().Path().empty()) loopback = LoopbackPortEntry(TLoopbackPort::Instance().Path());
  env.Driver = std::make_shared<TSerPosixDriver>(TPortList::DeviceResolver(store, TPortSources{}, loopback));
  env.PortList = [store, loopback] {
    std::vector<TPortItem> items;
    const TPortList list = TPortList::Build(store, TPortSources{}, loopback);
    for (const TPortEntry& e : list.Entries())
      items.push_back({e.Name, e.Path, e.Description});
    return items;
  };
  return env;
}

}  // namespace talmo
