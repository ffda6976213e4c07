// The transmit-file window offscreen: its controls, the buttons' states,
// loading and saving in a temporary folder, playing through the timer, and a
// script played through a port component on a pseudo-terminal.

#include "transmitfile/strings_window.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <QApplication>
#include <QFontMetrics>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "device/device_driver.h"
#include "serial/ser_comm.h"
#include "serial/ser_sync.h"
#include "session/port_writer.h"

#include "support/modal_boxes.h"
#include "support/pty_pair.h"
#include "support/temp_dir.h"
#include "widgets/message_box.h"

namespace talmo {
namespace {

struct FakeDialogs : TStringsDialogs {
  std::optional<std::string> openChoice, saveChoice;
  std::string openStart, saveStart, filter;
  bool answer = false;
  std::vector<std::string> questions, errors;
  std::optional<std::string> ChooseOpenFile(const std::string& name,
                                            const std::string& f) override {
    openStart = name;
    filter = f;
    return openChoice;
  }
  std::optional<std::string> ChooseSaveFile(const std::string& name,
                                            const std::string& f) override {
    saveStart = name;
    filter = f;
    return saveChoice;
  }
  bool Confirm(const std::string& q) override {
    questions.push_back(q);
    return answer;
  }
  void Error(const std::string& t) override { errors.push_back(t); }
};

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

class StringsWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    FOldDir = cwd;
    ASSERT_EQ(chdir(FDir.c_str()), 0);  // where HELP.TXT is looked up
  }
  void TearDown() override {
    FWindow.reset();
    EXPECT_EQ(chdir(FOldDir.c_str()), 0);
  }

  TfoStrings& Make() {
    TStringsEnvironment env;
    env.Dialogs = FDialogs;
    env.Write = [this](const std::string& b) { FSent.push_back(b); };
    env.LocalClock = [this] { return FNow; };
    FWindow = std::make_unique<TfoStrings>(env);
    return *FWindow;
  }
  // Activation, as the main window's button shows the window.
  TfoStrings& Shown() {
    Make();
    FWindow->show();
    return *FWindow;
  }
  std::string File(const std::string& name, const std::string& text) {
    const std::string path = FDir + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  void Load(const std::string& path) {
    FDialogs->openChoice = path;
    FWindow->buOpen->click();
  }
  // Open, Start, Stop enabled.
  std::string States() const {
    auto on = [](QPushButton* b) { return b->isEnabled() ? '1' : '0'; };
    return {on(FWindow->buOpen), on(FWindow->buStart), on(FWindow->buStop)};
  }
  std::string Caption() const { return FWindow->windowTitle().toStdString(); }

  test::TTempDir FTemp{"talmo-strings"};
  std::string FDir = FTemp.Path(), FOldDir;
  std::shared_ptr<FakeDialogs> FDialogs = std::make_shared<FakeDialogs>();
  std::vector<std::string> FSent;
  TSystemTime FNow{2018, 12, 1, 17, 9, 5, 7, 345};
  std::unique_ptr<TfoStrings> FWindow;
};

TEST_F(StringsWindow, ControlsAsDesigned) {
  TfoStrings& w = Make();
  EXPECT_EQ(Caption(), "Transmit File");
  EXPECT_EQ(w.width(), 528);
  EXPECT_EQ(w.height(), 468);
  struct B {
    QPushButton* b;
    const char* text;
    int left;
  } buttons[] = {{w.buOpen, "Open", 30},
                 {w.buStart, "Start", 108},
                 {w.buStop, "Stop", 186},
                 {w.buSave, "Save", 402},
                 {w.buSaveAs, "Save as..", 463}};
  for (const B& b : buttons) {
    SCOPED_TRACE(b.text);
    EXPECT_EQ(b.b->text().toStdString(), b.text);
    EXPECT_EQ(b.b->geometry(), QRect(b.left, 12, 56, 19));
  }
  EXPECT_EQ(w.meStatus->geometry(), QRect(0, 410, 528, 58));
  EXPECT_EQ(w.meIo->geometry(), QRect(0, 48, 528, 362));
  EXPECT_EQ(w.meIo->lineWrapMode(), QPlainTextEdit::NoWrap);
  EXPECT_TRUE(w.meIo->toPlainText().isEmpty());
  EXPECT_TRUE(w.meStatus->toPlainText().isEmpty());
  EXPECT_FALSE(w.meData->isVisibleTo(&w));
  EXPECT_FALSE(w.tiBg->isActive());
  w.show();
  w.resize(700, 600);  // the memos stay docked to the bottom
  QCoreApplication::processEvents();
  EXPECT_EQ(w.meStatus->geometry(), QRect(0, 542, 700, 58));
  EXPECT_EQ(w.meIo->geometry(), QRect(0, 180, 700, 362));
  // Tab order: buOpen, meIo, meStatus, buStart, buStop, buSave, meData, buSaveAs.
  const std::vector<QWidget*> order = {w.buOpen, w.meIo,   w.meStatus, w.buStart,
                                       w.buStop, w.buSave, w.meData,   w.buSaveAs};
  std::vector<QWidget*> chain;
  QWidget* at = w.buOpen;
  do {
    if (std::find(order.begin(), order.end(), at) != order.end()) chain.push_back(at);
    at = at->nextInFocusChain();
  } while (at != w.buOpen && chain.size() < 20);
  EXPECT_EQ(chain, order);
}

TEST_F(StringsWindow, ButtonStates) {
  const std::string script = File("a.txt", "; demo\r\nm100 A\r\n");
  const std::string comments = File("c.txt", "; only\r\n/ comments\r\n\r\n");
  Shown();
  struct Step {
    const char* after;
    std::function<void()> action;
    const char* states;  // Open, Start, Stop
  };
  const Step steps[] = {
      {"showing the window", [] {}, "101"},
      {"Save of the name HELP.TXT", [&] { FWindow->buSave->click(); }, "101"},
      {"loading a file with a data line", [&] { Load(script); }, "011"},
      {"loading a file without data lines", [&] { Load(comments); }, "011"},
      {"Start", [&] { FWindow->buStart->click(); }, "001"},
      {"Stop while playing", [&] { FWindow->buStop->click(); }, "111"},
      {"Stop while not playing", [&] { FWindow->buStop->click(); }, "101"},
      {"loading again", [&] { Load(script); }, "011"},
      {"Save that writes the file", [&] { FWindow->buSave->click(); }, "111"},
      {"Start again", [&] { FWindow->buStart->click(); }, "001"},
      {"the end of the script",
       [&] {
         FWindow->tiBgTimer();
         FWindow->tiBgTimer();
       },
       "111"},
      {"closing when not playing", [&] { FWindow->close(); }, "101"},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.after);
    s.action();
    EXPECT_EQ(States(), s.states);
  }
  EXPECT_FALSE(FWindow->tiBg->isActive());
  EXPECT_FALSE(FWindow->Player().HasWordList());
  EXPECT_EQ(FSent, (std::vector<std::string>{"A"}));
  EXPECT_TRUE(FDialogs->errors.empty());
}

TEST_F(StringsWindow, HelpFileIsShownButNotPlayable) {
  File("HELP.TXT", "How to write scripts\r\nm100 Hello\r\n");
  TfoStrings& w = Shown();
  EXPECT_EQ(w.ScriptLines(), (std::vector<std::string>{"How to write scripts", "m100 Hello", ""}));
  EXPECT_EQ(States(), "101");
  EXPECT_EQ(w.OpenFileName, "HELP.TXT");
  EXPECT_EQ(w.SaveFileName, "HELP.TXT");
  // Save right after showing writes nothing.
  std::ofstream(FDir + "/HELP.TXT", std::ios::binary) << "kept";
  w.buSave->click();
  EXPECT_EQ(test::ReadFile(FDir + "/HELP.TXT"), "kept");
  EXPECT_EQ(States(), "101");
}

// Started from a desktop menu the current folder is the home folder: the
// installed help stands in, and only the current folder's own file beats it.
TEST_F(StringsWindow, InstalledHelpIsShownWhenTheCurrentFolderHasNone) {
  const test::TTempDir folder("talmo-installed");
  const std::string installed = folder / "HELP.TXT";
  std::ofstream(installed, std::ios::binary) << "; installed help\r\n";
  struct Case {
    const char* name;
    bool local;
    std::vector<std::string> fallbacks;
    std::vector<std::string> shown;
  } cases[] = {
      {"installed copy after a missing one",
       false,
       {folder / "none/HELP.TXT", installed},
       {"; installed help", ""}},
      {"the current folder's own first", true, {installed}, {"; local help", ""}},
      {"no copy anywhere", false, {folder / "none/HELP.TXT"}, {""}},
      {"a folder is no help file", false, {folder.Path()}, {""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove((FDir + "/HELP.TXT").c_str());
    if (c.local) File("HELP.TXT", "; local help\r\n");
    TStringsEnvironment env;
    env.Dialogs = FDialogs;
    env.HelpFallbacks = c.fallbacks;
    FWindow = std::make_unique<TfoStrings>(env);
    FWindow->show();
    EXPECT_EQ(FWindow->ScriptLines(), c.shown);
    EXPECT_EQ(States(), "101");
    // The names stay the bare one: Save writes nothing, here or there.
    EXPECT_EQ(FWindow->OpenFileName, "HELP.TXT");
    FWindow->buSave->click();
    EXPECT_EQ(Exists(FDir + "/HELP.TXT"), c.local);
    EXPECT_EQ(test::ReadFile(installed), "; installed help\r\n");
    EXPECT_TRUE(FDialogs->errors.empty());
    FWindow.reset();
  }
}

TEST_F(StringsWindow, LoadingAFileWithoutDataLinesChangesNothingElse) {
  const std::string a = File("a.txt", "m1 A\r\n");
  const std::string c = File("c.txt", "; only\r\n/ comments\r\n\r\n");
  TfoStrings& w = Shown();
  Load(a);
  w.buStart->click();
  w.tiBgTimer();
  w.buStop->click();
  w.buStop->click();
  Load(c);
  EXPECT_EQ(States(), "101");
  EXPECT_EQ(Caption(), a);
  EXPECT_EQ(w.SaveFileName, a);
  EXPECT_EQ(w.ScriptLines(), (std::vector<std::string>{"; only", "/ comments", "", ""}));
  EXPECT_TRUE(w.DataLines().empty());
  EXPECT_TRUE(w.StatusLines() == std::vector<std::string>{""});
}

TEST_F(StringsWindow, SaveWritesTheOpenedFileAndReloadsIt) {
  const std::string a = File("a.txt", "m1 A\r\n");
  TfoStrings& w = Shown();
  Load(a);
  w.buStart->click();
  w.tiBgTimer();
  EXPECT_EQ(w.StatusLines(), (std::vector<std::string>{"TX[1]A"}));
  w.meIo->setPlainText("; edited\nm2 B\n m3 C");
  w.buSave->click();
  // Names are case-sensitive here: the file that was opened is written.
  EXPECT_EQ(test::ReadFile(a), "; edited\r\nm2 B\r\n m3 C");
  EXPECT_FALSE(Exists(FDir + "/a.TXT"));
  EXPECT_EQ(Caption(), a);
  EXPECT_EQ(w.OpenFileName, a);
  EXPECT_EQ(w.DataLines(), (std::vector<std::string>{"m2 B", " m3 C"}));
  EXPECT_EQ(w.StatusLines(), (std::vector<std::string>{""}));
  EXPECT_EQ(States(), "111") << "saving during a run";
  // The run goes on over the new lines from the same index.
  w.tiBgTimer();
  EXPECT_EQ(FSent, (std::vector<std::string>{"A", "C"}));
}

// A run that only passes over lines and restarts sees a reload at once.
TEST_F(StringsWindow, ReloadDuringAnIdleRunIsPlayed) {
  const std::string a = File("a.txt", " ;idle\r\nr\r\n");
  TfoStrings& w = Shown();
  Load(a);
  w.buStart->click();
  for (int i = 0; i < 3; ++i) w.tiBgTimer();
  EXPECT_TRUE(FSent.empty());
  w.meIo->setPlainText("m1 B\nr");
  w.buSave->click();
  w.tiBgTimer();
  EXPECT_EQ(FSent, (std::vector<std::string>{"B"}));
}

TEST_F(StringsWindow, SaveKeepsEveryByte) {
  std::string text = "m1 ";
  for (int b = 0x21; b < 0x100; ++b) text += static_cast<char>(b);
  text += "\r\n\r\n; \xA0\xFF\r\n";
  const std::string a = File("a.txt", text);
  TfoStrings& w = Shown();
  Load(a);
  w.buSave->click();
  EXPECT_EQ(test::ReadFile(a), text);
}

TEST_F(StringsWindow, SaveAs) {
  TfoStrings& w = Shown();
  w.meIo->setPlainText("m1 X\n");
  {
    SCOPED_TRACE("a new name without extension: saved with .TXT, no question");
    FDialogs->saveChoice = FDir + "/new";
    w.buSaveAs->click();
    EXPECT_EQ(FDialogs->saveStart, "HELP.TXT");
    EXPECT_EQ(FDialogs->filter, "Text files (*.txt)");
    EXPECT_TRUE(FDialogs->questions.empty());
    EXPECT_EQ(test::ReadFile(FDir + "/new.TXT"), "m1 X\r\n");
    EXPECT_EQ(Caption(), FDir + "/new.TXT");
    EXPECT_EQ(States(), "111");
  }
  {
    SCOPED_TRACE("an existing file, No");
    File("old.txt", "old");
    FDialogs->saveChoice = FDir + "/old.txt";
    FDialogs->answer = false;
    w.buSaveAs->click();
    EXPECT_EQ(FDialogs->questions, (std::vector<std::string>{"Overwrite " + FDir + "/old.txt?"}));
    EXPECT_EQ(test::ReadFile(FDir + "/old.txt"), "old");
  }
  {
    SCOPED_TRACE("an existing file, Yes");
    FDialogs->answer = true;
    w.buSaveAs->click();
    EXPECT_EQ(test::ReadFile(FDir + "/old.txt"), "m1 X\r\n");
    EXPECT_EQ(Caption(), FDir + "/old.txt");
  }
  {
    SCOPED_TRACE("a name whose .TXT file exists is asked about that file");
    FDialogs->questions.clear();
    FDialogs->answer = false;
    FDialogs->saveChoice = FDir + "/new";
    w.buSaveAs->click();
    EXPECT_EQ(FDialogs->questions, (std::vector<std::string>{"Overwrite " + FDir + "/new.TXT?"}));
  }
  {
    SCOPED_TRACE("cancelled");
    FDialogs->questions.clear();
    FDialogs->saveChoice.reset();
    w.buSaveAs->click();
    EXPECT_TRUE(FDialogs->questions.empty());
  }
  EXPECT_TRUE(FDialogs->errors.empty());
}

TEST_F(StringsWindow, FailedLoadAndSaveAreReportedAndChangeLittle) {
  const std::string a = File("a.txt", "m1 A\r\n");
  TfoStrings& w = Shown();
  Load(a);
  w.buStart->click();
  w.tiBgTimer();
  w.buStop->click();
  Load(FDir + "/missing.txt");
  ASSERT_EQ(FDialogs->errors.size(), 1u);
  EXPECT_NE(FDialogs->errors[0].find(FDir + "/missing.txt"), std::string::npos);
  EXPECT_NE(FDialogs->errors[0].find("No such file"), std::string::npos);
  EXPECT_EQ(w.StatusLines(), (std::vector<std::string>{""})) << "status cleared first";
  EXPECT_EQ(w.ScriptLines(), (std::vector<std::string>{"m1 A", ""}));
  EXPECT_EQ(w.DataLines(), (std::vector<std::string>{"m1 A"}));
  EXPECT_EQ(Caption(), a);
  EXPECT_EQ(States(), "111");

  w.buOpen->setEnabled(false);
  FDialogs->saveChoice = FDir + "/no/such/folder/b";
  w.buSaveAs->click();
  ASSERT_EQ(FDialogs->errors.size(), 2u);
  EXPECT_NE(FDialogs->errors[1].find(FDir + "/no/such/folder/b.TXT"), std::string::npos);
  EXPECT_EQ(w.SaveFileName, FDir + "/no/such/folder/b.TXT");
  EXPECT_FALSE(w.buOpen->isEnabled());
  EXPECT_EQ(Caption(), a);
}

TEST_F(StringsWindow, StatusMemoShowsBytesAsText) {
  const std::string a = File("a.txt", "m5 AB $00 CD\r\nm5 x $0D$0A y\r\nw15 500 Z\r\nm0 $C4\r\n");
  TfoStrings& w = Shown();
  Load(a);
  w.buStart->click();
  EXPECT_EQ(w.tiBg->interval(), 1);
  EXPECT_TRUE(w.tiBg->isActive());
  FNow = {2018, 12, 1, 17, 12, 0, 10, 200};
  for (int i = 0; i < 3; ++i) w.tiBgTimer();
  EXPECT_EQ(w.tiBg->interval(), 5299);
  w.tiBgTimer();
  // Control bytes by name, as the pane names them; a zero byte no longer
  // hides the rest, CR LF no longer break the line.
  EXPECT_EQ(w.StatusLines(), (std::vector<std::string>{"TX[5]AB NULCD", "TX[4]x CR  LF y",
                                                       "Wait 5300 ms", "TX[1]Z", "TX[1]\xC4"}));
  EXPECT_EQ(FSent, (std::vector<std::string>{std::string("AB\0CD", 5), "x\r\ny", "Z", "\xC4"}));
  w.tiBgTimer();
  EXPECT_EQ(States(), "111");
  // Start does not clear the log.
  w.buStart->click();
  w.tiBgTimer();
  EXPECT_EQ(w.StatusLines().size(), 6u);
  EXPECT_EQ(w.StatusLines().back(), "TX[5]AB NULCD");
}

TEST_F(StringsWindow, ClosingWhilePlayingStopsAndShowingAgainResets) {
  const std::string a = File("a.txt", "m100 A\r\nr\r\n");
  TfoStrings& w = Shown();
  Load(a);
  w.buStart->click();
  w.tiBgTimer();
  w.close();
  EXPECT_FALSE(w.tiBg->isActive());
  EXPECT_TRUE(w.Player().HasWordList());
  EXPECT_EQ(States(), "111");
  File("HELP.TXT", "help\r\n");
  w.show();
  EXPECT_EQ(States(), "101");
  EXPECT_EQ(w.ScriptLines(), (std::vector<std::string>{"help", ""}));
  EXPECT_EQ(Caption(), a);
}

TEST_F(StringsWindow, FailingPortIsShownOnceAndTheLineKept) {
  const std::string a = File("a.txt", "m5 A\r\nm5 B\r\n");
  TStringsEnvironment env;
  env.Dialogs = FDialogs;
  bool refuse = true;
  env.Write = [&](const std::string& b) {
    if (refuse) throw ESerCommError("Output buffer is full. Please check comm status.");
    FSent.push_back(b);
  };
  FWindow = std::make_unique<TfoStrings>(env);
  FWindow->show();
  Load(a);
  FWindow->buStart->click();
  for (int i = 0; i < 3; ++i) FWindow->tiBgTimer();
  EXPECT_EQ(FDialogs->errors,
            (std::vector<std::string>{"Output buffer is full. Please check comm status."}));
  EXPECT_TRUE(FWindow->tiBg->isActive());
  EXPECT_EQ(FWindow->tiBg->interval(), 1);
  refuse = false;
  FWindow->tiBgTimer();
  FWindow->tiBgTimer();
  EXPECT_EQ(FSent, (std::vector<std::string>{"A", "B"}));
}

// A real port component on a pseudo-terminal, the real timer and event loop.
TEST_F(StringsWindow, ScriptArrivesByteForByteOnAPort) {
  test::TPtyPair line;
  ASSERT_TRUE(line.Open(test::TPtyPair::TMaster::NonBlocking));
  const int master = line.Master;
  const char* const name = line.Path.c_str();
  std::string script, expected;
  for (int i = 0; i < 30; ++i) {
    script += "m1 '#" + std::to_string(i) + " $00$FF$0D$0A %2\r\n";
    expected += "#" + std::to_string(i) + std::string("\x00\xFF\r\n", 4) + "34";
  }
  script += "l3 0 \"" + std::string(2500, 'q') + "\"\r\n";
  expected += std::string(7500, 'q');
  const std::string path = File("p.txt", script);

  TSerQueueSync sync;
  TSerComm comm(std::make_shared<TSerDeviceDriver>(), sync);
  comm.SetDeviceName(name);
  comm.SetBaudrate(br115200);
  comm.Open();
  TStringsEnvironment env;
  env.Dialogs = FDialogs;
  env.Write = PortWriter(comm);
  env.LocalClock = [this] { return FNow; };
  FWindow = std::make_unique<TfoStrings>(env);
  FWindow->show();
  Load(path);
  FWindow->buStart->click();
  std::string got;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < end &&
         (FWindow->tiBg->isActive() || got.size() < expected.size())) {
    QCoreApplication::processEvents();
    sync.ProcessPending();
    char buf[4096];
    ssize_t n;
    while ((n = ::read(master, buf, sizeof buf)) > 0) got.append(buf, static_cast<std::size_t>(n));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_FALSE(FWindow->tiBg->isActive());
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_EQ(got, expected);
  EXPECT_TRUE(FDialogs->errors.empty());
  FWindow.reset();
  comm.Close();
}

TEST_F(StringsWindow, SaveKeepsTheEditorWhereItWas) {
  std::string text;
  for (int i = 0; i < 300; ++i)
    text += "m10 line" + std::to_string(i) + " " + std::string(i % 7 ? 10 : 200, 'x') + "\r\n";
  const std::string a = File("a.txt", text);
  TfoStrings& w = Shown();
  Load(a);
  QScrollBar* v = w.meIo->verticalScrollBar();
  QScrollBar* h = w.meIo->horizontalScrollBar();
  ASSERT_GT(v->maximum(), 250);
  ASSERT_GT(h->maximum(), 100);
  struct Case {
    const char* name;
    int block, column, selected, top, left;
  };
  const Case cases[] = {
      {"a selection far below the view", 250, 5, 3, 200, 40},
      {"the cursor in the view", 120, 2, 0, 110, 0},
      {"the very end, scrolled to the bottom", 300, 0, 0, -1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QTextCursor cursor(w.meIo->document()->findBlockByNumber(c.block));
    cursor.movePosition(QTextCursor::Right, QTextCursor::MoveAnchor, c.column);
    cursor.movePosition(QTextCursor::Right, QTextCursor::KeepAnchor, c.selected);
    w.meIo->setTextCursor(cursor);
    v->setValue(c.top < 0 ? v->maximum() : c.top);
    h->setValue(c.left < 0 ? h->maximum() : c.left);
    const int anchor = cursor.anchor(), position = cursor.position();
    const int top = v->value(), left = h->value();
    w.buSave->click();
    ASSERT_TRUE(FDialogs->errors.empty());
    EXPECT_EQ(test::ReadFile(a), text) << "saved and loaded again";
    EXPECT_EQ(w.StatusLines(), (std::vector<std::string>{""})) << "the reload happened";
    EXPECT_EQ(w.meIo->textCursor().anchor(), anchor);
    EXPECT_EQ(w.meIo->textCursor().position(), position);
    EXPECT_EQ(v->value(), top);
    EXPECT_EQ(h->value(), left);
  }
}

TEST(StringsPlace, CentredOverTheOwnerAndKeptOnTheScreen) {
  const QRect screen(0, 0, 1280, 1024);
  const QSize size(528, 468);
  struct Case {
    const char* name;
    QRect owner, screen;
    QPoint at;
  };
  const Case cases[] = {
      {"centred", QRect(420, 190, 834, 528), screen, QPoint(573, 220)},
      {"owner smaller than the window", QRect(100, 100, 200, 100), screen, QPoint(0, 0)},
      {"owner hanging off the right", QRect(1000, 300, 834, 528), screen, QPoint(752, 330)},
      {"owner hanging off the bottom", QRect(300, 900, 834, 528), screen, QPoint(453, 556)},
      {"owner above and left of the screen", QRect(-700, -500, 834, 528), screen, QPoint(0, 0)},
      {"screen beside the first one", QRect(1400, 100, 834, 528), QRect(1280, 0, 1920, 1080),
       QPoint(1553, 130)},
      {"window larger than the screen", QRect(0, 0, 400, 300), QRect(0, 0, 400, 300), QPoint(0, 0)},
      {"no screen known", QRect(-700, -500, 834, 528), QRect(), QPoint(-547, -470)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CentredOver(c.owner, size, c.screen), c.at);
  }
}

TEST_F(StringsWindow, OpensOverTheMainWindow) {
  QWidget main;
  main.setGeometry(150, 60, 640, 500);
  main.show();
  TStringsEnvironment env;
  env.Dialogs = FDialogs;
  TfoStrings w(env, &main);
  const QRect area = main.screen()->availableGeometry();
  for (const QPoint& mainAt : {QPoint(150, 60), QPoint(40, 20)}) {
    SCOPED_TRACE(mainAt.x());
    main.move(mainAt);
    w.show();
    const QPoint expected = CentredOver(main.frameGeometry(), w.frameGeometry().size(), area);
    EXPECT_EQ(w.pos(), expected);
    EXPECT_NE(w.pos(), area.topLeft()) << "not at the screen's corner";
    EXPECT_TRUE(area.contains(w.frameGeometry()));
    EXPECT_LE(std::abs(w.frameGeometry().center().x() - main.frameGeometry().center().x()), 1);
    w.hide();
  }
}

// With no display name (the main window clears it so that the window
// system does not extend every title), the boxes carry the title of the
// window this one belongs to.
TEST(StringsBoxes, CarryTheMainWindowsTitle) {
  const QString saved = QApplication::applicationDisplayName();
  QGuiApplication::setApplicationDisplayName(QString());
  QWidget main;
  main.setWindowTitle("TALMO 1.80 (Dec 17, 2018)");
  QWidget strings(&main, Qt::Window);
  TQtStringsDialogs boxes(&strings);
  std::vector<std::string> titles;
  auto answer = [&] { talmo::test::CloseNextBoxNotingTitle(titles); };
  answer();
  boxes.Error("failed");
  answer();
  boxes.Confirm("Sure?");
  EXPECT_EQ(titles,
            (std::vector<std::string>{"TALMO 1.80 (Dec 17, 2018)", "TALMO 1.80 (Dec 17, 2018)"}));
  QGuiApplication::setApplicationDisplayName(saved);
}

// Every box of the window is wide enough for the frame to show its title.
TEST(StringsBoxes, WideEnoughForTheirTitle) {
  const QString saved = QApplication::applicationDisplayName();
  const QString title = "TALMO 1.80 (Dec 17, 2018)";
  QGuiApplication::setApplicationDisplayName(title);
  QWidget main;
  main.setWindowTitle(title);
  QWidget strings(&main, Qt::Window);
  TQtStringsDialogs boxes(&strings);
  std::vector<test::TSeenBox> seen;
  test::CloseNextBoxNoting(seen);
  boxes.Error("x");
  test::CloseNextBoxNoting(seen);
  EXPECT_FALSE(boxes.Confirm("Overwrite a.TXT?"));
  ASSERT_EQ(seen.size(), 2u);
  const QFontMetrics fm(QApplication::font());
  for (const test::TSeenBox& box : seen) {
    EXPECT_EQ(box.Title, title.toStdString());
    EXPECT_GE(box.Width, TitleFitWidth(title, main.screen()));
    EXPECT_GE(box.Width, fm.horizontalAdvance(title) + 100);
  }
  QGuiApplication::setApplicationDisplayName(saved);
}

}  // namespace
}  // namespace talmo
