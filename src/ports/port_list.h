#pragma once
// The list of serial ports, named COMn, in the order the port selector shows
// them:
// 1. the user's entries in the settings file, key
//    HARDWARE\DEVICEMAP\SERIALCOMM ("/dev/path"="COM5"), in file order;
//    they win for their name; a remote port is named by its address
//    ("rfc2217://lab-pi:7000"="COM20");
// 2. the serial devices the kernel knows (/sys/class/tty entries with a
//    driver; ttyS* only where a UART answers), with stable names:
//    ttyS<k> -> COM<k+1>, ttyUSB<k> -> COM<k+33>, ttyACM<k> -> COM<k+65>,
//    any other kind (and a device whose stable name a user entry took) from
//    COM97 up in name order, skipping names already taken;
// 3. the built-in loopback port the caller passes in, last.
// Detection reads sysfs only: it never opens a device, so ports in use are
// not disturbed, and it never lists the system console's tty. Listing has no
// side effects: the program's own loopback port is listed without being
// started; only resolving its name for an open starts it.
//
// Errors: listing never raises. What it could not read or understand (a
// user entry without a device, a name taken twice) is kept as Problems()
// for the caller to tell; a port it cannot resolve is nullopt.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "settings/registry.h"

namespace talmo {

struct TPortEntry {
  std::string Name;         // "COM5"
  std::string Path;         // "/dev/ttyUSB0"
  std::string Description;  // one line for the tool tip
  // Where sysfs knows them (USB devices); left out where nobody knows them.
  std::string Manufacturer{};
  std::string Product{};
  std::string SerialNumber{};
  // The program's own loopback port: Path stays empty until an open asks
  // for it (DevicePathFor starts the port then).
  bool BuiltIn = false;
};

// What a list shows for the device of an entry: its path, or kBuiltInPath
// for the program's own loopback port, which has no path until it is opened.
inline constexpr const char* kBuiltInPath = "built in";
std::string ShownPath(const TPortEntry& e);

// A loopback port at a known path (tests), as the list shows it.
TPortEntry LoopbackPortEntry(const std::string& path);
// The program's own loopback port, not started.
TPortEntry BuiltInLoopbackEntry();
// Starts the program's own loopback port (once) and gives the path of its
// near end; nullopt, with the reason in `error`, when its pseudo-terminal
// pair could not be made.
std::optional<std::string> StartBuiltInLoopback(std::string& error);

// Where detection looks; tests point it at a fake tree.
struct TPortSources {
  std::string SysClassTty = "/sys/class/tty";
  std::string ConsoleActive = "/sys/class/tty/console/active";
  std::string DevDir = "/dev";
};

// One detected device before it gets its COM name.
struct TDetectedDevice {
  std::string Kernel;  // "ttyUSB0"
  TPortEntry Entry;    // Name empty
};

// The serial devices under `sources`, in name order, the console excluded.
std::vector<TDetectedDevice> DetectSerialDevices(const TPortSources& sources);

class TPortList {
 public:
  TPortList() = default;

  // Builds the list from the SERIALCOMM key of `store` (nullptr: no user
  // entries), detection under `sources` and the loopback entry, if any.
  static TPortList Build(const std::shared_ptr<TRegistryStore>& store, const TPortSources& sources,
                         const std::optional<TPortEntry>& loopback);
  // The same from already detected devices.
  static TPortList Merge(const std::vector<TPortEntry>& userEntries,
                         const std::vector<TDetectedDevice>& detected,
                         const std::optional<TPortEntry>& loopback);
  // The user's entries of the SERIALCOMM key, in file order. Entries that
  // cannot name a port (not a text, empty, a name given twice) are left out
  // and explained in `problems`.
  static std::vector<TPortEntry> ReadUserEntries(const std::shared_ptr<TRegistryStore>& store,
                                                 std::vector<std::string>& problems);

  static constexpr const char* kKeyPath = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

  const std::vector<TPortEntry>& Entries() const { return FEntries; }
  // User entries that were left out, one sentence each.
  const std::vector<std::string>& Problems() const { return FProblems; }

  const TPortEntry* Find(const std::string& name) const;
  // The device path of a port name: "\\.\COM5" or "COM5" through the list
  // (names compare without regard to case); a name that begins with "/"
  // or "rfc2217://" (also after "\\.\") is the path itself; nullopt for
  // a name the list does not know. The built-in loopback port is started
  // here; "" when it cannot be (the reason goes to `error`, when given).
  std::optional<std::string> DevicePathFor(const std::string& name,
                                           std::string* error = nullptr) const;

  // A resolver for the port component: it builds the list anew at each call,
  // so an open finds the devices present at that moment; "" for a name the
  // list does not know (the component reports it as a missing device).
  static std::function<std::string(const std::string&)> DeviceResolver(
      std::shared_ptr<TRegistryStore> store, TPortSources sources,
      std::optional<TPortEntry> loopback);

 private:
  std::vector<TPortEntry> FEntries;
  std::vector<std::string> FProblems;
};

// The ports of this machine as both programs show them: the user's entries
// of `store`, the detected devices and the built-in loopback port.
TPortList MachinePortList(const std::shared_ptr<TRegistryStore>& store);

}  // namespace talmo
