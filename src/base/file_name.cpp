#include "base/file_name.h"

#include <QFile>

namespace talmo {

std::string FileNameBytes(const QString& name) {
  const QByteArray b = QFile::encodeName(name);
  return std::string(b.constData(), static_cast<std::size_t>(b.size()));
}

QString FileNameText(const std::string& path) {
  return QFile::decodeName(QByteArray(path.data(), static_cast<qsizetype>(path.size())));
}

}  // namespace talmo
