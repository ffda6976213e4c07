#include "app/desktop.h"

#include "device/device_driver.h"
#include "ports/port_list.h"
#include "settings/registry.h"

namespace talmo {

TMainEnvironment MakeDesktopEnvironment() {
  TMainEnvironment env;
  env.SettingsPath = SettingsFilePath();
  auto store = TRegistryStore::ForFile(env.SettingsPath);
  env.Driver = std::make_shared<TSerDeviceDriver>(
      TPortList::DeviceResolver(store, TPortSources{}, BuiltInLoopbackEntry()));
  env.PortList = [store] { return MachinePortList(store).Entries(); };
  return env;
}

}  // namespace talmo
