#include "qt_sync.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>

#include <stdexcept>

namespace talmo {

void ShowErrorBox(const std::string& message) {
  QMessageBox::critical(QApplication::activeWindow(), QApplication::applicationDisplayName(),
                        QString::fromLocal8Bit(message.c_str()));
}

std::string ExceptionMessage(std::exception_ptr e) {
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& ex) {
    return ex.what();
  } catch (...) {
    return "Unknown error";
  }
}

TQtSync::TQtSync(QObject* context, TErrorDisplay display) : FContext(context), FDisplay(std::move(display)) {}

void TQtSync::Post(std::shared_ptr<TSerSyncCall> call) {
  QMetaObject::invokeMethod(FContext, [call] { call->Run(); }, Qt::QueuedConnection);
}

void TQtSync::HandleException(std::exception_ptr e) noexcept {
  try {
    if (FDisplay) FDisplay(ExceptionMessage(e));
  } catch (...) {
    // Showing an error must never take the program down.
  }
}

}  // namespace talmo
