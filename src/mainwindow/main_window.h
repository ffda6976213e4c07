#pragma once
// TfoMain: the main window. It is glue: each handler is a few lines that
// call the receive engine, the port component, the settings key and the
// window's GUI-free pieces, in the order the handler's job needs.
//
// Everything here runs on the GUI thread; the port component delivers its
// events there too.
//
// Errors: a handler that fails is ended and its message shown by the error
// display (Safe); opening and closing the port show the fixed boxes "Open
// fail" and "Close fail" with the reason in the pane; the port's line errors,
// a lost device and a stopped capture become "// " pane lines through the
// receive session.

#include <QWidget>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/capture_file.h"
#include "engine/formatter.h"
#include "engine/options.h"
#include "mainwindow/dialogs.h"
#include "mainwindow/layout.h"
#include "mainwindow/pending.h"
#include "mainwindow/protocol_flags.h"
#include "mainwindow/typed_line.h"
#include "ports/port_list.h"
#include "serial/ser_comm.h"
#include "session/port_loop.h"
#include "session/receive_session.h"

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace talmo {

class TRadioGroup;
class TRegistry;
class TQtSync;

// What the window takes from the program (tests pass their own).
struct TMainEnvironment {
  std::shared_ptr<TSerDriver> Driver;                 // opens devices by name
  std::function<std::vector<TPortEntry>()> PortList;  // the machine's ports
  std::shared_ptr<TMainDialogs> Dialogs;              // null: Qt's boxes
  std::function<void(int ms)> Delay;                  // PDelay; null: sleeps
  std::optional<TSerTiming> PortTiming;               // the component's waits
  std::string SettingsPath;                           // empty: the user's file
  std::string WebAddress = "https://velkerstam.example/talmo";
};

// The application title, also the window's caption.
inline constexpr const char* kAppTitle = "TALMO 1.80 (Dec 17, 2018)";

// The most lines the pane keeps; older ones leave it as new ones come.
inline constexpr int kPaneMaxLines = 5000;
// The pump's tick: it moves at most eight pending lines into the pane, so the
// pane takes in about 40 lines a second.
inline constexpr int kPumpTickMs = 199;
// The line time-out's timer as the form is designed. Every re-arm sets
// kLineTimeoutMs, so this shorter first wait only shows before anything has
// been received: do not "fix" it to match.
inline constexpr int kFormTimeoutMs = 1500;
// The last-sign field is painted at most this often: a fast line would
// otherwise repaint it for every block.
inline constexpr int kLastSignHoldMs = 100;
// Left, top, width and height of the window where the settings have none.
inline constexpr std::array<std::int32_t, 4> kDefaultBounds{100, 50, 700, 500};
// How long the port may gather small received blocks before it hands them
// to the window: a few times fewer hand-offs on a busy line, a delay no one
// sees in a pane that is filled every kPumpTickMs.
inline constexpr std::chrono::milliseconds kRxHoldMs{5};

class TfoMain : public QWidget {
 public:
  explicit TfoMain(TMainEnvironment env, QWidget* parent = nullptr);
  ~TfoMain() override;

  // Life of the window.
  void FormCreate();
  void FormActivate();
  bool FormClose();
  // Closes the window without asking (the desktop session ends, a service
  // stop): the close goes on as after a Yes, so the settings are saved, and
  // every running event loop (an open box too) ends.
  void CloseWithoutAsking();
  void FormDestroy();
  void FormResize();
  void LoadParms();
  void SaveParms();
  // True when it set the policy value (then FormCreate asks for a restart);
  // only where a settings file carries the policy key, which nothing here
  // creates (so not on a Linux machine left to itself).
  bool SetLinkedConnections();

  // Port control.
  void LoadPortList();
  void raPortClick();
  void rgBaudClick();
  void rgDatabitsClick();
  void rgParityClick();
  void rgStopClick();
  void buOpenClick();
  void buCloseClick();
  void PDelay(int ms);
  void Comm1Open();
  void Comm1Close();
  void Comm1RealRxChar(int count);
  void Comm1RealError(int errors);
  void DeviceLost();

  // Keyboard transmit. Both return false when the typed line refused the
  // key (it is full): the pane then leaves the key out too.
  bool meDataKeyPress(std::uint8_t key);
  // Takes Windows key codes; F2 sends a NUL byte.
  bool meDataKeyDown(int key);
  // Typed characters as they show, at the end of the pane.
  void ShowTyped(const QString& text);
  static constexpr int kKeyF2 = 0x71;
  void buTransmitClick();
  // Bytes the window or its transmit-file window wrote to the port: kept
  // by a timed capture, and framed as the sent side of a Modbus view.
  void Sent(const void* bytes, std::size_t n);
  void cbDirectClick();
  void ResetTypedLine();

  // Frame signs and status.
  void FirstLast();
  void meFirstKeyPress(char key);
  void cbSTXHLClick();
  void cbPROD2Click();
  void cbManchClick();
  void buClearClick();
  // Skips the lines waiting for the pane to the live end.
  void buLiveClick();

  // The bench strip: modem lines, break and reset, flow control, a rate
  // the Baudrate group does not list, reconnect, line stamps, text look.
  void cbDtrClick();
  void cbRtsClick();
  void buBreakClick();
  void buResetClick();
  void coFlowChange();
  void edRateEnter();
  void cbReconnectClick();
  void coStampChange();
  void cbTextClick();
  // Modbus frames instead of the frames' signs: each frame one line, an
  // answer paired with its request (off, RTU, ASCII, as coModbus lists
  // them), and the time an answer may take. Or, as coModbus's last choice,
  // lines that end at a silence the same field holds.
  void coModbusChange();
  void edAnswerEnter();
  TModbusMode ModbusMode() const;
  bool SilenceChosen() const;
  static constexpr int kSilenceChoice = 3;
  // The silence an empty field means: Modbus RTU's, which suits most
  // binary protocols framed by pauses.
  static constexpr const char* kSilenceDefault = "3.5c";
  void ShowModemLines();
  void tiReturnTimer();
  // How long Break holds the line, and a reset turns DTR over.
  static constexpr int kBreakMs = 250;
  static constexpr int kPulseMs = 100;
  // The rates the rate field takes.
  static constexpr long kRateLeast = 50, kRateMost = 4000000;
  // The times an answer may take, in ms (as the commands' --answer-timeout).
  static constexpr long kAnswerLeastMs = 1, kAnswerMostMs = 3600000;
  bool Reconnecting() const;

  // Capture and save; the two small actions.
  void buCaptureClick();
  void buSaveClick();
  void laWebClick();
  void buStringsClick();

  // Timers.
  void RestartTimeout();
  void tiTimeoutTimer();
  void tiPauseTimer();

  // The units behind the window.
  TSerComm& Comm1() { return *FComm; }
  TReceiveFormatter& Formatter() { return FSession->Formatter(); }
  TReceiveSession& Session() { return *FSession; }
  TPendingLines& PendingLines() { return FPending; }
  TTypedLine& TypedLine() { return FTyped; }
  const TCaptureFile& Capture() const { return FSession->Capture(); }
  const TFormatOptions& Options() const { return FOptions; }
  TRegistry* ParmKey() { return FParmKey.get(); }
  TProtocolFlags ProtocolFlags() const { return FProtocolFlags; }
  bool Activated() const { return FActivated; }
  // Text lines of the pane.
  std::vector<std::string> PaneLines() const;

  // Controls, named as the window's design names them.
  QPlainTextEdit* meData = nullptr;
  QLabel* laWeb = nullptr;
  TRadioGroup* raPort = nullptr;
  TRadioGroup* rgBaud = nullptr;
  TRadioGroup* rgDatabits = nullptr;
  TRadioGroup* rgParity = nullptr;
  TRadioGroup* rgStop = nullptr;
  QFrame* Panel1 = nullptr;
  QLineEdit* edLast = nullptr;
  QLabel* laPortState = nullptr;  // the open port and its settings
  QPushButton* buClear = nullptr;
  QPushButton* buStrings = nullptr;
  QPushButton* buTransmit = nullptr;
  QPushButton* buSave = nullptr;
  QPushButton* buClose = nullptr;
  QPushButton* buOpen = nullptr;
  QPushButton* buCapture = nullptr;
  QPushButton* buLive = nullptr;  // skips the backlog; shown while lines wait
  QLabel* StaticText1 = nullptr;
  QLineEdit* meFirst = nullptr;
  QLineEdit* meLast = nullptr;
  QLabel* laSigns = nullptr;
  QCheckBox* cbPause = nullptr;
  QCheckBox* cbDirect = nullptr;
  QCheckBox* cbBcc = nullptr;
  QCheckBox* cbTime = nullptr;
  QCheckBox* cbConvert = nullptr;
  QCheckBox* cbHEX = nullptr;
  QCheckBox* cbSTXHL = nullptr;
  QCheckBox* cbPROD2 = nullptr;
  QCheckBox* cbManch = nullptr;
  QTimer* tiTimeout = nullptr;
  QTimer* tiPause = nullptr;
  QTimer* tiLastSign = nullptr;  // paces the painting of edLast
  QFrame* paStrip = nullptr;
  QLabel* laCts = nullptr;
  QLabel* laDsr = nullptr;
  QLabel* laDcd = nullptr;
  QLabel* laRi = nullptr;
  QCheckBox* cbDtr = nullptr;
  QCheckBox* cbRts = nullptr;
  QPushButton* buBreak = nullptr;
  QPushButton* buReset = nullptr;
  QComboBox* coFlow = nullptr;
  QLineEdit* edRate = nullptr;
  QCheckBox* cbReconnect = nullptr;
  QComboBox* coStamp = nullptr;
  QCheckBox* cbText = nullptr;
  QComboBox* coModbus = nullptr;
  QLineEdit* edAnswer = nullptr;
  QTimer* tiReturn = nullptr;  // tries a lost device again

 protected:
  void showEvent(QShowEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;

 private:
  class TPaneView;

  void CreateControls();
  void CreateStrip();
  void LoadStrip(TRegistry& k);
  void LoadModbus(TRegistry& k);
  void LoadSilence(TRegistry& k);
  // The session's Modbus view or silence framing as the strip chooses it;
  // the boxes that shape only the frames' lines are idle meanwhile.
  void ApplyModbus();
  // The rules' cut, look and silence as the text look or the silence
  // framing asks (the Modbus view overrides the cut when on).
  void CutRules(TLineRules& rules) const;
  // The field beside coModbus holds the answer time or the silence.
  void ShowTimeField();
  void EnterSilence();
  std::string SilenceText() const;
  void FitStrip();
  void StopReturn();
  void ConnectHandlers();
  void SetTabOrder();
  void ApplyDesignedComponent();
  // Runs a handler; a failure is shown by the error display and ends it.
  void Safe(const std::function<void()>& handler);
  void ShowError(const std::string& message);
  void AppendToPane(const std::string& line);
  void AppendReceived(const std::string& line);
  bool LastLineReceived() const;
  static constexpr int kReceivedLine = 1;  // a pane block's user state
  void StatusLine(const std::string& text);
  void PortLine(const std::string& line);
  void ReadIndex(const char* name, TRadioGroup* group, std::vector<std::string>& problems);
  void RestoreBounds();
  void FitPauseBox();
  void FitTransmitCaption();
  void SetCaptureCaption(const QString& caption);
  void ShowPortState();

  TMainEnvironment FEnv;
  std::shared_ptr<TMainDialogs> FDialogs;
  std::unique_ptr<TQtSync> FSync;
  std::unique_ptr<TSerComm> FComm;
  TFormatOptions FOptions;
  std::unique_ptr<TReceiveSession> FSession;
  TPendingLines FPending;
  std::unique_ptr<TPaneView> FPaneView;
  TTypedLine FTyped;
  bool FTypedFullShown = false;
  std::unique_ptr<TRegistry> FParmKey;
  TProtocolFlags FProtocolFlags;
  std::array<std::int32_t, 4> FBounds = kDefaultBounds;  // Left, Top, Width, Height
  std::vector<TPortEntry> FPorts;
  TMainLayout FLayout = DesignedLayout();
  bool FActivated = false;
  bool FDestroyed = false;
  bool FCloseWithoutAsking = false;
  bool FReportingLoss = false;
  std::int64_t FAnswerMs = TLineRules::kAnswerTimeoutDefaultNs / 1000000;
  std::string FSilence;  // as the user wrote it; empty: kSilenceDefault
  // The Modbus view's pairing, and its sent side: the sent frames pair
  // with the received ones and show marked "TX ", the received ones "RX ",
  // as a decode of the window's timed capture marks them. The sent side's
  // clock is the receive session's, read at one moment (FClockHeld) as it
  // is made.
  std::shared_ptr<TModbusPairing> FPairing;
  std::unique_ptr<TReceiveSession> FSentSession;
  std::string FRxMark;
  std::optional<std::chrono::steady_clock::time_point> FClockHeld;
  std::unique_ptr<TPortReturn> FReturn;  // the error lines being told include the loss
  // While set, failures of handlers are collected here instead of shown.
  std::vector<std::string>* FCollectErrors = nullptr;
};

}  // namespace talmo
