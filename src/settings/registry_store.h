#pragma once
// The settings store: one file in the registry editor's export format, read
// once and rewritten atomically on every change, shared by every key object
// of the process that names the same file, so the settings key and the
// port-list key see each other's writes and never write over each other.
//
// Contracts:
// - A write reaches the file before the call returns, through a temporary
//   file in the same folder, fsync, rename and fsync of the folder, so the
//   file on disk is always either the old or the new one. When the write
//   fails, ERegistryError "Failed to set data for '<name>'" is raised
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

#include "settings/reg_format.h"

namespace talmo {

// what() is the registry's own text; Detail() says why, where known (for
// instance the system's reason a write failed).
class ERegistryError : public std::runtime_error {
 public:
  explicit ERegistryError(const std::string& message, std::string detail = {})
      : std::runtime_error(message), FDetail(std::move(detail)) {}
  const std::string& Detail() const { return FDetail; }

 private:
  std::string FDetail;
};

using TWallClock = std::function<std::chrono::system_clock::time_point()>;

class TRegistryStore {
 public:
  // The store of the file at `path`, shared with every other caller that
  // asked for the same path while it is alive. `clock` names set-aside files
  // (local time) and is taken only when the store is created here.
  static std::shared_ptr<TRegistryStore> ForFile(const std::string& path, TWallClock clock = {});

  ~TRegistryStore();
  TRegistryStore(const TRegistryStore&) = delete;
  TRegistryStore& operator=(const TRegistryStore&) = delete;

  // The root of every key path; the file names it in every [key] line.
  static constexpr const char* kRootKeyName = "HKEY_LOCAL_MACHINE";

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
  bool GetValue(const std::string& key, const std::string& name, std::uint32_t& type,
                std::string& data);
  // True when the file was written, false when it already held the value.
  // Raises "Failed to set data for '<name>'" when it cannot be stored; the
  // store is then unchanged, or, with `keepUnsaved`, holds the value in
  // memory only until a later write reaches the file.
  bool SetValue(const std::string& key, const std::string& name, std::uint32_t type,
                const std::string& data, bool keepUnsaved = false);
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

}  // namespace talmo
