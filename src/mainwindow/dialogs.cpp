#include "mainwindow/dialogs.h"

#include "mainwindow/main_window.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QFileDialog>
#include <QUrl>
#include <vector>

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

struct TFileKind {
  QString Filter;
  QString Suffix;
  // A name chosen under this filter must end so (it says the file's
  // format); "" when any name will do.
  QString Ending;
};

// An open-file dialog that also takes a new name. A name without a suffix
// gets the chosen kind's; a kind that says the format by its name gets its
// ending whatever was typed.
std::optional<std::string> AskFile(QWidget* owner, const std::vector<TFileKind>& kinds) {
  QFileDialog d(owner);
  d.setAcceptMode(QFileDialog::AcceptOpen);
  d.setFileMode(QFileDialog::AnyFile);
  QStringList filters;
  for (const TFileKind& k : kinds) filters << k.Filter;
  d.setNameFilters(filters);
  // The dialog does not ask before a file is replaced.
  d.setOption(QFileDialog::DontConfirmOverwrite, true);
  if (d.exec() != QDialog::Accepted || d.selectedFiles().isEmpty()) return std::nullopt;
  QString path = d.selectedFiles().first();
  const TFileKind* kind = &kinds.front();
  for (const TFileKind& k : kinds)
    if (k.Filter == d.selectedNameFilter()) kind = &k;
  const QString name = path.mid(path.lastIndexOf('/') + 1);
  if (!kind->Ending.isEmpty() && !path.endsWith(kind->Ending, Qt::CaseInsensitive))
    path += kind->Ending;
  else if (!name.isEmpty() && !name.contains('.'))
    path += "." + kind->Suffix;
  return Chosen(path);
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
  return AskFile(FOwner, {{"Log files (*.LOG *.log)", "LOG", ""},
                          {"Timed capture (*.pcapng)", "pcapng", ".pcapng"}});
}

std::optional<std::string> TQtDialogs::ChooseSaveFile() {
  return AskFile(FOwner, {{"Text files (*.txt *.TXT)", "TXT", ""}});
}

void TQtDialogs::OpenUrl(const std::string& url) { QDesktopServices::openUrl(QUrl(Q(url))); }

void TQtDialogs::ShowStrings() {
  if (auto* d = qobject_cast<QDialog*>(Strings)) d->exec();
}

}  // namespace talmo
