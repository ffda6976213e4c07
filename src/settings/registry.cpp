// The key objects: the registry's value types and error texts over the
// settings store.

#include "settings/registry.h"

#include <cstring>

namespace talmo {

namespace {

// Keys that exist only on the system this program was first written for;
// here they never exist and are never created.
bool IsAbsentKey(const std::string& key) {
  const std::string policy = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
  return regfile::SameName(key, policy) || regfile::StartsWithName(key, policy + "\\");
}

std::string NormalizeKey(const std::string& key) {
  std::size_t b = 0, e = key.size();
  while (b < e && key[b] == '\\') ++b;
  while (e > b && key[e - 1] == '\\') --e;
  return key.substr(b, e - b);
}

bool DataIsSafeText(const std::string& s) {
  return s.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

}  // namespace

TRegistry::TRegistry() : TRegistry(TRegistryStore::ForFile(SettingsFilePath())) {}

TRegistry::TRegistry(std::shared_ptr<TRegistryStore> store) : FStore(std::move(store)) {}

bool TRegistry::OpenKey(const std::string& key, bool canCreate) {
  const std::string k = NormalizeKey(key);
  if (IsAbsentKey(k)) return false;
  if (!FStore->KeyExists(k)) {
    // A key path must fit in one "[...]" line.
    if (!canCreate || !DataIsSafeText(k) || k.find(']') != std::string::npos) return false;
    FStore->CreateKey(k);
  }
  FOpen = true;
  FCurrentPath = k;
  return true;
}

bool TRegistry::KeyExists(const std::string& key) {
  const std::string k = NormalizeKey(key);
  return !IsAbsentKey(k) && FStore->KeyExists(k);
}

void TRegistry::CloseKey() {
  FOpen = false;
  FCurrentPath.clear();
}

bool TRegistry::ValueExists(const std::string& name) {
  return FOpen && FStore->ValueExists(FCurrentPath, name);
}

std::optional<std::uint32_t> TRegistry::GetDataType(const std::string& name) {
  std::uint32_t type = 0;
  std::string data;
  if (!FOpen || !FStore->GetValue(FCurrentPath, name, type, data)) return std::nullopt;
  return type;
}

std::int32_t TRegistry::ReadInteger(const std::string& name) {
  std::uint32_t type = 0;
  std::string data;
  if (!FOpen || !FStore->GetValue(FCurrentPath, name, type, data))
    throw ERegistryError("Failed to get data for '" + name + "'",
                         FOpen ? "no such value" : "no key is open");
  if (type != rdInteger || data.size() != 4)
    throw ERegistryError("Invalid data type for '" + name + "'");
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i)
    v = (v << 8) | static_cast<unsigned char>(data[static_cast<std::size_t>(i)]);
  return static_cast<std::int32_t>(v);
}

void TRegistry::WriteInteger(const std::string& name, std::int32_t value) {
  const auto v = static_cast<std::uint32_t>(value);
  std::string data;
  for (int i = 0; i < 4; ++i) data += static_cast<char>((v >> (8 * i)) & 0xff);
  Write(name, rdInteger, data);
}

bool TRegistry::ReadBool(const std::string& name) { return ReadInteger(name) != 0; }

void TRegistry::WriteBool(const std::string& name, bool value) {
  WriteInteger(name, value ? 1 : 0);
}

int TRegistry::ReadBinaryData(const std::string& name, void* buffer, int size) {
  std::uint32_t type = 0;
  std::string data;
  if (!FOpen || !FStore->GetValue(FCurrentPath, name, type, data)) return 0;
  // Texts and numbers are not binary data; other kinds ("hex(N):") are.
  const bool binary = type != rdString && type != rdExpandString && type != rdInteger &&
                      type != rdIntegerBigEndian && type != rdMultiString && type != rdQword;
  if (!binary || size < 0 || data.size() > static_cast<std::size_t>(size))
    throw ERegistryError("Invalid data type for '" + name + "'");
  if (!data.empty()) std::memcpy(buffer, data.data(), data.size());
  return static_cast<int>(data.size());
}

void TRegistry::WriteBinaryData(const std::string& name, const void* buffer, int size) {
  if (size < 0) throw ERegistryError("Failed to set data for '" + name + "'", "negative size");
  Write(name, rdBinary,
        size == 0 ? std::string()
                  : std::string(static_cast<const char*>(buffer), static_cast<std::size_t>(size)));
}

std::string TRegistry::ReadString(const std::string& name) {
  std::uint32_t type = 0;
  std::string data;
  if (!FOpen || !FStore->GetValue(FCurrentPath, name, type, data)) return {};
  if (type != rdString) throw ERegistryError("Invalid data type for '" + name + "'");
  return data;
}

void TRegistry::WriteString(const std::string& name, const std::string& value) {
  if (!DataIsSafeText(value))
    throw ERegistryError("Failed to set data for '" + name + "'",
                         "a text with a line break or NUL cannot be stored");
  Write(name, rdString, value);
}

std::vector<std::string> TRegistry::GetValueNames() {
  if (!FOpen) return {};
  return FStore->ValueNames(FCurrentPath);
}

void TRegistry::Write(const std::string& name, std::uint32_t type, const std::string& data) {
  if (!FOpen) throw ERegistryError("Failed to set data for '" + name + "'", "no key is open");
  if (!DataIsSafeText(name))
    throw ERegistryError("Failed to set data for '" + name + "'",
                         "a value name with a line break or NUL cannot be stored");
  if (!FOnRefused) {
    FStore->SetValue(FCurrentPath, name, type, data);
    return;
  }
  try {
    if (FStore->SetValue(FCurrentPath, name, type, data, true)) FRefusalReported = false;
  } catch (const ERegistryError& e) {
    if (FRefusalReported) return;
    FRefusalReported = true;
    FOnRefused(std::string(e.what()) + " in " + FStore->Path() + ": " + e.Detail() +
               ". Changed settings are used while TALMO runs but are not saved.");
  }
}

}  // namespace talmo
