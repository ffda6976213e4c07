#include "mainwindow/dialogs.h"

#include "mainwindow/main_window.h"

#include <sys/stat.h>
#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QFileDialog>
#include <QUrl>

#include <functional>
#include <vector>

#include "capture/capture_file.h"
#include "capture/pcapng.h"

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

struct TFileAsk {
  QString Title;
  QString Button;
  std::vector<TFileKind> Kinds;
  // The file a chosen path will be written to (the capture's name rule).
  std::function<std::string(const std::string&)> Target;
};

// A save dialog: its title and button say what will happen. A name without
// a suffix gets the chosen kind's; a kind that says the format by its name
// gets its ending whatever was typed. The file finally written to is
// checked only then, so the dialog's own question (about the name as typed)
// is left out for ours.
std::optional<std::string> AskFile(QWidget* owner, const TFileAsk& ask) {
  QFileDialog d(owner, ask.Title);
  d.setAcceptMode(QFileDialog::AcceptSave);
  d.setFileMode(QFileDialog::AnyFile);
  d.setLabelText(QFileDialog::Accept, ask.Button);
  QStringList filters;
  for (const TFileKind& k : ask.Kinds) filters << k.Filter;
  d.setNameFilters(filters);
  d.setOption(QFileDialog::DontConfirmOverwrite, true);
  if (d.exec() != QDialog::Accepted || d.selectedFiles().isEmpty()) return std::nullopt;
  QString path = d.selectedFiles().first();
  const TFileKind* kind = &ask.Kinds.front();
  for (const TFileKind& k : ask.Kinds)
    if (k.Filter == d.selectedNameFilter()) kind = &k;
  const QString name = path.mid(path.lastIndexOf('/') + 1);
  if (!kind->Ending.isEmpty() && !path.endsWith(kind->Ending, Qt::CaseInsensitive))
    path += kind->Ending;
  else if (!name.isEmpty() && !name.contains('.'))
    path += "." + kind->Suffix;
  const std::optional<std::string> chosen = Chosen(path);
  if (!chosen) return std::nullopt;
  const std::string target = ask.Target ? ask.Target(*chosen) : *chosen;
  const std::optional<std::string> question = ReplaceQuestion(target);
  if (!question || ShowBox(owner, QMessageBox::Question, "Confirm", Q(*question),
                           QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes)
    return chosen;
  // No: nothing is chosen, and nothing changes.
  return std::nullopt;
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

std::optional<std::string> ReplaceQuestion(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0)
    return std::nullopt;
  const std::string size = std::to_string(st.st_size);
  return "\"" + path + "\" already holds " + size + (st.st_size == 1 ? " byte" : " bytes") +
         ".\nReplace it? Its content will be lost.";
}

std::optional<std::string> TQtDialogs::ChooseCaptureFile() {
  return AskFile(
      FOwner,
      {"Capture to File",
       "&Capture",
       {{"Log files (*.LOG *.log)", "LOG", ""}, {"Timed capture (*.pcapng)", "pcapng", ".pcapng"}},
       [](const std::string& chosen) {
         return pcapng::IsTimedName(chosen) ? chosen : CaptureFileNameFor(chosen);
       }});
}

std::optional<std::string> TQtDialogs::ChooseSaveFile() {
  return AskFile(
      FOwner, {"Save Blue Window to File", "&Save", {{"Text files (*.txt *.TXT)", "TXT", ""}}, {}});
}

void TQtDialogs::OpenUrl(const std::string& url) { QDesktopServices::openUrl(QUrl(Q(url))); }

void TQtDialogs::ShowStrings() {
  if (auto* d = qobject_cast<QDialog*>(Strings)) d->exec();
}

}  // namespace talmo
