// The settings store: the parsed file shared by the key objects, reloaded
// when another program changed it, saved atomically on every change, and
// set aside when it cannot be parsed.

#include "settings/registry_store.h"

#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <map>

#include "base/error_text.h"
#include "settings/atomic_file.h"

namespace talmo {

using regfile::TDocument;
using regfile::TItem;

namespace {

constexpr std::size_t kMaxFileSize = 16u << 20;

std::string FullPath(const std::string& key) {
  std::string full = TRegistryStore::kRootKeyName;
  if (!key.empty()) full += "\\" + key;
  return full;
}

std::string LocalStamp(std::chrono::system_clock::time_point t) {
  const std::time_t tt = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  localtime_r(&tt, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &tm);
  return buf;
}

std::mutex& StoresLock() {
  static std::mutex m;
  return m;
}
std::map<std::string, std::weak_ptr<TRegistryStore>>& Stores() {
  static std::map<std::string, std::weak_ptr<TRegistryStore>> m;
  return m;
}

}  // namespace

TRegistryStore::TRegistryStore(std::string path, TWallClock clock)
    : FPath(std::move(path)),
      FClock(clock ? std::move(clock) : TWallClock(&std::chrono::system_clock::now)),
      FDoc(std::make_unique<TDocument>()) {}

TRegistryStore::~TRegistryStore() = default;

std::shared_ptr<TRegistryStore> TRegistryStore::ForFile(const std::string& path, TWallClock clock) {
  std::string key = path;
  if (!path.empty()) {
    std::error_code ec;
    const auto abs = std::filesystem::absolute(path, ec);
    if (!ec) key = abs.lexically_normal().string();
  }
  std::lock_guard<std::mutex> guard(StoresLock());
  auto& stores = Stores();
  if (auto existing = stores[key].lock()) return existing;
  std::shared_ptr<TRegistryStore> store(new TRegistryStore(key, std::move(clock)));
  {
    std::lock_guard<std::mutex> own(store->FLock);
    store->Load();
  }
  stores[key] = store;
  // Forget stores that have gone, so the table does not grow.
  for (auto it = stores.begin(); it != stores.end();)
    it = it->second.expired() ? stores.erase(it) : std::next(it);
  return store;
}

TRegistryStore::TStamp TRegistryStore::StampNow() const {
  TStamp s;
  struct stat st {};
  if (FPath.empty() || ::stat(FPath.c_str(), &st) != 0) return s;
  s.Exists = true;
  s.Dev = st.st_dev;
  s.Ino = st.st_ino;
  s.Size = static_cast<std::uint64_t>(st.st_size);
  s.MtimeNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return s;
}

void TRegistryStore::Load() {
  FDoc = std::make_unique<TDocument>();
  FBlocked = false;
  FUnsaved = false;
  FStamp = StampNow();
  if (FPath.empty()) {
    FWarning =
        "No folder for the settings file is known (HOME is not set); "
        "settings will not be saved.";
    FBlocked = true;
    return;
  }
  std::string text;
  int err = 0;
  switch (ReadWholeFile(FPath, kMaxFileSize, text, err)) {
    case TReadResult::Read: break;
    case TReadResult::Missing: return;  // first start
    case TReadResult::NotRegular:
      FWarning = "The settings file " + FPath +
                 " is not a regular file; TALMO "
                 "starts with default settings and will not save settings.";
      FBlocked = true;
      return;
    case TReadResult::TooLarge: SetAside(FPath + ": the file is larger than 16 MiB"); return;
    case TReadResult::Failed:
      FWarning = "The settings file " + FPath + " cannot be read (" + SysErrorText(err) +
                 "); TALMO starts with default settings "
                 "and will not save settings until it can read the file.";
      FBlocked = true;
      return;
  }
  TDocument doc;
  if (auto error = regfile::Parse(text, doc)) {
    SetAside(FPath + ", line " + std::to_string(error->Line) + ": " + error->What);
    return;
  }
  *FDoc = std::move(doc);
}

void TRegistryStore::SetAside(const std::string& why) {
  FDoc = std::make_unique<TDocument>();
  // Beside the file itself: a link to it stays and leads to the new file.
  const std::string file = TargetPath(FPath);
  const std::string base = file + ".unreadable-" + LocalStamp(FClock());
  std::string target;
  const int err = SetFileAside(file, base, target);
  if (err == 0) {
    FStamp = StampNow();
    FBlocked = false;
    FWarning = "The settings file could not be read (" + why +
               "). It was set "
               "aside as " +
               target + ", so TALMO goes back to its default settings.";
  } else {
    FBlocked = true;
    FWarning = "The settings file could not be read (" + why +
               ") and could not "
               "be set aside (" +
               SysErrorText(err) +
               "). TALMO starts with "
               "default settings and will not save settings until the file is "
               "repaired or removed.";
  }
}

bool TRegistryStore::ReloadIfChanged() {
  if (StampNow() == FStamp) return false;
  Load();
  return true;
}

std::optional<std::string> TRegistryStore::TakeWarning() {
  std::lock_guard<std::mutex> guard(FLock);
  std::optional<std::string> w;
  w.swap(FWarning);
  return w;
}

bool TRegistryStore::KeyExists(const std::string& key) {
  std::lock_guard<std::mutex> guard(FLock);
  ReloadIfChanged();
  return key.empty() || regfile::KeyOrChildExists(*FDoc, FullPath(key));
}

void TRegistryStore::CreateKey(const std::string& key) {
  std::lock_guard<std::mutex> guard(FLock);
  ReloadIfChanged();
  if (!key.empty()) regfile::AddKey(*FDoc, FullPath(key));
}

bool TRegistryStore::ValueExists(const std::string& key, const std::string& name) {
  std::lock_guard<std::mutex> guard(FLock);
  ReloadIfChanged();
  return regfile::FindValue(*FDoc, FullPath(key), name) != nullptr;
}

bool TRegistryStore::GetValue(const std::string& key, const std::string& name, std::uint32_t& type,
                              std::string& data) {
  std::lock_guard<std::mutex> guard(FLock);
  ReloadIfChanged();
  const TItem* item = regfile::FindValue(*FDoc, FullPath(key), name);
  if (!item) return false;
  type = item->Type;
  data = item->Data;
  return true;
}

std::vector<std::string> TRegistryStore::ValueNames(const std::string& key) {
  std::vector<std::string> names;
  for (TRegValue& v : Values(key)) names.push_back(std::move(v.Name));
  return names;
}

std::vector<TRegValue> TRegistryStore::Values(const std::string& key) {
  std::lock_guard<std::mutex> guard(FLock);
  ReloadIfChanged();
  return regfile::Values(*FDoc, FullPath(key));
}

bool TRegistryStore::SetValue(const std::string& key, const std::string& name, std::uint32_t type,
                              const std::string& data, bool keepUnsaved) {
  const std::string message = "Failed to set data for '" + name + "'";
  std::lock_guard<std::mutex> guard(FLock);
  const TFolderLock folder(FolderOf(TargetPath(FPath)));
  ReloadIfChanged();
  const std::string full = FullPath(key);
  if (const TItem* existing = regfile::FindValue(*FDoc, full, name);
      existing && existing->Type == type && existing->Data == data && !FUnsaved)
    return false;  // the file already says so
  TDocument next = *FDoc;
  regfile::SetValue(next, full, name, type, data);
  std::string error;
  if (FBlocked)
    error = "the file is unreadable and is kept as it is";
  else if (Save(next, error))
    FUnsaved = false;
  if (!error.empty()) {
    if (keepUnsaved) {
      *FDoc = std::move(next);
      FUnsaved = true;
    }
    throw ERegistryError(message, error);
  }
  *FDoc = std::move(next);
  return true;
}

bool TRegistryStore::Save(const TDocument& doc, std::string& error) {
  if (!ReplaceFile(FPath, regfile::Write(doc), error)) return false;
  FStamp = StampNow();
  return true;
}

}  // namespace talmo
