#include "mainwindow/qt_sync.h"

#include "base/error_text.h"

#include <QMetaObject>

#include <stdexcept>

#include "base/file_name.h"

namespace talmo {

TQtSync::TQtSync(QObject* context, TErrorDisplay display)
    : FContext(context), FDisplay(std::move(display)) {}

void TQtSync::Post(std::shared_ptr<TSerSyncCall> call) {
  QMetaObject::invokeMethod(
      FContext, [call] { call->Run(); }, Qt::QueuedConnection);
}

void TQtSync::HandleException(std::exception_ptr e) noexcept {
  try {
    if (FDisplay) FDisplay(ExceptionMessage(e));
  } catch (...) {
    // Showing an error must never take the program down.
  }
}

}  // namespace talmo
