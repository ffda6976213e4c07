#pragma once
// What the window takes from this machine: the port list (the user's
// entries, the detected devices, the loopback port) and a driver that opens
// its names.

#include "mainwindow/main_window.h"

namespace talmo {

TMainEnvironment MakeDesktopEnvironment();

}  // namespace talmo
