// talmo: the monitor's window.

#include <QApplication>
#include <QIcon>
#include <QPushButton>

#include <memory>

#include "desktop.h"
#include "dialogs.h"
#include "main_window.h"
#include "strings_window.h"

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
  talmo::TStringsEnvironment stringsEnv;
  stringsEnv.Write = talmo::PortWriter(foMain.Comm1());
  stringsEnv.Caption = foMain.buStrings->text().toStdString();
  talmo::TfoStrings foStrings(stringsEnv, &foMain);
  dialogs->Strings = &foStrings;
  foMain.show();
  return QApplication::exec();
}
