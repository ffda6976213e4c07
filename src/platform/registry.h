#pragma once
// The registry of this program: one text file in the registry editor's export
// format ("Windows Registry Editor Version 5.00", [key] lines, "name"=value
// lines), read once and rewritten atomically on every change.
//
// TRegistryStore owns the parsed file; every key object of the process that
// names the same file shares one store, so the settings key and the port-list
// key see each other's writes and never write over each other.
//
// Contracts:
// - A write reaches the file before the call returns, through a temporary
//   file in the same folder, fsync, rename and fsync of the folder, so the
//   file on disk is always either the old or the new one. When the write
//   fails, ERegistryException "Failed to set data for '<name>'" is raised
//   and the store is left as it was (a key object with OnWriteRefused()
//   reports instead and keeps the value in memory).
// - Keys, values, comments and blank lines the program does not touch are
//   written back byte for byte, in their order.
// - A file that cannot be parsed is never overwritten: it is renamed to
//   "<file>.unreadable-YYYYMMDD-HHMMSS" beside the original (beside the
//   target of a link, which stays), the store starts empty (so the program
//   takes its defaults), and TakeWarning() gives the explanation (file,
//   line, what was wrong) exactly once.
// - A settings file that is a link is read and written through the link at
//   its target, also when the target does not exist yet; the link stays.
// - The store is safe to use from several threads; a key object is not.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace talmo {

// what() is the registry's own text; Detail() says why, where known (for
// instance the system's reason a write failed).
class ERegistryException : public std::runtime_error {
 public:
  explicit ERegistryException(const std::string& message,
                              std::string detail = {})
      : std::runtime_error(message), FDetail(std::move(detail)) {}
  const std::string& Detail() const { return FDetail; }

 private:
  std::string FDetail;
};

// Data types as the registry numbers them; "hex(N):" keeps any other N.
enum TRegDataType : std::uint32_t {
  rdNone = 0,
  rdString = 1,        // "text"
  rdExpandString = 2,  // hex(2):
  rdBinary = 3,        // hex:
  rdInteger = 4,       // dword:
  rdMultiString = 7,   // hex(7):
  rdQword = 11,        // hex(b):
};

// One value of a key as the file defines it.
struct TRegValue {
  std::string Name;  // "" is the default value "@"
  std::uint32_t Type = 0;
  std::string Data;
};

using TWallClock = std::function<std::chrono::system_clock::time_point()>;

namespace regfile {
struct TDocument;
}

class TRegistryStore {
 public:
  // The store of the file at `path`, shared with every other caller that
  // asked for the same path while it is alive. `clock` names set-aside files
  // (local time) and is taken only when the store is created here.
  static std::shared_ptr<TRegistryStore> ForFile(const std::string& path,
                                                 TWallClock clock = {});

  ~TRegistryStore();
  TRegistryStore(const TRegistryStore&) = delete;
  TRegistryStore& operator=(const TRegistryStore&) = delete;

  const std::string& Path() const { return FPath; }

  // The explanation of a file that was set aside or could not be read, once;
  // later calls give nothing until it happens again.
  std::optional<std::string> TakeWarning();

  // The operations of the key objects; `key` is the path below
  // HKEY_LOCAL_MACHINE without leading or trailing backslashes.
  bool KeyExists(const std::string& key);
  // Adds the key in memory; it reaches the file with its first value.
  void CreateKey(const std::string& key);
  bool ValueExists(const std::string& key, const std::string& name);
  // False when the value does not exist.
  bool GetValue(const std::string& key, const std::string& name,
                std::uint32_t& type, std::string& data);
  // True when the file was written, false when it already held the value.
  // Raises "Failed to set data for '<name>'" when it cannot be stored; the
  // store is then unchanged, or, with `keepUnsaved`, holds the value in
  // memory only until a later write reaches the file.
  bool SetValue(const std::string& key, const std::string& name,
                std::uint32_t type, const std::string& data,
                bool keepUnsaved = false);
  std::vector<std::string> ValueNames(const std::string& key);
  // Every value of the key in one read, in the order of ValueNames(); where
  // a name is defined twice the last definition wins, as for GetValue().
  std::vector<TRegValue> Values(const std::string& key);

 private:
  TRegistryStore(std::string path, TWallClock clock);
  void Load();
  bool ReloadIfChanged();
  void SetAside(const std::string& why);
  bool Save(const regfile::TDocument& doc, std::string& error);

  const std::string FPath;
  const TWallClock FClock;
  std::mutex FLock;
  std::unique_ptr<regfile::TDocument> FDoc;
  std::optional<std::string> FWarning;
  // Set when the file exists but could be neither read nor set aside: it
  // must then not be replaced, so every write is refused.
  bool FBlocked = false;
  // Set while the memory holds values that a refused write could not store.
  bool FUnsaved = false;
  // Identity of the file as last read or written, to notice edits by others.
  struct TStamp {
    bool Exists = false;
    std::uint64_t Dev = 0, Ino = 0, Size = 0;
    std::int64_t MtimeNs = 0;
    bool operator==(const TStamp&) const = default;
  } FStamp;
  TStamp StampNow() const;
};

// A key object over HKEY_LOCAL_MACHINE of a store. Errors are raised as
// ERegistryException with the registry's own texts.
class TRegistry {
 public:
  // Over the user's settings file (SettingsFilePath()).
  TRegistry();
  explicit TRegistry(std::shared_ptr<TRegistryStore> store);

  static constexpr const char* RootKeyName = "HKEY_LOCAL_MACHINE";

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
  void Write(const std::string& name, std::uint32_t type,
             const std::string& data);

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
