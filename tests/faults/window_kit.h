#pragma once
// What the fault tests need to run the main window offscreen: boxes that
// answer quietly and note what they were asked, and the real event loop.

#include <QEventLoop>
#include <QTimer>

#include <optional>
#include <string>
#include <vector>

#include "dialogs.h"

namespace talmo::faults {

struct QuietDialogs : TMainDialogs {
  std::vector<std::string> messages, errors;
  void Message(const std::string& t) override { messages.push_back(t); }
  bool Confirm(const std::string&) override { return true; }
  void Error(const std::string& t) override { errors.push_back(t); }
  std::optional<std::string> ChooseCaptureFile() override { return std::nullopt; }
  std::optional<std::string> ChooseSaveFile() override { return std::nullopt; }
  void OpenUrl(const std::string&) override {}
  void ShowStrings() override {}
};

// Runs the real event loop, as the program does between user actions.
inline void RunLoop(double seconds) {
  QEventLoop loop;
  QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
  loop.exec();
}

}  // namespace talmo::faults
