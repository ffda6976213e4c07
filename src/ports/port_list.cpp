// The port list: the user's SERIALCOMM entries, the devices sysfs lists and
// the built-in loopback port, merged under unique COM names.

#include "ports/port_list.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unordered_map>
#include <unordered_set>

#include "device/loopback_port.h"
#include "device/remote_port_name.h"
#include "settings/reg_format.h"

namespace talmo {

namespace fs = std::filesystem;

namespace {

using regfile::SameName;

// Reads a small sysfs attribute; empty when it is not there.
std::string ReadAttribute(const fs::path& p) {
  std::ifstream in(p);
  if (!in) return {};
  std::string s;
  std::getline(in, s);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

// "ttyUSB12" with prefix "ttyUSB" gives 12; -1 when the rest is not a number.
int KernelNumber(const std::string& name, const std::string& prefix) {
  if (name.size() <= prefix.size() || name.size() > prefix.size() + 4 ||
      name.compare(0, prefix.size(), prefix) != 0)
    return -1;
  int k = 0;
  for (std::size_t i = prefix.size(); i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return -1;
    k = k * 10 + (name[i] - '0');
  }
  return k;
}

// Each kind of device has its own 32 port numbers, so that a port keeps its
// name whatever else is plugged in: ttyS from COM1, ttyUSB from COM33,
// ttyACM from COM65, and every other kind from COM97 up (past 99 too).
constexpr int kFirstSerialPort = 1;
constexpr int kFirstUsbPort = 33;
constexpr int kFirstAcmPort = 65;
constexpr int kFirstOtherPort = 97;

// The stable number of a kernel name; 0 for kinds without one.
int StableNumber(const std::string& kernel) {
  if (int k = KernelNumber(kernel, "ttyS"); k >= 0) return k + kFirstSerialPort;
  if (int k = KernelNumber(kernel, "ttyUSB"); k >= 0) return k + kFirstUsbPort;
  if (int k = KernelNumber(kernel, "ttyACM"); k >= 0) return k + kFirstAcmPort;
  return 0;
}

// Name order with numbers compared as numbers (ttyAMA2 before ttyAMA10).
bool NaturalLess(const std::string& a, const std::string& b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const bool da = a[i] >= '0' && a[i] <= '9';
    const bool db = b[j] >= '0' && b[j] <= '9';
    if (da && db) {
      std::size_t ie = i, je = j;
      while (ie < a.size() && a[ie] >= '0' && a[ie] <= '9') ++ie;
      while (je < b.size() && b[je] >= '0' && b[je] <= '9') ++je;
      std::string na = a.substr(i, ie - i), nb = b.substr(j, je - j);
      na.erase(0, std::min(na.find_first_not_of('0'), na.size()));
      nb.erase(0, std::min(nb.find_first_not_of('0'), nb.size()));
      if (na.size() != nb.size()) return na.size() < nb.size();
      if (na != nb) return na < nb;
      i = ie;
      j = je;
      continue;
    }
    if (a[i] != b[j]) return a[i] < b[j];
    ++i;
    ++j;
  }
  return a.size() - i < b.size() - j;
}

int ComNumber(const std::string& name) {
  const int k = KernelNumber(name, "COM");
  return k < 0 ? 1 << 20 : k;
}

// A ttyS line exists for every possible UART slot; only one whose probe
// found a chip has a type other than PORT_UNKNOWN (0).
bool UartAnswers(const fs::path& entry) {
  const std::string type = ReadAttribute(entry / "type");
  if (type.empty()) return false;
  try {
    return std::stoi(type) != 0;
  } catch (const std::exception&) {
    return false;
  }
}

// The USB device above a tty's device, if it is one: the first folder up
// the resolved path that has an idVendor.
void ReadUsbInfo(const fs::path& entry, TPortEntry& out) {
  std::error_code ec;
  fs::path p = fs::canonical(entry / "device", ec);
  if (ec) return;
  for (int level = 0; level < 8 && !p.empty(); ++level) {
    if (fs::exists(p / "idVendor", ec)) {
      out.Manufacturer = ReadAttribute(p / "manufacturer");
      out.Product = ReadAttribute(p / "product");
      out.SerialNumber = ReadAttribute(p / "serial");
      return;
    }
    if (p == p.parent_path()) return;
    p = p.parent_path();
  }
}

std::string Describe(const std::string& kernel, const TPortEntry& e, bool usb) {
  std::string d = e.Manufacturer;
  if (!e.Product.empty()) d += (d.empty() ? "" : " ") + e.Product;
  if (d.empty())
    d = usb                                 ? "USB serial device " + kernel
        : KernelNumber(kernel, "ttyS") >= 0 ? "Serial port " + kernel
                                            : "Serial device " + kernel;
  if (!e.SerialNumber.empty()) d += ", serial number " + e.SerialNumber;
  return d;
}

std::vector<std::string> ConsoleTtys(const std::string& activePath) {
  std::vector<std::string> names;
  std::ifstream in(activePath);
  std::string word;
  while (in >> word) names.push_back(word);
  return names;
}

std::string UpperName(const std::string& s) {
  std::string u = s;
  for (char& c : u)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return u;
}

// What names a device, also when a path is a link to it
// (/dev/serial/by-id/... -> /dev/ttyUSB0): the resolved path, or the path as
// given where it cannot be resolved. Only names are resolved here.
std::string DeviceKey(const std::string& path) {
  std::error_code ec;
  const fs::path canonical = fs::weakly_canonical(path, ec);
  return ec ? path : canonical.string();
}

}  // namespace

TPortEntry LoopbackPortEntry(const std::string& path) {
  TPortEntry e;
  e.Name = TLoopbackPort::kName;
  e.Path = path;
  e.Description = TLoopbackPort::kDescription;
  return e;
}

std::string ShownPath(const TPortEntry& e) { return e.BuiltIn ? kBuiltInPath : e.Path; }

TPortEntry BuiltInLoopbackEntry() {
  TPortEntry e = LoopbackPortEntry("");
  e.BuiltIn = true;
  return e;
}

std::optional<std::string> StartBuiltInLoopback(std::string& error) {
  const TLoopbackPort& port = TLoopbackPort::Instance();
  if (port.Path().empty()) {
    error = port.Error();
    return std::nullopt;
  }
  return port.Path();
}

TPortList MachinePortList(const std::shared_ptr<TRegistryStore>& store) {
  return TPortList::Build(store, TPortSources{}, BuiltInLoopbackEntry());
}

std::vector<TDetectedDevice> DetectSerialDevices(const TPortSources& sources) {
  std::vector<TDetectedDevice> found;
  const std::vector<std::string> console = ConsoleTtys(sources.ConsoleActive);
  std::error_code ec;
  fs::directory_iterator it(sources.SysClassTty, ec);
  if (ec) return found;
  for (const auto& dirent : it) {
    const std::string kernel = dirent.path().filename().string();
    if (std::find(console.begin(), console.end(), kernel) != console.end()) continue;
    const fs::path entry = dirent.path();
    std::error_code e2;
    // Virtual terminals, pseudo-terminals and the like have no driver.
    if (!fs::exists(entry / "device" / "driver", e2)) continue;
    if (KernelNumber(kernel, "ttyS") >= 0 && !UartAnswers(entry)) continue;
    TDetectedDevice d;
    d.Kernel = kernel;
    d.Entry.Path = sources.DevDir + "/" + kernel;
    ReadUsbInfo(entry, d.Entry);
    const bool usb = !d.Entry.Manufacturer.empty() || !d.Entry.Product.empty() ||
                     !d.Entry.SerialNumber.empty() || KernelNumber(kernel, "ttyUSB") >= 0 ||
                     KernelNumber(kernel, "ttyACM") >= 0;
    d.Entry.Description = Describe(kernel, d.Entry, usb);
    found.push_back(std::move(d));
  }
  std::sort(found.begin(), found.end(), [](const TDetectedDevice& a, const TDetectedDevice& b) {
    return NaturalLess(a.Kernel, b.Kernel);
  });
  return found;
}

std::vector<TPortEntry> TPortList::ReadUserEntries(const std::shared_ptr<TRegistryStore>& store,
                                                   std::vector<std::string>& problems) {
  std::vector<TPortEntry> entries;
  if (!store) return entries;
  TRegistry key(store);
  if (!key.OpenKey(kKeyPath, false)) return entries;
  const std::string where =
      std::string(" in [") + TRegistry::kRootKeyName + "\\" + kKeyPath + "] of " + store->Path();
  // Port name -> index of the entry that has it: a long list costs linear time.
  std::unordered_map<std::string, std::size_t> byName;
  for (TRegValue& value : store->Values(kKeyPath)) {
    const std::string& path = value.Name;
    const std::string label = path.empty() ? "@" : "\"" + path + "\"";
    if (value.Type != rdString) {
      problems.push_back("The port entry " + label + where +
                         " is not a text such as \"COM5\"; it is left out.");
      continue;
    }
    TPortEntry e;
    e.Name = std::move(value.Data);
    if (path.empty()) {
      problems.push_back("The port entry @" + where + " names no device path; it is left out.");
      continue;
    }
    if (e.Name.empty()) {
      problems.push_back("The port entry " + label + where +
                         " gives no port name; it is left out.");
      continue;
    }
    const auto [twice, added] = byName.try_emplace(UpperName(e.Name), entries.size());
    if (!added) {
      problems.push_back("The port entry " + label + where + " names " + e.Name + " again (" +
                         entries[twice->second].Path + " has it); it is left out.");
      continue;
    }
    // A bare kernel name ("ttyUSB0") means the device of that name.
    e.Path = path[0] == '/' || IsRemotePortName(path) ? path : "/dev/" + path;
    e.Description = IsRemotePortName(path) ? "Remote port over the network (RFC 2217, " +
                                                 path.substr(kRemotePortScheme.size()) +
                                                 "), named in the settings file"
                                           : "Named in the settings file: " + e.Path;
    entries.push_back(std::move(e));
  }
  return entries;
}

TPortList TPortList::Merge(const std::vector<TPortEntry>& userEntries,
                           const std::vector<TDetectedDevice>& detected,
                           const std::optional<TPortEntry>& loopback) {
  TPortList list;
  // Names in SameName() form; a set, so that many user entries cost linear time.
  std::unordered_set<std::string> taken;
  auto isTaken = [&](const std::string& n) { return taken.count(UpperName(n)) != 0; };
  auto take = [&](const std::string& n) { taken.insert(UpperName(n)); };
  for (const TPortEntry& e : userEntries) {
    if (isTaken(e.Name)) continue;
    take(e.Name);
    list.FEntries.push_back(e);
  }
  const std::size_t userCount = list.FEntries.size();
  const bool loopbackKeepsName = loopback && !isTaken(loopback->Name);
  if (loopbackKeepsName) take(loopback->Name);

  // The user entries by device, each path resolved once (a link such as
  // /dev/serial/by-id/... names its device), and only when there is a
  // detected device to match.
  std::unordered_map<std::string, std::vector<std::size_t>> userByDevice;
  if (!detected.empty())
    for (std::size_t i = 0; i < userCount; ++i)
      userByDevice[DeviceKey(list.FEntries[i].Path)].push_back(i);

  std::vector<TPortEntry> named;
  std::vector<const TDetectedDevice*> others, displaced;
  for (const TDetectedDevice& d : detected) {
    // A device the user named already is listed under that name, with what
    // sysfs knows of it.
    bool ownEntry = false;
    const std::string resolved = DeviceKey(d.Entry.Path);
    for (const std::string* device : {&d.Entry.Path, &resolved}) {
      if (device == &resolved && resolved == d.Entry.Path) break;
      const auto users = userByDevice.find(*device);
      if (users == userByDevice.end()) continue;
      for (std::size_t i : users->second) {
        TPortEntry& u = list.FEntries[i];
        ownEntry = true;
        u.Manufacturer = d.Entry.Manufacturer;
        u.Product = d.Entry.Product;
        u.SerialNumber = d.Entry.SerialNumber;
        u.Description = d.Entry.Description + " (named in the settings file)";
      }
    }
    if (ownEntry) continue;
    const int stable = StableNumber(d.Kernel);
    if (stable == 0) {
      others.push_back(&d);
      continue;
    }
    const std::string name = "COM" + std::to_string(stable);
    if (isTaken(name)) {
      displaced.push_back(&d);
      continue;
    }
    take(name);
    TPortEntry e = d.Entry;
    e.Name = name;
    named.push_back(std::move(e));
  }
  int next = kFirstOtherPort;
  auto nextFree = [&] {
    while (isTaken("COM" + std::to_string(next))) ++next;
    std::string n = "COM" + std::to_string(next);
    take(n);
    return n;
  };
  for (const auto* group : {&others, &displaced})
    for (const TDetectedDevice* d : *group) {
      TPortEntry e = d->Entry;
      e.Name = nextFree();
      named.push_back(std::move(e));
    }
  std::stable_sort(named.begin(), named.end(), [](const TPortEntry& a, const TPortEntry& b) {
    return ComNumber(a.Name) < ComNumber(b.Name);
  });
  for (auto& e : named) list.FEntries.push_back(std::move(e));
  if (loopback) {
    TPortEntry e = *loopback;
    if (!loopbackKeepsName) e.Name = nextFree();
    list.FEntries.push_back(std::move(e));
  }
  return list;
}

TPortList TPortList::Build(const std::shared_ptr<TRegistryStore>& store,
                           const TPortSources& sources, const std::optional<TPortEntry>& loopback) {
  std::vector<std::string> problems;
  const std::vector<TPortEntry> user = ReadUserEntries(store, problems);
  TPortList list = Merge(user, DetectSerialDevices(sources), loopback);
  list.FProblems = std::move(problems);
  return list;
}

const TPortEntry* TPortList::Find(const std::string& name) const {
  for (const TPortEntry& e : FEntries)
    if (SameName(e.Name, name)) return &e;
  return nullptr;
}

std::optional<std::string> TPortList::DevicePathFor(const std::string& name,
                                                    std::string* error) const {
  if (!name.empty() && name[0] == '/') return name;
  std::string n = name;
  if (n.rfind("\\\\.\\", 0) == 0) n.erase(0, 4);
  if ((!n.empty() && n[0] == '/') || IsRemotePortName(n)) return n;
  const TPortEntry* e = Find(n);
  if (!e) return std::nullopt;
  if (!e->BuiltIn) return e->Path;
  std::string why;
  std::optional<std::string> path = StartBuiltInLoopback(why);
  if (!path && error) *error = e->Name + ": " + why;
  return path.value_or("");
}

std::function<std::string(const std::string&)> TPortList::DeviceResolver(
    std::shared_ptr<TRegistryStore> store, TPortSources sources,
    std::optional<TPortEntry> loopback) {
  return [store = std::move(store), sources = std::move(sources),
          loopback = std::move(loopback)](const std::string& name) {
    return Build(store, sources, loopback).DevicePathFor(name).value_or("");
  };
}

}  // namespace talmo
