#include "mainwindow/qt_sync.h"

#include "mainwindow/main_window.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>

#include <stdexcept>

#include "platform/file_name.h"

namespace talmo {

void ShowErrorBox(const std::string& message) {
  QMessageBox::critical(QApplication::activeWindow(), QString::fromLatin1(kAppTitle),
                        FileNameText(message));
}

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
