// The main window as users meet it, offscreen, over pseudo-terminals and a
// temporary settings file.

#include "mainwindow/main_window.h"
#include "mainwindow/layout.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <thread>

#include "app/decode_command.h"
#include "device/device_driver.h"
#include "device/loopback_port.h"
#include "fake_device.h"
#include "mainwindow/radio_group.h"
#include "settings/registry.h"
#include "support/modal_boxes.h"
#include "support/pty_pair.h"
#include "support/settings_file.h"
#include "support/signal_scope.h"
#include "support/temp_dir.h"
#include "widgets/message_box.h"

// Readable rectangles in failure messages.
inline void PrintTo(const QRect& r, std::ostream* os) {
  *os << r.x() << "," << r.y() << " " << r.width() << "x" << r.height();
}

namespace talmo {
namespace {

struct FakeDialogs : TMainDialogs {
  std::vector<std::string> messages, errors;
  bool confirm = true;
  int confirmations = 0;
  std::optional<std::string> capturePath, savePath;
  std::string url;
  int stringsShown = 0;
  void Message(const std::string& t) override { messages.push_back(t); }
  bool Confirm(const std::string& t) override {
    EXPECT_EQ(t, "Are You sure?");
    ++confirmations;
    return confirm;
  }
  void Error(const std::string& t) override { errors.push_back(t); }
  std::optional<std::string> ChooseCaptureFile() override { return capturePath; }
  std::optional<std::string> ChooseSaveFile() override { return savePath; }
  void OpenUrl(const std::string& u) override { url = u; }
  void ShowStrings() override { ++stringsShown; }
};

// A pseudo-terminal standing in for a device; the test plays the device at
// the far end.
struct FakeLine {
  test::TPtyPair pair;
  int& master = pair.Master;
  std::string& path = pair.Path;
  FakeLine() {
    EXPECT_TRUE(pair.Open(test::TPtyPair::TMaster::NonBlocking));
    pair.CloseSlave();  // the window opens it by path
  }
  void Send(const std::string& bytes) const {
    ASSERT_EQ(::write(master, bytes.data(), bytes.size()), (ssize_t)bytes.size());
  }
  // Everything the window has sent so far (bytes may come in pieces).
  const std::string& Received() {
    char buf[4096];
    ssize_t n;
    while ((n = ::read(master, buf, sizeof buf)) > 0)
      received.append(buf, static_cast<std::size_t>(n));
    return received;
  }
  std::string received;
};

// The lines `talmocli decode ARGS` prints.
std::vector<std::string> DecodeLines(const std::vector<std::string>& args) {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  EXPECT_EQ(RunDecode(args, -1, out, err), 0);
  std::rewind(out);
  std::vector<std::string> lines;
  char buf[4096];
  while (std::fgets(buf, sizeof buf, out)) lines.emplace_back(buf, std::strcspn(buf, "\n"));
  std::fclose(out);
  std::fclose(err);
  return lines;
}

bool PumpUntil(const std::function<bool()>& done, int ms = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override { FSettings = FDir + "/TALMO.reg"; }
  void TearDown() override { FWindow.reset(); }

  void WriteSettings(const std::string& values) {
    std::ofstream(FSettings) << test::kSettingsHeader + test::kTalmoKey + values;
  }

  TfoMain& Make(bool activate = true) {
    TMainEnvironment env;
    env.SettingsPath = FSettings;
    env.Dialogs = FDialogs;
    env.Delay = [this](int ms) { FDelays.push_back(ms); };
    TSerTiming timing = TSerTiming::System();
    timing.Sleep = [](std::chrono::milliseconds) {};
    env.PortTiming = timing;
    std::map<std::string, std::string> paths = {{"COM3", FCom3.path},
                                                {"COM13", FCom13.path},
                                                {"COM5", FDir + "/gone"},
                                                {"COM99", TLoopbackPort::Instance().Path()}};
    env.Driver = std::make_shared<TSerDeviceDriver>([paths](const std::string& name) {
      const std::string bare = name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name;
      auto it = paths.find(bare);
      return it == paths.end() ? std::string() : it->second;
    });
    if (FDriver) env.Driver = FDriver;
    env.PortList = [this] { return FPorts; };
    FWindow = std::make_unique<TfoMain>(env);
    FWindow->tiPause->stop();  // the tests tick the timers themselves
    FWindow->tiTimeout->stop();
    if (activate) FWindow->FormActivate();
    return *FWindow;
  }

  TRegistry Key() {
    TRegistry k(TRegistryStore::ForFile(FSettings));
    k.OpenKey("SOFTWARE\\Velkerstam\\TALMO", false);
    return k;
  }

  std::vector<std::string> PaneAfterHeader() {
    auto lines = FWindow->PaneLines();
    const std::size_t header = FWindow->raPort->ItemIndex() >= 0 ? 2 : 1;
    return std::vector<std::string>(
        lines.begin() + static_cast<long>(std::min(header, lines.size())), lines.end());
  }

  // The received lines of the pane, without the port's own notes.
  std::vector<std::string> ReceivedLines() {
    std::vector<std::string> lines;
    for (std::string& line : PaneAfterHeader())
      if (line.rfind("//", 0) != 0) lines.push_back(std::move(line));
    return lines;
  }

  // Waits until `n` received lines are shown (those waiting for a time-out
  // too); false when they never come.
  bool WaitReceivedLines(std::size_t n, std::vector<std::string>& lines) {
    return PumpUntil([&] {
      FWindow->tiPauseTimer();
      lines = ReceivedLines();
      return lines.size() == n;
    });
  }

  // The device sends `bytes`; once the window has taken them all, `pauseMs`
  // of silence on the line. False when they never arrive.
  bool Arrive(const std::string& bytes, int pauseMs) {
    const std::uint64_t before = FWindow->Session().BytesReceived();
    FCom3.Send(bytes);
    if (!PumpUntil([&] { return FWindow->Session().BytesReceived() >= before + bytes.size(); }))
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    return true;
  }

  void OpenCom3() {
    FWindow->raPort->SetItemIndex(0);
    // 8 data bits, as a pseudo-terminal keeps: the first start's 7 would
    // add the line that tells what the device ignores.
    FWindow->rgDatabits->SetItemIndex(1);
    FWindow->buOpenClick();
    ASSERT_TRUE(FWindow->Comm1().Active());
  }

  test::TTempDir FTemp{"talmo-window"};
  std::string FDir = FTemp.Path(), FSettings;
  FakeLine FCom3, FCom13;
  std::vector<TPortEntry> FPorts = {{"COM3", FCom3.path, ""},
                                    {"COM13", FCom13.path, ""},
                                    {"COM5", FDir + "/gone", ""},
                                    {"COM99", TLoopbackPort::Instance().Path(), ""}};
  std::shared_ptr<FakeDialogs> FDialogs = std::make_shared<FakeDialogs>();
  std::vector<int> FDelays;
  std::shared_ptr<TSerDriver> FDriver;  // set before Make: instead of the ttys
  std::unique_ptr<TfoMain> FWindow;
};

TEST(RadioGroup, ClampsTheIndexAndClicksOnlyOnAChange) {
  TRadioGroup g("Stopbits", nullptr);
  int clicks = 0;
  g.OnClick = [&] { ++clicks; };
  g.SetItemIndex(0);  // no items: nothing selected, nothing changed
  EXPECT_EQ(g.ItemIndex(), -1);
  EXPECT_EQ(clicks, 0);
  g.SetItems({"1", "1.5", "2"});
  const struct {
    int set, index, clicks;
  } steps[] = {{1, 1, 1}, {1, 1, 1}, {7, 2, 2}, {-3, -1, 3}, {2, 2, 4}};
  for (const auto& st : steps) {
    SCOPED_TRACE(st.set);
    g.SetItemIndex(st.set);
    EXPECT_EQ(g.ItemIndex(), st.index);
    EXPECT_EQ(clicks, st.clicks);
  }
  EXPECT_EQ(g.SelectedText().toStdString(), "2");
  g.SetItems({});
  EXPECT_EQ(g.ItemIndex(), -1);
}

TEST_F(WindowTest, FirstStartStoresTheDefaults) {
  TfoMain& w = Make();
  EXPECT_EQ(w.windowTitle().toStdString(), kAppTitle);
  EXPECT_EQ(w.x(), 100);
  EXPECT_EQ(w.y(), 50);
  // 700 x 500, raised to the least size at which every control is whole.
  const TClientSize least = MinimumClientSize();
  EXPECT_EQ(w.width(), std::max(700, least.Width));
  EXPECT_EQ(w.height(), std::max(500, least.Height));
  EXPECT_EQ(w.minimumWidth(), least.Width);
  EXPECT_EQ(w.minimumHeight(), least.Height);
  EXPECT_EQ(w.raPort->SelectedText().toStdString(), "COM3");
  EXPECT_EQ(w.rgBaud->SelectedText().toStdString(), "1024");
  EXPECT_EQ(w.rgDatabits->SelectedText().toStdString(), "7");
  EXPECT_EQ(w.rgParity->SelectedText().toStdString(), "None");
  EXPECT_EQ(w.rgStop->SelectedText().toStdString(), "1");
  for (QCheckBox* c :
       {w.cbBcc, w.cbTime, w.cbConvert, w.cbHEX, w.cbSTXHL, w.cbPROD2, w.cbManch, w.cbDirect})
    EXPECT_FALSE(c->isChecked()) << c->text().toStdString();
  EXPECT_EQ(w.meFirst->text().toStdString(), "00");
  EXPECT_EQ(w.Comm1().Baudrate(), br600);
  EXPECT_EQ(w.Comm1().Databits(), db7);

  TRegistry k = Key();
  for (const char* name : {"REGXCOM", "REGBAUD", "REGDATABITS", "REGPARITY", "REGSTOP"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(k.ReadInteger(name), 0);
  }
  std::uint8_t proto[9] = {1};
  EXPECT_EQ(k.ReadBinaryData("REGPROTOCOL", proto, 9), 9);
  for (std::uint8_t b : proto) EXPECT_EQ(b, 0);
  EXPECT_FALSE(k.ValueExists("COORDS")) << "bounds are stored only at the end";
  EXPECT_FALSE(k.ValueExists("DIRECT"));
  EXPECT_TRUE(FDialogs->messages.empty());

  FWindow.reset();
  std::uint8_t coords[16];
  ASSERT_EQ(Key().ReadBinaryData("COORDS", coords, 16), 16);
  const auto le = [](int v, int byte) { return static_cast<std::uint8_t>(v >> (8 * byte)); };
  const int width = std::max(700, least.Width), height = std::max(500, least.Height);
  const std::uint8_t expected[16] = {
      100,           0, 0, 0, 50, 0, 0, 0, le(width, 0), le(width, 1), 0, 0, le(height, 0),
      le(height, 1), 0, 0};
  EXPECT_EQ(std::memcmp(coords, expected, 16), 0);
}

TEST_F(WindowTest, RestoredSettingsAreClampedAndPresetsReapplied) {
  struct Row {
    const char* name;
    const char* protocol;
    const char* first;
    bool bcc, time, convert, hex, stxhl, prod2, manch;
    const char* stored;
  };
  const Row rows[] = {
      {"STX_HL wins over the other bytes", "41,42,00,01,00,01,01,01,01", "02", true, false, true,
       false, true, false, false, "02,03,01,00,01,00,01,00,00"},
      {"PROD2 presets its signs and Time", "41,42,01,00,00,01,00,01,01", "02", false, true, false,
       false, false, true, false, "02,03,00,01,00,00,00,01,00"},
      {"plain record comes back as stored", "7e,0d,01,01,01,01,00,00,01", "7E", true, true, true,
       true, false, false, true, "7e,0d,01,01,01,01,00,00,01"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    WriteSettings(std::string("\"REGBAUD\"=dword:0000000f\n\"REGPROTOCOL\"=hex:") + r.protocol +
                  "\n");
    TfoMain& w = Make(false);
    EXPECT_EQ(w.rgBaud->SelectedText().toStdString(), "115200");
    EXPECT_EQ(Key().ReadInteger("REGBAUD"), 9);
    EXPECT_EQ(w.meFirst->text().toStdString(), r.first);
    EXPECT_EQ(w.cbBcc->isChecked(), r.bcc);
    EXPECT_EQ(w.cbTime->isChecked(), r.time);
    EXPECT_EQ(w.cbConvert->isChecked(), r.convert);
    EXPECT_EQ(w.cbHEX->isChecked(), r.hex);
    EXPECT_EQ(w.cbSTXHL->isChecked(), r.stxhl);
    EXPECT_EQ(w.cbPROD2->isChecked(), r.prod2);
    EXPECT_EQ(w.cbManch->isChecked(), r.manch);
    const TFormatOptions& o = w.Options();
    EXPECT_EQ(o.Bcc, r.bcc);
    EXPECT_EQ(o.Convert, r.convert);
    EXPECT_EQ(o.STXHL, r.stxhl);
    w.FirstLast();
    std::uint8_t proto[9];
    ASSERT_EQ(Key().ReadBinaryData("REGPROTOCOL", proto, 9), 9);
    char text[40];
    std::snprintf(text, sizeof text, "%02x,%02x,%02x,%02x,%02x,%02x,%02x,%02x,%02x", proto[0],
                  proto[1], proto[2], proto[3], proto[4], proto[5], proto[6], proto[7], proto[8]);
    EXPECT_EQ(std::string(text), r.stored);
    FWindow.reset();
    std::remove(FSettings.c_str());
  }
}

TEST_F(WindowTest, ActivationWritesTheHeaderAndClosedStates) {
  TfoMain& w = Make();
  const auto lines = w.PaneLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("// ", 0), 0u);
  EXPECT_EQ(lines[1],
            "// Port: COM3.  Baudrate: 1024.  Databits: 7.  Parity: None.  Stopbits: 1.  ");
  EXPECT_TRUE(w.buOpen->isEnabled());
  EXPECT_TRUE(w.buClose->isEnabled());
  EXPECT_FALSE(w.buStrings->isEnabled());
  EXPECT_FALSE(w.cbDirect->isEnabled());
  EXPECT_FALSE(w.cbPause->isEnabled());
  EXPECT_EQ(w.buTransmit->text().toStdString(), "Transmit");
  EXPECT_FALSE(w.buTransmit->isEnabled());
  EXPECT_EQ(w.edLast->text().toStdString(), "");
  EXPECT_EQ(w.laSigns->text().toStdString(), "First:,  Last:");
}

TEST_F(WindowTest, OpeningAndClosingWriteTheirLinesInOrder) {
  TfoMain& w = Make();
  w.raPort->SetItemIndex(1);  // COM13
  // 8 data bits, as a pseudo-terminal keeps: 7 would add the notice of what
  // the device ignores, and the lines after it would wait behind it.
  w.rgDatabits->SetItemIndex(1);
  w.buOpenClick();
  EXPECT_EQ(PaneAfterHeader(),
            (std::vector<std::string>{"// Try to open COM13", "// COM13 is open"}));
  EXPECT_FALSE(w.buOpen->isEnabled());
  EXPECT_TRUE(w.buStrings->isEnabled());
  EXPECT_TRUE(w.cbDirect->isEnabled());
  EXPECT_EQ(FDelays, (std::vector<int>{150}));

  w.buOpenClick();  // re-open while open
  EXPECT_EQ(
      PaneAfterHeader(),
      (std::vector<std::string>{"// Try to open COM13", "// COM13 is open", "// Try to close COM13",
                                "// COM13 is closed", "// Try to open COM13", "// COM13 is open"}));
  w.buCloseClick();
  EXPECT_FALSE(w.Comm1().Active());
  EXPECT_EQ(PaneAfterHeader().back(), "// COM13 is closed");
  EXPECT_TRUE(FDialogs->messages.empty());
  EXPECT_TRUE(FDialogs->errors.empty());
}

// The list numbers ports past 99; the pane names each by its whole number.
TEST_F(WindowTest, OpenAndCloseLinesNameThePortByItsWholeNumber) {
  const std::string loop = TLoopbackPort::Instance().Path();
  FPorts.clear();
  for (const char* name : {"COM1", "COM33", "COM99", "COM100", "COM102"})
    FPorts.push_back({name, loop, ""});
  FDriver = std::make_shared<TSerDeviceDriver>([loop](const std::string&) { return loop; });
  TfoMain& w = Make();
  w.rgDatabits->SetItemIndex(1);  // 8: a pseudo-terminal's own, so no notice
  for (int i = 0; i < static_cast<int>(FPorts.size()); ++i) {
    const std::string& name = FPorts[static_cast<std::size_t>(i)].Name;
    SCOPED_TRACE(name);
    w.raPort->SetItemIndex(i);
    w.buOpenClick();
    ASSERT_TRUE(w.Comm1().Active());
    auto lines = PaneAfterHeader();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "// Try to open " + name);
    EXPECT_EQ(lines.back(), "// " + name + " is open");
    w.buCloseClick();
    EXPECT_EQ(PaneAfterHeader().back(), "// " + name + " is closed");
  }
}

TEST_F(WindowTest, FailedOpenSaysWhyInThePane) {
  TfoMain& w = Make();
  w.raPort->SetItemIndex(2);  // COM5: its device does not exist
  w.buOpenClick();
  const auto after = PaneAfterHeader();
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(after[0], "// Try to open COM5");
  EXPECT_EQ(after[1].rfind("// Specified device not found (", 0), 0u) << after[1];
  // The line names the device file behind COM5, not a Windows path.
  EXPECT_EQ(after[1], "// Specified device not found (COM5, " + FPorts[2].Path + ").");
  EXPECT_EQ(FDialogs->messages, (std::vector<std::string>{"Open fail"}));
  EXPECT_FALSE(w.Comm1().Active());
  EXPECT_TRUE(w.buOpen->isEnabled());
}

TEST_F(WindowTest, NoPortsMeansThePortButtonsDoNothing) {
  FPorts.clear();
  TfoMain& w = Make();
  EXPECT_EQ(w.PaneLines().size(), 1u) << "only the date line";
  w.buOpenClick();
  w.buCloseClick();
  EXPECT_EQ(w.PaneLines().size(), 1u);
}

TEST_F(WindowTest, ReceivedFramesReachThePaneEightPerTick) {
  TfoMain& w = Make();
  w.cbConvert->setChecked(true);
  w.meFirst->setText("02");
  w.meLast->setText("03");
  w.FirstLast();
  OpenCom3();
  const std::size_t before = w.PaneLines().size();
  std::string frames;
  for (int i = 0; i < 20; ++i)
    frames += "\x02" + std::string(1, static_cast<char>('A' + i)) + "\x03";
  FCom3.Send(frames);
  ASSERT_TRUE(PumpUntil([&] { return w.PendingLines().PendingCount() == 20; }));
  EXPECT_EQ(w.edLast->text().toStdString().substr(0, 5), " ETX ");

  w.tiPauseTimer();
  EXPECT_EQ(w.cbPause->text().toStdString(), "Pause (20)");
  EXPECT_EQ(w.PaneLines().size(), before + 8);
  EXPECT_EQ(w.PaneLines()[before], " STX A ETX");

  w.cbPause->setChecked(true);
  w.tiPauseTimer();
  EXPECT_EQ(w.cbPause->text().toStdString(), "Pause (12)");
  EXPECT_EQ(w.cbPause->palette().color(QPalette::WindowText), QColor(255, 0, 0));
  EXPECT_EQ(w.PaneLines().size(), before + 8);

  w.cbPause->setChecked(false);
  w.tiPauseTimer();
  w.tiPauseTimer();
  EXPECT_EQ(w.PaneLines().size(), before + 20);
  EXPECT_EQ(w.PaneLines().back(), " STX T ETX");
  w.tiPauseTimer();
  EXPECT_EQ(w.cbPause->text().toStdString(), "Pause");
  EXPECT_EQ(w.cbPause->palette().color(QPalette::WindowText), QColor(0, 0, 0));
}

// Lines about the port wait behind the lines received before them: the
// pane reads in the order things happened, across quick close and reopen.
TEST_F(WindowTest, PortLinesKeepTheirPlaceAmongWaitingLines) {
  TfoMain& w = Make();
  w.cbConvert->setChecked(true);
  w.meFirst->setText("02");
  w.meLast->setText("03");
  w.FirstLast();
  OpenCom3();
  std::vector<std::string> expected = PaneAfterHeader();
  std::string frames;
  for (int i = 0; i < 20; ++i) {
    const char c = static_cast<char>('A' + i);
    frames += std::string("\x02") + c + "\x03";
    expected.push_back(std::string(" STX ") + c + " ETX");
  }
  FCom3.Send(frames);
  ASSERT_TRUE(PumpUntil([&] { return w.PendingLines().PendingCount() == 20; }));
  w.buCloseClick();
  w.buOpenClick();
  w.buCloseClick();
  for (const char* line : {"// Try to close COM3", "// COM3 is closed", "// Try to open COM3",
                           "// COM3 is open", "// Try to close COM3", "// COM3 is closed"})
    expected.push_back(line);
  for (int i = 0; i < 10 && w.PendingLines().Waiting(); ++i) w.tiPauseTimer();
  EXPECT_EQ(PaneAfterHeader(), expected);
  // Nothing waits now: the next port line is shown at once.
  w.buOpenClick();
  EXPECT_EQ(w.PaneLines().back(), "// COM3 is open");
  w.buCloseClick();
}

// The port line follows every change of the open port's settings; 1.5 stop
// bits, which no Linux driver sets with 7 or 8 data bits, are refused in
// one line and the port keeps what it had.
TEST_F(WindowTest, ThePortLineSaysWhatThePortIsNow) {
  TfoMain& w = Make();
  OpenCom3();
  EXPECT_EQ(w.laPortState->text().toStdString(), "COM3 1024 8N1");
  const struct {
    TRadioGroup* group;
    int index;
    const char* shown;
    const char* told;  // the pane's last line after it, "" for none new
  } steps[] = {
      {w.rgBaud, 4, "COM3 9600 8N1", ""},
      {w.rgStop, 2, "COM3 9600 8N2", ""},
      {w.rgStop, 1, "COM3 9600 8N2",
       "// 1.5 stop bits: no Linux serial driver sets them with 7 or 8 data bits; the port keeps "
       "2 stop bits."},
      {w.rgBaud, 9, "COM3 115200 8N2", ""},
  };
  for (const auto& st : steps) {
    SCOPED_TRACE(st.shown);
    const std::string last = w.PaneLines().back();
    st.group->SetItemIndex(st.index);
    EXPECT_EQ(w.laPortState->text().toStdString(), st.shown);
    EXPECT_EQ(w.PaneLines().back(), *st.told ? st.told : last);
    EXPECT_TRUE(FDialogs->errors.empty()) << FDialogs->errors.front();
  }
  w.buCloseClick();
  EXPECT_EQ(w.laPortState->text().toStdString(), "");
  // Chosen while the port is closed, they are told at once, not at Open.
  w.rgStop->SetItemIndex(0);
  w.rgStop->SetItemIndex(1);
  EXPECT_EQ(w.PaneLines().back(),
            "// 1.5 stop bits: no Linux serial driver sets them with 7 or 8 data bits; choose 1 "
            "or 2.");
}

// A device may hand out fewer bytes than its count offered: the pane shows
// what was read, never the unfilled rest of the buffer.
TEST_F(WindowTest, ReceiveFormatsTheBytesReadNotTheCountOffered) {
  auto driver = std::make_shared<test::FakeDriver>();
  driver->Prepare = [](test::FakeState& s) { s.ReadLimit = 2; };
  FDriver = driver;
  TfoMain& w = Make();
  w.cbConvert->setChecked(true);
  w.meFirst->setText("02");
  w.meLast->setText("03");
  w.FirstLast();
  OpenCom3();
  test::FakeState& d = *driver->Last;
  {
    std::lock_guard l(d.Lock);
    d.Input = {0x02, 'A', 'B', 'C', 0x03};
  }
  d.PushEvent(EV_RXCHAR);
  ASSERT_TRUE(PumpUntil([&] { return w.PendingLines().PendingCount() == 1; }));
  w.tiPauseTimer();
  EXPECT_EQ(w.PaneLines().back(), " STX A B C ETX");
  w.buCloseClick();
}

TEST_F(WindowTest, DirectKeysComeBackThroughTheLoopbackPort) {
  TfoMain& w = Make();
  w.cbConvert->setChecked(true);
  w.meFirst->setText("02");
  w.meLast->setText("03");
  w.FirstLast();
  w.raPort->SetItemIndex(3);      // COM99, the loopback
  w.rgDatabits->SetItemIndex(1);  // 8: a pseudo-terminal's own, so no notice
  w.buOpenClick();
  ASSERT_TRUE(w.Comm1().Active());
  w.cbDirect->setChecked(true);
  for (int k : {0x02, int{'O'}, int{'K'}, 0x03}) w.meDataKeyPress(static_cast<std::uint8_t>(k));
  ASSERT_TRUE(PumpUntil([&] { return w.PendingLines().PendingCount() == 1; }));
  w.tiPauseTimer();
  EXPECT_EQ(w.PaneLines().back(), " STX O K ETX");
  EXPECT_EQ(w.edLast->text().toStdString(), " ETX (4)");
  w.buCloseClick();
}

// The bench strip over the loopback port wired as a loopback plug: RTS
// comes back as CTS, DTR as DSR and DCD, a break as a break.
TEST_F(WindowTest, TheStripDrivesAndShowsTheLinesThroughALoopbackPlug) {
  TfoMain& w = Make();
  w.cbConvert->setChecked(true);
  w.meFirst->setText("02");
  w.meLast->setText("03");
  w.FirstLast();
  w.raPort->SetItemIndex(3);      // COM99
  w.rgDatabits->SetItemIndex(1);  // 8: the pseudo-terminal's own
  w.cbDirect->setChecked(true);
  const auto lit = [&] {
    std::string on;
    for (QLabel* l : {w.laCts, w.laDsr, w.laDcd, w.laRi})
      if (!l->styleSheet().isEmpty()) on += (on.empty() ? "" : " ") + l->text().toStdString();
    return on;
  };
  const auto type = [&](const std::string& keys) {
    for (char k : keys) w.meDataKeyPress(static_cast<std::uint8_t>(k));
  };
  // Two frames, the second sent once the first came back and `ms` passed.
  const auto typeApart = [&](const std::string& first, int ms, const std::string& second) {
    const std::uint64_t before = w.Session().BytesReceived();
    type(first);
    ASSERT_TRUE(PumpUntil([&] { return w.Session().BytesReceived() >= before + first.size(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    type(second);
  };
  const std::string kRequest("\x01\x03\x00\x00\x00\x02\xC4\x0B", 8);
  const std::string kAnswer("\x01\x03\x04\x00\x64\x00\x65\x7B\xC7", 9);
  const auto lastTwo = [&] {
    for (int i = 0; i < 4; ++i) w.tiPauseTimer();
    const auto pane = w.PaneLines();
    return pane.end()[-2] + "\n" + pane.back();
  };
  const auto lastLine = [&](bool timeout = false) {
    if (timeout) w.tiTimeoutTimer();  // ends a line that has no end sign
    for (int i = 0; i < 4; ++i) w.tiPauseTimer();
    return w.PaneLines().back();
  };
  const struct {
    const char* name;
    std::function<void()> act;
    const char* lit;
    std::function<bool()> done;  // what else holds after it
  } steps[] = {
      {"open: DTR and RTS raised", [&] { w.buOpenClick(); }, "CTS DSR DCD",
       [&] { return w.Comm1().Active(); }},
      {"RTS dropped", [&] { w.cbRts->click(); }, "DSR DCD", [] { return true; }},
      {"DTR dropped", [&] { w.cbDtr->click(); }, "", [] { return true; }},
      {"DTR raised", [&] { w.cbDtr->click(); }, "DSR DCD", [] { return true; }},
      {"a reset turns DTR over and back", [&] { w.buReset->click(); }, "DSR DCD",
       [&] { return w.buReset->isEnabled() && w.cbDtr->isChecked(); }},
      // The handshake takes RTS over; the plug's CTS stays as RTS was last set.
      {"RTS/CTS flow drives RTS",
       [&] {
         w.coFlow->setCurrentIndex(1);
         w.coFlowChange();
       },
       "DSR DCD", [&] { return w.Comm1().FlowControl().OutCtsFlow() && !w.cbRts->isEnabled(); }},
      {"a rate the group does not list",
       [&] {
         w.edRate->setText("230,400");
         w.edRateEnter();
       },
       "DSR DCD", [&] { return w.laPortState->text() == "COM99 230400 8N1"; }},
      {"a rate that is none",
       [&] {
         w.edRate->setText("12x");
         w.edRateEnter();
       },
       "DSR DCD",
       [&] {
         return w.PaneLines().back().rfind("// Rate \"12x\": a whole number of baud", 0) == 0 &&
                w.laPortState->text() == "COM99 230400 8N1";
       }},
      {"a break comes back", [&] { w.buBreak->click(); }, "DSR DCD",
       [&] {
         const auto pane = w.PaneLines();
         // It comes back as a NUL byte.
         return w.buBreak->isEnabled() && lastLine(true) == " NUL";
       }},
      {"lines stamped",
       [&] {
         w.coStamp->setCurrentIndex(2);  // utc
         w.coStampChange();
         type("\x02S\x03");
       },
       "DSR DCD",
       [&] {
         const std::string l = lastLine();
         return l.size() > 16 && l.front() == '[' && l.find("Z] STX S ETX") != std::string::npos;
       }},
      {"the text look",
       [&] {
         w.coStamp->setCurrentIndex(0);
         w.coStampChange();
         w.cbText->setChecked(true);
         type("hi\tok\n");
       },
       "DSR DCD", [&] { return lastLine() == "hi\\tok"; }},
      // Modbus takes STX_HL's place. The plug sends back what was sent:
      // each frame shows as sent (TX) and as received (RX), and an answer
      // pairs with the request of the other side.
      {"Modbus RTU: a request",
       [&] {
         w.cbSTXHL->setChecked(true);
         w.coModbus->setCurrentIndex(1);
         w.coModbusChange();
         type(kRequest);
       },
       "DSR DCD",
       [&] {
         const std::string request =
             "unit 1 read holding registers (3) request address 0 count 2 | CRC ok | "
             "01 03 00 00 00 02 C4 0B";
         return !w.cbSTXHL->isChecked() && !w.meFirst->isEnabled() && w.cbText->isHidden() &&
                lastTwo() == "TX " + request + "\nRX " + request;
       }},
      {"Modbus RTU: its answer, paired", [&] { type(kAnswer); }, "DSR DCD",
       [&] {
         const std::string answer =
             "unit 1 read holding registers (3) answer bytes 4 values 100, 101 | CRC ok | answer "
             "after ";
         const std::string l = lastTwo();
         return l.rfind("TX " + answer, 0) == 0 && l.find("\nRX " + answer) != std::string::npos &&
                l.ends_with(" ms | 01 03 04 00 64 00 65 7B C7");
       }},
      {"Modbus RTU: a request left unanswered",
       [&] {
         w.edAnswer->setText("40");
         w.edAnswerEnter();
         type(kRequest);
       },
       "DSR DCD",
       [&] {
         const std::string unanswered =
             "unit 1 read holding registers (3) request unanswered within 40.000 ms";
         return lastTwo() == "TX " + unanswered + "\nRX " + unanswered;
       }},
      {"PROD2 ends the Modbus view",
       [&] {
         w.cbPROD2->setChecked(true);
         type("\x02P\x03\n");
       },
       "DSR DCD",
       [&] {
         // The text look ticked above is back with the frames.
         return w.coModbus->currentIndex() == 0 && w.meFirst->isEnabled() &&
                w.edAnswer->isHidden() && lastLine() == "\\x02P\\x03";
       }},
      // Lines framed by silence, cut on the blocks' arrival: the field
      // holds the silence in the text look's place, the look is Convert's.
      {"silence: frames apart by more than it are two lines",
       [&] {
         w.coModbus->setCurrentIndex(w.kSilenceChoice);
         w.coModbusChange();
         w.edAnswer->setText("40");
         w.edAnswerEnter();
         typeApart("AB", 150, "CD");
       },
       "DSR DCD",
       [&] {
         return !w.cbPROD2->isChecked() && !w.meFirst->isEnabled() && w.cbText->isHidden() &&
                lastTwo() == " A B\n C D";
       }},
      {"silence in character times: frames closer than it are one line, in Hex",
       [&] {
         w.cbHEX->setChecked(true);
         w.edAnswer->setText("5000c");  // 217 ms at 230,400 baud
         w.edAnswerEnter();
         typeApart("AB", 0, "CD");
       },
       "DSR DCD", [&] { return lastLine() == " 41 42 43 44"; }},
      {"a silence that is none",
       [&] {
         w.edAnswer->setText("5 ms");
         w.edAnswerEnter();
       },
       "DSR DCD",
       [&] {
         return w.PaneLines().back() ==
                    "// Silence \"5 ms\": milliseconds such as 5 or 1.75, or character times "
                    "such as 3.5c expected; it stays 5000 character times." &&
                w.Session().LineRules().GapChars == 5000;
       }},
      {"STX_HL ends the silence", [&] { w.cbSTXHL->setChecked(true); }, "DSR DCD",
       [&] {
         return w.coModbus->currentIndex() == 0 && w.meFirst->isEnabled() &&
                w.edAnswer->isHidden() && !w.cbText->isHidden() &&
                w.Session().LineRules().GapNs == 0 && w.Session().LineRules().GapChars == 0;
       }},
  };
  for (const auto& st : steps) {
    SCOPED_TRACE(st.name);
    st.act();
    EXPECT_TRUE(PumpUntil([&] {
      w.tiPauseTimer();
      return lit() == st.lit && st.done();
    })) << "lit: "
        << lit() << "; pane ends " << w.PaneLines().back();
  }
  EXPECT_TRUE(FDialogs->errors.empty()) << FDialogs->errors.front();
  w.buCloseClick();
  EXPECT_EQ(lit(), "");
  // Every control of the strip is whole in it.
  for (QObject* o : w.paStrip->children()) {
    auto* c = qobject_cast<QWidget*>(o);
    if (!c) continue;
    SCOPED_TRACE(c->metaObject()->className());
    EXPECT_TRUE(w.paStrip->rect().contains(c->geometry())) << c->geometry().right();
    if (qobject_cast<QCheckBox*>(c) || qobject_cast<QComboBox*>(c)) {
      EXPECT_GE(c->width(), c->sizeHint().width());
    }
  }
}

TEST_F(WindowTest, LineErrorsBecomePendingLines) {
  TfoMain& w = Make();
  w.Comm1().SetPortNum(3);
  w.Comm1RealError(0x14);
  w.tiPauseTimer();
  const auto after = PaneAfterHeader();
  EXPECT_EQ(after,
            (std::vector<std::string>{"Error COM3 20", "The hardware detected a parity error.",
                                      "The hardware detected a break condition."}));
}

TEST_F(WindowTest, TypingCollectsEchoesAndSends) {
  TfoMain& w = Make();
  w.cbConvert->setChecked(true);
  for (char c : std::string("xyz")) w.meDataKeyPress(static_cast<std::uint8_t>(c));
  EXPECT_EQ(w.buTransmit->text().toStdString(), "Transmit (3)");
  EXPECT_TRUE(w.buTransmit->isEnabled());
  w.buTransmitClick();  // port closed: nothing sent, nothing lost
  EXPECT_EQ(w.TypedLine().Count(), 3);

  OpenCom3();
  w.buTransmitClick();
  w.buTransmitClick();
  ASSERT_TRUE(PumpUntil([&] { return FCom3.Received() == "xyzxyz"; }));

  // Below the header a short last line takes the echo.
  w.meDataKeyPress(0x02);  // Ctrl+B
  EXPECT_EQ(w.PaneLines().back(), "// COM3 is open STX");
  w.meDataKeyDown(0x71);  // F2
  EXPECT_EQ(w.PaneLines().back(), "// COM3 is open STX NUL");
  EXPECT_EQ(w.TypedLine().Count(), 5);
  EXPECT_EQ(w.TypedLine().Data()[4], 0x00);

  w.cbHEX->setChecked(true);
  const auto pane = w.PaneLines();
  w.meDataKeyPress(0x0D);
  EXPECT_EQ(w.PaneLines(), pane) << "hex looks echo nothing";
  w.cbHEX->setChecked(false);
  w.meDataKeyPress(0xC4);
  EXPECT_EQ(w.PaneLines(), pane) << "bytes from 0x80 are never echoed";

  w.ResetTypedLine();
  w.cbDirect->setChecked(true);
  w.meDataKeyPress('X');
  FCom3.received.clear();
  ASSERT_TRUE(PumpUntil([&] { return FCom3.Received() == "X"; }));
  EXPECT_EQ(w.TypedLine().Count(), 1);
  EXPECT_EQ(w.buTransmit->text().toStdString(), "Transmit");
  EXPECT_EQ(Key().ReadInteger("DIRECT"), 1);
  w.cbDirect->setChecked(false);
  w.meDataKeyPress('Y');
  EXPECT_EQ(w.buTransmit->text().toStdString(), "Transmit (2)");
  w.buTransmitClick();
  ASSERT_TRUE(PumpUntil([&] { return FCom3.Received() == "XXY"; }));
}

TEST_F(WindowTest, EchoStartsANewLineBelowOnlyTheHeader) {
  TfoMain& w = Make();
  w.cbConvert->setChecked(true);
  w.meDataKeyPress(0x0D);
  EXPECT_EQ(w.PaneLines().size(), 3u);
  EXPECT_EQ(w.PaneLines().back(), " CR ");
  w.meDataKeyPress(' ');
  EXPECT_EQ(w.PaneLines().back(), " CR   SP ");
}

TEST_F(WindowTest, AFullTypedLineRefusesFurtherKeysVisibly) {
  TfoMain& w = Make();
  for (int i = 0; i < TTypedLine::kCapacity; ++i) w.meDataKeyPress('a');
  const std::size_t lines = w.PaneLines().size();
  w.meDataKeyPress('b');
  w.meDataKeyPress('c');
  EXPECT_EQ(w.TypedLine().Count(), TTypedLine::kCapacity);
  EXPECT_EQ(w.buTransmit->text().toStdString(), "Transmit (4100)");
  ASSERT_EQ(w.PaneLines().size(), lines + 1) << "one status line, not one per key";
  EXPECT_EQ(w.PaneLines().back(),
            "// The typed line is full (4100 bytes): Transmit sends it, Clear empties it.");
  w.buClearClick();
  w.meDataKeyPress('d');
  EXPECT_EQ(w.TypedLine().Count(), 1);
}

// The handlers tell the pane whether the typed line took the key; a refused
// key does not reach the pane's text either.
TEST_F(WindowTest, KeyHandlersSayWhetherTheLineTookTheKey) {
  TfoMain& w = Make();
  EXPECT_TRUE(w.meDataKeyDown(Qt::Key_A)) << "only F2 sends on key-down";
  EXPECT_TRUE(w.meDataKeyDown(0x71)) << "F2 types a NUL";
  EXPECT_EQ(w.TypedLine().Count(), 1);
  for (int i = 1; i < TTypedLine::kCapacity; ++i) ASSERT_TRUE(w.meDataKeyPress('a'));
  EXPECT_FALSE(w.meDataKeyPress('b'));
  EXPECT_FALSE(w.meDataKeyDown(0x71));
  EXPECT_TRUE(w.meDataKeyDown(Qt::Key_A));
  const QString before = w.meData->toPlainText();
  QKeyEvent press(QEvent::KeyPress, Qt::Key_B, Qt::NoModifier, "b");
  QApplication::sendEvent(w.meData, &press);
  EXPECT_EQ(w.meData->toPlainText(), before);
  w.buClearClick();
  w.cbDirect->setChecked(true);
  EXPECT_TRUE(w.meDataKeyPress('c')) << "Direct sends the key at once";
}

TEST_F(WindowTest, ClearDropsPendingLinesButKeepsTheLineBeingBuilt) {
  TfoMain& w = Make();
  w.cbConvert->setChecked(true);
  w.Formatter().SetSigns(0x02, 0x03);
  const std::uint8_t bytes[] = {0x02, 'A', 0x03, 0x02, 'B'};
  w.Formatter().FormatReceived(bytes, sizeof bytes);
  EXPECT_EQ(w.PendingLines().PendingCount(), 1u);
  w.buClearClick();
  EXPECT_EQ(w.PendingLines().PendingCount(), 0u);
  EXPECT_EQ(w.PaneLines().size(), 2u);
  EXPECT_EQ(w.edLast->text().toStdString(), "");
  EXPECT_EQ(w.Formatter().TotalSigns(), 0);
  w.tiTimeoutTimer();
  w.tiPauseTimer();
  EXPECT_EQ(PaneAfterHeader(), (std::vector<std::string>{" STX B"}));
}

TEST_F(WindowTest, CaptureKeepsTheExactBytesAcrossReopen) {
  TfoMain& w = Make();
  FDialogs->capturePath = FDir + "/data.txt";
  w.buCaptureClick();
  EXPECT_EQ(w.buCapture->text().toStdString(), "Stop (DATA.LOG)");
  OpenCom3();
  const std::string first("\x02\x41\x03\x00\xff", 5);
  FCom3.Send(first);
  ASSERT_TRUE(PumpUntil([&] { return w.Formatter().TotalSigns() == 5; }));
  w.buCloseClick();
  OpenCom3();
  FCom3.Send("\r\nZ");
  ASSERT_TRUE(PumpUntil([&] { return w.Formatter().TotalSigns() == 8; }));
  w.buCaptureClick();
  EXPECT_EQ(w.buCapture->text().toStdString(), "Capture");
  FCom3.Send("late");
  ASSERT_TRUE(PumpUntil([&] { return w.Formatter().TotalSigns() == 12; }));
  EXPECT_EQ(test::ReadFile(FDir + "/DATA.LOG"), first + "\r\nZ");
}

TEST_F(WindowTest, CaptureToANonAsciiNameShowsTheNameAndWritesThere) {
  // File names are bytes in the locale's encoding (UTF-8 here); the
  // button must show the letters, not the bytes one by one.
  const struct {
    const char* folder;
    const char* chosen;
    const char* file;
    const char* button;
  } cases[] = {
      {"x", "данные.log", "данные.LOG", "Stop (данные.LOG)"},
      {"mätning", "Ölmätare", "ÖLMäTARE.LOG", "Stop (ÖLMäTARE.LOG)"},
      {"plain", "data", "DATA.LOG", "Stop (DATA.LOG)"},
  };
  TfoMain& w = Make();
  OpenCom3();
  std::size_t total = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.chosen);
    const std::string folder = FDir + "/" + c.folder;
    std::filesystem::create_directories(folder);
    FDialogs->capturePath = folder + "/" + c.chosen;
    w.buCaptureClick();
    EXPECT_EQ(w.buCapture->text(), QString::fromUtf8(c.button));
    EXPECT_TRUE(FDialogs->errors.empty());
    const std::string bytes = std::string("\x02") + c.chosen + "\x03";
    FCom3.Send(bytes);
    total += bytes.size();
    ASSERT_TRUE(
        PumpUntil([&] { return w.Formatter().TotalSigns() == static_cast<std::int64_t>(total); }));
    w.buCaptureClick();  // stop
    EXPECT_EQ(w.buCapture->text().toStdString(), "Capture");
    EXPECT_EQ(test::ReadFile(folder + "/" + c.file), bytes);
  }
}

// A long capture name keeps both ends of the caption in the button.
TEST_F(WindowTest, TheCaptureButtonShowsBothEndsOfItsCaption) {
  TfoMain& w = Make();
  for (const char* name : {"timed1.pcapng", "a_long_capture_of_the_night_run.pcapng"}) {
    SCOPED_TRACE(name);
    FDialogs->capturePath = FDir + "/" + name;
    w.buCaptureClick();
    const QString text = w.buCapture->text();
    EXPECT_TRUE(text.startsWith("Stop (")) << text.toStdString();
    EXPECT_TRUE(text.endsWith(".pcapng)") || text.endsWith("g)")) << text.toStdString();
    EXPECT_LE(QFontMetrics(w.buCapture->font()).horizontalAdvance(text), w.buCapture->width() - 8);
    w.buCaptureClick();
    EXPECT_EQ(w.buCapture->text().toStdString(), "Capture");
  }
}

TEST_F(WindowTest, CaptureThatCannotStartSaysWhereAndWhy) {
  TfoMain& w = Make();
  FDialogs->capturePath = FDir + "/no/such/folder/x.log";
  w.buCaptureClick();
  ASSERT_EQ(FDialogs->errors.size(), 1u);
  EXPECT_EQ(FDialogs->errors[0],
            "Cannot capture to \"" + FDir + "/no/such/folder/X.LOG\": No such file or directory");
  EXPECT_EQ(w.buCapture->text().toStdString(), "Capture");
  EXPECT_FALSE(w.Capture().Running());
}

TEST_F(WindowTest, ATimedCaptureDecodesToThePaneAndHoldsWhatWasTyped) {
  TfoMain& w = Make();
  OpenCom3();
  w.cbConvert->setChecked(true);
  w.cbTime->setChecked(true);
  w.cbHEX->setChecked(false);
  w.cbBcc->setChecked(false);
  w.Formatter().SetSigns(0x02, 0x03);
  const std::string path = FDir + "/run.pcapng";
  FDialogs->capturePath = path;
  w.buCaptureClick();
  ASSERT_EQ(w.buCapture->text().toStdString(), "Stop (run.pcapng)");
  // Frames in pieces, with pauses: each frame's stamp and gap come from the
  // blocks' arrival times, which the capture keeps.
  const struct {
    const char* bytes;
    int pauseMs;
  } pieces[] = {{"\x02"
                 "ab",
                 3},
                {"c\x03", 30},
                {"\x02"
                 "d\x03\x02",
                 0},
                {"ef\x03", 12}};
  std::int64_t total = 0;
  for (const auto& p : pieces) {
    FCom3.Send(p.bytes);
    total += static_cast<std::int64_t>(std::strlen(p.bytes));
    ASSERT_TRUE(PumpUntil([&] { return w.Formatter().TotalSigns() == total; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(p.pauseMs));
  }
  ASSERT_TRUE(PumpUntil([&] {
    w.tiPauseTimer();
    return w.PendingLines().PendingCount() == 0;
  }));
  const std::vector<std::string> pane = ReceivedLines();
  ASSERT_EQ(pane.size(), 3u);
  w.cbDirect->setChecked(false);
  w.meDataKeyPress('h');
  w.meDataKeyPress('i');
  w.buTransmitClick();
  ASSERT_TRUE(PumpUntil([&] { return FCom3.Received() == "hi"; }));
  w.buCaptureClick();
  ASSERT_EQ(w.buCapture->text().toStdString(), "Capture");

  const auto decode = [&](std::vector<std::string> args) {
    args.push_back(path);
    return DecodeLines(args);
  };
  EXPECT_EQ(decode({"--first", "02", "--last", "03", "--time"}), pane);
  EXPECT_EQ(decode({"--sent", "--hex"}), (std::vector<std::string>{" 68 69"}));
}

// A Modbus view of a bus that carries both sides: the pane's lines are
// what `decode --modbus rtu` makes of the window's timed capture, each
// marked as received.
TEST_F(WindowTest, AModbusViewDecodesFromItsTimedCaptureAsShown) {
  TfoMain& w = Make();
  w.rgBaud->SetItemIndex(9);  // 115200: frames apart by 1.75 ms
  OpenCom3();
  w.coModbus->setCurrentIndex(1);
  w.coModbusChange();
  w.edAnswer->setText("200");
  w.edAnswerEnter();
  const std::string path = FDir + "/bus.pcapng";
  FDialogs->capturePath = path;
  w.buCaptureClick();
  const std::string request("\x01\x03\x00\x00\x00\x02\xC4\x0B", 8);
  const std::string answer("\x01\x03\x04\x00\x64\x00\x65\x7B\xC7", 9);
  // Both sides on the line first; then the window sends (as its
  // transmit-file window does) and the device answers.
  const struct {
    std::string bytes;
    bool sent;
    int pauseMs;
  } frames[] = {{request, false, 8},    {answer, false, 8}, {request, false, 300},
                {"\xFF\xFE", false, 8}, {request, true, 8}, {answer, false, 8}};
  for (const auto& f : frames) {
    if (!f.sent) {
      ASSERT_TRUE(Arrive(f.bytes, f.pauseMs));
      continue;
    }
    w.Comm1().WriteBuf(f.bytes.data(), static_cast<int>(f.bytes.size()));
    w.Sent(f.bytes.data(), f.bytes.size());
    ASSERT_TRUE(PumpUntil([&] { return FCom3.Received().size() == f.bytes.size(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(f.pauseMs));
  }
  std::vector<std::string> pane;
  ASSERT_TRUE(WaitReceivedLines(7, pane)) << pane.size();
  EXPECT_NE(pane[1].find("| answer after "), std::string::npos) << pane[1];
  EXPECT_EQ(pane[3], "RX unit 1 read holding registers (3) request unanswered within 200.000 ms");
  EXPECT_EQ(pane[4].rfind("RX noise 2 bytes", 0), 0u) << pane[4];
  EXPECT_EQ(pane[5].rfind("TX unit 1 read holding registers (3) request", 0), 0u) << pane[5];
  EXPECT_EQ(pane[6].rfind("RX unit 1 read holding registers (3) answer", 0), 0u) << pane[6];
  EXPECT_NE(pane[6].find("| answer after "), std::string::npos) << pane[6];
  w.buCaptureClick();

  EXPECT_EQ(DecodeLines({"--modbus", "rtu", "--answer-timeout", "200", path}), pane);
}

// Lines framed by silence are cut on the blocks' arrival times, which the
// timed capture keeps: its decode cuts and stamps them as the pane did.
TEST_F(WindowTest, ASilenceFramingDecodesFromItsTimedCaptureAsShown) {
  TfoMain& w = Make();
  OpenCom3();
  w.cbConvert->setChecked(true);
  w.coModbus->setCurrentIndex(w.kSilenceChoice);
  w.coModbusChange();
  w.edAnswer->setText("30");
  w.edAnswerEnter();
  w.coStamp->setCurrentIndex(5);  // since
  w.coStampChange();
  const std::string path = FDir + "/silence.pcapng";
  FDialogs->capturePath = path;
  w.buCaptureClick();
  const struct {
    std::string bytes;
    int pauseMs;
  } blocks[] = {{"\x01\x02", 80}, {"\x03", 2}, {"\x04", 80}, {"AB", 0}};
  for (const auto& b : blocks) ASSERT_TRUE(Arrive(b.bytes, b.pauseMs));
  std::vector<std::string> pane;
  ASSERT_TRUE(WaitReceivedLines(3, pane)) << pane.size();
  EXPECT_TRUE(pane[1].ends_with("] ETX EOT")) << pane[1];
  w.buCaptureClick();

  EXPECT_EQ(DecodeLines({"--gap", "30", "--stamp=since", path}), pane);
}

TEST_F(WindowTest, CaptureThatFailsPartWayStopsVisiblyAndKeepsTheFile) {
  TfoMain& w = Make();
  FDialogs->capturePath = FDir + "/gcap";
  w.buCaptureClick();
  ASSERT_EQ(w.buCapture->text().toStdString(), "Stop (GCAP.LOG)");
  OpenCom3();
  FCom3.Send("ABCD");
  ASSERT_TRUE(PumpUntil([&] { return w.Formatter().TotalSigns() == 4; }));
  {
    // A file size limit refuses writes as a full disk does.
    const test::TSignalScope tooBig(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 6;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    FCom3.Send("EFGHIJ");
    const bool arrived = PumpUntil([&] { return w.Formatter().TotalSigns() == 10; });
    setrlimit(RLIMIT_FSIZE, &old);
    ASSERT_TRUE(arrived);
  }
  EXPECT_EQ(w.buCapture->text().toStdString(), "Capture");
  EXPECT_FALSE(w.Capture().Running());
  const std::string reason =
      "Cannot capture to \"" + FDir +
      "/GCAP.LOG\": File too large. The capture has stopped; the file keeps the 6 bytes "
      "written before.";
  ASSERT_TRUE(PumpUntil([&] { return !FDialogs->errors.empty(); }));
  EXPECT_EQ(FDialogs->errors, (std::vector<std::string>{reason}));
  EXPECT_EQ(test::ReadFile(FDir + "/GCAP.LOG"), "ABCDEF");

  // Data that keeps arriving neither reaches the file nor brings more boxes.
  FCom3.Send("KLMN");
  ASSERT_TRUE(PumpUntil([&] { return w.Formatter().TotalSigns() == 14; }));
  QCoreApplication::processEvents();
  EXPECT_EQ(test::ReadFile(FDir + "/GCAP.LOG"), "ABCDEF");
  EXPECT_EQ(FDialogs->errors.size(), 1u);
  for (int tick = 0; tick < 10 && w.PendingLines().PendingCount() > 0; ++tick) w.tiPauseTimer();
  const auto pane = w.PaneLines();
  EXPECT_NE(std::find(pane.begin(), pane.end(), "// " + reason), pane.end())
      << "the pane keeps the place";

  // The next click starts a new capture.
  FDialogs->capturePath = FDir + "/next";
  w.buCaptureClick();
  EXPECT_EQ(w.buCapture->text().toStdString(), "Stop (NEXT.LOG)");
  FCom3.Send("OP");
  ASSERT_TRUE(PumpUntil([&] { return w.Formatter().TotalSigns() == 16; }));
  EXPECT_EQ(test::ReadFile(FDir + "/NEXT.LOG"), "OP");
}

TEST_F(WindowTest, SaveWritesTheShownLinesWithCrLf) {
  TfoMain& w = Make();
  w.PendingLines().Add("not yet shown");
  FDialogs->savePath = FDir + "/pane.txt";
  w.buSaveClick();
  const auto lines = w.PaneLines();
  EXPECT_EQ(test::ReadFile(FDir + "/pane.txt"), lines[0] + "\r\n" + lines[1] + "\r\n");

  FDialogs->savePath = FDir + "/no/such/pane.txt";
  try {
    w.buSaveClick();
    ADD_FAILURE() << "no error";
  } catch (const std::exception& e) {
    EXPECT_EQ(std::string(e.what()),
              "Cannot create file \"" + FDir + "/no/such/pane.txt\". No such file or directory");
  }
}

TEST_F(WindowTest, ResizeRuleMovesThePaneAndTheBand) {
  TfoMain& w = Make();
  // Sizes the window can take: it keeps the least size at which every
  // control is whole.
  // (The bench strip's row below the band makes the least height 593.)
  w.resize(834, 600);
  w.FormResize();
  EXPECT_EQ(w.meData->geometry(), QRect(7, 18, 820, 360));
  EXPECT_EQ(w.raPort->y(), 396);
  EXPECT_EQ(w.buClear->x(), 745);
  EXPECT_EQ(w.buCapture->geometry().right() + 1, 820);
  EXPECT_EQ(w.paStrip->geometry(), QRect(13, 396 + 176 + 4, 660, 22));
  w.resize(700, 600);
  w.FormResize();
  EXPECT_EQ(w.meData->geometry(), QRect(5, 18, 689, 360));
  EXPECT_EQ(w.rgStop->y(), 396);
  w.resize(640, 400);
  EXPECT_EQ(w.size(), QSize(MinimumClientSize().Width, MinimumClientSize().Height));
}

TEST_F(WindowTest, AnsweringNoToTheCloseQuestionChangesNothing) {
  TfoMain& w = Make();
  OpenCom3();
  FDialogs->confirm = false;
  w.show();
  EXPECT_FALSE(w.close());
  EXPECT_EQ(FDialogs->confirmations, 1);
  EXPECT_TRUE(w.isVisible());
  EXPECT_TRUE(w.Comm1().Active());
  FDialogs->confirm = true;
  EXPECT_TRUE(w.close());
}

TEST_F(WindowTest, BadSettingsTakeDefaultsAndAreReportedOnce) {
  WriteSettings(
      "\"REGBAUD\"=\"fast\"\n\"REGPROTOCOL\"=dword:00000001\n\"COORDS\"=hex:00,00\n"
      "\"SILENCE\"=\"5 ms\"\n");
  TfoMain& w = Make();
  ASSERT_EQ(FDialogs->messages.size(), 1u);
  const std::string& m = FDialogs->messages[0];
  EXPECT_NE(m.find("Invalid data type for 'REGBAUD'"), std::string::npos) << m;
  EXPECT_NE(m.find("Invalid data type for 'REGPROTOCOL'"), std::string::npos) << m;
  EXPECT_NE(m.find("SILENCE \"5 ms\": milliseconds"), std::string::npos) << m;
  EXPECT_EQ(w.rgBaud->ItemIndex(), 0);
  EXPECT_EQ(Key().ReadInteger("REGBAUD"), 0);
  EXPECT_TRUE(w.Activated());
  w.tiPauseTimer();  // the window works
  w.tiTimeoutTimer();
}

TEST_F(WindowTest, SettingsThatCannotBeSavedAreToldOnceAndStillUsed) {
  // Root may write anywhere: a file where the folder should be stops writes.
  std::ofstream(FDir + "/file") << "not a folder";
  FSettings = FDir + "/file/TALMO.reg";
  TfoMain& w = Make();
  ASSERT_EQ(FDialogs->messages.size(), 1u);
  EXPECT_EQ(FDialogs->messages[0],
            "Failed to set data for 'REGXCOM' in " + FSettings + ": cannot use folder " + FDir +
                "/file: Not a directory. Changed settings are used while TALMO runs but are "
                "not saved.");
  EXPECT_TRUE(FDialogs->errors.empty()) << FDialogs->errors.front();
  // A change still reaches the port and is not reported again.
  w.rgBaud->SetItemIndex(9);
  EXPECT_EQ(w.Comm1().Baudrate(), br115200);
  w.cbDirect->click();
  FWindow.reset();  // the bounds are not saved either: nothing more to say
  EXPECT_EQ(FDialogs->messages.size(), 1u);
  EXPECT_TRUE(FDialogs->errors.empty()) << FDialogs->errors.front();
}

TEST_F(WindowTest, UnreadableSettingsFileIsSetAsideAndReported) {
  std::ofstream(FSettings) << "this is not a registry file\n";
  Make();
  ASSERT_EQ(FDialogs->messages.size(), 1u);
  EXPECT_NE(FDialogs->messages[0].find("TALMO.reg"), std::string::npos) << FDialogs->messages[0];
  EXPECT_EQ(Key().ReadInteger("REGBAUD"), 0);
}

TEST_F(WindowTest, BoundsOffEveryScreenFallBackToTheDefaults) {
  WriteSettings(
      "\"COORDS\"=hex:78,ec,ff,ff,78,ec,ff,ff,bc,02,00,00,f4,01,00,00\n");  // -5000, -5000
  TfoMain& w = Make();
  EXPECT_EQ(w.x(), 100);
  EXPECT_EQ(w.y(), 50);
}

// Stored bounds are four signed 32-bit little-endian numbers.
std::string CoordsValue(std::int32_t left, std::int32_t top, std::int32_t width,
                        std::int32_t height) {
  std::string v = "\"COORDS\"=hex:";
  for (std::int32_t n : {left, top, width, height})
    for (int b = 0; b < 4; ++b) {
      char pair[4];
      std::snprintf(pair, sizeof pair, "%02x",
                    static_cast<unsigned>(static_cast<std::uint32_t>(n) >> (8 * b)) & 0xFFu);
      v += std::string(v.back() == ':' ? "" : ",") + pair;
    }
  return v + "\n";
}

TEST_F(WindowTest, StoredBoundsAreFittedToTheScreen) {
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  ASSERT_GT(screen.width(), 700);
  ASSERT_GT(screen.height(), 500);
  const TClientSize least = MinimumClientSize();
  const QRect defaults(100, 50, std::max(700, least.Width), std::max(500, least.Height));
  const struct {
    const char* what;
    std::int32_t left, top, width, height;
    QRect shown;
  } rows[] = {
      {"INT_MAX left", INT_MAX, 50, 700, 500, defaults},
      {"INT_MAX top", 100, INT_MAX, 700, 500, defaults},
      {"40000 x 40000", 100, 50, 40000, 40000, screen},
      {"INT_MAX size", 0, 0, INT_MAX, INT_MAX, screen},
      {"INT_MIN everywhere", INT_MIN, INT_MIN, INT_MIN, INT_MIN, defaults},
      {"far left, INT_MAX size", -1000000000, 0, INT_MAX, INT_MAX, screen},
      {"normal", 20, 30, 700, 600, QRect(20, 30, 700, 600)},
      {"smaller than every control needs", 20, 30, 640, 400,
       QRect(20, 30, least.Width, least.Height)},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    WriteSettings(CoordsValue(r.left, r.top, r.width, r.height));
    TfoMain& w = Make();
    EXPECT_EQ(QRect(w.x(), w.y(), w.width(), w.height()), r.shown);
    EXPECT_TRUE(FDialogs->messages.empty());
    FWindow.reset();
    std::uint8_t coords[16];
    ASSERT_EQ(Key().ReadBinaryData("COORDS", coords, 16), 16);
    const auto at = [&coords](int i) {
      return static_cast<std::int32_t>(coords[4 * i] | coords[4 * i + 1] << 8 |
                                       coords[4 * i + 2] << 16 |
                                       static_cast<std::uint32_t>(coords[4 * i + 3]) << 24);
    };
    EXPECT_EQ(QRect(at(0), at(1), at(2), at(3)), r.shown)
        << "the fitted bounds are what is stored at the end";
    std::remove(FSettings.c_str());
  }
}

TEST_F(WindowTest, ADeviceThatGoesAwayIsReportedOnce) {
  TfoMain& w = Make();
  OpenCom3();
  ::close(FCom3.master);
  FCom3.master = -1;
  ASSERT_TRUE(PumpUntil([&] {
    w.tiPauseTimer();
    for (const auto& l : w.PaneLines())
      if (l == "// The device is no longer available.") return true;
    return false;
  }));
  // No second report while the window keeps running.
  PumpUntil([] { return false; }, 400);
  w.tiPauseTimer();
  w.tiPauseTimer();
  int reports = 0;
  for (const auto& l : w.PaneLines()) reports += l == "// The device is no longer available.";
  EXPECT_EQ(reports, 1);
  EXPECT_FALSE(w.Comm1().Active()) << "closed at the loss";
  EXPECT_TRUE(w.buOpen->isEnabled());
  w.buCloseClick();
  EXPECT_FALSE(w.Comm1().Active());
}

// The strip's choices are kept from one start to the next; a first start
// that never touches them stores none.
TEST_F(WindowTest, TheStripsChoicesAreKept) {
  Make();
  for (const char* name :
       {"FLOW", "STAMP", "TEXTLOOK", "RECONNECT", "MODBUS", "ANSWERTIMEOUT", "SILENCE"})
    EXPECT_FALSE(Key().ValueExists(name)) << name;
  std::array<std::uint8_t, TProtocolFlags::kSize + 1> before{};
  const int beforeSize =
      Key().ReadBinaryData("REGPROTOCOL", before.data(), static_cast<int>(before.size()));
  FWindow->coFlow->setCurrentIndex(2);
  FWindow->coFlowChange();
  FWindow->coStamp->setCurrentIndex(4);
  FWindow->coStampChange();
  FWindow->cbText->setChecked(true);
  FWindow->cbReconnect->setChecked(true);
  // The silence is kept while another choice is on.
  FWindow->coModbus->setCurrentIndex(FWindow->kSilenceChoice);
  FWindow->coModbusChange();
  FWindow->edAnswer->setText("7.5");
  FWindow->edAnswerEnter();
  FWindow->coModbus->setCurrentIndex(2);
  FWindow->coModbusChange();
  FWindow->edAnswer->setText("250");
  FWindow->edAnswerEnter();
  FWindow.reset();
  // The protocol record keeps its layout: older versions read it.
  std::array<std::uint8_t, TProtocolFlags::kSize + 1> after{};
  EXPECT_EQ(Key().ReadBinaryData("REGPROTOCOL", after.data(), static_cast<int>(after.size())),
            beforeSize);
  EXPECT_EQ(after, before);
  TfoMain& w = Make();
  EXPECT_EQ(w.coModbus->currentIndex(), 2);
  EXPECT_EQ(w.Session().LineRules().Modbus, TModbusMode::Ascii);
  EXPECT_EQ(w.Session().LineRules().AnswerTimeoutNs, 250000000);
  EXPECT_EQ(w.edAnswer->text().toStdString(), "250");
  EXPECT_FALSE(w.cbBcc->isEnabled());
  EXPECT_EQ(w.coFlow->currentIndex(), 2);
  EXPECT_TRUE(w.Comm1().FlowControl().XonXoffOut());
  EXPECT_EQ(w.coStamp->currentIndex(), 4);
  EXPECT_EQ(w.Session().LineRules().Stamp, TStampForm::Gap);
  EXPECT_TRUE(w.cbText->isChecked());
  EXPECT_TRUE(w.Session().LineRules().Cut);
  EXPECT_TRUE(w.cbReconnect->isChecked());

  // Chosen at the end, the silence frames the lines again at the start,
  // in the look of the boxes restored before it.
  w.cbConvert->setChecked(true);
  w.FirstLast();
  w.coModbus->setCurrentIndex(w.kSilenceChoice);
  w.coModbusChange();
  EXPECT_EQ(w.edAnswer->text().toStdString(), "7.5");
  FWindow.reset();
  TfoMain& again = Make();
  EXPECT_EQ(again.coModbus->currentIndex(), again.kSilenceChoice);
  const TLineRules& rules = again.Session().LineRules();
  EXPECT_TRUE(rules.Cut);
  EXPECT_EQ(rules.GapNs, 7500000);
  EXPECT_FALSE(rules.End.has_value());
  EXPECT_EQ(rules.Look, TLineLook::Names);
  EXPECT_EQ(again.edAnswer->text().toStdString(), "7.5");
}

// With Reconnect ticked a lost device is awaited (quietly while it is only
// absent) and opened again with the same settings when it is back.
TEST_F(WindowTest, ReconnectWaitsForALostDeviceAndOpensItAgain) {
  auto driver = std::make_shared<test::FakeDriver>();
  FDriver = driver;
  TfoMain& w = Make();
  w.cbReconnect->setChecked(true);
  OpenCom3();
  w.rgBaud->SetItemIndex(4);
  const std::string name = driver->Names.back();
  test::FakeState& d = *driver->Last;
  {
    std::lock_guard l(driver->Lock);
    driver->OpenErrors[name] = ENOENT;
  }
  {
    std::lock_guard l(d.Lock);
    d.GoneError = EIO;
  }
  d.Cv.notify_all();
  ASSERT_TRUE(PumpUntil([&] { return !w.Comm1().Active(); }));
  EXPECT_TRUE(w.buOpen->isEnabled());
  EXPECT_EQ(w.laPortState->text().toStdString(), "COM3 lost: waiting to reopen it");
  PumpUntil([] { return false; }, 400);
  for (int i = 0; i < 4; ++i) w.tiPauseTimer();
  const std::vector<std::string> lost = PaneAfterHeader();
  ASSERT_GE(lost.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(lost.end() - 3, lost.end()),
            (std::vector<std::string>{"// Error COM3 1024", "// The device is no longer available.",
                                      "// COM3 is closed"}))
      << "an absent device is no news while it is awaited";
  {
    std::lock_guard l(driver->Lock);
    driver->OpenErrors.clear();
  }
  ASSERT_TRUE(PumpUntil([&] { return w.Comm1().Active(); }));
  EXPECT_EQ(w.PaneLines().back(), "// COM3 is open");
  EXPECT_EQ(w.laPortState->text().toStdString(), "COM3 9600 8N1") << "the same settings";
  // Unticked, a later loss is not awaited.
  w.cbReconnect->setChecked(false);
  {
    std::lock_guard l(driver->Lock);
    driver->OpenErrors[name] = ENOENT;
  }
  {
    std::lock_guard l(driver->Last->Lock);
    driver->Last->GoneError = EIO;
  }
  driver->Last->Cv.notify_all();
  ASSERT_TRUE(PumpUntil([&] { return !w.Comm1().Active(); }));
  EXPECT_EQ(w.laPortState->text().toStdString(), "");
}

TEST_F(WindowTest, SmallActions) {
  TfoMain& w = Make();
  w.laWebClick();
  EXPECT_EQ(FDialogs->url, "https://velkerstam.example/talmo");
  w.buStringsClick();
  EXPECT_EQ(FDialogs->stringsShown, 1);
}

// Counts the paint events a widget gets.
struct PaintCounter : QObject {
  int paints = 0;
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Paint) ++paints;
    return false;
  }
};

void Settle() {
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

TEST_F(WindowTest, APaneTickPaintsThePaneOnceNotPerLine) {
  TfoMain& w = Make();
  w.show();
  ASSERT_TRUE(PumpUntil([&] { return w.meData->isVisible(); }));
  Settle();
  for (int i = 0; i < 8; ++i) w.PendingLines().Add("line " + std::to_string(i));
  PaintCounter pane, lastSign;
  w.meData->viewport()->installEventFilter(&pane);
  w.edLast->installEventFilter(&lastSign);
  w.tiPauseTimer();
  Settle();
  EXPECT_EQ(w.PaneLines().back(), "line 7");
  EXPECT_EQ(pane.paints, 1) << "the pane was painted between the lines of one tick";
  pane.paints = 0;
  w.tiPauseTimer();  // nothing waits: nothing to paint
  Settle();
  EXPECT_EQ(pane.paints, 0);

  // The last-sign field follows every block in its text; it is painted at
  // most once per 100 ms however many blocks arrive.
  QElapsedTimer clock;
  clock.start();
  const std::uint8_t block[] = {'a', 'b'};
  for (int i = 0; i < 40; ++i) {
    w.Formatter().FormatReceived(block, sizeof block);
    QCoreApplication::processEvents();
  }
  EXPECT_EQ(w.edLast->text().toStdString(), "b (80)");
  EXPECT_LE(lastSign.paints, 2 + clock.elapsed() / 100) << "painted for every block";
  ASSERT_TRUE(PumpUntil([&] { return w.edLast->updatesEnabled(); }));
  Settle();
  EXPECT_GE(lastSign.paints, 1) << "the last text was never painted";
  w.meData->viewport()->removeEventFilter(&pane);
  w.edLast->removeEventFilter(&lastSign);
}

TEST_F(WindowTest, TheBacklogIsBoundedAndTheGapIsShownInThePane) {
  TfoMain& w = Make();
  const std::size_t cap = TPendingLines::kDefaultMaxLines;
  for (std::size_t i = 0; i < cap + 10; ++i) w.PendingLines().Add(std::to_string(i));
  EXPECT_EQ(w.PendingLines().PendingCount(), cap);
  const std::size_t before = w.PaneLines().size();
  w.tiPauseTimer();
  EXPECT_EQ(w.cbPause->text().toStdString(), "Pause (" + std::to_string(cap) + ")");
  const auto lines = w.PaneLines();
  ASSERT_EQ(lines.size(), before + 9);
  EXPECT_EQ(lines[before], TPendingLines::DroppedNotice(10));
  EXPECT_EQ(lines[before + 1], "10");
  EXPECT_EQ(lines.back(), "17");
  w.tiPauseTimer();
  EXPECT_EQ(w.cbPause->text().toStdString(), "Pause (" + std::to_string(cap - 8) + ")");
}

// A flood's backlog can be left: the button over the Pause count skips to
// the live end, the pane tells how many lines it did not show, the count
// starts again and the button goes until lines wait again.
TEST_F(WindowTest, SkipToLiveLeavesTheBacklogAndSaysHowMany) {
  TfoMain& w = Make();
  EXPECT_TRUE(w.buLive->isHidden()) << "nothing waits";
  for (int i = 0; i < 500; ++i) w.PendingLines().Add("L" + std::to_string(i));
  w.tiPauseTimer();
  EXPECT_FALSE(w.buLive->isHidden());
  for (QObject* o : w.Panel1->children()) {
    auto* other = qobject_cast<QWidget*>(o);
    if (other && other != w.buLive && other != w.laSigns) {
      EXPECT_FALSE(other->geometry().intersects(w.buLive->geometry()))
          << other->metaObject()->className();
    }
  }
  EXPECT_LE(w.laSigns->geometry().bottom(), w.buLive->geometry().top());
  const std::size_t before = w.PaneLines().size();
  w.buLive->click();
  const auto lines = w.PaneLines();
  ASSERT_EQ(lines.size(), before + 1);
  EXPECT_EQ(lines.back(), TPendingLines::DroppedNotice(0, 492));
  EXPECT_EQ(w.cbPause->text().toStdString(), "Pause");
  EXPECT_TRUE(w.buLive->isHidden());
  w.PendingLines().Add("now");
  w.tiPauseTimer();
  EXPECT_EQ(w.PaneLines().back(), "now");
}

// Nothing reaches the pane that was not received or typed: Ctrl+V stays
// the control code SYN, and the clipboard's text goes nowhere, whichever
// way it is pasted.
TEST_F(WindowTest, APasteNeverPutsTextIntoThePane) {
  TfoMain& w = Make();
  QGuiApplication::clipboard()->setText("NOT SENT");
  const std::string before = w.meData->toPlainText().toStdString();
  QKeyEvent ctrlV(QEvent::KeyPress, Qt::Key_V, Qt::ControlModifier, QString(QChar(0x16)));
  QApplication::sendEvent(w.meData, &ctrlV);
  ASSERT_EQ(w.TypedLine().Count(), 1);
  EXPECT_EQ(w.TypedLine().Data()[0], 0x16) << "Ctrl+V is typed as SYN";
  w.meData->paste();
  QMimeData dropped;
  dropped.setText("DROPPED");
  QMetaObject::invokeMethod(w.meData, "insertPlainText", Q_ARG(QString, QString()));
  const std::string after = w.meData->toPlainText().toStdString();
  EXPECT_EQ(after.find("NOT SENT"), std::string::npos) << after;
  EXPECT_FALSE(w.meData->canPaste());
  EXPECT_EQ(after.substr(0, before.size()), before);
}

// Which port is open, with which settings, shows under the last-sign
// field from Open to Close, clear of every other control.
TEST_F(WindowTest, TheOpenPortAndItsSettingsShowUntilItCloses) {
  TfoMain& w = Make();
  EXPECT_EQ(w.laPortState->text().toStdString(), "");
  w.rgBaud->SetItemIndex(4);  // 9600
  w.rgDatabits->SetItemIndex(1);
  OpenCom3();
  EXPECT_EQ(w.laPortState->toolTip().toStdString(), "Open: COM3 9600 8N1");
  w.resize(900, 600);
  w.FormResize();
  EXPECT_EQ(w.laPortState->text().toStdString(), "COM3 9600 8N1");
  for (QWidget* other : w.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
    if (other != w.laPortState && other->isVisibleTo(&w)) {
      EXPECT_FALSE(other->geometry().intersects(w.laPortState->geometry()))
          << other->metaObject()->className();
    }
  }
  w.buCloseClick();
  EXPECT_EQ(w.laPortState->text().toStdString(), "");
  // Chosen while the port is closed, they are told at once, not at Open.
  w.rgStop->SetItemIndex(0);
  w.rgStop->SetItemIndex(1);
  EXPECT_EQ(w.PaneLines().back(),
            "// 1.5 stop bits: no Linux serial driver sets them with 7 or 8 data bits; choose 1 "
            "or 2.");
}

// A pseudo-terminal keeps 8 data bits and no parity whatever it is told:
// the port opens (again and again) with what the device can do, and the
// pane says once which settings it ignores.
TEST_F(WindowTest, APseudoTerminalReopensWithSevenBitsOrParityAndSaysWhatItIgnores) {
  const struct {
    const char* name;
    int databits, parity;  // item indexes: 7/8; None/Odd/Even
    const char* ignored;   // in the notice; nullptr: none
  } rows[] = {
      {"7 data bits", 0, 0, "7 data bits"},
      {"odd parity", 1, 1, "parity odd"},
      {"even parity, 7 bits", 0, 2, "7 data bits, parity even"},
      {"8N1", 1, 0, nullptr},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    TfoMain& w = Make();
    w.rgBaud->SetItemIndex(4);  // 9600
    w.rgDatabits->SetItemIndex(r.databits);
    w.rgParity->SetItemIndex(r.parity);
    for (int i = 0; i < 3; ++i) {
      w.raPort->SetItemIndex(0);
      w.buOpenClick();
      ASSERT_TRUE(w.Comm1().Active()) << "open " << i + 1;
      w.buCloseClick();
    }
    EXPECT_TRUE(FDialogs->messages.empty());
    while (w.PendingLines().PendingCount() > 0) w.tiPauseTimer();
    int told = 0;
    for (const std::string& line : w.PaneLines())
      if (line.find("ignores") != std::string::npos) {
        ++told;
        if (r.ignored) {
          EXPECT_NE(line.find(r.ignored), std::string::npos) << line;
        }
      }
    EXPECT_EQ(told, r.ignored ? 3 : 0) << "once each open";
    FWindow.reset();
  }
}

TEST_F(WindowTest, ThePaneKeepsItsNewestLinesAndSaveWritesThem) {
  TfoMain& w = Make();
  const int total = kPaneMaxLines + 37;
  for (int i = 0; i < total; ++i) w.PendingLines().Add("L" + std::to_string(i));
  while (w.PendingLines().PendingCount() > 0) w.tiPauseTimer();
  const auto lines = w.PaneLines();
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kPaneMaxLines));
  EXPECT_EQ(lines.front(), "L" + std::to_string(total - kPaneMaxLines));
  EXPECT_EQ(lines.back(), "L" + std::to_string(total - 1));
  FDialogs->savePath = FDir + "/pane.txt";
  w.buSaveClick();
  std::string expected;
  for (const auto& l : lines) expected += l + "\r\n";
  EXPECT_EQ(test::ReadFile(FDir + "/pane.txt"), expected);
}

TEST_F(WindowTest, CaptionsFitTheirControls) {
  TfoMain& w = Make();
  // The Pause box reads a count up to 999,999 in full and covers no other
  // control of its panel.
  w.cbPause->setText(QString::fromStdString(TPendingLines::PauseCaption(999999)));
  EXPECT_LE(w.cbPause->sizeHint().width(), w.cbPause->width());
  for (QObject* o : w.Panel1->children()) {
    auto* other = qobject_cast<QWidget*>(o);
    if (other && other != w.cbPause) {
      EXPECT_FALSE(other->geometry().intersects(w.cbPause->geometry()))
          << other->metaObject()->className();
    }
  }
  // The Transmit button shows its whole caption with a four-digit count.
  for (int i = 0; i < 1100; ++i) w.meDataKeyPress('a');
  EXPECT_EQ(w.buTransmit->text().toStdString(), "Transmit (1100)");
  const QFontMetrics fm(w.buTransmit->font());
  EXPECT_LE(fm.horizontalAdvance(w.buTransmit->text()) + 6, w.buTransmit->width());
  w.buClearClick();
  EXPECT_EQ(w.buTransmit->text().toStdString(), "Transmit");
}

// Every choice of the line-setting groups reads whole inside its group,
// "115200" in the narrow Baudrate group too.
TEST_F(WindowTest, EveryRadioCaptionFitsInsideItsGroup) {
  TfoMain& w = Make();
  w.show();
  Settle();
  for (TRadioGroup* g : {w.raPort, w.rgBaud, w.rgDatabits, w.rgParity, w.rgStop}) {
    for (QRadioButton* b : g->findChildren<QRadioButton*>()) {
      SCOPED_TRACE(b->text().toStdString());
      EXPECT_LE(b->sizeHint().width(), b->width());
      EXPECT_LE(b->geometry().right(), g->width() - 2);
      EXPECT_GE(b->x(), 2);
    }
  }
}

TEST_F(WindowTest, OpenAndCloseLeaveTheFocusInThePane) {
  TfoMain& w = Make();
  w.show();
  w.activateWindow();
  QApplication::setActiveWindow(&w);
  ASSERT_TRUE(PumpUntil([&] { return w.isActiveWindow(); }));
  w.raPort->SetItemIndex(0);
  w.buOpen->setFocus();
  w.buOpen->click();  // the button disables itself as the port opens
  ASSERT_TRUE(w.Comm1().Active());
  Settle();
  EXPECT_EQ(QApplication::focusWidget(), w.meData);
  w.buClose->setFocus();
  w.buClose->click();
  Settle();
  EXPECT_EQ(QApplication::focusWidget(), w.meData);
}

// Keys send bytes and echo at the end; what the pane shows of a received
// line never changes by a key, wherever the caret stands. Copy stays.
TEST_F(WindowTest, KeysNeverEditWhatThePaneShows) {
  TfoMain& w = Make();
  w.cbConvert->setChecked(true);
  w.meFirst->setText("02");
  w.meLast->setText("03");
  w.FirstLast();
  OpenCom3();
  FCom3.Send("\x02SXY\x03");
  ASSERT_TRUE(PumpUntil([&] { return w.PendingLines().PendingCount() == 1; }));
  w.tiPauseTimer();
  const std::string frame = " STX S X Y ETX";
  ASSERT_EQ(w.PaneLines().back(), frame);
  const std::size_t frameLine = w.PaneLines().size() - 1;
  w.cbDirect->setChecked(true);
  auto key = [&](int k, Qt::KeyboardModifiers m, const char* text) {
    QTextCursor c = w.meData->textCursor();
    c.setPosition(w.meData->document()->findBlockByNumber(static_cast<int>(frameLine)).position() +
                  6);  // inside the frame, after "STX S"
    w.meData->setTextCursor(c);
    QKeyEvent e(QEvent::KeyPress, k, m, QString::fromLatin1(text));
    QApplication::sendEvent(w.meData, &e);
  };
  const struct {
    const char* name;
    int key;
    Qt::KeyboardModifiers mods;
    const char* text;
    const char* sent;
  } keys[] = {
      {"Backspace", Qt::Key_Backspace, Qt::NoModifier, "\b", "\b"},
      {"Delete", Qt::Key_Delete, Qt::NoModifier, "\x7f", "\x7f"},
      {"Ctrl+X", Qt::Key_X, Qt::ControlModifier, "\x18", "\x18"},
      {"Ctrl+V", Qt::Key_V, Qt::ControlModifier, "\x16", "\x16"},
      {"Enter", Qt::Key_Return, Qt::NoModifier, "\r", "\r"},
      {"a letter", Qt::Key_T, Qt::NoModifier, "T", "T"},
      {"Ctrl+C", Qt::Key_C, Qt::ControlModifier, "\x03", "\x03"},
  };
  std::string sent;
  for (const auto& k : keys) {
    SCOPED_TRACE(k.name);
    key(k.key, k.mods, k.text);
    sent += k.sent;
    ASSERT_TRUE(PumpUntil([&] { return FCom3.Received() == sent; })) << FCom3.Received();
    EXPECT_EQ(w.PaneLines()[frameLine], frame);
  }
  EXPECT_EQ(w.PaneLines().back().back(), 'T') << "typed text goes to the end";
  // Copy: the menu's and Ctrl+Shift+C, which sends nothing.
  QApplication::clipboard()->clear();
  QTextCursor c(w.meData->document()->findBlockByNumber(static_cast<int>(frameLine)));
  c.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
  w.meData->setTextCursor(c);
  QKeyEvent copy(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier, "\x03");
  QApplication::sendEvent(w.meData, &copy);
  EXPECT_EQ(QApplication::clipboard()->text().toStdString(), frame);
  Settle();
  EXPECT_EQ(FCom3.Received(), sent);
  EXPECT_EQ(w.PaneLines()[frameLine], frame);
  w.buCloseClick();
}

// Tab and Shift+Tab go through the window in the designed order, one stop
// per selector group (its selected item); arrows move within a group.
TEST_F(WindowTest, TabVisitsEveryGroupOnceInTheDesignedOrder) {
  WriteSettings("\"REGBAUD\"=dword:00000004\n");
  TfoMain& w = Make();
  w.show();
  Settle();
  const std::vector<std::pair<QWidget*, const char*>> names = {
      {w.rgDatabits, "Databits"}, {w.rgParity, "Parity"},   {w.rgStop, "Stopbits"},
      {w.rgBaud, "Baudrate"},     {w.buSave, "Save"},       {w.buClear, "Clear"},
      {w.buClose, "Close"},       {w.buOpen, "Open"},       {w.edLast, "Last sign"},
      {w.meFirst, "First"},       {w.meLast, "Last"},       {w.cbBcc, "BCC"},
      {w.cbTime, "Time"},         {w.cbConvert, "Convert"}, {w.cbHEX, "Hex"},
      {w.cbSTXHL, "STX_HL"},      {w.cbPROD2, "PROD2"},     {w.cbManch, "Manch"},
      {w.buCapture, "Capture"},   {w.meData, "pane"},       {w.raPort, "Port"}};
  const auto name = [&](QWidget* f) -> std::string {
    for (const auto& [widget, n] : names)
      if (f == widget || (f && f->parentWidget() == widget)) return n;
    return f ? f->metaObject()->className() : "none";
  };
  const auto press = [](int key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QKeyEvent e(QEvent::KeyPress, key, mods);
    QApplication::sendEvent(QApplication::focusWidget(), &e);
  };
  w.rgDatabits->setFocus();
  std::vector<std::string> forward, backward, expected;
  for (const auto& [widget, n] : names) {
    forward.push_back(name(QApplication::focusWidget()));
    expected.push_back(n);
    press(Qt::Key_Tab);
  }
  EXPECT_EQ(forward, expected);
  w.raPort->setFocus();
  for (std::size_t i = 0; i < names.size(); ++i) {
    backward.push_back(name(QApplication::focusWidget()));
    press(Qt::Key_Backtab, Qt::ShiftModifier);
  }
  std::reverse(expected.begin(), expected.end());
  EXPECT_EQ(backward, expected);
  // The baud group's stop is its selected item; an arrow selects the next.
  w.rgBaud->setFocus();
  EXPECT_EQ(QApplication::focusWidget()->parentWidget(), w.rgBaud);
  EXPECT_EQ(static_cast<QRadioButton*>(QApplication::focusWidget())->text().toStdString(), "9600");
  press(Qt::Key_Down);
  EXPECT_EQ(w.rgBaud->ItemIndex(), 5);
  EXPECT_EQ(static_cast<QRadioButton*>(QApplication::focusWidget())->text().toStdString(), "14400");
  press(Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), w.buSave) << "the next stop after the moved one";
}

TEST_F(WindowTest, TypedCharactersAreSentInTheAnsiCodePage) {
  TfoMain& w = Make();
  const std::size_t before = w.PaneLines().size();
  auto type = [&](const QString& text) {
    QKeyEvent e(QEvent::KeyPress, 0, Qt::NoModifier, text);
    QApplication::sendEvent(w.meData, &e);
  };
  type(QString::fromUtf8("\xE2\x82\xAC"));  // euro sign
  type(QString::fromUtf8("\xC3\xA9"));      // e acute
  type(QString::fromUtf8("\xE4\xB8\xAD"));  // no byte in the code page: refused
  ASSERT_EQ(w.TypedLine().Count(), 2);
  EXPECT_EQ(w.TypedLine().Data()[0], 0x80);
  EXPECT_EQ(w.TypedLine().Data()[1], 0xE9);
  EXPECT_EQ(w.buTransmit->text().toStdString(), "Transmit (2)");
  const auto lines = w.PaneLines();
  ASSERT_EQ(lines.size(), before);
  EXPECT_EQ(QString::fromStdString(lines.back()).contains(QChar(0x4E2D)), false);
}

// The capture and save dialogs say that they save, and a file that holds
// data is replaced only after the user said so; an empty one needs no word.
TEST_F(WindowTest, FileDialogsSaveAndAskBeforeReplacingData) {
  const std::string full = FDir + "/FULL.LOG", empty = FDir + "/EMPTY.LOG",
                    text = FDir + "/pane.txt";
  const std::string data(27, 'x');
  std::ofstream(full) << data;
  std::ofstream(empty).flush();
  std::ofstream(text) << "hello";
  TQtDialogs boxes(nullptr);
  const struct {
    const char* name;
    bool capture;
    std::string path;
    QMessageBox::StandardButton answer;  // NoButton: no box expected
    std::optional<std::string> chosen;
  } cases[] = {
      {"capture over data, No", true, full, QMessageBox::No, std::nullopt},
      {"capture over data, Yes", true, full, QMessageBox::Yes, full},
      {"capture over an empty file", true, empty, QMessageBox::NoButton, empty},
      {"save over data, No", false, text, QMessageBox::No, std::nullopt},
      {"save to a new name", false, FDir + "/new.txt", QMessageBox::NoButton, FDir + "/new.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QString title, button;
    int mode = -1;
    std::string asked;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, [&] {
      QWidget* top = QApplication::activeModalWidget();
      if (auto* d = qobject_cast<QFileDialog*>(top); d && d->isVisible() && mode < 0) {
        mode = d->acceptMode();
        title = d->windowTitle();
        button = d->labelText(QFileDialog::Accept);
        d->selectFile(QString::fromStdString(c.path));
        QMetaObject::invokeMethod(d, "accept", Qt::QueuedConnection);
      } else if (auto* b = qobject_cast<QMessageBox*>(top); b && b->isVisible()) {
        asked = b->text().toStdString();
        b->button(c.answer == QMessageBox::NoButton ? QMessageBox::No : c.answer)->click();
      }
    });
    poll.start();
    const std::optional<std::string> chosen =
        c.capture ? boxes.ChooseCaptureFile() : boxes.ChooseSaveFile();
    poll.stop();
    EXPECT_EQ(mode, QFileDialog::AcceptSave);
    EXPECT_TRUE(title.startsWith("Save") || title.startsWith("Capture")) << title.toStdString();
    EXPECT_NE(button.toStdString(), "&Open");
    EXPECT_EQ(chosen, c.chosen);
    if (c.answer == QMessageBox::NoButton)
      EXPECT_EQ(asked, "");
    else
      EXPECT_NE(asked.find(" bytes"), std::string::npos) << asked;
  }
  EXPECT_EQ(test::ReadFile(full), data) << "a dialog never changes a file";
  EXPECT_EQ(test::ReadFile(text), "hello");
}

TEST_F(WindowTest, TitlesAreExactlyAsSet) {
  // The program sets its title as the display name; the window system would
  // append that to every other title.
  QGuiApplication::setApplicationDisplayName(kAppTitle);
  TfoMain& w = Make();
  EXPECT_EQ(w.windowTitle().toStdString(), kAppTitle);
  EXPECT_TRUE(QGuiApplication::applicationDisplayName().isEmpty());
  TQtDialogs boxes(&w);
  std::vector<std::string> titles;
  auto answer = [&] { talmo::test::CloseNextBoxNotingTitle(titles); };
  answer();
  boxes.Message("Open fail");
  answer();
  boxes.Confirm("Are You sure?");
  answer();
  boxes.Error("failed");
  EXPECT_EQ(titles, (std::vector<std::string>{kAppTitle, "Confirm", kAppTitle}));
}

TEST_F(WindowTest, TheCaptureDialogOffersTheTimedCaptureAndKeepsItsName) {
  TfoMain& w = Make();
  TQtDialogs boxes(&w);
  const QString timed = "Timed capture (*.pcapng)", raw = "Log files (*.LOG *.log)";
  const struct {
    QString Filter;
    QString Typed;
    std::string Chosen;
  } rows[] = {
      {timed, "run", "run.pcapng"},         {timed, "run.PCAPNG", "run.PCAPNG"},
      {timed, "run.txt", "run.txt.pcapng"}, {raw, "data", "data.LOG"},
      {raw, "data.bin", "data.bin"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.Typed.toStdString());
    QStringList offered;
    QTimer::singleShot(0, [&] {
      auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      ASSERT_NE(d, nullptr);
      offered = d->nameFilters();
      d->setDirectory(QString::fromStdString(FDir));
      d->selectNameFilter(r.Filter);
      d->selectFile(r.Typed);
      QMetaObject::invokeMethod(d, "accept");
    });
    const std::optional<std::string> chosen = boxes.ChooseCaptureFile();
    EXPECT_EQ(offered, (QStringList{raw, timed}));
    ASSERT_TRUE(chosen);
    EXPECT_EQ(*chosen, FDir + "/" + r.Chosen);
  }
}

TEST_F(WindowTest, BoxesAreWideEnoughForTheirTitles) {
  QGuiApplication::setApplicationDisplayName(kAppTitle);
  TfoMain& w = Make();
  TQtDialogs boxes(&w);
  std::vector<test::TSeenBox> seen;
  test::CloseNextBoxNoting(seen);
  boxes.Message("Open fail");
  test::CloseNextBoxNoting(seen);
  boxes.Confirm("Are You sure?");
  test::CloseNextBoxNoting(seen);
  boxes.Error("x");
  ASSERT_EQ(seen.size(), 3u);
  const QFontMetrics fm(QApplication::font());
  for (const test::TSeenBox& box : seen) {
    SCOPED_TRACE(box.Title);
    const QString title = QString::fromStdString(box.Title);
    EXPECT_GE(box.Width, TitleFitWidth(title, w.screen()));
    // The whole title and the frame's icon and buttons beside it.
    EXPECT_GE(box.Width, fm.horizontalAdvance(title) + 100);
  }
  EXPECT_EQ(seen[0].Title, kAppTitle) << "titles stay as they are";
}

}  // namespace
}  // namespace talmo
