// Where the user's settings file lives: the only use of Qt in the store.

#include <QStandardPaths>

#include "base/file_name.h"
#include "settings/registry.h"

namespace talmo {

std::string SettingsFilePath() {
  const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
  if (base.isEmpty()) return {};
  return FileNameBytes(base + QStringLiteral("/Velkerstam/TALMO.reg"));
}

}  // namespace talmo
