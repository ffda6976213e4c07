#pragma once
// Between Qt strings and the names the file system takes. A file name is
// bytes in the locale's encoding (what QFile::encodeName and decodeName
// do): every place that turns a QString into a path, or shows a path (or a
// message that names one) in the GUI, goes through these two, so that a
// name with non-ASCII letters reaches the disk and the screen unchanged.
// Display text of received bytes is not a file name: it keeps its own
// 8-bit conversion.

#include <QString>

#include <string>

namespace talmo {

std::string FileNameBytes(const QString& name);
QString FileNameText(const std::string& path);

}  // namespace talmo
