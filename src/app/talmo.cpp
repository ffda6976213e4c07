// talmo: the monitor's window.

#include <QApplication>
#include <QDialog>
#include <QIcon>

#include <memory>

#include "desktop.h"
#include "dialogs.h"
#include "main_window.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("TALMO");
  QApplication::setApplicationDisplayName(talmo::kAppTitle);
  QApplication::setOrganizationName("Velkerstam");

  talmo::TMainEnvironment env = talmo::MakeDesktopEnvironment();
  auto dialogs = std::make_shared<talmo::TQtDialogs>(nullptr);
  env.Dialogs = dialogs;
  talmo::TfoMain foMain(env);
  dialogs->SetOwner(&foMain);
  // The transmit-file window exists from the start, hidden until its
  // button shows it.
  QDialog foStrings(&foMain);
  foStrings.setObjectName("TfoStrings");
  foStrings.setWindowTitle("Transmit File");
  foStrings.resize(480, 360);
  dialogs->Strings = &foStrings;
  foMain.show();
  return QApplication::exec();
}
