#pragma once
// The settings file as the tests write it: its first line, the keys they
// fill, and the place where the programs look for it.

#include <string>

#include "support/temp_dir.h"

namespace talmo::test {

// The first line and the empty line after it.
inline const std::string kSettingsHeader = "Windows Registry Editor Version 5.00\n\n";
inline const std::string kPortListKey = "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n";
inline const std::string kTalmoKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkerstam\\TALMO]\n";

// A settings file whose port list names `device` `port` (e.g. "COM5").
inline std::string PortListed(const std::string& device, const std::string& port) {
  return kSettingsHeader + kPortListKey + "\"" + device + "\"=\"" + port + "\"\n\n";
}

// Writes `text` where the programs find it with XDG_CONFIG_HOME set to
// `configDir`; gives the file's path.
inline std::string WriteSettings(const std::string& configDir, const std::string& text) {
  const std::string path = configDir + "/Velkerstam/TALMO.reg";
  WriteFile(path, text);
  return path;
}

}  // namespace talmo::test
