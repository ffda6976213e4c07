// talmo: the monitor's window.

#include <QApplication>
#include <QIcon>
#include <QPushButton>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/desktop.h"
#include "base/trace.h"
#include "build_info/talmo_build.h"
#include "mainwindow/dialogs.h"
#include "mainwindow/main_window.h"
#include "mainwindow/quit_signals.h"
#include "session/port_writer.h"
#include "session/receive_session.h"
#include "transmitfile/script_file.h"
#include "transmitfile/strings_window.h"

namespace {

// Qt reads its own options from the command line; these are the ones that
// matter to a widgets program on Linux.
const char kHelp[] =
    "usage: talmo [Qt options]\n"
    "Opens TALMO's window: a serial-line terminal and protocol monitor.\n"
    "  -h, --help                 show this help and end\n"
    "  -v, --version              show the version and end\n"
    "Qt options:\n"
    "  -platform NAME[:OPTIONS]   window system plug-in (xcb, wayland, offscreen, ...)\n"
    "  -platformpluginpath PATH   where to look for platform plug-ins\n"
    "  -platformtheme NAME        platform theme\n"
    "  -plugin NAME               load an extra input plug-in\n"
    "  -display HOST:SCREEN       X server to use (xcb)\n"
    "  -geometry WxH+X+Y          geometry of the main window (xcb)\n"
    "  -qwindowgeometry WxH+X+Y   geometry of the main window\n"
    "  -qwindowicon FILE          icon of the windows\n"
    "  -qwindowtitle TITLE        title of the main window\n"
    "  -reverse                   right-to-left layout\n"
    "  -session ID                restore a session\n"
    "  -style NAME                widget style (fusion, windows, ...)\n"
    "  -stylesheet FILE           application style sheet\n"
    "  -widgetcount               print the number of widgets left at the end\n"
    "TALMO_TRACE=1 traces what the program asks of its devices to standard\n"
    "error, TALMO_TRACE=FILE appends it to FILE.\n"
    "Settings: $XDG_CONFIG_HOME/Velkerstam/TALMO.reg (~/.config/Velkerstam/TALMO.reg).\n"
    "The Transmit File window shows HELP.TXT from the current folder, else the\n"
    "first of these that exists:\n";

void PrintHelp(std::FILE* to) {
  std::fputs(kHelp, to);
  for (const std::string& f :
       talmo::InstalledHelpFiles(talmo::ProgramDir(), talmo::TfoStrings::kHelpFile))
    std::fprintf(to, "  %s\n", f.c_str());
  std::fputs("See talmo(1) and talmocli(1).\n", to);
}

// True when Qt would need a display that is not there: the platform
// plug-in asked for (by -platform, else QT_QPA_PLATFORM; Qt's default is a
// window system's) is xcb or wayland and neither has a display named.
// Qt would abort; one line and status 1 say it instead.
bool NoDisplayFor(int argc, char** argv) {
  const auto set = [](const char* name) {
    const char* v = std::getenv(name);
    return v && *v;
  };
  if (set("DISPLAY") || set("WAYLAND_DISPLAY") || set("WAYLAND_SOCKET")) return false;
  std::string platforms = set("QT_QPA_PLATFORM") ? std::getenv("QT_QPA_PLATFORM") : "";
  for (int i = 1; i + 1 < argc; ++i) {
    if (!std::strcmp(argv[i], "-display")) return false;  // an X server named here
    if (!std::strcmp(argv[i], "-platform")) platforms = argv[i + 1];
  }
  // "NAME:OPTIONS", several tried in turn when separated by ';'.
  std::size_t at = 0;
  do {
    const std::size_t end = std::min(platforms.find(';', at), platforms.size());
    const std::string candidate = platforms.substr(at, end - at);
    const std::string name = candidate.substr(0, candidate.find(':'));
    if (!name.empty() && name != "xcb" && name.rfind("wayland", 0) != 0) return false;
    at = end + 1;
  } while (at < platforms.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // A capture that reaches the user's file-size limit fails with EFBIG and
  // stops with its error box, instead of the signal killing the window.
  std::signal(SIGXFSZ, SIG_IGN);
  // Answered before Qt starts, so that they work without a display.
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "-h") || !std::strcmp(argv[i], "--help") ||
        !std::strcmp(argv[i], "-help")) {
      PrintHelp(stdout);
      return 0;
    }
    if (!std::strcmp(argv[i], "-v") || !std::strcmp(argv[i], "--version")) {
      std::fputs("talmo " TALMO_VERSION "\n", stdout);
      return 0;
    }
  }
  // What the window asks of its devices, when TALMO_TRACE says so.
  if (const std::string problem = talmo::TraceFromEnvironment("talmo"); !problem.empty())
    std::fprintf(stderr, "talmo: %s\n", problem.c_str());
  if (NoDisplayFor(argc, argv)) {
    std::fputs(
        "talmo: no display to open the window on (DISPLAY and WAYLAND_DISPLAY are not set); "
        "start it in a desktop session, or use talmocli on a console\n",
        stderr);
    return 1;
  }
  QApplication app(argc, argv);
  // What Qt did not take is not ours either.
  if (argc > 1) {
    std::fprintf(stderr, "talmo: unknown argument '%s'\n", argv[1]);
    PrintHelp(stderr);
    return 2;
  }
  QApplication::setApplicationName("TALMO");
  QApplication::setApplicationDisplayName(talmo::kAppTitle);
  QApplication::setOrganizationName("Velkerstam");
  // The desktop entry's name lets the desktop match the window to its entry.
  QGuiApplication::setDesktopFileName("com.velkerstam.talmo");
  QIcon icon;
  for (const char* size : {"16x16", "32x32", "48x48", "256x256"})
    icon.addFile(QString(":/icons/%1/talmo.png").arg(size));
  QApplication::setWindowIcon(icon);

  talmo::TMainEnvironment env = talmo::MakeDesktopEnvironment();
  auto dialogs = std::make_shared<talmo::TQtDialogs>(nullptr);
  env.Dialogs = dialogs;
  talmo::TfoMain foMain(env);
  dialogs->SetOwner(&foMain);
  // A logout or a service stop closes the window as the user would, so that
  // its settings are saved; the window is destroyed, and saves, as main ends.
  talmo::TQuitSignals quitSignals([&foMain] { foMain.CloseWithoutAsking(); });
  // The transmit-file window exists from the start, hidden until its
  // button shows it.
  talmo::TStringsEnvironment stringsEnv;
  // What the script sends is recorded by a timed capture, and framed by a
  // Modbus view, as the window's own sends are.
  stringsEnv.Write = talmo::PortWriter(foMain.Comm1(), [&foMain](const char* data, int count) {
    foMain.Sent(data, static_cast<std::size_t>(count));
  });
  stringsEnv.Caption = foMain.buStrings->text().toStdString();
  stringsEnv.HelpFallbacks =
      talmo::InstalledHelpFiles(talmo::ProgramDir(), talmo::TfoStrings::kHelpFile);
  talmo::TfoStrings foStrings(stringsEnv, &foMain);
  dialogs->Strings = &foStrings;
  foMain.show();
  return QApplication::exec();
}
