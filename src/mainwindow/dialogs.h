#pragma once
// The modal boxes and dialogs the main window asks of the desktop. Tests
// replace them; the program uses the Qt ones.

#include <optional>
#include <string>

class QWidget;

namespace talmo {

class TMainDialogs {
 public:
  virtual ~TMainDialogs() = default;
  // A plain box with the application title and OK.
  virtual void Message(const std::string& text) = 0;
  // "Confirm" box with a question, Yes and No; true for Yes.
  virtual bool Confirm(const std::string& text) = 0;
  // The default display of a failure.
  virtual void Error(const std::string& text) = 0;
  virtual std::optional<std::string> ChooseCaptureFile() = 0;
  virtual std::optional<std::string> ChooseSaveFile() = 0;
  virtual void OpenUrl(const std::string& url) = 0;
  // Shows the transmit-file window modally and returns when it closes.
  virtual void ShowStrings() = 0;
};

// The question to ask before a file is replaced: only a regular file that
// holds data, named with its size; nothing for a new or empty file.
std::optional<std::string> ReplaceQuestion(const std::string& path);

class TQtDialogs : public TMainDialogs {
 public:
  explicit TQtDialogs(QWidget* owner) : FOwner(owner) {}
  void Message(const std::string& text) override;
  bool Confirm(const std::string& text) override;
  void Error(const std::string& text) override;
  std::optional<std::string> ChooseCaptureFile() override;
  std::optional<std::string> ChooseSaveFile() override;
  void OpenUrl(const std::string& url) override;
  void ShowStrings() override;
  void SetOwner(QWidget* owner) { FOwner = owner; }
  // The window ShowStrings shows.
  QWidget* Strings = nullptr;

 private:
  QWidget* FOwner;
};

}  // namespace talmo
