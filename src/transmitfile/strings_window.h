#pragma once
// TfoStrings: the transmit-file window. It loads, shows, edits and saves a
// script, and plays it on the main window's port with Start and Stop; the
// player (script_player.h) does the playing, this window is its glue.
//
// Everything runs on the GUI thread; the timer's ticks are served between
// other messages, also while a file dialog or a question is open.

#include <QDialog>
#include <QPoint>
#include <QRect>
#include <QSize>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/clock.h"
#include "transmitfile/script_player.h"

class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace talmo {

// The file dialogs and boxes of the window. Tests replace them; the program
// uses the Qt ones.
class TStringsDialogs {
 public:
  virtual ~TStringsDialogs() = default;
  // The open and save dialogs, starting at `fileName`; nullopt when the user
  // cancels.
  virtual std::optional<std::string> ChooseOpenFile(const std::string& fileName,
                                                    const std::string& filter) = 0;
  virtual std::optional<std::string> ChooseSaveFile(const std::string& fileName,
                                                    const std::string& filter) = 0;
  // A question with Yes and No; true for Yes.
  virtual bool Confirm(const std::string& question) = 0;
  // The display of a failure.
  virtual void Error(const std::string& text) = 0;
};

class TQtStringsDialogs : public TStringsDialogs {
 public:
  explicit TQtStringsDialogs(QWidget* owner) : FOwner(owner) {}
  std::optional<std::string> ChooseOpenFile(const std::string& fileName,
                                            const std::string& filter) override;
  std::optional<std::string> ChooseSaveFile(const std::string& fileName,
                                            const std::string& filter) override;
  bool Confirm(const std::string& question) override;
  void Error(const std::string& text) override;

 private:
  QWidget* FOwner;
};

// What the window takes from the program (tests pass their own).
struct TStringsEnvironment {
  // The port's write (WriteBuf of the main window's port); throws when the
  // port refuses the bytes. Does nothing when the port is closed.
  std::function<void(const std::string& bytes)> Write;
  // The caption of the main window's "Transmit File" button.
  std::string Caption = "Transmit File";
  std::shared_ptr<TStringsDialogs> Dialogs;  // null: Qt's
  TSystemTimeClock LocalClock;               // null: the local wall clock
  // Help files shown, the first that exists, when the current folder has no
  // "HELP.TXT" (the installed copy; see InstalledHelpFiles).
  std::vector<std::string> HelpFallbacks;
};

// Where a window of `size` goes to sit centred over its owner's frame
// `owner`, kept inside `screen` (an empty rectangle: no bound).
QPoint CentredOver(const QRect& owner, const QSize& size, const QRect& screen);

class TfoStrings : public QDialog {
 public:
  explicit TfoStrings(TStringsEnvironment env, QWidget* parent = nullptr);
  ~TfoStrings() override;

  static constexpr const char* kHelpFile = "HELP.TXT";
  static constexpr const char* kFilter = "Text files (*.txt)";
  // The status memo keeps this many lines; older ones scroll away.
  static constexpr int kStatusLineLimit = 10000;

  // Handlers.
  void FormCreate();
  void FormActivate();
  void FormClose();
  void buOpenClick();
  void buOpenXClick();
  void buStartClick();
  void buStopClick();
  void buSaveClick();
  void buSaveAsClick();
  void tiBgTimer();

  // The file names the two dialogs hold.
  std::string OpenFileName;
  std::string SaveFileName;

  TScriptPlayer& Player() { return FPlayer; }
  const std::vector<std::string>& DataLines() const { return FDataLines; }
  std::vector<std::string> StatusLines() const;
  std::vector<std::string> ScriptLines() const;

  // Controls, named as the window's design names them.
  QPushButton* buOpen = nullptr;
  QPushButton* buStart = nullptr;
  QPushButton* buStop = nullptr;
  QPushButton* buSave = nullptr;
  QPushButton* buSaveAs = nullptr;
  QPlainTextEdit* meIo = nullptr;
  QPlainTextEdit* meStatus = nullptr;
  QPlainTextEdit* meData = nullptr;
  QTimer* tiBg = nullptr;

  void done(int result) override;

 protected:
  void showEvent(QShowEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;

 private:
  // The editor's selection and scroll position, kept over a Save.
  struct TEditorView {
    int Anchor, Position, Top, Left;
  };

  void CreateControls();
  void PlaceMemos();
  // Opens over the main window, not at the screen's corner.
  void PlaceOverParent();
  TEditorView EditorView() const;
  void SetEditorView(const TEditorView& view);
  void Safe(const std::function<void()>& handler);
  void SetScriptText(const std::vector<std::string>& lines);
  void AppendStatus(const std::string& line);

  TStringsEnvironment FEnv;
  std::shared_ptr<TStringsDialogs> FDialogs;
  std::vector<std::string> FDataLines;
  std::uint64_t FDataVersion = 0;  // changes with FDataLines
  TScriptPlayer FPlayer;
};

}  // namespace talmo
