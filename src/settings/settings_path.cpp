// Where the user's settings file lives: the only use of Qt in the store.

#include <QFile>
#include <QStandardPaths>

#include "settings/registry.h"

namespace talmo {

std::string SettingsFilePath() {
  const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
  if (base.isEmpty()) return {};
  return QFile::encodeName(base + QStringLiteral("/Velkerstam/TALMO.reg")).toStdString();
}

}  // namespace talmo
