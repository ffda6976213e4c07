// Random and mutated settings files through the store, then every read
// operation on every key and value it found. A file the store takes must
// survive a write: it parses again and keeps the written value.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz_check.h"
#include "registry.h"

namespace {

const std::string& Dir() {
  static const std::string dir = [] {
    std::string base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string tmpl = base + "/talmo-settings-fuzz-XXXXXX";
    Check(mkdtemp(tmpl.data()) != nullptr);
    return tmpl;
  }();
  return dir;
}

void ReadEverything(talmo::TRegistry& key) {
  char buf[64];
  for (const std::string& name : key.GetValueNames()) {
    try { key.ReadInteger(name); } catch (const talmo::ERegistryException&) {}
    try { key.ReadBool(name); } catch (const talmo::ERegistryException&) {}
    try { key.ReadString(name); } catch (const talmo::ERegistryException&) {}
    try { Check(key.ReadBinaryData(name, buf, sizeof buf) <= static_cast<int>(sizeof buf)); }
    catch (const talmo::ERegistryException&) {}
    key.GetDataType(name);
    Check(key.ValueExists(name));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = Dir() + "/TALMO.reg";
  std::filesystem::remove_all(Dir());
  std::filesystem::create_directories(Dir());
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  {
    auto store = talmo::TRegistryStore::ForFile(path);
    const bool setAside = store->TakeWarning().has_value();
    for (const char* k : {"SOFTWARE\\Velkerstam\\TALMO", "HARDWARE\\DEVICEMAP\\SERIALCOMM", "SOFTWARE", ""}) {
      talmo::TRegistry key(store);
      if (key.OpenKey(k, false)) ReadEverything(key);
    }
    if (!setAside) {
      talmo::TRegistry key(store);
      try {
        if (key.OpenKey("SOFTWARE\\Velkerstam\\TALMO", true)) {
          key.WriteInteger("FUZZCHECK", 12345);
          Check(key.ReadInteger("FUZZCHECK") == 12345);
        }
      } catch (const talmo::ERegistryException&) {
        return 0;  // a file the store refuses to replace
      }
    }
  }
  // A fresh store reads what was written back without complaint.
  auto again = talmo::TRegistryStore::ForFile(path);
  if (!again->TakeWarning()) {
    talmo::TRegistry key(again);
    if (key.OpenKey("SOFTWARE\\Velkerstam\\TALMO", false) && key.ValueExists("FUZZCHECK"))
      Check(key.ReadInteger("FUZZCHECK") == 12345);
  }
  return 0;
}
