#pragma once
// The main window's boxes for tests that run it offscreen: every question is
// answered yes, no file is chosen, and what would have been shown is kept.

#include <optional>
#include <string>
#include <vector>

#include "mainwindow/dialogs.h"

namespace talmo::test {

struct TQuietDialogs : TMainDialogs {
  std::vector<std::string> messages, errors;
  void Message(const std::string& t) override { messages.push_back(t); }
  bool Confirm(const std::string&) override { return true; }
  void Error(const std::string& t) override { errors.push_back(t); }
  std::optional<std::string> ChooseCaptureFile() override { return std::nullopt; }
  std::optional<std::string> ChooseSaveFile() override { return std::nullopt; }
  void OpenUrl(const std::string&) override {}
  void ShowStrings() override {}
};

}  // namespace talmo::test
