#include "mainwindow/main_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDate>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QFrame>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTextBlock>
#include <QTime>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "base/control_lines.h"
#include "base/error_text.h"
#include "base/file_name.h"
#include "base/line_error_bits.h"
#include "base/port_texts.h"
#include "engine/clock.h"
#include "engine/convert.h"
#include "mainwindow/pane_save.h"
#include "mainwindow/qt_sync.h"
#include "mainwindow/radio_group.h"
#include "serial/ser_defaults.h"
#include "session/flow_choice.h"
#include "settings/registry.h"

namespace talmo {
namespace {

// The window's 8-bit text (pane lines, captions, signs): one character per
// byte. File names do not go through these but through base/file_name.h.
QString Q(const std::string& s) {
  return QString::fromLatin1(s.data(), static_cast<int>(s.size()));
}
std::string S(const QString& s) { return s.toLatin1().toStdString(); }

// At the end of a port button's handler the focus goes to the pane, where
// typed keys are sent, and not on along the tab order.
struct TFocusPane {
  QWidget* Pane;
  ~TFocusPane() { Pane->setFocus(); }
};

void Place(QWidget* w, const TBounds& b) { w->setGeometry(b.Left, b.Top, b.Width, b.Height); }

// Linux serial drivers set 1.5 stop bits only with 5 data bits.
constexpr char kStop15Refused[] =
    "1.5 stop bits: no Linux serial driver sets them with 7 or 8 data bits";

// The baud selector's items and the rates they stand for (br600 is 1024
// baud: see BaudRateOf).
const TSerBaudrate kBaudTable[] = {br600,   br1200,  br2400,  br4800,  br9600,
                                   br14400, br19200, br38400, br57600, br115200};

// The pane: it shows what arrived and what was typed, and no key edits it.
// Keys go to the window's key handlers, which send them; what was typed
// shows at the end of the pane, never at the caret inside a received line.
// The caret and the selection still move, and copying works (the menu,
// Ctrl+Shift+C: Ctrl+C sends ETX, as in a terminal).
class TPane : public QPlainTextEdit {
 public:
  TPane(TfoMain* owner, QWidget* parent) : QPlainTextEdit(parent), FOwner(owner) {
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  }

 protected:
  void keyPressEvent(QKeyEvent* e) override {
    if (e->key() == Qt::Key_C && e->modifiers() == (Qt::ControlModifier | Qt::ShiftModifier)) {
      copy();
      return;
    }
    bool took = FOwner->meDataKeyDown(e->key() == Qt::Key_F2 ? TfoMain::kKeyF2 : e->key());
    // Each character is sent as its byte in the keyboard's code page; one
    // that has no byte there is refused audibly, not sent as another.
    QString shown;
    for (char32_t c : e->text().toUcs4()) {
      if (const std::optional<std::uint8_t> b = AnsiByte(c)) {
        took = FOwner->meDataKeyPress(*b) && took;
        if (c >= 0x20 && c != 0x7F && !(c >= 0x80 && c < 0xA0)) shown += QString::fromUcs4(&c, 1);
      } else {
        took = false;
        QApplication::beep();
      }
    }
    if (took && !shown.isEmpty()) FOwner->ShowTyped(shown);
    // Keys without text move the caret or the selection; the pane is
    // read-only, so none of them can change its text.
    if (e->text().isEmpty()) QPlainTextEdit::keyPressEvent(e);
  }
  // Nothing is pasted or dropped into the pane: it would show text that
  // never went out. Typing the clipboard as keys instead could send any
  // amount of text by one slip of the hand.
  bool canInsertFromMimeData(const QMimeData*) const override { return false; }
  void insertFromMimeData(const QMimeData*) override {}

 private:
  TfoMain* FOwner;
};

// A label that reports clicks (the web address).
class TLinkLabel : public QLabel {
 public:
  using QLabel::QLabel;
  std::function<void()> OnClick;

 protected:
  void mouseReleaseEvent(QMouseEvent* e) override {
    QLabel::mouseReleaseEvent(e);
    if (OnClick) OnClick();
  }
};

// The sign fields take Enter as "apply".
class TSignField : public QLineEdit {
 public:
  TSignField(TfoMain* owner, QWidget* parent) : QLineEdit(parent), FOwner(owner) {
    setInputMask(">NN; ");
    setMaxLength(2);
  }

 protected:
  void keyPressEvent(QKeyEvent* e) override {
    if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) FOwner->meFirstKeyPress('\r');
    QLineEdit::keyPressEvent(e);
  }

 private:
  TfoMain* FOwner;
};

QCheckBox* MakeCheck(QWidget* parent, const char* caption, const char* hint, const TBounds& b) {
  auto* c = new QCheckBox(caption, parent);
  if (hint) c->setToolTip(hint);
  Place(c, b);
  return c;
}

QPushButton* MakeButton(QWidget* parent, const char* caption, const char* hint, const TBounds& b) {
  auto* p = new QPushButton(caption, parent);
  p->setToolTip(hint);
  Place(p, b);
  return p;
}

}  // namespace

class TfoMain::TPaneView : public TPumpView {
 public:
  explicit TPaneView(TfoMain& w) : FW(w) {}
  bool Paused() const override { return FW.cbPause->isChecked(); }
  void SetPauseCaption(const std::string& caption, bool red) override {
    // Every tick sets them; only a change is passed on, as each costs a
    // repaint of the box.
    const QString text = Q(caption);
    if (FW.cbPause->text() != text) FW.cbPause->setText(text);
    const QColor colour = red ? QColor(255, 0, 0) : QColor(0, 0, 0);
    if (FW.cbPause->palette().color(QPalette::WindowText) != colour) {
      QPalette p = FW.cbPause->palette();
      p.setColor(QPalette::WindowText, colour);
      FW.cbPause->setPalette(p);
    }
  }
  void AppendToPane(const std::string& line) override { FW.AppendReceived(line); }
  void ProcessMessages() override { QCoreApplication::processEvents(); }

 private:
  TfoMain& FW;
};

TfoMain::TfoMain(TMainEnvironment env, QWidget* parent) : QWidget(parent), FEnv(std::move(env)) {
  FDialogs = FEnv.Dialogs ? FEnv.Dialogs : std::make_shared<TQtDialogs>(this);
  FSync = std::make_unique<TQtSync>(this, [this](const std::string& m) { ShowError(m); });
  FComm = std::make_unique<TSerComm>(FEnv.Driver, *FSync);
  if (FEnv.PortTiming) FComm->SetTiming(*FEnv.PortTiming);
  // Time stamps and PROD2's pause rule take the moment a block is handled
  // as its arrival: then every block is handed over as it comes.
  FComm->SetRxHoldRule([this] {
    // A Modbus RTU frame, or a line framed by silence, ends at a silence
    // of a few ms: blocks held together would hide it.
    return FOptions.Time || FOptions.PROD2 || ModbusMode() != TModbusMode::None || SilenceChosen()
               ? std::chrono::milliseconds(0)
               : kRxHoldMs;
  });
  ApplyDesignedComponent();

  TSessionSink sink;
  sink.Line = [this](std::string_view line) {
    FPending.Add(FRxMark.empty() ? std::string(line) : FRxMark + std::string(line));
  };
  // The loss of the device reads as the window's other notes do.
  sink.ErrorLine = [this](const std::string& line) {
    FPending.Add(FReportingLoss ? "// " + line : line);
  };
  sink.Lost = [this] { DeviceLost(); };
  sink.Notice = [this](const std::string& text) { FPending.Add("// " + text); };
  sink.TimeoutRestarted = [this] { RestartTimeout(); };
  sink.CaptureStopped = [this](const std::string& message) {
    // The capture stopped: the button says so at once and the pane keeps
    // the place in the stream. The box waits until this block is handled,
    // so that data arriving while it is open is not formatted in between.
    SetCaptureCaption("Capture");
    FPending.Add("// " + message);
    QTimer::singleShot(0, this, [this, message] { ShowError(message); });
  };
  sink.LastSign = [this](const std::string& text) {
    edLast->setText(Q(text));
    // The field changes with every received block; painting it each time
    // cost more than the rest of the receive path. It is painted at most
    // every kLastSignHoldMs (its text is always current).
    if (!tiLastSign->isActive()) {
      edLast->setUpdatesEnabled(false);
      tiLastSign->start();
    }
  };
  TSessionOptions sessionOptions;
  sessionOptions.LossAmongErrorLines = true;
  FSession = std::make_unique<TReceiveSession>(*FComm, TSessionDevice{}, FOptions, std::move(sink),
                                               TReceiveSession::Clock::now, sessionOptions);
  FPaneView = std::make_unique<TPaneView>(*this);
  StopReturn();

  CreateControls();
  ConnectHandlers();
  SetTabOrder();
  FormCreate();
}

TfoMain::~TfoMain() { FormDestroy(); }

void TfoMain::ApplyDesignedComponent() {
  TSerComm& c = *FComm;
  const auto& d = kSerDefaults.Designed;
  c.SetBaudrate(d.Line.Baudrate);
  c.SetPortNum(d.PortNum);
  c.SetDeviceName(d.DeviceName);
  c.FlowControl().SetOutCtsFlow(false);
  c.FlowControl().SetOutDsrFlow(false);
  c.FlowControl().SetControlDtr(d.ControlDtr);
  c.FlowControl().SetControlRts(d.ControlRts);
  c.FlowControl().SetXonXoffOut(false);
  c.FlowControl().SetXonXoffIn(false);
  c.FlowControl().SetDsrSensitivity(false);
  c.FlowControl().SetTxContinueOnXoff(false);
  c.Buffers().SetReadSize(d.ReadSize);
  c.Buffers().SetWriteSize(d.WriteSize);
  c.Buffers().SetReadTimeout(d.ReadTimeoutMs);
  c.OnOpen = [this](TSerCustomComm*) { Comm1Open(); };
  c.OnClose = [this](TSerCustomComm*) { Comm1Close(); };
  c.OnError = [this](TSerCustomComm*, int errors) { Comm1RealError(errors); };
  c.OnRxChar = [this](TSerCustomComm*, int count) { Comm1RealRxChar(count); };
  // Modem-line, break and event-character events are monitored but need
  // nothing of the window.
  c.OnBreak = c.OnRxFlag = [](TSerCustomComm*) {};
  // The strip shows the modem lines live: DCD and RI are watched too.
  TSerCommEvents events = d.MonitorEvents;
  events.Include(ceRlsd);
  events.Include(ceRing);
  c.SetMonitorEvents(events);
  c.OnCts = c.OnDsr = c.OnRlsd = c.OnRing = [this](TSerCustomComm*) { ShowModemLines(); };
}

void TfoMain::CreateControls() {
  setWindowTitle("foMain");
  const TClientSize least = MinimumClientSize();
  setMinimumSize(least.Width, least.Height);
  resize(834, 528);
  move(420, 190);
  // The designed sizes assume a small sans font, 11 pixels high.
  QFont sans = QApplication::font();
  sans.setPixelSize(11);
  setFont(sans);

  const TMainLayout d = DesignedLayout();
  auto* pane = new TPane(this, this);
  meData = pane;
  Place(meData, d.meData);
  QFont fixed("Courier New");
  if (!QFontDatabase::families().contains("Courier New"))
    fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  fixed.setPixelSize(15);
  meData->setFont(fixed);
  QPalette pp = meData->palette();
  pp.setColor(QPalette::Base, QApplication::palette().color(QPalette::ToolTipBase));
  pp.setColor(QPalette::Text, Qt::black);
  meData->setPalette(pp);
  meData->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  meData->setLineWrapMode(QPlainTextEdit::NoWrap);
  meData->setPlainText("meData");
  // The pane keeps its newest lines only, so a long run does not grow
  // without bound (this also leaves it without an undo history).
  meData->setMaximumBlockCount(kPaneMaxLines);

  auto* web = new TLinkLabel(Q(FEnv.WebAddress), this);
  web->OnClick = [this] { Safe([this] { laWebClick(); }); };
  laWeb = web;
  laWeb->setToolTip("Internet");
  QFont webFont = sans;
  webFont.setPixelSize(12);
  webFont.setUnderline(true);
  laWeb->setFont(webFont);
  laWeb->setStyleSheet("color: blue");
  laWeb->setCursor(Qt::PointingHandCursor);
  Place(laWeb, d.laWeb);
  laWeb->adjustSize();  // the label is as wide as its address

  raPort = new TRadioGroup("Port", this);
  rgBaud = new TRadioGroup("Baudrate", this);
  rgBaud->SetItems(
      {"1024", "1200", "2400", "4800", "9600", "14400", "19200", "38400", "57600", "115200"});
  rgDatabits = new TRadioGroup("Databits", this);
  rgDatabits->SetItems({"7", "8"});
  rgParity = new TRadioGroup("Parity", this);
  rgParity->SetItems({"None", "Odd", "Even"});
  rgStop = new TRadioGroup("Stopbits", this);
  rgStop->SetItems({"1", "1.5", "2"});
  Place(raPort, d.raPort);
  Place(rgBaud, d.rgBaud);
  Place(rgDatabits, d.rgDatabits);
  Place(rgParity, d.rgParity);
  Place(rgStop, d.rgStop);

  Panel1 = new QFrame(this);
  Panel1->setFrameShape(QFrame::Panel);
  Panel1->setFrameShadow(QFrame::Raised);
  Place(Panel1, d.Panel1);
  StaticText1 = new QLabel("Start&Stop Signs", Panel1);
  StaticText1->setTextFormat(Qt::PlainText);
  Place(StaticText1, {8, 8, 89, 17});
  StaticText1->adjustSize();
  meFirst = new TSignField(this, Panel1);
  meFirst->setText("00");
  meFirst->setToolTip("Hex, e.g. 02 for STX, 00 any sign");
  Place(meFirst, {8, 20, 25, 21});
  meLast = new TSignField(this, Panel1);
  meLast->setText("00");
  meLast->setToolTip("Hex, e.g. 03 for ETX, 00 any sign");
  Place(meLast, {40, 20, 25, 21});
  laSigns = new QLabel("laSigns", Panel1);
  laSigns->setTextFormat(Qt::PlainText);
  laSigns->setGeometry(7, 44, 130, 13);  // grows with its caption
  cbPause = MakeCheck(Panel1, "Pause", nullptr, {7, 78, 91, 14});
  cbDirect = MakeCheck(Panel1, "Direct", "Transmit direct", {7, 97, 91, 14});
  // Shown only while lines wait, in the free band above the Pause count.
  buLive = MakeButton(Panel1, "Skip to live", "Skip the waiting lines: show what arrives now",
                      {7, 59, 91, 17});
  buLive->hide();
  cbBcc = MakeCheck(Panel1, "BCC", "One extra sign (BCC)", {144, 8, 41, 17});
  cbTime = MakeCheck(Panel1, "Time", "mS+:' before Startsign", {144, 24, 49, 17});
  cbConvert = MakeCheck(Panel1, "Convert", "Convert control signs", {144, 40, 65, 17});
  cbConvert->setChecked(true);
  cbHEX = MakeCheck(Panel1, "Hex", nullptr, {144, 56, 65, 17});
  cbSTXHL = MakeCheck(Panel1, "STX_HL", "Protocol STX Length[2] .. ETX BCC", {144, 72, 65, 17});
  cbPROD2 = MakeCheck(Panel1, "PROD2", "Protocol STX Length[2] .. ETX BCC", {144, 89, 65, 17});
  cbManch = MakeCheck(Panel1, "Manch", "Manchester code", {144, 104, 65, 17});
  FitPauseBox();

  edLast = new QLineEdit("Last sign", this);
  edLast->setReadOnly(true);
  edLast->setToolTip("Last sign (#signs)");
  QPalette ep = edLast->palette();
  ep.setColor(QPalette::Base, QColor(192, 220, 192));
  edLast->setPalette(ep);
  Place(edLast, d.edLast);
  laPortState = new QLabel(this);
  laPortState->setTextFormat(Qt::PlainText);
  laPortState->setWordWrap(true);
  laPortState->setAlignment(Qt::AlignLeft | Qt::AlignTop);

  buClear = MakeButton(this, "Clear", "Clear Blue Screen", d.buClear);
  buStrings = MakeButton(this, "Transmit File", "Input data to blue screen", d.buStrings);
  buTransmit = MakeButton(this, "Tranmit", "Input data to blue screen", d.buTransmit);
  buSave = MakeButton(this, "Save to Disk", "Save Blue window", d.buSave);
  buClose = MakeButton(this, "Close Port", "Disable communication", d.buClose);
  buOpen = MakeButton(this, "Open Port", "Enable communication ", d.buOpen);
  buCapture = MakeButton(this, "Capture", "Start Capture to File", d.buCapture);

  tiTimeout = new QTimer(this);
  // The form's first interval; every re-arm (RestartTimeout) sets the line
  // time-out, so only a window that never receives waits this long once.
  tiTimeout->setInterval(kFormTimeoutMs);
  // A coarse timer may come early; the line time-out must not, or the pane
  // would end a line that a decode of the timed capture goes on with.
  tiTimeout->setTimerType(Qt::PreciseTimer);
  tiPause = new QTimer(this);
  tiPause->setInterval(kPumpTickMs);
  tiLastSign = new QTimer(this);
  tiLastSign->setSingleShot(true);
  tiLastSign->setInterval(kLastSignHoldMs);
  connect(tiLastSign, &QTimer::timeout, this, [this] { edLast->setUpdatesEnabled(true); });
  CreateStrip();
}

void TfoMain::FitStrip() {
  // One row of the strip's width: each control as wide as its text needs,
  // in a smaller font while the row would not fit. The answer time takes
  // the text look's place while Modbus (which the text look does not shape)
  // is on: the row has no room for both at the least size.
  const std::pair<QWidget*, int> row[] = {
      {laCts, 0},       {laDsr, 0},   {laDcd, 0},    {laRi, 0},   {cbDtr, 0},
      {cbRts, 0},       {buBreak, 0}, {buReset, 0},  {coFlow, 0}, {edRate, 48},
      {cbReconnect, 0}, {coStamp, 0}, {coModbus, 0}, {cbText, 0}};
  constexpr int kGap = 2;
  QFont f = font();
  std::vector<int> widths;
  for (;;) {
    paStrip->setFont(f);
    const QFontMetrics m(f);
    widths.clear();
    int total = 0;
    for (const auto& [w, fixed] : row) {
      int need = fixed;
      if (auto* b = qobject_cast<QPushButton*>(w))
        need = m.horizontalAdvance(b->text()) + 14;
      else if (auto* l = qobject_cast<QLabel*>(w))
        need = m.horizontalAdvance(l->text()) + 8;
      else if (w == cbText)
        need =
            std::max(w->sizeHint().width(), m.horizontalAdvance(edAnswer->placeholderText()) + 10);
      else if (fixed == 0)
        need = w->sizeHint().width();
      widths.push_back(need);
      total += need + kGap;
    }
    if (total - kGap <= paStrip->width() || f.pixelSize() <= 8) break;
    f.setPixelSize(f.pixelSize() - 1);
  }
  int x = 0;
  for (std::size_t i = 0; i < std::size(row); ++i) {
    row[i].first->setGeometry(x, 0, widths[i], kStripHeight);
    x += widths[i] + kGap;
  }
  edAnswer->setGeometry(cbText->geometry());
}

void TfoMain::CreateStrip() {
  paStrip = new QFrame(this);
  Place(paStrip, DesignedLayout().paStrip);
  const auto lamp = [&](const char* name, const char* hint) {
    auto* l = new QLabel(name, paStrip);
    l->setAlignment(Qt::AlignCenter);
    l->setToolTip(hint);
    l->setFrameShape(QFrame::Box);
    return l;
  };
  laCts = lamp("CTS", "Clear To Send, from the device");
  laDsr = lamp("DSR", "Data Set Ready, from the device");
  laDcd = lamp("DCD", "Data Carrier Detect, from the device");
  laRi = lamp("RI", "Ring Indicator, from the device");
  cbDtr = MakeCheck(paStrip, "DTR", "Data Terminal Ready, to the device", {});
  cbDtr->setChecked(true);
  cbRts = MakeCheck(paStrip, "RTS", "Request To Send, to the device", {});
  cbRts->setChecked(true);
  buBreak = MakeButton(paStrip, "Break", "Send a break (250 ms)", {});
  buReset = MakeButton(paStrip, "Reset", "Turn DTR over for 100 ms (resets many boards)", {});
  coFlow = new QComboBox(paStrip);
  coFlow->addItems({"no flow", "RTS/CTS", "XON/XOFF"});
  coFlow->setToolTip("Flow control");
  edRate = new QLineEdit(paStrip);
  edRate->setPlaceholderText("rate");
  edRate->setToolTip(
      "A rate the Baudrate group does not list (50 to 4000000), then Enter; empty: the group's");
  cbReconnect = MakeCheck(paStrip, "Reconnect", "Wait for a lost device and open it again", {});
  coStamp = new QComboBox(paStrip);
  coStamp->addItems({"no stamp", "time", "utc", "iso", "gap", "since"});
  coStamp->setToolTip("Stamp every line with the arrival of its first byte");
  cbText = MakeCheck(paStrip, "Text", "Lines as text, cut at LF, other bytes escaped", {});
  coModbus = new QComboBox(paStrip);
  coModbus->addItems({"no Modbus", "RTU", "ASCII", "silence"});
  coModbus->setToolTip(
      "Modbus frames, one a line, each answer paired with its request and its response time; "
      "silence: a line ends where the line is silent for the time beside");
  edAnswer = new QLineEdit(paStrip);
  edAnswer->setPlaceholderText("1000 ms");
  edAnswer->setToolTip(
      "The time an answer may take, in ms (1 to 3600000), then Enter; empty: 1000 ms");
  edAnswer->hide();
  FitStrip();
  tiReturn = new QTimer(this);
  tiReturn->setInterval(100);
  ShowModemLines();
}

void TfoMain::FitPauseBox() {
  // The box grows to the right up to the column of option boxes, so that
  // a count up to 999,999 reads in full; a font too large for that is
  // made smaller.
  int right = Panel1->width();
  for (QWidget* w : {cbBcc, cbTime, cbConvert, cbHEX, cbSTXHL, cbPROD2, cbManch})
    if (w) right = std::min(right, w->x());
  const int room = right - cbPause->x() - 3;
  QFont f = cbPause->font();
  const QString widest = Q(TPendingLines::PauseCaption(999999));
  const QString saved = cbPause->text();
  cbPause->setText(widest);
  while (cbPause->sizeHint().width() > room && f.pixelSize() > 7) {
    f.setPixelSize(f.pixelSize() - 1);
    cbPause->setFont(f);
  }
  cbPause->setText(saved);
  cbPause->resize(std::max(cbPause->width(), room), cbPause->height());
}

void TfoMain::FitTransmitCaption() {
  // "Transmit (4100)" is wider than the button in the window's font: the
  // caption takes a smaller font while it needs one.
  QFont f = font();
  const int room = buTransmit->width() - 6;
  while (QFontMetrics(f).horizontalAdvance(buTransmit->text()) > room && f.pixelSize() > 7)
    f.setPixelSize(f.pixelSize() - 1);
  if (buTransmit->font() != f) buTransmit->setFont(f);
}

void TfoMain::SetCaptureCaption(const QString& caption) {
  // "Stop (timed1.pcapng)" is wider than the button: a smaller font first,
  // then the file name loses its middle, never its ends.
  QFont f = font();
  const int room = buCapture->width() - 8;
  while (QFontMetrics(f).horizontalAdvance(caption) > room && f.pixelSize() > 8)
    f.setPixelSize(f.pixelSize() - 1);
  if (buCapture->font() != f) buCapture->setFont(f);
  buCapture->setText(QFontMetrics(f).elidedText(caption, Qt::ElideMiddle, room));
}

void TfoMain::ConnectHandlers() {
  // Option boxes feed the formatter's options first, then run their
  // handlers; `toggled` fires for the program's changes as for clicks.
  const std::pair<QCheckBox*, bool TFormatOptions::*> options[] = {
      {cbBcc, &TFormatOptions::Bcc},         {cbTime, &TFormatOptions::Time},
      {cbConvert, &TFormatOptions::Convert}, {cbHEX, &TFormatOptions::Hex},
      {cbSTXHL, &TFormatOptions::STXHL},     {cbPROD2, &TFormatOptions::PROD2},
      {cbManch, &TFormatOptions::Manch},
  };
  for (const auto& [box, field] : options) {
    FOptions.*field = box->isChecked();
    connect(box, &QCheckBox::toggled, this, [this, f = field](bool on) { FOptions.*f = on; });
  }
  connect(cbSTXHL, &QCheckBox::toggled, this, [this] { Safe([this] { cbSTXHLClick(); }); });
  // Lines framed by silence take the look of Hex and Convert.
  for (QCheckBox* look : {cbHEX, cbConvert})
    connect(look, &QCheckBox::toggled, this, [this] {
      if (SilenceChosen()) CutRules(FSession->LineRules());
    });
  connect(cbPROD2, &QCheckBox::toggled, this, [this] { Safe([this] { cbPROD2Click(); }); });
  connect(cbManch, &QCheckBox::toggled, this, [this] { Safe([this] { cbManchClick(); }); });
  connect(cbDirect, &QCheckBox::toggled, this, [this] { Safe([this] { cbDirectClick(); }); });

  raPort->OnClick = [this] { Safe([this] { raPortClick(); }); };
  rgBaud->OnClick = [this] { Safe([this] { rgBaudClick(); }); };
  rgDatabits->OnClick = [this] { Safe([this] { rgDatabitsClick(); }); };
  rgParity->OnClick = [this] { Safe([this] { rgParityClick(); }); };
  rgStop->OnClick = [this] { Safe([this] { rgStopClick(); }); };
  for (TRadioGroup* g : {raPort, rgBaud, rgDatabits, rgParity, rgStop})
    g->OnStopChanged = [this] { SetTabOrder(); };

  connect(buOpen, &QPushButton::clicked, this, [this] { Safe([this] { buOpenClick(); }); });
  connect(buClose, &QPushButton::clicked, this, [this] { Safe([this] { buCloseClick(); }); });
  connect(buClear, &QPushButton::clicked, this, [this] { Safe([this] { buClearClick(); }); });
  connect(buLive, &QPushButton::clicked, this, [this] { Safe([this] { buLiveClick(); }); });
  connect(buTransmit, &QPushButton::clicked, this, [this] { Safe([this] { buTransmitClick(); }); });
  connect(buCapture, &QPushButton::clicked, this, [this] { Safe([this] { buCaptureClick(); }); });
  connect(buSave, &QPushButton::clicked, this, [this] { Safe([this] { buSaveClick(); }); });
  connect(buStrings, &QPushButton::clicked, this, [this] { Safe([this] { buStringsClick(); }); });
  connect(cbDtr, &QCheckBox::clicked, this, [this] { Safe([this] { cbDtrClick(); }); });
  connect(cbRts, &QCheckBox::clicked, this, [this] { Safe([this] { cbRtsClick(); }); });
  connect(buBreak, &QPushButton::clicked, this, [this] { Safe([this] { buBreakClick(); }); });
  connect(buReset, &QPushButton::clicked, this, [this] { Safe([this] { buResetClick(); }); });
  connect(coFlow, &QComboBox::activated, this, [this] { Safe([this] { coFlowChange(); }); });
  connect(edRate, &QLineEdit::returnPressed, this, [this] { Safe([this] { edRateEnter(); }); });
  connect(cbReconnect, &QCheckBox::toggled, this, [this] { Safe([this] { cbReconnectClick(); }); });
  connect(coStamp, &QComboBox::activated, this, [this] { Safe([this] { coStampChange(); }); });
  connect(cbText, &QCheckBox::toggled, this, [this] { Safe([this] { cbTextClick(); }); });
  connect(coModbus, &QComboBox::activated, this, [this] { Safe([this] { coModbusChange(); }); });
  connect(edAnswer, &QLineEdit::returnPressed, this, [this] { Safe([this] { edAnswerEnter(); }); });
  connect(tiReturn, &QTimer::timeout, this, [this] { Safe([this] { tiReturnTimer(); }); });
  connect(tiTimeout, &QTimer::timeout, this, [this] { Safe([this] { tiTimeoutTimer(); }); });
  connect(tiPause, &QTimer::timeout, this, [this] { Safe([this] { tiPauseTimer(); }); });
}

void TfoMain::SetTabOrder() {
  QWidget* order[] = {rgDatabits, rgParity,    rgStop,    rgBaud,     buSave,  buClear,
                      buClose,    buOpen,      edLast,    buTransmit, meFirst, meLast,
                      cbBcc,      cbTime,      cbConvert, cbHEX,      cbSTXHL, cbPROD2,
                      cbPause,    cbDirect,    cbManch,   buCapture,  meData,  buStrings,
                      raPort,     cbDtr,       cbRts,     buBreak,    buReset, coFlow,
                      edRate,     cbReconnect, coStamp,   coModbus,   cbText,  edAnswer};
  // A selector group is a stop through its selected item: Qt leaves a
  // widget without focus of its own (the group box) out of the order.
  const auto stop = [](QWidget* w) { return w->focusProxy() ? w->focusProxy() : w; };
  for (std::size_t i = 0; i + 1 < std::size(order); ++i)
    setTabOrder(stop(order[i]), stop(order[i + 1]));
}

void TfoMain::Safe(const std::function<void()>& handler) {
  try {
    handler();
  } catch (...) {
    ShowError(ExceptionMessage(std::current_exception()));
  }
}

void TfoMain::ShowError(const std::string& message) {
  if (FCollectErrors)
    FCollectErrors->push_back(message);
  else
    FDialogs->Error(message);
}

void TfoMain::AppendToPane(const std::string& line) { meData->appendPlainText(Q(line)); }

// Lines from the pump are marked, so that what is typed never joins them.
void TfoMain::AppendReceived(const std::string& line) {
  AppendToPane(line);
  meData->document()->lastBlock().setUserState(kReceivedLine);
}

bool TfoMain::LastLineReceived() const {
  return meData->document()->lastBlock().userState() == kReceivedLine;
}

// The window's own lines about the port go behind the received lines still
// waiting for the pane, so that the pane reads in the order things happened.
void TfoMain::PortLine(const std::string& line) {
  if (FPending.Waiting())
    FPending.Add(line);
  else
    AppendToPane(line);
}

void TfoMain::StatusLine(const std::string& text) { PortLine("// " + text); }

std::vector<std::string> TfoMain::PaneLines() const {
  std::vector<std::string> lines;
  for (QTextBlock b = meData->document()->begin(); b.isValid(); b = b.next())
    lines.push_back(S(b.text()));
  return lines;
}

// ---- Life of the window ----------------------------------------------------

void TfoMain::FormCreate() {
  LoadPortList();
  LoadParms();
  FSession->Formatter().ResetFrame();
  FSession->StopCapture();
  setWindowTitle(kAppTitle);
  // A display name would be appended by the window system to every title
  // ("Confirm — TALMO ..."); the titles are meant to be exactly as set.
  if (!QGuiApplication::applicationDisplayName().isEmpty())
    QGuiApplication::setApplicationDisplayName(QString());
  FPending.Clear();
  tiPause->setInterval(kPumpTickMs);
  tiTimeout->start();
  tiPause->start();
  if (SetLinkedConnections()) FDialogs->Message("Computer must be restarted!");
}

void TfoMain::FormActivate() {
  FActivated = true;
  Safe([this] { FirstLast(); });
  Safe([this] {
    raPortClick();
    rgDatabitsClick();
    rgParityClick();
    rgStopClick();
    rgBaudClick();
  });
  Safe([this] { buCloseClick(); });
  Safe([this] { Comm1Close(); });
  Safe([this] { buClearClick(); });
  meData->setFocus();
  FSession->StartFrameClock();
}

bool TfoMain::FormClose() { return FDialogs->Confirm("Are You sure?"); }

void TfoMain::FormDestroy() {
  if (FDestroyed) return;
  FDestroyed = true;
  tiTimeout->stop();
  tiPause->stop();
  FPending.Clear();
  Safe([this] { FirstLast(); });
  Safe([this] { SaveParms(); });
  FSession->StopCapture();
  // The port closes as its component goes; its OnClose is not fired then.
  FComm.reset();
}

void TfoMain::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  if (!FActivated)
    QTimer::singleShot(0, this, [this] {
      if (!FActivated) FormActivate();
    });
}

void TfoMain::CloseWithoutAsking() {
  FCloseWithoutAsking = true;
  close();
  QCoreApplication::exit(0);
}

void TfoMain::closeEvent(QCloseEvent* e) {
  if (FCloseWithoutAsking || FormClose())
    e->accept();
  else
    e->ignore();
}

void TfoMain::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  FormResize();
}

void TfoMain::FormResize() {
  ApplyResizeRule(FLayout, width(), height());
  const std::pair<QWidget*, const TBounds*> moved[] = {
      {meData, &FLayout.meData},         {raPort, &FLayout.raPort},
      {rgBaud, &FLayout.rgBaud},         {rgDatabits, &FLayout.rgDatabits},
      {rgParity, &FLayout.rgParity},     {rgStop, &FLayout.rgStop},
      {Panel1, &FLayout.Panel1},         {edLast, &FLayout.edLast},
      {buClear, &FLayout.buClear},       {buStrings, &FLayout.buStrings},
      {buTransmit, &FLayout.buTransmit}, {buSave, &FLayout.buSave},
      {buClose, &FLayout.buClose},       {buOpen, &FLayout.buOpen},
      {buCapture, &FLayout.buCapture},   {paStrip, &FLayout.paStrip},
  };
  for (const auto& [w, b] : moved)
    if (w) Place(w, *b);
  if (laWeb) laWeb->move(FLayout.laWeb.Left, FLayout.laWeb.Top);
  if (laPortState) {
    // Under the last-sign field, as wide as the band up to the buttons'
    // right edge; the rows of buttons start below it.
    const TBounds& e = FLayout.edLast;
    const int right = FLayout.buClear.Left + FLayout.buClear.Width;
    // Two rows fit above the buttons: a long line ("COM13 115200 8N1.5")
    // wraps rather than being cut at the least size.
    const int top = e.Top + e.Height + 2;
    laPortState->setGeometry(e.Left, top, std::max(right - e.Left, 1),
                             std::max(FLayout.buClear.Top - top, 1));
    if (FComm) ShowPortState();
  }
}

// ---- Port control ------------------------------------------------------------

void TfoMain::LoadPortList() {
  const int remembered = raPort->ItemIndex();
  raPort->SetItems({});
  FPorts = FEnv.PortList ? FEnv.PortList() : std::vector<TPortEntry>{};
  QStringList names;
  for (const TPortEntry& p : FPorts) names << Q(p.Name);
  raPort->SetItems(names);
  for (std::size_t i = 0; i < FPorts.size(); ++i) {
    const TPortEntry& p = FPorts[i];
    raPort->SetItemToolTip(
        static_cast<int>(i),
        // The description names paths and
        // what USB devices call themselves.
        FileNameText(ShownPath(p) + (p.Description.empty() ? "" : "\n" + p.Description)));
  }
  if (remembered >= 0 && remembered < raPort->Count() && remembered != raPort->ItemIndex())
    raPort->SetItemIndex(remembered);
}

void TfoMain::raPortClick() {
  if (raPort->ItemIndex() >= 0 && FParmKey) FParmKey->WriteInteger("REGXCOM", raPort->ItemIndex());
}

namespace {
// The port line says what the port is now, also when a setting failed.
struct TShowPortState {
  std::function<void()> Show;
  ~TShowPortState() { Show(); }
};
}  // namespace

void TfoMain::rgBaudClick() {
  TShowPortState shown{[this] { ShowPortState(); }};
  if (FParmKey) FParmKey->WriteInteger("REGBAUD", rgBaud->ItemIndex());
  if (rgBaud->ItemIndex() >= 0) FComm->SetBaudrate(kBaudTable[rgBaud->ItemIndex()]);
  // A rate picked in the group replaces one typed in the strip.
  if (edRate) edRate->clear();
}

void TfoMain::rgDatabitsClick() {
  TShowPortState shown{[this] { ShowPortState(); }};
  if (FParmKey) FParmKey->WriteInteger("REGDATABITS", rgDatabits->ItemIndex());
  if (rgDatabits->ItemIndex() >= 0)
    FComm->SetDatabits(static_cast<TSerDatabits>(rgDatabits->ItemIndex() + db7));
}

void TfoMain::rgParityClick() {
  TShowPortState shown{[this] { ShowPortState(); }};
  if (FParmKey) FParmKey->WriteInteger("REGPARITY", rgParity->ItemIndex());
  if (rgParity->ItemIndex() >= 0) FComm->SetParity(static_cast<TSerParity>(rgParity->ItemIndex()));
}

void TfoMain::rgStopClick() {
  TShowPortState shown{[this] { ShowPortState(); }};
  if (FParmKey) FParmKey->WriteInteger("REGSTOP", rgStop->ItemIndex());
  if (rgStop->ItemIndex() < 0) return;
  const TSerStopbits before = FComm->Stopbits();
  const auto wanted = static_cast<TSerStopbits>(rgStop->ItemIndex());
  try {
    FComm->SetStopbits(wanted);
  } catch (const ESerCommError&) {
    if (wanted != sb15) throw;
    // A device that takes 1.5 stop bits (a remote port may) gets them; a
    // local one refuses, and the port keeps what it had.
    FComm->SetStopbits(before);
    StatusLine(kStop15Refused +
               std::string(FComm->Active() ? "; the port keeps " : "; it stays at ") +
               (before == sb2 ? "2 stop bits." : "1 stop bit."));
    return;
  }
  // A closed port takes them for now; the user hears at once what Open
  // would say (a remote port may still take them).
  if (wanted == sb15 && !FComm->Active())
    StatusLine(kStop15Refused + std::string("; choose 1 or 2."));
}

void TfoMain::buOpenClick() {
  if (raPort->ItemIndex() < 0) return;
  StopReturn();
  // Opening disables the button; the focus goes to the pane, where typed
  // keys are sent, and not on along the tab order.
  TFocusPane focus{meData};
  if (FComm->Active()) buCloseClick();
  const std::string name = S(raPort->SelectedText());
  const int num = PortNumberFromName(name);
  FComm->SetPortNum(num);
  FComm->SetDeviceName("\\\\.\\" + name);
  PortLine("// Try to open COM" + std::to_string(num));
  // The component names the port by its Windows-style name; the user needs
  // the device file it stands for.
  TSessionDevice& device = FSession->Device();
  device = TSessionDevice{name, ""};
  for (const TPortEntry& p : FPorts)
    if (p.Name == name) device.Path = p.Path;
  if (const std::optional<TOpenFailure> failure = FSession->Open()) {
    // The box keeps its short text; the pane says why, and after the box
    // what the user can do about it (e.g. the group to join).
    StatusLine(failure->Message);
    if (FComm->Stopbits() == sb15) StatusLine(kStop15Refused + std::string("; choose 1 or 2."));
    FDialogs->Message("Open fail");
    if (!failure->Hint.empty()) StatusLine(failure->Hint);
    return;
  }
  PDelay(150);
  cbManchClick();
  FSession->Formatter().SetStampTime(UtcNow());
}

void TfoMain::buCloseClick() {
  if (raPort->ItemIndex() < 0) return;
  StopReturn();
  TFocusPane focus{meData};
  if (FComm->Active()) {
    PortLine("// Try to close COM" + std::to_string(FComm->PortNum()));
    try {
      FComm->Close();
    } catch (...) {
      StatusLine(ExceptionMessage(std::current_exception()));
      FDialogs->Message("Close fail");
      return;
    }
    PDelay(150);
  }
  LoadPortList();
}

void TfoMain::PDelay(int ms) {
  // The window is meant to stand still for this short wait; it sleeps
  // rather than spins.
  if (FEnv.Delay)
    FEnv.Delay(ms);
  else if (ms > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void TfoMain::Comm1Open() {
  buOpen->setEnabled(false);
  buStrings->setEnabled(true);
  cbPause->setEnabled(true);
  cbDirect->setEnabled(true);
  PortLine("// COM" + std::to_string(FComm->PortNum()) + " is open");
  ShowPortState();
  ShowModemLines();
}

void TfoMain::ShowPortState() {
  // Which port is open, with which settings: under the last-sign field,
  // where the eye goes from the pane; empty while no port is open.
  const std::string port = "COM" + std::to_string(FComm->PortNum());
  const QString text = FComm->Active()  ? Q(port + " " + ShortLineSettings(*FComm))
                       : Reconnecting() ? Q(port + " lost: waiting to reopen it")
                                        : QString();
  laPortState->setToolTip(text.isEmpty() ? QString() : "Open: " + text);
  laPortState->setText(text);
}

void TfoMain::Comm1Close() {
  buOpen->setEnabled(true);
  buStrings->setEnabled(false);
  if (FPending.Count() == 0) cbPause->setEnabled(false);
  cbDirect->setEnabled(false);
  PortLine("// COM" + std::to_string(FComm->PortNum()) + " is closed");
  ShowPortState();
  if (paStrip) ShowModemLines();
}

void TfoMain::Comm1RealRxChar(int count) {
  // The sent frames that ended before this block pair first.
  if (FSentSession) FSentSession->CheckTimeout(TReceiveSession::Clock::now());
  FSession->RxChar(count);
}

// A lost device's unfinished line is shown before the loss is told.
void TfoMain::Comm1RealError(int errors) {
  FReportingLoss = (static_cast<std::uint32_t>(errors) & CE_IOE) != 0;
  FSession->Error(static_cast<std::uint32_t>(errors));
  FReportingLoss = false;
}

// The device went away; the session has shown what came before and told
// the loss. The port is closed at once, so that Open offers the way back
// (its "is closed" line follows the loss).
void TfoMain::DeviceLost() {
  try {
    FComm->Close();
  } catch (...) {
    // A port whose device is gone has nothing left to refuse.
  }
  if (cbReconnect->isChecked()) {
    FReturn->Lost(TReceiveSession::Clock::now());
    tiReturn->start();
  }
  ShowPortState();
  ShowModemLines();
}

// ---- Keyboard transmit ---------------------------------------------------------

bool TfoMain::meDataKeyPress(std::uint8_t key) {
  if (cbDirect->isChecked()) {
    FTyped.SetSingle(key);
    Safe([this] { buTransmitClick(); });
    return true;
  }
  if (!FTyped.Add(key)) {
    // The line has no room left: the key is refused, visibly, once.
    QApplication::beep();
    if (!FTypedFullShown) {
      FTypedFullShown = true;
      AppendToPane("// The typed line is full (" + std::to_string(TTypedLine::kCapacity) +
                   " bytes): Transmit sends it, Clear empties it.");
    }
    return false;
  }
  buTransmit->setText(Q(FTyped.Caption()));
  FitTransmitCaption();
  buTransmit->setEnabled(true);
  const std::string echo = TypedEcho(key, FOptions);
  if (echo.empty()) return true;
  QTextDocument* doc = meData->document();
  const QTextBlock last = doc->lastBlock();
  if (!LastLineReceived() && EchoJoinsLastLine(doc->blockCount(), last.length() - 1)) {
    QTextCursor c(doc);
    c.movePosition(QTextCursor::End);
    c.insertText(Q(echo));
  } else {
    AppendToPane(echo);
  }
  return true;
}

void TfoMain::ShowTyped(const QString& text) {
  if (LastLineReceived()) meData->appendPlainText(QString());
  QTextCursor c(meData->document());
  c.movePosition(QTextCursor::End);
  QTextCharFormat black;
  black.setForeground(Qt::black);
  c.insertText(text, black);
  meData->ensureCursorVisible();
}

bool TfoMain::meDataKeyDown(int key) { return key != kKeyF2 || meDataKeyPress(0x00); }

void TfoMain::buTransmitClick() {
  if (FTyped.Count() == 0) return;
  FComm->WriteBuf(FTyped.Data(), FTyped.Count());
  Sent(FTyped.Data(), static_cast<std::size_t>(FTyped.Count()));
}

void TfoMain::Sent(const void* bytes, std::size_t n) {
  const TReceiveSession::Clock::time_point at = TReceiveSession::Clock::now();
  FSession->Sent(bytes, n, at);
  if (!FPairing || n == 0) return;
  // The sent side joins the pairing with its first bytes, as a decode's
  // does: until then received answers pair with received requests (a bus
  // that carries both sides).
  if (!FSentSession) {
    TSessionSink sink;
    sink.Line = [this](std::string_view line) { FPending.Add("TX " + std::string(line)); };
    TSessionOptions options;
    options.Lines = FSession->LineRules();
    options.ModbusPairing = FPairing;
    FClockHeld = at;
    FSentSession = std::make_unique<TReceiveSession>(
        *FComm, FSession->Device(), FOptions, std::move(sink),
        [this] { return FClockHeld ? *FClockHeld : TReceiveSession::Clock::now(); }, options,
        [this] { return FSession->UtcNsOf(*FClockHeld); });
    FClockHeld.reset();
  }
  FSession->CheckTimeout(at);
  FSentSession->Receive(static_cast<const std::uint8_t*>(bytes), n, at);
  RestartTimeout();
}

void TfoMain::cbDirectClick() {
  if (FParmKey) FParmKey->WriteBool("DIRECT", cbDirect->isChecked());
}

void TfoMain::ResetTypedLine() {
  FTyped.Reset();
  FTypedFullShown = false;
  buTransmit->setText("Transmit");
  FitTransmitCaption();
  buTransmit->setEnabled(false);
  meData->setFocus();
}

// ---- Frame signs and status ---------------------------------------------------

void TfoMain::FirstLast() {
  const std::uint8_t first = SignFromField(S(meFirst->displayText()));
  std::string caption = "First:";
  AppendSignText(caption, first, FOptions);
  caption += ",  Last:";
  const std::uint8_t last = SignFromField(S(meLast->displayText()));
  AppendSignText(caption, last, FOptions);
  FSession->Formatter().SetSigns(first, last);
  laSigns->setText(Q(caption));
  laSigns->adjustSize();
  FProtocolFlags = {.First = first,
                    .Last = last,
                    .Bcc = static_cast<std::uint8_t>(cbBcc->isChecked()),
                    .Time = static_cast<std::uint8_t>(cbTime->isChecked()),
                    .Convert = static_cast<std::uint8_t>(cbConvert->isChecked()),
                    .Hex = static_cast<std::uint8_t>(cbHEX->isChecked()),
                    .STXHL = static_cast<std::uint8_t>(cbSTXHL->isChecked()),
                    .PROD2 = static_cast<std::uint8_t>(cbPROD2->isChecked()),
                    .Manch = static_cast<std::uint8_t>(cbManch->isChecked())};
  const TProtocolFlags::TBytes bytes = FProtocolFlags.Pack();
  if (FParmKey) FParmKey->WriteBinaryData("REGPROTOCOL", bytes.data(), TProtocolFlags::kSize);
}

void TfoMain::meFirstKeyPress(char key) {
  if (key == '\r') Safe([this] { FirstLast(); });
}

void TfoMain::cbSTXHLClick() {
  if (cbSTXHL->isChecked() && coModbus->currentIndex() != 0) {
    coModbus->setCurrentIndex(0);
    coModbusChange();
  }
  if (cbSTXHL->isChecked()) {
    meFirst->setText("02");
    meLast->setText("03");
    cbBcc->setChecked(true);
    cbPROD2->setChecked(false);
  }
  FirstLast();
}

void TfoMain::cbPROD2Click() {
  if (cbPROD2->isChecked() && coModbus->currentIndex() != 0) {
    coModbus->setCurrentIndex(0);
    coModbusChange();
  }
  if (cbPROD2->isChecked()) {
    meFirst->setText("02");
    meLast->setText("03");
    cbBcc->setChecked(false);
    cbSTXHL->setChecked(false);
    cbTime->setChecked(true);
  }
  FirstLast();
}

void TfoMain::cbManchClick() { FSession->Formatter().ResetManchPhase(); }

void TfoMain::buClearClick() {
  const int remembered = raPort->ItemIndex();
  LoadPortList();
  raPort->SetItemIndex(remembered);
  FSession->Formatter().ResetTotalSigns();
  meData->clear();
  const QLocale locale = QLocale::system();
  AppendToPane("// " + S(locale.toString(QDate::currentDate(), QLocale::ShortFormat)) + " " +
               S(locale.toString(QTime::currentTime(), QLocale::LongFormat)));
  if (raPort->ItemIndex() >= 0) {
    std::string line = "// Port: " + S(raPort->SelectedText());
    for (TRadioGroup* g : {rgBaud, rgDatabits, rgParity, rgStop})
      line += ".  " + S(g->title()) + ": " + S(g->SelectedText());
    AppendToPane(line + ".  ");
  }
  FPending.Clear();
  FirstLast();
  ResetTypedLine();
  edLast->clear();
  cbManchClick();
}

// ---- The bench strip -------------------------------------------------------------

void TfoMain::LoadStrip(TRegistry& k) {
  if (k.ValueExists("FLOW")) {
    coFlow->setCurrentIndex(std::clamp(k.ReadInteger("FLOW"), 0, coFlow->count() - 1));
    coFlowChange();
  }
  if (k.ValueExists("STAMP")) {
    coStamp->setCurrentIndex(std::clamp(k.ReadInteger("STAMP"), 0, coStamp->count() - 1));
    coStampChange();
  }
  if (k.ValueExists("TEXTLOOK")) cbText->setChecked(k.ReadBool("TEXTLOOK"));
  if (k.ValueExists("RECONNECT")) cbReconnect->setChecked(k.ReadBool("RECONNECT"));
}

void TfoMain::ShowModemLines() {
  const bool live = FComm && FComm->Active() && FComm->HasModemLines();
  const std::uint8_t lines = live ? FComm->ModemLines() : 0;
  const std::pair<QLabel*, std::uint8_t> lamps[] = {
      {laCts, kLineCts}, {laDsr, kLineDsr}, {laDcd, kLineDcd}, {laRi, kLineRing}};
  for (const auto& [lamp, bit] : lamps) {
    // A device without modem lines (a pseudo-terminal) shows them greyed.
    lamp->setEnabled(live);
    const QString style = (lines & bit) ? "background: #40c040; color: black" : "";
    if (lamp->styleSheet() != style) lamp->setStyleSheet(style);
  }
}

void TfoMain::cbDtrClick() {
  FComm->SetDTR(cbDtr->isChecked());
  ShowModemLines();
}

void TfoMain::cbRtsClick() {
  FComm->SetRTS(cbRts->isChecked());
  ShowModemLines();
}

void TfoMain::buBreakClick() {
  if (!FComm->Active()) return;
  FComm->SetBreak(true);
  buBreak->setEnabled(false);
  QTimer::singleShot(kBreakMs, this, [this] {
    buBreak->setEnabled(true);
    Safe([this] {
      if (FComm->Active()) FComm->SetBreak(false);
    });
  });
}

void TfoMain::buResetClick() {
  if (!FComm->Active()) return;
  const bool dtr = cbDtr->isChecked();
  FComm->SetDTR(!dtr);
  buReset->setEnabled(false);
  QTimer::singleShot(kPulseMs, this, [this, dtr] {
    buReset->setEnabled(true);
    Safe([this, dtr] {
      FComm->SetDTR(dtr);
      ShowModemLines();
    });
  });
}

void TfoMain::coFlowChange() {
  constexpr TFlowChoice kChoices[] = {TFlowChoice::None, TFlowChoice::RtsCts, TFlowChoice::XonXoff};
  const TFlowChoice choice = kChoices[std::clamp(coFlow->currentIndex(), 0, 2)];
  if (FParmKey) FParmKey->WriteInteger("FLOW", coFlow->currentIndex());
  TSerFlowControl flow;
  flow.Assign(FComm->FlowControl());
  ApplyFlowChoice(flow, choice);
  FComm->SetFlowControl(flow);
  // Under RTS/CTS the handshake drives RTS.
  cbRts->setEnabled(choice != TFlowChoice::RtsCts);
  cbRts->setChecked(FComm->FlowControl().ControlRts() != rtsDisabled);
  ShowModemLines();
}

void TfoMain::edRateEnter() {
  struct TShow {
    TfoMain* W;
    ~TShow() { W->ShowPortState(); }
  } shown{this};
  std::string text;
  for (const char c : S(edRate->text().trimmed()))
    if (c != ',' && c != '_' && c != ' ') text += c;
  if (text.empty()) {
    // Back to the rate the group selects.
    if (rgBaud->ItemIndex() >= 0) FComm->SetBaudrate(kBaudTable[rgBaud->ItemIndex()]);
    return;
  }
  long rate = 0;
  const bool digits = text.size() <= 8 && text.find_first_not_of("0123456789") == std::string::npos;
  if (digits) rate = std::stol(text);
  if (!digits || rate < kRateLeast || rate > kRateMost) {
    StatusLine("Rate \"" + S(edRate->text()) + "\": a whole number of baud from " +
               std::to_string(kRateLeast) + " to " + std::to_string(kRateMost) +
               " expected; the port keeps " + ShortLineSettings(*FComm) + ".");
    return;
  }
  FComm->SetUserBaudrate(static_cast<std::int32_t>(rate));
  FComm->SetBaudrate(brUser);
}

bool TfoMain::Reconnecting() const { return FReturn && FReturn->Waiting(); }

void TfoMain::StopReturn() {
  FReturn = std::make_unique<TPortReturn>(*FSession, [this](const TOpenFailure& f) {
    StatusLine(f.Message);
    if (!f.Hint.empty()) StatusLine(f.Hint);
  });
  if (tiReturn) tiReturn->stop();
}

void TfoMain::cbReconnectClick() {
  if (FParmKey) FParmKey->WriteBool("RECONNECT", cbReconnect->isChecked());
  if (!cbReconnect->isChecked() && Reconnecting()) {
    StopReturn();
    StatusLine("COM" + std::to_string(FComm->PortNum()) + " is no longer awaited");
  }
  ShowPortState();
}

void TfoMain::tiReturnTimer() {
  if (!Reconnecting()) {
    tiReturn->stop();
    return;
  }
  if (FReturn->TryIfDue(TReceiveSession::Clock::now)) {
    // Back with the same settings; the open said so in the pane.
    tiReturn->stop();
    cbManchClick();
    FSession->Formatter().SetStampTime(UtcNow());
  }
  ShowPortState();
}

void TfoMain::coStampChange() {
  constexpr TStampForm kForms[] = {TStampForm::None, TStampForm::Time, TStampForm::Utc,
                                   TStampForm::Iso,  TStampForm::Gap,  TStampForm::Since};
  if (FParmKey) FParmKey->WriteInteger("STAMP", coStamp->currentIndex());
  FSession->LineRules().Stamp = kForms[std::clamp(coStamp->currentIndex(), 0, 5)];
  FSession->ApplyLineRules();
  if (FSentSession) FSentSession->LineRules().Stamp = FSession->LineRules().Stamp;
}

void TfoMain::cbTextClick() {
  if (FParmKey) FParmKey->WriteBool("TEXTLOOK", cbText->isChecked());
  CutRules(FSession->LineRules());
  FSession->ApplyLineRules();
}

void TfoMain::CutRules(TLineRules& rules) const {
  if (!SilenceChosen()) {
    rules.Cut = cbText->isChecked();
    rules.Look = TLineLook::Text;
    rules.End = std::uint8_t{'\n'};
    return;
  }
  // The silence field takes the text look's place: the look is the
  // frames' own, and only a silence (or the length) ends a line.
  rules.Cut = true;
  rules.Look = cbHEX->isChecked()       ? TLineLook::Hex
               : cbConvert->isChecked() ? TLineLook::Names
                                        : TLineLook::Raw;
  rules.End.reset();
  const TSilence silence = *ParseSilence(FSilence.empty() ? kSilenceDefault : FSilence);
  rules.GapNs = silence.Ns;
  rules.GapChars = silence.Chars;
  rules.GapFloorNs = 0;
}

TModbusMode TfoMain::ModbusMode() const {
  constexpr TModbusMode kModes[] = {TModbusMode::None, TModbusMode::Rtu, TModbusMode::Ascii,
                                    TModbusMode::None};
  return coModbus ? kModes[std::clamp(coModbus->currentIndex(), 0, kSilenceChoice)]
                  : TModbusMode::None;
}

bool TfoMain::SilenceChosen() const {
  return coModbus && coModbus->currentIndex() == kSilenceChoice;
}

void TfoMain::LoadSilence(TRegistry& k) {
  if (!k.ValueExists("SILENCE")) return;
  const std::string text = k.ReadString("SILENCE");
  if (!text.empty() && !ParseSilence(text))
    throw std::runtime_error("SILENCE \"" + text + "\": " + kSilenceForms + " expected");
  FSilence = text;
}

void TfoMain::LoadModbus(TRegistry& k) {
  if (k.ValueExists("ANSWERTIMEOUT")) {
    FAnswerMs =
        std::clamp<std::int64_t>(k.ReadInteger("ANSWERTIMEOUT"), kAnswerLeastMs, kAnswerMostMs);
    if (FAnswerMs != TLineRules::kAnswerTimeoutDefaultNs / 1000000)
      edAnswer->setText(QString::number(FAnswerMs));
  }
  if (k.ValueExists("MODBUS")) {
    coModbus->setCurrentIndex(std::clamp(k.ReadInteger("MODBUS"), 0, coModbus->count() - 1));
    coModbusChange();
  }
}

void TfoMain::coModbusChange() {
  if (FParmKey) FParmKey->WriteInteger("MODBUS", coModbus->currentIndex());
  ShowTimeField();
  // Modbus and the silence take the place of the two protocols of the signs.
  if (coModbus->currentIndex() != 0) {
    cbSTXHL->setChecked(false);
    cbPROD2->setChecked(false);
  }
  ApplyModbus();
}

void TfoMain::ShowTimeField() {
  if (SilenceChosen()) {
    edAnswer->setText(Q(FSilence));
    edAnswer->setPlaceholderText(kSilenceDefault);
    edAnswer->setToolTip(
        "The silence that ends a line: ms (5, 1.75) or character times of the port's settings "
        "(3.5c), then Enter; empty: 3.5c");
    return;
  }
  edAnswer->setText(FAnswerMs != TLineRules::kAnswerTimeoutDefaultNs / 1000000
                        ? QString::number(FAnswerMs)
                        : QString());
  edAnswer->setPlaceholderText("1000 ms");
  edAnswer->setToolTip(
      "The time an answer may take, in ms (1 to 3600000), then Enter; empty: 1000 ms");
}

std::string TfoMain::SilenceText() const {
  const std::string s = FSilence.empty() ? kSilenceDefault : FSilence;
  return s.back() == 'c' ? s.substr(0, s.size() - 1) + " character times" : s + " ms";
}

void TfoMain::EnterSilence() {
  const std::string text = S(edAnswer->text().trimmed());
  if (!text.empty() && !ParseSilence(text)) {
    StatusLine("Silence \"" + S(edAnswer->text()) + "\": " + kSilenceForms +
               " expected; it stays " + SilenceText() + ".");
    return;
  }
  FSilence = text;
  if (FParmKey) FParmKey->WriteString("SILENCE", FSilence);
  ApplyModbus();
}

void TfoMain::edAnswerEnter() {
  if (SilenceChosen()) return EnterSilence();
  const QString text = edAnswer->text().trimmed();
  bool number = false;
  const long ms =
      text.isEmpty() ? TLineRules::kAnswerTimeoutDefaultNs / 1000000 : text.toLong(&number);
  if (!text.isEmpty() && (!number || ms < kAnswerLeastMs || ms > kAnswerMostMs)) {
    StatusLine("Answer time \"" + S(edAnswer->text()) + "\": a whole number of ms from " +
               std::to_string(kAnswerLeastMs) + " to " + std::to_string(kAnswerMostMs) +
               " expected; it stays " + std::to_string(FAnswerMs) + " ms.");
    return;
  }
  FAnswerMs = ms;
  if (FParmKey) FParmKey->WriteInteger("ANSWERTIMEOUT", static_cast<std::int32_t>(FAnswerMs));
  ApplyModbus();
}

void TfoMain::ApplyModbus() {
  const TModbusMode mode = ModbusMode();
  const TLineRules view = ModbusLines(mode, FAnswerMs * 1000000);
  TLineRules& rules = FSession->LineRules();
  rules.Modbus = view.Modbus;
  rules.AnswerTimeoutNs = view.AnswerTimeoutNs;
  rules.GapNs = view.GapNs;
  rules.GapChars = view.GapChars;
  rules.GapFloorNs = view.GapFloorNs;
  CutRules(rules);
  // The sent side's frames end first, then the received side's; a new
  // pairing takes both from here.
  if (FSentSession) {
    FSentSession->LineRules().Modbus = TModbusMode::None;
    FSentSession->ApplyLineRules();
    FSentSession.reset();
  }
  FPairing.reset();
  if (mode != TModbusMode::None)
    FPairing = std::make_shared<TModbusPairing>(mode, view.AnswerTimeoutNs);
  FSession->ShareModbus(FPairing);
  FRxMark = FPairing ? "RX " : "";
  // The signs, the frame boxes and the text look shape no Modbus line and
  // no line framed by silence; Convert and Hex still shape the echo of
  // typed keys (and the silence's lines).
  const bool frames = mode == TModbusMode::None && !SilenceChosen();
  for (QWidget* w : std::initializer_list<QWidget*>{meFirst, meLast, cbBcc, cbTime, cbManch})
    w->setEnabled(frames);
  cbText->setVisible(frames);
  edAnswer->setVisible(!frames);
  if (!frames) RestartTimeout();
}

// ---- Capture and save; small actions -------------------------------------------

void TfoMain::buCaptureClick() {
  if (FSession->Capture().Running()) {
    FSession->StopCapture();
    SetCaptureCaption("Capture");
    return;
  }
  const std::optional<std::string> chosen = FDialogs->ChooseCaptureFile();
  if (!chosen) return;
  try {
    FSession->StartCapture(*chosen);
  } catch (const ECaptureError& e) {
    SetCaptureCaption("Capture");
    ShowError(e.what());
    return;
  }
  SetCaptureCaption("Stop (" + FileNameText(FSession->Capture().BaseName()) + ")");
}

void TfoMain::buSaveClick() {
  const std::optional<std::string> chosen = FDialogs->ChooseSaveFile();
  if (chosen) SavePaneLines(*chosen, PaneLines());
}

void TfoMain::laWebClick() { FDialogs->OpenUrl(FEnv.WebAddress); }

void TfoMain::buStringsClick() { FDialogs->ShowStrings(); }

// ---- Timers ----------------------------------------------------------------------

void TfoMain::RestartTimeout() {
  tiTimeout->stop();
  if (ModbusMode() == TModbusMode::None && !SilenceChosen()) {
    tiTimeout->setInterval(kLineTimeoutMs);
    tiTimeout->start();
    return;
  }
  // Modbus or silence: the sessions are due at a frame's silence, a request's
  // time-out or a held tail, whichever comes first; the timer wakes a
  // little after it (ShowDue), so a busy line wakes it once per block.
  std::optional<TReceiveSession::Clock::time_point> due = FSession->ShowDue();
  if (const auto sent = FSentSession ? FSentSession->ShowDue() : std::nullopt)
    if (!due || *sent < *due) due = sent;
  if (!due) return;
  const auto wait =
      std::chrono::ceil<std::chrono::milliseconds>(*due - TReceiveSession::Clock::now());
  tiTimeout->setInterval(static_cast<int>(std::clamp<std::int64_t>(wait.count(), 0, 3600000)));
  tiTimeout->start();
}

void TfoMain::tiTimeoutTimer() {
  if (ModbusMode() == TModbusMode::None && !SilenceChosen()) return FSession->Timeout();
  TReceiveSession* const sessions[] = {FSession.get(), FSentSession.get()};
  EndLinesDueBy(std::span(sessions, FSentSession ? 2 : 1), TReceiveSession::Clock::now());
  RestartTimeout();
}

void TfoMain::tiPauseTimer() {
  // The pane is painted once per tick rather than once per line: each
  // paint redraws the pane and its scroll bar, by far the largest cost of
  // a busy line. The GUI still handles its events between the lines.
  struct TPaintOnce {
    QWidget* Pane;
    bool Outer;
    ~TPaintOnce() {
      if (Outer) Pane->setUpdatesEnabled(true);
    }
  } paint{meData, meData->updatesEnabled() && FPending.PendingCount() > 0 && !cbPause->isChecked()};
  if (paint.Outer) meData->setUpdatesEnabled(false);
  FPending.Tick(*FPaneView);
  buLive->setVisible(FPending.PendingCount() > 0);
}

void TfoMain::buLiveClick() {
  // The lines skipped are told in the pane; a running capture has every
  // byte of them.
  FPending.SkipWaiting();
  tiPauseTimer();
}

}  // namespace talmo
