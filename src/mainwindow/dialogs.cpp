#include "mainwindow/dialogs.h"

#include "mainwindow/main_window.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QFileDialog>
#include <QUrl>

#include "base/file_name.h"
#include "widgets/message_box.h"

namespace talmo {
namespace {

// The boxes' texts name files (a capture, a saved pane) in the encoding
// of file names.
QString Q(const std::string& s) { return FileNameText(s); }

std::optional<std::string> Chosen(const QString& path) {
  if (path.isEmpty()) return std::nullopt;
  return FileNameBytes(path);
}

// An open-file dialog that also takes a new name, with a default suffix.
std::optional<std::string> AskFile(QWidget* owner, const QString& filter, const QString& suffix) {
  QFileDialog d(owner);
  d.setAcceptMode(QFileDialog::AcceptOpen);
  d.setFileMode(QFileDialog::AnyFile);
  d.setNameFilter(filter);
  d.setDefaultSuffix(suffix);
  // The dialog does not ask before a file is replaced.
  d.setOption(QFileDialog::DontConfirmOverwrite, true);
  if (d.exec() != QDialog::Accepted || d.selectedFiles().isEmpty()) return std::nullopt;
  return Chosen(d.selectedFiles().first());
}

}  // namespace

void TQtDialogs::Message(const std::string& text) {
  ShowBox(FOwner, QMessageBox::Information, Q(kAppTitle), Q(text));
}

bool TQtDialogs::Confirm(const std::string& text) {
  return ShowBox(FOwner, QMessageBox::Question, "Confirm", Q(text),
                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

void TQtDialogs::Error(const std::string& text) {
  ShowBox(FOwner, QMessageBox::Critical, Q(kAppTitle), Q(text));
}

std::optional<std::string> TQtDialogs::ChooseCaptureFile() {
  return AskFile(FOwner, "Log files (*.LOG *.log)", "LOG");
}

std::optional<std::string> TQtDialogs::ChooseSaveFile() {
  return AskFile(FOwner, "Text files (*.txt *.TXT)", "TXT");
}

void TQtDialogs::OpenUrl(const std::string& url) { QDesktopServices::openUrl(QUrl(Q(url))); }

void TQtDialogs::ShowStrings() {
  if (auto* d = qobject_cast<QDialog*>(Strings)) d->exec();
}

}  // namespace talmo
