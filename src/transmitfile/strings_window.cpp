#include "transmitfile/strings_window.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFont>
#include <QGuiApplication>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QShowEvent>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <QToolTip>

#include <algorithm>
#include <filesystem>

#include "base/error_text.h"
#include "base/file_name.h"
#include "transmitfile/script_file.h"
#include "widgets/message_box.h"

namespace talmo {
namespace {

QString Latin1(const std::string& s) {
  return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

std::string Bytes(const QString& s) {
  const QByteArray b = s.toLatin1();
  return std::string(b.constData(), static_cast<std::size_t>(b.size()));
}

// The memo's lines as 8-bit text. Read block by block: the document's plain
// text turns the byte 0xA0 (no-break space) into a space.
std::vector<std::string> MemoLines(const QPlainTextEdit* memo) {
  std::vector<std::string> lines;
  for (QTextBlock b = memo->document()->begin(); b.isValid(); b = b.next())
    lines.push_back(Bytes(b.text()));
  return lines;
}

// Texts that name files (titles, boxes) in the encoding of file names.
QString Local(const std::string& s) { return FileNameText(s); }

std::optional<std::string> AskFile(QWidget* owner, const std::string& fileName,
                                   const std::string& filter, QFileDialog::AcceptMode mode) {
  QFileDialog d(owner);
  d.setAcceptMode(mode);
  d.setFileMode(mode == QFileDialog::AcceptOpen ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
  // Script names end in .txt in any case; the window asks before replacing.
  d.setNameFilter(Local(filter));
  d.setOption(QFileDialog::DontConfirmOverwrite, true);
  const QFileInfo start(Local(fileName));
  if (start.isAbsolute()) d.setDirectory(start.absolutePath());
  d.selectFile(start.fileName());
  if (d.exec() != QDialog::Accepted || d.selectedFiles().isEmpty()) return std::nullopt;
  const QString chosen = d.selectedFiles().first();
  // A choice moves the current folder, where "HELP.TXT" is looked up.
  QDir::setCurrent(QFileInfo(chosen).absolutePath());
  return FileNameBytes(chosen);
}

QFont Courier(int pixels) {
  QFont f("Courier New");
  f.setStyleHint(QFont::TypeWriter);
  f.setPixelSize(pixels);
  return f;
}

QPlainTextEdit* Memo(QWidget* parent, const char* name) {
  auto* m = new QPlainTextEdit(parent);
  m->setObjectName(name);
  m->setLineWrapMode(QPlainTextEdit::NoWrap);
  m->setFont(Courier(11));
  m->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  return m;
}

// The boxes carry the program's title, the caption of the window this one
// belongs to (the display name stays empty so that titles are not extended).
QString BoxTitle(QWidget* owner) {
  QWidget* top = owner ? owner->window() : nullptr;
  while (top && top->parentWidget()) top = top->parentWidget()->window();
  if (!QApplication::applicationDisplayName().isEmpty() || !top)
    return QApplication::applicationDisplayName();
  return top->windowTitle();
}

}  // namespace

QPoint CentredOver(const QRect& owner, const QSize& size, const QRect& screen) {
  QPoint at(owner.x() + (owner.width() - size.width()) / 2,
            owner.y() + (owner.height() - size.height()) / 2);
  if (screen.isEmpty()) return at;
  // Kept on the owner's screen, the top-left corner first, so that the
  // title bar can always be reached.
  at.setX(std::max(screen.left(), std::min(at.x(), screen.right() + 1 - size.width())));
  at.setY(std::max(screen.top(), std::min(at.y(), screen.bottom() + 1 - size.height())));
  return at;
}

std::optional<std::string> TQtStringsDialogs::ChooseOpenFile(const std::string& fileName,
                                                             const std::string& filter) {
  return AskFile(FOwner, fileName, filter, QFileDialog::AcceptOpen);
}

std::optional<std::string> TQtStringsDialogs::ChooseSaveFile(const std::string& fileName,
                                                             const std::string& filter) {
  return AskFile(FOwner, fileName, filter, QFileDialog::AcceptSave);
}

bool TQtStringsDialogs::Confirm(const std::string& question) {
  return ShowBox(FOwner, QMessageBox::Question, BoxTitle(FOwner), Local(question),
                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

void TQtStringsDialogs::Error(const std::string& text) {
  ShowBox(FOwner, QMessageBox::Critical, BoxTitle(FOwner), Local(text));
}

TfoStrings::TfoStrings(TStringsEnvironment env, QWidget* parent)
    : QDialog(parent),
      FEnv(std::move(env)),
      FDialogs(FEnv.Dialogs ? FEnv.Dialogs : std::make_shared<TQtStringsDialogs>(this)),
      FPlayer(TPlayerHost{[this]() -> const std::vector<std::string>& { return FDataLines; },
                          FEnv.LocalClock ? FEnv.LocalClock : TSystemTimeClock(LocalNow),
                          [this](const std::string& bytes) {
                            if (FEnv.Write) FEnv.Write(bytes);
                          },
                          [this](const std::string& line) { AppendStatus(line); },
                          [this](int ms) { tiBg->setInterval(ms); },
                          [this] { buStopClick(); },
                          [this](const std::string& message) { FDialogs->Error(message); },
                          {},
                          {},
                          [this] { return FDataVersion; }}) {
  setObjectName("TfoStrings");
  setWindowTitle("foStrings");
  CreateControls();
  FormCreate();
}

TfoStrings::~TfoStrings() { tiBg->stop(); }

void TfoStrings::CreateControls() {
  QFont tahoma("Tahoma");
  tahoma.setPixelSize(10);
  setFont(tahoma);
  resize(528, 468);

  auto button = [this](const char* name, const char* text, int left) {
    auto* b = new QPushButton(text, this);
    b->setObjectName(name);
    b->setGeometry(left, 12, 56, 19);
    b->setAutoDefault(false);
    return b;
  };
  buOpen = button("buOpen", "Open", 30);
  buStart = button("buStart", "Start", 108);
  buStop = button("buStop", "Stop", 186);
  buSave = button("buSave", "Save", 402);
  buSaveAs = button("buSaveAs", "Save as..", 463);

  meIo = Memo(this, "meIo");
  QPalette p = meIo->palette();
  p.setColor(QPalette::Base, QToolTip::palette().color(QPalette::ToolTipBase));
  meIo->setPalette(p);
  meIo->setPlainText("meIo\n");
  meStatus = Memo(this, "meStatus");
  meStatus->setReadOnly(true);
  meStatus->setMaximumBlockCount(kStatusLineLimit);
  meStatus->setPlainText("meStatus");
  meData = Memo(this, "meData");
  meData->setGeometry(318, 72, 187, 67);
  meData->setPlainText("meData\nSave lines with real data here ");
  meData->setVisible(false);
  FDataLines = {"meData", "Save lines with real data here "};
  PlaceMemos();

  tiBg = new QTimer(this);
  tiBg->setObjectName("tiBg");
  // Pauses are the script's timing: no coarse slack on them.
  tiBg->setTimerType(Qt::PreciseTimer);

  QWidget* order[] = {buOpen, meIo, meStatus, buStart, buStop, buSave, meData, buSaveAs};
  for (std::size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);

  connect(buOpen, &QPushButton::clicked, this, [this] { Safe([this] { buOpenClick(); }); });
  connect(buStart, &QPushButton::clicked, this, [this] { Safe([this] { buStartClick(); }); });
  connect(buStop, &QPushButton::clicked, this, [this] { Safe([this] { buStopClick(); }); });
  connect(buSave, &QPushButton::clicked, this, [this] { Safe([this] { buSaveClick(); }); });
  connect(buSaveAs, &QPushButton::clicked, this, [this] { Safe([this] { buSaveAsClick(); }); });
  connect(tiBg, &QTimer::timeout, this, [this] { Safe([this] { tiBgTimer(); }); });
}

void TfoStrings::PlaceMemos() {
  // Both memos are docked to the bottom edge, meIo above meStatus.
  const int w = width();
  meStatus->setGeometry(0, height() - 58, w, 58);
  meIo->setGeometry(0, height() - 58 - 362, w, 362);
}

void TfoStrings::resizeEvent(QResizeEvent* e) {
  QDialog::resizeEvent(e);
  PlaceMemos();
}

void TfoStrings::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  if (e->spontaneous()) return;
  PlaceOverParent();
  Safe([this] { FormActivate(); });
}

void TfoStrings::PlaceOverParent() {
  QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr;
  if (!owner) return;
  const QScreen* s = owner->screen() ? owner->screen() : QGuiApplication::primaryScreen();
  const QRect area = s ? s->availableGeometry() : QRect();
  move(CentredOver(owner->frameGeometry(), frameGeometry().size(), area));
}

void TfoStrings::done(int result) {
  Safe([this] { FormClose(); });
  QDialog::done(result);
}

void TfoStrings::Safe(const std::function<void()>& handler) {
  try {
    handler();
  } catch (...) {
    FDialogs->Error(ExceptionMessage(std::current_exception()));
  }
}

std::vector<std::string> TfoStrings::StatusLines() const { return MemoLines(meStatus); }

std::vector<std::string> TfoStrings::ScriptLines() const { return MemoLines(meIo); }

void TfoStrings::SetScriptText(const std::vector<std::string>& lines) {
  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i) text += '\n';
    text += lines[i];
  }
  meIo->setPlainText(Latin1(text));
}

TfoStrings::TEditorView TfoStrings::EditorView() const {
  const QTextCursor c = meIo->textCursor();
  return {c.anchor(), c.position(), meIo->verticalScrollBar()->value(),
          meIo->horizontalScrollBar()->value()};
}

void TfoStrings::SetEditorView(const TEditorView& view) {
  // The text read back may be shorter (characters outside 8 bits are saved
  // as '?', but a reload never grows the text): clamp to what is there.
  const int last = std::max(0, meIo->document()->characterCount() - 1);
  QTextCursor c(meIo->document());
  c.setPosition(std::clamp(view.Anchor, 0, last));
  c.setPosition(std::clamp(view.Position, 0, last), QTextCursor::KeepAnchor);
  meIo->setTextCursor(c);
  meIo->verticalScrollBar()->setValue(view.Top);
  meIo->horizontalScrollBar()->setValue(view.Left);
}

void TfoStrings::AppendStatus(const std::string& line) {
  // The memo shows the bytes as text: a zero byte ends what it shows of the
  // line, CR and LF break it over further lines.
  std::string shown = line.substr(0, line.find('\0'));
  std::string text;
  for (std::size_t i = 0; i < shown.size(); ++i) {
    if (shown[i] == '\r') {
      text += '\n';
      if (i + 1 < shown.size() && shown[i + 1] == '\n') ++i;
    } else {
      text += shown[i];
    }
  }
  meStatus->appendPlainText(Latin1(text));
}

void TfoStrings::FormCreate() {
  setWindowTitle(QString::fromStdString(FEnv.Caption));
  meIo->clear();
  meStatus->clear();
}

void TfoStrings::FormActivate() {
  buOpen->setEnabled(true);
  buStart->setEnabled(false);
  buStop->setEnabled(true);
  std::error_code ec;
  if (std::filesystem::exists(kHelpFile, ec)) {
    SetScriptText(SplitScriptText(ReadScriptFile(kHelpFile)));
  } else {
    // Started from a menu the current folder is the home folder: the
    // installed help stands in. Only shown; the names below stay the bare one.
    for (const std::string& help : FEnv.HelpFallbacks) {
      if (!std::filesystem::is_regular_file(help, ec)) continue;
      SetScriptText(SplitScriptText(ReadScriptFile(help)));
      break;
    }
  }
  OpenFileName = kHelpFile;
  SaveFileName = kHelpFile;
}

void TfoStrings::buOpenClick() {
  const auto chosen = FDialogs->ChooseOpenFile(OpenFileName, kFilter);
  if (!chosen) return;
  OpenFileName = *chosen;
  buOpenXClick();
}

void TfoStrings::buOpenXClick() {
  meStatus->clear();
  const std::vector<std::string> lines = SplitScriptText(ReadScriptFile(OpenFileName));
  SetScriptText(lines);
  FPlayer.NewWordList();
  FDataLines = DataLinesOf(lines);
  ++FDataVersion;
  meData->setPlainText(Latin1(JoinScriptLines(FDataLines)));
  if (FDataLines.empty()) return;
  buOpen->setEnabled(false);
  buStart->setEnabled(true);
  setWindowTitle(Local(OpenFileName));
  SaveFileName = OpenFileName;
}

void TfoStrings::buSaveClick() {
  SaveFileName = SaveNameOf(SaveFileName);
  if (SaveFileName != kHelpFile) {
    WriteScriptFile(SaveFileName, JoinScriptLines(MemoLines(meIo)));
    setWindowTitle(Local(SaveFileName));
    OpenFileName = SaveFileName;
    // The reload puts the saved text back into the editor; editing goes on
    // at the same place, not at the top.
    const TEditorView view = EditorView();
    buOpenXClick();
    SetEditorView(view);
  }
  buOpen->setEnabled(true);
}

void TfoStrings::buSaveAsClick() {
  const auto chosen = FDialogs->ChooseSaveFile(SaveFileName, kFilter);
  if (!chosen) return;
  SaveFileName = *chosen;
  // Asked about the file that Save will really write, so that a file is
  // never replaced without the question.
  const std::string written = SaveNameOf(*chosen);
  std::error_code ec;
  if (std::filesystem::exists(written, ec) && !FDialogs->Confirm("Overwrite " + written + "?"))
    return;
  buSaveClick();
}

void TfoStrings::buStartClick() {
  FPlayer.Start();
  tiBg->setInterval(1);
  tiBg->start();
  buOpen->setEnabled(false);
  buStart->setEnabled(false);
}

void TfoStrings::buStopClick() {
  buOpen->setEnabled(true);
  if (tiBg->isActive()) {
    buStart->setEnabled(true);
    tiBg->stop();
  } else {
    buStart->setEnabled(false);
    tiBg->stop();
    FPlayer.ReleaseWordList();
  }
}

void TfoStrings::FormClose() { buStopClick(); }

void TfoStrings::tiBgTimer() { FPlayer.Step(); }

}  // namespace talmo
