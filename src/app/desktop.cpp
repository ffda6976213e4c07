#include "app/desktop.h"

#include "platform/port_list.h"
#include "platform/posix_device.h"
#include "platform/registry.h"

namespace talmo {

TMainEnvironment MakeDesktopEnvironment() {
  TMainEnvironment env;
  env.SettingsPath = SettingsFilePath();
  auto store = TRegistryStore::ForFile(env.SettingsPath);
  env.Driver = std::make_shared<TSerPosixDriver>(
      TPortList::DeviceResolver(store, TPortSources{}, BuiltInLoopbackEntry()));
  env.PortList = [store] { return MachinePortList(store).Entries(); };
  return env;
}

}  // namespace talmo
