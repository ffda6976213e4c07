#pragma once
// The registry of this program: key objects over HKEY_LOCAL_MACHINE of a
// settings store (registry_store.h), with the registry's value types and
// error texts.
//
// Error contract of src/settings
// ------------------------------
// - Key objects (this header) raise ERegistryError whose what() is the
//   registry's own text ("Invalid data type for '%s'", "Failed to get data
//   for '%s'", "Failed to set data for '%s'") and whose Detail() says why
//   where known. Absence is no error: OpenKey, KeyExists and ValueExists
//   answer false, ReadString "" and ReadBinaryData 0.
// - A write the file refuses raises too, unless OnWriteRefused() takes the
//   report; then the value lives on in memory and the report comes once.
// - A file that cannot be read never raises: the store sets it aside,
//   starts empty and keeps one sentence for TakeStoreWarning().
// - Below the key objects nothing throws: the export format answers a
//   TParseError (reg_format.h); the file helpers (atomic_file.h) answer
//   what their caller needs to tell apart: a read a TReadResult (and the
//   errno code when Failed), setting aside 0 or the errno code, a
//   replacement false and its sentence ("cannot ...: <reason>").
// The layer shows nothing: the window (boxes, pane lines) and talmocli
// (standard error) tell the user what it raised or reported.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "settings/registry_store.h"

namespace talmo {

// A key object over HKEY_LOCAL_MACHINE of a store. Errors are raised as
// ERegistryError with the registry's own texts.
class TRegistry {
 public:
  // Over the user's settings file (SettingsFilePath()).
  TRegistry();
  explicit TRegistry(std::shared_ptr<TRegistryStore> store);

  static constexpr const char* kRootKeyName = TRegistryStore::kRootKeyName;

  // Opens `key` (relative to the root; backslash separated). With
  // `canCreate` a missing key is created. False when the key does not exist,
  // and always for keys that do not exist on this system (the Windows policy
  // key), which are never created.
  bool OpenKey(const std::string& key, bool canCreate);
  bool KeyExists(const std::string& key);
  void CloseKey();
  bool HasCurrentKey() const { return FOpen; }
  const std::string& CurrentPath() const { return FCurrentPath; }

  bool ValueExists(const std::string& name);
  // The type of an existing value; nullopt when it does not exist.
  std::optional<std::uint32_t> GetDataType(const std::string& name);

  // REG_DWORD. A missing value raises "Failed to get data for '<name>'", one
  // of another type "Invalid data type for '<name>'".
  std::int32_t ReadInteger(const std::string& name);
  void WriteInteger(const std::string& name, std::int32_t value);
  // Stored as REG_DWORD 0 or 1; any non-zero number reads as true.
  bool ReadBool(const std::string& name);
  void WriteBool(const std::string& name, bool value);
  // Copies the value into `buffer` and returns the number of bytes copied.
  // A missing value copies nothing and returns 0; a value that is not binary
  // or longer than `size` raises "Invalid data type for '<name>'".
  int ReadBinaryData(const std::string& name, void* buffer, int size);
  void WriteBinaryData(const std::string& name, const void* buffer, int size);
  // REG_SZ. A missing value reads as the empty string.
  std::string ReadString(const std::string& name);
  // Texts with CR, LF or NUL cannot be stored in a string line: refused.
  void WriteString(const std::string& name, const std::string& value);
  // Names of the current key's values in file order ("" is the default
  // value "@").
  std::vector<std::string> GetValueNames();

  // Writes the store refuses (the file or its folder cannot be written) go
  // to `report` instead of raising: the value is used from memory and
  // reaches the file with a later write that succeeds. The report names the
  // value, the file and the system's reason; it is made for the first
  // refusal only, and again only after a write has reached the file, so a
  // folder that cannot be written is reported once, not at every change.
  // Writes that cannot be expressed still raise.
  void OnWriteRefused(std::function<void(const std::string& report)> report) {
    FOnRefused = std::move(report);
    FRefusalReported = false;
  }

  // The store's one-time warning about a set-aside or unreadable file.
  std::optional<std::string> TakeStoreWarning() { return FStore->TakeWarning(); }
  const std::shared_ptr<TRegistryStore>& Store() const { return FStore; }

 private:
  void Write(const std::string& name, std::uint32_t type, const std::string& data);

  std::shared_ptr<TRegistryStore> FStore;
  std::function<void(const std::string&)> FOnRefused;
  bool FRefusalReported = false;
  bool FOpen = false;
  std::string FCurrentPath;
};

// The user's settings file: the standard per-user configuration folder (moved
// by XDG_CONFIG_HOME) + "/Velkerstam/TALMO.reg". Empty when the system names
// no such folder.
std::string SettingsFilePath();

}  // namespace talmo
