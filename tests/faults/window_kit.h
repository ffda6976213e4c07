#pragma once
// What the fault tests need to run the main window offscreen: boxes that
// answer quietly and note what they were asked, and the real event loop.

#include <QEventLoop>
#include <QTimer>

// The shared quiet boxes, reached by path as fault_kit.h reaches the kit.
#include "support/quiet_dialogs.h"

namespace talmo::faults {

using QuietDialogs = test::TQuietDialogs;

// Runs the real event loop, as the program does between user actions.
inline void RunLoop(double seconds) {
  QEventLoop loop;
  QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
  loop.exec();
}

}  // namespace talmo::faults
