#include "device/rfc2217_device.h"

#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iterator>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "base/control_lines.h"
#include "base/error_text.h"
#include "base/trace.h"
#include "device/rfc2217_codec.h"
#include "device/wake_fd.h"

namespace talmo {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::atomic<std::uint64_t> gWaits{0};

// Decoded bytes held for the reader; beyond that the socket is left alone
// and TCP holds the server back.
constexpr std::size_t kRxLimit = 256 * 1024;
// Escaped bytes queued for the socket by one Write before it waits.
constexpr std::size_t kOutLimit = 64 * 1024;
// How often a wait looks again when it cannot wait on the socket itself
// (input held back, flow suspended, another thread took the answers).
constexpr int kWatchIntervalMs = 10;
constexpr int kSliceMs = 5;
constexpr char kOurSignature[] = "TALMO";
constexpr int kPurgeRounds = 2;
// What we may owe the server beyond the data Write queues: more than this
// (answers, commands) while it takes nothing is no connection to keep.
constexpr std::size_t kAnswerRoom = 4 * 1024;
constexpr std::size_t kOutBound = 2 * kOutLimit + kAnswerRoom;  // data escaped: up to twice
// Answers given about one option; a peer that flips it on and off beyond
// this is not negotiating, and gets no more.
constexpr std::uint8_t kMaxAnswersPerOption = 8;
constexpr int kMaxSignatureAnswers = 4;
// Line errors are reported at most once in this gap; the ones that come
// within it are folded into the next report, with their count.
constexpr auto kLineErrorGap = milliseconds(250);

int MsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

const char* SettingName(TComPortSetting s) {
  switch (s) {
    case csBaudrate: return "baud rate";
    case csDatasize: return "data bits";
    case csParity: return "parity";
    case csStopsize: return "stop bits";
    case csFlow: return "flow control";
    case csInFlow: return "input flow control";
    case csBreak: return "break";
    case csDtr: return "DTR";
    case csRts: return "RTS";
    default: return "setting";
  }
}

// --- the trace's names for what goes over the wire --------------------------

std::string CodeText(int code) {
  return SysErrorText(code) + " (errno " + std::to_string(code) + ")";
}

std::string OptionText(std::uint8_t option) {
  switch (option) {
    case telnet::kOptBinary: return "BINARY";
    case telnet::kOptEcho: return "ECHO";
    case telnet::kOptSuppressGoAhead: return "SUPPRESS-GO-AHEAD";
    case telnet::kOptComPort: return "COM-PORT-OPTION";
    default: return "option " + std::to_string(option);
  }
}

const char* VerbText(std::uint8_t verb) {
  switch (verb) {
    case telnet::kWill: return "WILL";
    case telnet::kWont: return "WONT";
    case telnet::kDo: return "DO";
    case telnet::kDont: return "DONT";
    default: return "?";
  }
}

// "SET-BAUDRATE 115200", "NOTIFY-MODEMSTATE 0x30", "SET-CONTROL answer 8".
std::string ComPortText(const std::uint8_t* p, std::size_t n) {
  static const char* const kNames[] = {
      "SIGNATURE",           "SET-BAUDRATE",       "SET-DATASIZE",       "SET-PARITY",
      "SET-STOPSIZE",        "SET-CONTROL",        "NOTIFY-LINESTATE",   "NOTIFY-MODEMSTATE",
      "FLOWCONTROL-SUSPEND", "FLOWCONTROL-RESUME", "SET-LINESTATE-MASK", "SET-MODEMSTATE-MASK",
      "PURGE-DATA"};
  if (n == 0) return "COM-PORT-OPTION (empty)";
  const bool answer = p[0] >= comport::kServerOffset;
  const std::uint8_t code = answer ? p[0] - comport::kServerOffset : p[0];
  std::string out = code < std::size(kNames) ? kNames[code] : "command " + std::to_string(p[0]);
  // The server's notices and flow requests answer nothing of ours.
  const bool notice = code >= comport::kNotifyLinestate && code <= comport::kFlowcontrolResume;
  if (answer && !notice) out += " answer";
  if (code == comport::kSignature) return out + " \"" + std::string(p + 1, p + n) + "\"";
  if (code == comport::kSetBaudrate && n == 5)
    return out + " " +
           std::to_string(std::uint32_t(p[1]) << 24 | std::uint32_t(p[2]) << 16 |
                          std::uint32_t(p[3]) << 8 | p[4]);
  char hex[8];
  for (std::size_t i = 1; i < n; ++i) {
    std::snprintf(hex, sizeof hex, code >= comport::kNotifyLinestate ? " 0x%02x" : " %u",
                  static_cast<unsigned>(p[i]));
    out += hex;
  }
  return out;
}

// The Telnet commands in `bytes` (what Send puts out), one after another.
std::string TelnetText(const std::vector<std::uint8_t>& bytes) {
  std::string out;
  const auto add = [&out](const std::string& part) { out += out.empty() ? part : ", " + part; };
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (bytes[i] != telnet::kIac || i + 1 >= bytes.size()) {
      add("data byte " + std::to_string(bytes[i++]));
      continue;
    }
    const std::uint8_t cmd = bytes[i + 1];
    if (cmd >= telnet::kWill && cmd <= telnet::kDont && i + 2 < bytes.size()) {
      add(std::string(VerbText(cmd)) + " " + OptionText(bytes[i + 2]));
      i += 3;
    } else if (cmd == telnet::kSb && i + 2 < bytes.size()) {
      const std::uint8_t option = bytes[i + 2];
      std::vector<std::uint8_t> payload;
      std::size_t j = i + 3;
      for (; j + 1 < bytes.size() && !(bytes[j] == telnet::kIac && bytes[j + 1] == telnet::kSe);
           ++j) {
        payload.push_back(bytes[j]);
        if (bytes[j] == telnet::kIac) ++j;  // a doubled 0xFF
      }
      add(option == telnet::kOptComPort ? ComPortText(payload.data(), payload.size())
                                        : "SB " + OptionText(option));
      i = j + 2;
    } else {
      add("IAC " + std::to_string(cmd));
      i += 2;
    }
  }
  return out;
}

// "a", "a and b", "a, b and c".
std::string ListOf(const std::vector<std::string>& items) {
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += i + 1 == items.size() ? " and " : ", ";
    out += items[i];
  }
  return out;
}

class TRfc2217Device final : public TSerDevice, private TTelnetSink {
 public:
  TRfc2217Device(int fd, int wakeFd, int kickFd, const TRfc2217Timing& timing, std::string name)
      : FFd(fd),
        FWakeFd(wakeFd),
        FKickFd(kickFd),
        FTiming(timing),
        FName(ShortDeviceName(name)),
        FAnswerMs(timing.AnswerMs) {}
  ~TRfc2217Device() override { Close(); }

  // The option negotiation and the empty start. 0 or an errno code.
  int Start();
  int AnswerMs() const { return FAnswerMs.load(); }

  int SetState(const TSerDCB& dcb) override;
  int SetEventMask(std::uint32_t mask) override;
  int WaitEvent(std::uint32_t& events) override;
  int Read(void* buf, std::size_t count, std::size_t& got) override;
  int Write(const void* buf, std::size_t count, std::size_t& written, int timeoutMs) override;
  int ClearError(std::uint32_t& errors, TSerComStat& stat) override {
    return Status(errors, stat, true);
  }
  int ClearErrorForRead(std::uint32_t& errors, TSerComStat& stat, bool) override {
    return Status(errors, stat, false);
  }
  int Finish() override;
  void Cancel() override;
  void Close() override;
  std::string Explain() const override;
  std::vector<std::string> TakeNotices() override;
  std::uint8_t ControlLines() const override { return FLines.load() | FOutLines.load(); }
  int SetModemLine(std::uint8_t line, bool on) override;
  int SetBreak(bool on) override;
  bool HasModemLines() const override { return FModemSeen.load(); }

 private:
  // Sends one SET-CONTROL without waiting for its answer: servers do not
  // answer every one (ser2net none for a pty's modem lines).
  int SendControl(const TComPortCommand& command);
  // What the decoder finds; FInLock is held (a pump runs).
  void Data(const std::uint8_t* p, std::size_t n) override;
  void Negotiation(std::uint8_t verb, std::uint8_t option) override;
  void SubNegotiation(std::uint8_t option, const std::uint8_t* p, std::size_t n) override;

  int Fd() const { return FFd.load(); }
  const char* TraceName() const { return FName.c_str(); }
  int WriteSome(const void* buf, std::size_t count, std::size_t& written, int timeoutMs);
  std::size_t Available() const { return FRx.size() - FRxHead; }
  // Takes what the socket has, without blocking. FInLock held.
  void Pump();
  // The same at the end, where no reader follows.
  void PumpAtEnd();
  int Status(std::uint32_t& errors, TSerComStat& stat, bool outCount);
  // Bytes the socket holds that the server's machine has not acknowledged.
  std::size_t SocketQueued() const;
  // `wire` bytes carrying `data` bytes of data went into FOut. FOutLock held.
  void Appended(std::size_t wire, std::size_t data);
  // Data bytes queued that have not left the socket yet. FOutLock held.
  std::uint64_t UnsentLocked();
  // Waits up to `ms` for input, or for room while our queue holds bytes;
  // Cancel does not end it (Finish runs after it).
  void AwaitAtEnd(int ms);
  // Explains and returns `code`: what of our data could not go out, why.
  int Unfinished(int code, std::uint64_t unsent, const std::string& why);
  // Wakes the event thread when it waits. FInLock held.
  void KickLocked();
  void MarkGone(int code);
  int GoneCode() const {
    const int c = FGoneCode.load();
    return c ? c : ECONNRESET;
  }
  // Appends whole units to the output and sends what the socket takes now.
  int Send(const std::vector<std::uint8_t>& bytes);
  int FlushLocked();  // FOutLock held
  bool OutPending();
  // Waits up to `ms` for input (and for room, when output waits).
  void AwaitSocket(int ms);
  // Until the server has agreed to COM-PORT-OPTION: 0, ENOTSUP when it
  // refused or did not answer within `ms`, EIO when the connection went.
  int AwaitComPort(int ms);
  // Folded line errors whose gap has passed become a report. FInLock held.
  void ReleaseFolded(Clock::time_point now);
  // The first explanation of a failure stays: it is the cause.
  void Explained(const std::string& text);
  void Noticed(const std::string& text);

  std::atomic<int> FFd;
  std::atomic<int> FWakeFd;
  std::atomic<int> FKickFd;
  const TRfc2217Timing FTiming;
  const std::string FName;  // as messages show it
  // A wait for an answer: the bound until the negotiation has shown the
  // round trip, then sized to it.
  std::atomic<int> FAnswerMs;
  std::atomic<bool> FCancelled{false};
  std::atomic<bool> FGone{false};
  std::atomic<int> FGoneCode{0};
  std::atomic<std::uint32_t> FMask{0};
  std::atomic<bool> FSuspended{false};
  std::atomic<bool> FComPortUnanswered{false};
  std::atomic<bool> FEnding{false};  // Finish runs: the server's end is expected

  std::mutex FInLock;
  TTelnetDecoder FDecoder;
  TTelnetOptions FOptions;
  std::vector<std::uint8_t> FReplies;  // what a pump owes the server
  std::vector<std::uint8_t> FRx;
  std::size_t FRxHead = 0;
  bool FRxNew = false;  // data came that WaitEvent has not reported
  // The open's empty start: input is dropped until this many answers to
  // the rate questions behind the purges have come.
  int FDiscardAnswers = 0;
  std::uint32_t FEvents = 0;
  std::uint32_t FErrors = 0;
  bool FModemFirst = true;
  std::uint8_t FModem = 0;
  std::atomic<std::uint8_t> FLines{0};     // FModem as control lines, any thread
  std::atomic<std::uint8_t> FOutLines{0};  // DTR and RTS as we set them
  std::atomic<bool> FModemSeen{false};     // a NOTIFY-MODEMSTATE came
  bool FWaiting = false;                   // the event thread is in poll()
  std::array<std::uint32_t, csSettingCount> FAnswerCount{};
  std::array<std::uint32_t, csSettingCount> FAnswerValue{};
  std::array<bool, csSettingCount> FSilent{};
  std::array<std::uint8_t, 256> FAnswersGiven{};  // per option
  int FSignatureAnswers = 0;
  // Line errors within the gap after a report: their bits, events and
  // count wait for FFoldUntil; FFoldedOut goes out with the next status.
  Clock::time_point FFoldUntil{};
  std::uint32_t FFoldErrors = 0;
  std::uint32_t FFoldEvents = 0;
  std::uint32_t FFolded = 0;
  std::uint32_t FFoldedOut = 0;

  // GUI thread only.
  bool FToldUnconfirmed = false;

  mutable std::mutex FNoteLock;  // a leaf: nothing is taken under it
  std::string FExplanation;
  std::vector<std::string> FNotices;

  // Event thread only.
  bool FHupSeen = false;

  std::mutex FOutLock;
  std::vector<std::uint8_t> FOut;
  std::size_t FOutHead = 0;
  // Answers and commands queued since the socket last took a byte.
  std::size_t FOwed = 0;
  // Bytes ever put into FOut, the data among them, and the bytes the
  // socket took: with the socket's queue they tell how much data has not
  // left. A mark per append (wire end, data end), kept while the socket
  // may still hold its bytes.
  struct TMark {
    std::uint64_t Wire = 0, Data = 0;
  };
  std::uint64_t FWireIn = 0, FDataIn = 0, FWireSent = 0;
  std::deque<TMark> FMarks;
  TMark FMarkBase;
};

// --- input -----------------------------------------------------------------

void TRfc2217Device::Pump() {
  if (FGone.load()) return;
  std::uint8_t buf[16384];
  // A few reads drain a burst; bounded, so no caller holds the lock long.
  for (int round = 0; round < 8 && Available() < kRxLimit; ++round) {
    const ssize_t r = ::recv(Fd(), buf, sizeof buf, MSG_DONTWAIT);
    if (r > 0) {
      FDecoder.Feed(buf, static_cast<std::size_t>(r), *this);
      if (static_cast<std::size_t>(r) < sizeof buf) break;
      continue;
    }
    if (r == 0) {
      // The server closed the connection; at the end that is its answer to
      // ours, which Finish judges.
      if (!FEnding.load()) Explained("the server at " + FName + " closed the connection");
      MarkGone(ECONNRESET);
      break;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) MarkGone(errno);
    break;
  }
  ReleaseFolded(Clock::now());
  if (!FReplies.empty()) {
    std::vector<std::uint8_t> replies;
    replies.swap(FReplies);
    (void)Send(replies);
  }
  if ((FRxNew && Available() > 0) || FEvents != 0) KickLocked();
}

void TRfc2217Device::ReleaseFolded(Clock::time_point now) {
  if (FFolded == 0 || now < FFoldUntil) return;
  FErrors |= FFoldErrors;
  FEvents |= FFoldEvents;
  // The report stands for one of them; the rest are told as a count.
  FFoldedOut += FFolded - 1;
  FFoldErrors = FFoldEvents = FFolded = 0;
  FFoldUntil = now + kLineErrorGap;
}

void TRfc2217Device::Explained(const std::string& text) {
  TALMO_TRACE(TraceName(), "error: %s", text.c_str());
  std::lock_guard lock(FNoteLock);
  if (FExplanation.empty()) FExplanation = text;
}

void TRfc2217Device::Noticed(const std::string& text) {
  TALMO_TRACE(TraceName(), "notice: %s", text.c_str());
  std::lock_guard lock(FNoteLock);
  FNotices.push_back(text);
}

std::string TRfc2217Device::Explain() const {
  std::lock_guard lock(FNoteLock);
  return FExplanation;
}

std::vector<std::string> TRfc2217Device::TakeNotices() {
  std::lock_guard lock(FNoteLock);
  std::vector<std::string> out;
  out.swap(FNotices);
  return out;
}

void TRfc2217Device::KickLocked() {
  if (FWaiting) SignalWake(FKickFd.load());
}

void TRfc2217Device::MarkGone(int code) {
  if (!FGone.load())
    TALMO_TRACE(TraceName(), "%s: %s",
                FEnding.load() ? "the server ended the connection at our close" : "connection gone",
                CodeText(code).c_str());
  int none = 0;
  FGoneCode.compare_exchange_strong(none, code);
  FGone.store(true);
  SignalWake(FKickFd.load());
}

void TRfc2217Device::Data(const std::uint8_t* p, std::size_t n) {
  if (FDiscardAnswers > 0) return;
  if (FRxHead == FRx.size()) {
    FRx.clear();
    FRxHead = 0;
  } else if (FRxHead >= 64 * 1024 && FRxHead * 2 >= FRx.size()) {
    FRx.erase(FRx.begin(), FRx.begin() + static_cast<std::ptrdiff_t>(FRxHead));
    FRxHead = 0;
  }
  FRx.insert(FRx.end(), p, p + n);
  FRxNew = true;
}

void TRfc2217Device::Negotiation(std::uint8_t verb, std::uint8_t option) {
  TALMO_TRACE(TraceName(), "received %s %s", VerbText(verb), OptionText(option).c_str());
  // Two honest peers settle an option in an answer or two; one that flips
  // it for ever would have us answer for ever.
  if (FAnswersGiven[option] >= kMaxAnswersPerOption) return;
  const std::size_t before = FReplies.size();
  FOptions.Receive(verb, option, FReplies);
  if (FReplies.size() != before) ++FAnswersGiven[option];
}

void TRfc2217Device::SubNegotiation(std::uint8_t option, const std::uint8_t* p, std::size_t n) {
  using namespace comport;
  TALMO_TRACE(TraceName(), "received %s",
              option == telnet::kOptComPort ? ComPortText(p, n).c_str()
                                            : ("SB " + OptionText(option)).c_str());
  if (option != telnet::kOptComPort || n == 0) return;
  switch (p[0]) {
    case kServerOffset + kSignature:
      // The server asks who we are; once is enough to tell it.
      if (n == 1 && FSignatureAnswers++ < kMaxSignatureAnswers)
        AppendComPort(kSignature, reinterpret_cast<const std::uint8_t*>(kOurSignature),
                      sizeof kOurSignature - 1, FReplies);
      return;
    case kServerOffset + kNotifyLinestate:
      if (n >= 2) {
        const std::uint32_t errors = LineStateErrors(p[1]), events = LineStateEvents(p[1]);
        if (errors == 0 && events == 0) return;
        const auto now = Clock::now();
        ReleaseFolded(now);
        if (now >= FFoldUntil) {
          FErrors |= errors;
          FEvents |= events;
          FFoldUntil = now + kLineErrorGap;
        } else {
          // A flood: a report a few times a second says what came.
          FFoldErrors |= errors;
          FFoldEvents |= events;
          ++FFolded;
        }
      }
      return;
    case kServerOffset + kNotifyModemstate:
      if (n >= 2) {
        FEvents |= ModemStateEvents(p[1], FModem, FModemFirst);
        FModem = p[1];
        FModemFirst = false;
        FLines.store(LinesOfModemState(p[1]));
        FModemSeen.store(true);
      }
      return;
    case kServerOffset + kFlowcontrolSuspend: FSuspended.store(true); return;
    case kServerOffset + kFlowcontrolResume: FSuspended.store(false); return;
    default: break;
  }
  TComPortSetting setting;
  std::uint32_t value = 0;
  if (!ReadComPortAnswer(p, n, setting, value)) return;
  ++FAnswerCount[setting];
  FAnswerValue[setting] = value;
  // The rate question of the open follows the purge: what came before its
  // answer waited in the line before we opened it.
  if (setting == csBaudrate && FDiscardAnswers > 0) --FDiscardAnswers;
}

// --- output ----------------------------------------------------------------

int TRfc2217Device::Send(const std::vector<std::uint8_t>& bytes) {
  TALMO_TRACE(TraceName(), "sent %s", TelnetText(bytes).c_str());
  std::size_t pending;
  {
    std::lock_guard lock(FOutLock);
    FOut.insert(FOut.end(), bytes.begin(), bytes.end());
    Appended(bytes.size(), 0);
    FOwed += bytes.size();
    if (int err = FlushLocked()) return err;
    pending = FOut.size() - FOutHead;
    if (FOwed <= kAnswerRoom && pending <= kOutBound) return 0;
  }
  // It does not read what it asks for: the connection has failed.
  Explained("the server at " + FName + " does not take what we send it: " +
            std::to_string(pending / 1024) + " KiB of data and answers waited for it");
  MarkGone(ENOBUFS);
  return ENOBUFS;
}

int TRfc2217Device::FlushLocked() {
  while (FOutHead < FOut.size()) {
    const ssize_t r =
        ::send(Fd(), FOut.data() + FOutHead, FOut.size() - FOutHead, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (r > 0) {
      FOutHead += static_cast<std::size_t>(r);
      FWireSent += static_cast<std::uint64_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    const int code = r < 0 ? errno : EIO;
    MarkGone(code);
    return code;
  }
  if (FOutHead == FOut.size()) {
    // Only an emptied queue settles the debt: a peer whose kernel takes a
    // byte now and then still reads nothing we owe it.
    FOut.clear();
    FOutHead = 0;
    FOwed = 0;
  } else if (FOutHead >= kOutLimit) {
    FOut.erase(FOut.begin(), FOut.begin() + static_cast<std::ptrdiff_t>(FOutHead));
    FOutHead = 0;
  }
  return 0;
}

bool TRfc2217Device::OutPending() {
  std::lock_guard lock(FOutLock);
  return FOutHead < FOut.size();
}

void TRfc2217Device::AwaitSocket(int ms) {
  const bool out = OutPending();
  pollfd p[2] = {{Fd(), static_cast<short>(POLLIN | (out ? POLLOUT : 0)), 0},
                 {FWakeFd.load(), POLLIN, 0}};
  ++gWaits;
  if (::poll(p, 2, ms) > 0 && (p[0].revents & POLLOUT)) {
    std::lock_guard lock(FOutLock);
    (void)FlushLocked();
  }
}

// --- open ------------------------------------------------------------------

int TRfc2217Device::AwaitComPort(int ms) {
  const auto deadline = Clock::now() + milliseconds(ms);
  for (;;) {
    {
      std::lock_guard lock(FInLock);
      Pump();
      const auto q = FOptions.Local(telnet::kOptComPort);
      if (q == TTelnetOptions::qYes) return 0;
      if (q == TTelnetOptions::qNo) {
        Explained("the server at " + FName +
                  " does not speak RFC 2217: it refused the COM-PORT option");
        return ENOTSUP;
      }
      if (FGone.load()) return EIO;
    }
    const int left = MsLeft(deadline);
    if (left == 0 || FCancelled.load() || FComPortUnanswered.load()) {
      // Not answered in time: not waited for again on this connection.
      if (!FComPortUnanswered.exchange(true))
        Explained("the server at " + FName +
                  " does not speak RFC 2217: no answer to the COM-PORT option within " +
                  std::to_string(ms) + " ms");
      return ENOTSUP;
    }
    AwaitSocket(std::min(left, kSliceMs));
  }
}

int TRfc2217Device::Start() {
  using namespace telnet;
  std::vector<std::uint8_t> out;
  {
    std::lock_guard lock(FInLock);
    for (std::uint8_t o : {kOptBinary, kOptSuppressGoAhead, kOptComPort}) FOptions.AcceptLocal(o);
    for (std::uint8_t o : {kOptBinary, kOptSuppressGoAhead}) FOptions.AcceptRemote(o);
    FOptions.EnableLocal(kOptBinary, out);
    FOptions.EnableRemote(kOptBinary, out);
    FOptions.EnableLocal(kOptSuppressGoAhead, out);
    FOptions.EnableRemote(kOptSuppressGoAhead, out);
    FOptions.EnableLocal(kOptComPort, out);
    FDiscardAnswers = kPurgeRounds;
  }
  const auto opened = Clock::now();
  if (Send(out)) return GoneCode();
  // Before the first answer nothing tells how far the server is: the bound.
  const int negotiated = AwaitComPort(FTiming.AnswerMs);
  if (negotiated == EIO) {
    const auto ms = std::chrono::duration_cast<milliseconds>(Clock::now() - opened).count();
    std::lock_guard lock(FNoteLock);
    FExplanation = "the server at " + FName + " closed the connection during the open, " +
                   std::to_string(ms) +
                   " ms after it was made, before it agreed to the COM-PORT option (it may "
                   "serve another client already)";
    return GoneCode();
  }
  if (negotiated == 0) {
    // The agreement took one round trip: every later answer gets a few of
    // them, and no less than the floor for a busy server.
    const long long rtt = std::chrono::duration_cast<milliseconds>(Clock::now() - opened).count();
    FAnswerMs.store(static_cast<int>(std::clamp<long long>(
        FTiming.AnswerMinMs + 4 * rtt, FTiming.AnswerMinMs, std::max(1, FTiming.AnswerMs))));
    // A port starts empty: the server drops what waits in its device, and
    // the answer to a rate question behind the purge marks where the new
    // data begins. ser2net opens its device in the background when we
    // connect and takes a purge before that as done; its answer to the
    // first question waits for the open. So the purge goes out twice: the
    // second one finds the device open.
    const auto deadline = Clock::now() + milliseconds(FAnswerMs.load());
    for (int round = 0; round < kPurgeRounds; ++round) {
      out.clear();
      const std::uint8_t purge = comport::kPurgeBoth;
      AppendComPort(comport::kPurgeData, &purge, 1, out);
      AppendComPortCommand({csBaudrate, comport::kSetBaudrate, 0, true}, out);
      if (Send(out)) return GoneCode();
      const int target = kPurgeRounds - round - 1;
      bool answered = false;
      for (;;) {
        {
          std::lock_guard lock(FInLock);
          Pump();
          answered = FDiscardAnswers <= target;
          if (answered || FGone.load()) break;
        }
        const int left = MsLeft(deadline);
        if (left == 0) break;
        AwaitSocket(std::min(left, kSliceMs));
      }
      if (!answered) break;
    }
  }
  std::lock_guard lock(FInLock);
  // A server that did not answer: the data starts from here.
  FDiscardAnswers = 0;
  if (FGone.load()) {
    std::lock_guard note(FNoteLock);
    FExplanation = "the server at " + FName + " closed the connection during the open";
    return GoneCode();
  }
  return 0;
}

// --- the table -----------------------------------------------------------------

int TRfc2217Device::SetState(const TSerDCB& dcb) {
  std::vector<TComPortCommand> plan;
  if (int err = PlanComPort(dcb, plan)) return err;
  const int answerMs = FAnswerMs.load();
  if (int err = AwaitComPort(answerMs)) return err;
  std::array<std::uint32_t, csSettingCount> base{};
  {
    std::lock_guard lock(FInLock);
    base = FAnswerCount;
  }
  std::vector<std::uint8_t> bytes;
  for (const TComPortCommand& c : plan) AppendComPortCommand(c, bytes);
  if (Send(bytes)) return EIO;
  FOutLines.store(OutputLinesOf(dcb));

  const auto deadline = Clock::now() + milliseconds(answerMs);
  auto end = deadline;
  bool graceSet = false;
  for (;;) {
    bool lineDone = true, allDone = true;
    {
      std::lock_guard lock(FInLock);
      Pump();
      if (FGone.load()) return EIO;
      for (const TComPortCommand& c : plan) {
        if (FSilent[c.Setting] || FAnswerCount[c.Setting] != base[c.Setting]) continue;
        allDone = false;
        if (c.Line) lineDone = false;
      }
    }
    if (allDone) break;
    if (lineDone && !graceSet) {
      graceSet = true;
      end = std::min(deadline, Clock::now() + milliseconds(FTiming.GraceMs));
    }
    const int left = MsLeft(end);
    if (left == 0 || FCancelled.load()) break;
    AwaitSocket(std::min(left, kSliceMs));
  }

  std::vector<std::string> unconfirmed;
  int result = 0;
  {
    std::lock_guard lock(FInLock);
    for (const TComPortCommand& c : plan) {
      if (FAnswerCount[c.Setting] == base[c.Setting]) {
        // Not answered in time: the setting goes on without the answer, and
        // later settings do not wait for it.
        FSilent[c.Setting] = true;
        if (c.Line) unconfirmed.push_back(SettingName(c.Setting));
        continue;
      }
      FSilent[c.Setting] = false;
      if (!AnswerMatches(c, FAnswerValue[c.Setting])) {
        TALMO_TRACE(TraceName(), "%s: answer %u does not match what was asked",
                    SettingName(c.Setting), FAnswerValue[c.Setting]);
        result = EINVAL;
      }
    }
  }
  // Taken as asked all the same (a line may work so): said once.
  if (!unconfirmed.empty() && !FToldUnconfirmed) {
    FToldUnconfirmed = true;
    Noticed("the server did not confirm the " + ListOf(unconfirmed) + " within " +
            std::to_string(answerMs) + " ms; going on with them unconfirmed");
  }
  return result;
}

int TRfc2217Device::SendControl(const TComPortCommand& command) {
  if (FGone.load()) return GoneCode();
  if (int err = AwaitComPort(FAnswerMs.load())) return err;
  std::vector<std::uint8_t> bytes;
  AppendComPortCommand(command, bytes);
  return Send(bytes) ? GoneCode() : 0;
}

int TRfc2217Device::SetModemLine(std::uint8_t line, bool on) {
  if (line != kLineDtr && line != kLineRts) return EINVAL;
  if (int err = SendControl(LineControl(line, on))) return err;
  if (on)
    FOutLines.fetch_or(line);
  else
    FOutLines.fetch_and(static_cast<std::uint8_t>(~line));
  return 0;
}

int TRfc2217Device::SetBreak(bool on) { return SendControl(BreakControl(on)); }

int TRfc2217Device::SetEventMask(std::uint32_t mask) {
  FMask.store(mask);
  std::vector<std::uint8_t> out;
  {
    std::lock_guard lock(FInLock);
    FEvents = 0;
    FRxNew = Available() > 0;
    if (FOptions.Local(telnet::kOptComPort) == TTelnetOptions::qYes) {
      // Line errors are wanted for the error state even when their events
      // are not watched; modem lines as the server's default has them.
      const std::uint8_t lineMask = comport::kLinestateErrors, modemMask = 0xFF;
      AppendComPort(comport::kSetLinestateMask, &lineMask, 1, out);
      AppendComPort(comport::kSetModemstateMask, &modemMask, 1, out);
    }
  }
  if (!out.empty()) (void)Send(out);
  return 0;
}

int TRfc2217Device::WaitEvent(std::uint32_t& events) {
  events = 0;
  for (;;) {
    if (FCancelled.load()) return 0;
    ++gWaits;
    const std::uint32_t mask = FMask.load();
    bool wantIn;
    int foldMs;
    {
      std::lock_guard lock(FInLock);
      Pump();
      if ((mask & EV_RXCHAR) && FRxNew && Available() > 0) events |= EV_RXCHAR;
      FRxNew = false;
      events |= FEvents & mask;
      FEvents = 0;
      if (events) return 0;
      // Input still there was reported above first, so nothing is lost
      // when the connection goes.
      if (FGone.load()) return EIO;
      wantIn = Available() < kRxLimit && !FHupSeen;
      foldMs = FFolded ? MsLeft(FFoldUntil) : -1;
      FWaiting = true;
    }
    const bool out = OutPending() && !FHupSeen;
    pollfd p[3] = {{(wantIn || out) ? Fd() : -1,
                    static_cast<short>((wantIn ? POLLIN : 0) | (out ? POLLOUT : 0)), 0},
                   {FKickFd.load(), POLLIN, 0},
                   {FWakeFd.load(), POLLIN, 0}};
    int timeout = wantIn ? -1 : kWatchIntervalMs;
    // Folded line errors are reported when their gap is over.
    if (foldMs >= 0) timeout = timeout < 0 ? foldMs : std::min(timeout, foldMs);
    const int r = ::poll(p, 3, timeout);
    const int pollErr = errno;
    {
      std::lock_guard lock(FInLock);
      FWaiting = false;
    }
    if (p[1].revents & POLLIN) {
      std::uint64_t drained;
      (void)!::read(FKickFd.load(), &drained, sizeof drained);
    }
    if (r < 0 && pollErr != EINTR) return pollErr;
    if (FCancelled.load()) return 0;
    if (p[0].revents & POLLOUT) {
      std::lock_guard lock(FOutLock);
      (void)FlushLocked();
    }
    // A hang-up stays reported; from now on the socket is only read (the
    // pump at the top finds its end) and never polled, so this does not
    // spin while input waits for the reader.
    if (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) FHupSeen = true;
  }
}

int TRfc2217Device::Read(void* buf, std::size_t count, std::size_t& got) {
  got = 0;
  if (count == 0) return 0;
  std::lock_guard lock(FInLock);
  if (Available() < count) Pump();
  const std::size_t n = std::min(count, Available());
  if (n == 0) return FGone.load() ? EIO : 0;
  std::memcpy(buf, FRx.data() + FRxHead, n);
  FRxHead += n;
  got = n;
  TALMO_TRACE(TraceName(), "read %zu of %zu bytes", n, count);
  // Input still waiting deserves a new report, as on a local device.
  FRxNew = Available() > 0;
  if (FRxNew) KickLocked();
  return 0;
}

int TRfc2217Device::Write(const void* buf, std::size_t count, std::size_t& written, int timeoutMs) {
  const int err = WriteSome(buf, count, written, timeoutMs);
  TALMO_TRACE(TraceName(), "write %zu of %zu bytes%s", written, count,
              err ? (": " + CodeText(err)).c_str() : "");
  return err;
}

int TRfc2217Device::WriteSome(const void* buf, std::size_t count, std::size_t& written,
                              int timeoutMs) {
  written = 0;
  const auto* p = static_cast<const std::uint8_t*>(buf);
  const auto deadline = Clock::now() + milliseconds(timeoutMs);
  for (;;) {
    if (FCancelled.load()) return 0;
    if (FGone.load()) return EIO;
    const bool suspended = FSuspended.load();
    bool flushed;
    {
      std::lock_guard lock(FOutLock);
      const std::size_t pending = FOut.size() - FOutHead;
      if (!suspended && written < count && pending < kOutLimit) {
        const std::size_t piece = std::min(count - written, kOutLimit - pending);
        const std::size_t before = FOut.size();
        AppendEscaped(p + written, piece, FOut);
        Appended(FOut.size() - before, piece);
        written += piece;
      }
      if (FlushLocked()) return EIO;
      flushed = FOutHead == FOut.size();
    }
    if (written == count && flushed) return 0;
    int wait = -1;
    if (timeoutMs >= 0) {
      wait = MsLeft(deadline);
      if (wait == 0) return 0;
    }
    // All taken and more to come: on at once (waiting here for room that
    // is there would hold the rest until the time-out, or for ever).
    if (flushed && !suspended) continue;
    // While the server holds us back, look again now and then; its resume
    // comes in with the input.
    if (suspended) wait = wait < 0 ? kWatchIntervalMs : std::min(wait, kWatchIntervalMs);
    pollfd fds[2] = {{flushed ? -1 : Fd(), POLLOUT, 0}, {FWakeFd.load(), POLLIN, 0}};
    ++gWaits;
    const int pr = ::poll(fds, 2, wait);
    if (pr < 0 && errno != EINTR) return errno;
    if (pr > 0 && (fds[1].revents & POLLIN)) return 0;
    if (suspended || (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))) {
      std::lock_guard lock(FInLock);
      Pump();
      // A socket that hangs up yet reads on is no connection to write to.
      if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(fds[0].revents & POLLOUT) &&
          !FGone.load())
        MarkGone(EPIPE);
    }
  }
}

int TRfc2217Device::Status(std::uint32_t& errors, TSerComStat& stat, bool outCount) {
  errors = 0;
  stat = TSerComStat{};
  {
    std::lock_guard lock(FInLock);
    Pump();
    errors = FErrors;
    FErrors = 0;
    stat.Folded = FFoldedOut;
    FFoldedOut = 0;
    stat.cbInQue = static_cast<std::uint32_t>(std::min<std::size_t>(Available(), 0xFFFFFFFFu));
  }
  if (!outCount) return 0;
  // Ours only: the socket's queue is waited for at the end (Finish).
  std::lock_guard lock(FOutLock);
  stat.cbOutQue = static_cast<std::uint32_t>(FOut.size() - FOutHead);
  return 0;
}

// --- the end -----------------------------------------------------------------

std::size_t TRfc2217Device::SocketQueued() const {
  int queued = 0;
  if (Fd() < 0 || ::ioctl(Fd(), SIOCOUTQ, &queued) != 0 || queued < 0) return 0;
  return static_cast<std::size_t>(queued);
}

void TRfc2217Device::Appended(std::size_t wire, std::size_t data) {
  if (wire == 0) return;
  FWireIn += wire;
  FDataIn += data;
  FMarks.push_back({FWireIn, FDataIn});
  // A long session of small writes: marks the socket no longer holds go.
  if (FMarks.size() > 4096) (void)UnsentLocked();
}

std::uint64_t TRfc2217Device::UnsentLocked() {
  const std::uint64_t held = std::min<std::uint64_t>(SocketQueued(), FWireSent);
  const std::uint64_t gone = FWireSent - held;
  while (!FMarks.empty() && FMarks.front().Wire <= gone) {
    FMarkBase = FMarks.front();
    FMarks.pop_front();
  }
  std::uint64_t data = FMarkBase.Data;
  if (!FMarks.empty()) {
    // Within one append the data is taken as spread evenly over its
    // bytes: exact but for 0xFF data bytes, which take two.
    const TMark& m = FMarks.front();
    data += (gone - FMarkBase.Wire) * (m.Data - FMarkBase.Data) / (m.Wire - FMarkBase.Wire);
  }
  return FDataIn - data;
}

void TRfc2217Device::PumpAtEnd() {
  std::lock_guard lock(FInLock);
  // No reader follows the end: what came is dropped rather than left in
  // the socket, whose unread input would turn our close into a reset.
  if (Available() >= kRxLimit / 2) {
    FRx.clear();
    FRxHead = 0;
  }
  Pump();
}

void TRfc2217Device::AwaitAtEnd(int ms) {
  pollfd p{Fd(), static_cast<short>(POLLIN | (OutPending() ? POLLOUT : 0)), 0};
  ++gWaits;
  if (::poll(&p, 1, ms) > 0 && (p.revents & POLLOUT)) {
    std::lock_guard lock(FOutLock);
    (void)FlushLocked();
  }
}

int TRfc2217Device::Unfinished(int code, std::uint64_t unsent, const std::string& why) {
  std::lock_guard lock(FNoteLock);
  FExplanation = FName + ": " + std::to_string(unsent) + (unsent == 1 ? " byte" : " bytes") +
                 " could not go out: " + why;
  TALMO_TRACE(TraceName(), "error: %s", FExplanation.c_str());
  return code;
}

int TRfc2217Device::Finish() {
  if (Fd() < 0 || FGone.load()) return 0;
  FEnding.store(true);
  const auto stall = milliseconds(std::max(0, FTiming.EndStallMs));
  const std::string stallText = std::to_string((stall.count() + 999) / 1000) + " s";
  auto progressAt = Clock::now();
  std::size_t least = static_cast<std::size_t>(-1);
  std::uint64_t unsent = 0;
  // Our queue and then the socket's empty, as long as bytes keep leaving.
  for (;;) {
    std::size_t waiting;
    {
      std::lock_guard lock(FOutLock);
      // Counted before anything can fail: a reset empties the socket's
      // queue, and its bytes are lost, not gone out.
      unsent = UnsentLocked();
      (void)FlushLocked();
      waiting = FOut.size() - FOutHead + SocketQueued();
    }
    PumpAtEnd();
    if (FGone.load()) {
      if (unsent == 0) return 0;
      return Unfinished(GoneCode(), unsent, "the server ended the connection before");
    }
    if (waiting == 0) break;
    const auto now = Clock::now();
    if (waiting < least) {
      least = waiting;
      progressAt = now;
    } else if (now - progressAt >= stall) {
      return Unfinished(ETIMEDOUT, unsent, "the server took none of them for " + stallText);
    }
    AwaitAtEnd(kWatchIntervalMs);
  }
  // All has reached the server's machine; the server ends when it has read
  // it (ser2net passes it on to its device first).
  if (::shutdown(Fd(), SHUT_WR) != 0) return 0;
  const auto end = Clock::now() + stall;
  for (;;) {
    PumpAtEnd();
    if (FGone.load()) return 0;
    const int left = MsLeft(end);
    if (left == 0) break;
    AwaitAtEnd(std::min(left, kWatchIntervalMs));
  }
  std::lock_guard lock(FNoteLock);
  FExplanation = "the server at " + FName + " did not end the connection within " + stallText +
                 " after our last byte; it may not have passed on all of them";
  TALMO_TRACE(TraceName(), "error: %s", FExplanation.c_str());
  return ETIMEDOUT;
}

void TRfc2217Device::Cancel() {
  FCancelled.store(true);
  // The counter is never read back, so every later poll sees it too.
  SignalWake(FWakeFd.load());
}

void TRfc2217Device::Close() {
  if (Fd() >= 0) TALMO_TRACE(TraceName(), "close");
  FCancelled.store(true);
  for (std::atomic<int>* fd : {&FFd, &FWakeFd, &FKickFd}) {
    const int f = fd->exchange(-1);
    if (f >= 0) ::close(f);
  }
}

// --- connecting ------------------------------------------------------------

struct TAddress {
  sockaddr_storage Addr{};
  socklen_t Len = 0;
  int Family = AF_UNSPEC;
};

// A host-name look-up on a thread of its own: it may wait for name servers
// far longer than an open may take, and is then left to finish alone.
struct TLookup {
  std::mutex Lock;
  std::condition_variable Done;
  bool Finished = false;
  int Rc = 0;
  int SysErr = 0;
  addrinfo* Result = nullptr;
  ~TLookup() {
    if (Result) freeaddrinfo(Result);
  }
};

int LookupError(int rc, int sysErr) {
  switch (rc) {
    case EAI_AGAIN: return EAGAIN;
    case EAI_MEMORY: return ENOMEM;
    case EAI_SYSTEM: return sysErr ? sysErr : EIO;
    case EAI_SERVICE:
    case EAI_SOCKTYPE:
    case EAI_BADFLAGS: return EINVAL;
    default: return ENXIO;  // no such host (EAI_NONAME, EAI_NODATA, ...)
  }
}

void CopyAddresses(const addrinfo* list, std::vector<TAddress>& out) {
  for (const addrinfo* a = list; a; a = a->ai_next) {
    if (a->ai_addrlen > sizeof(sockaddr_storage)) continue;
    TAddress t;
    std::memcpy(&t.Addr, a->ai_addr, a->ai_addrlen);
    t.Len = a->ai_addrlen;
    t.Family = a->ai_family;
    out.push_back(t);
  }
}

int Resolve(const std::string& host, const std::string& port, Clock::time_point deadline,
            std::vector<TAddress>& out) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* res = nullptr;
  const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &res);
  if (rc == 0) {
    CopyAddresses(res, out);
    freeaddrinfo(res);
    return out.empty() ? ENXIO : 0;
  }
  if (rc != EAI_NONAME) return LookupError(rc, errno);

  auto lookup = std::make_shared<TLookup>();
  try {
    std::thread([lookup, host, port] {
      addrinfo h{};
      h.ai_family = AF_UNSPEC;
      h.ai_socktype = SOCK_STREAM;
      h.ai_flags = AI_NUMERICSERV;
      addrinfo* r = nullptr;
      const int code = getaddrinfo(host.c_str(), port.c_str(), &h, &r);
      const int sysErr = errno;
      std::lock_guard lock(lookup->Lock);
      lookup->Rc = code;
      lookup->SysErr = sysErr;
      lookup->Result = r;
      lookup->Finished = true;
      lookup->Done.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return EAGAIN;
  }
  std::unique_lock lock(lookup->Lock);
  if (!lookup->Done.wait_until(lock, deadline, [&] { return lookup->Finished; })) return ETIMEDOUT;
  if (lookup->Rc != 0) return LookupError(lookup->Rc, lookup->SysErr);
  CopyAddresses(lookup->Result, out);
  return out.empty() ? ENXIO : 0;
}

// Tries each address in turn until `deadline`; the error of the last try.
int Connect(const std::vector<TAddress>& addresses, Clock::time_point deadline, int& fdOut) {
  int err = ENXIO;
  for (const TAddress& a : addresses) {
    const int fd = ::socket(a.Family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      err = errno;
      continue;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a.Addr), a.Len) == 0) {
      fdOut = fd;
      return 0;
    }
    if (errno != EINPROGRESS) {
      err = errno;
      ::close(fd);
      continue;
    }
    pollfd p{fd, POLLOUT, 0};
    int r;
    do {
      r = ::poll(&p, 1, MsLeft(deadline));
    } while (r < 0 && errno == EINTR);
    if (r == 0) {
      ::close(fd);
      return ETIMEDOUT;  // no time left for another address
    }
    int soErr = 0;
    socklen_t len = sizeof soErr;
    if (r < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soErr, &len) != 0) soErr = errno;
    if (soErr == 0) {
      fdOut = fd;
      return 0;
    }
    err = soErr;
    ::close(fd);
  }
  return err;
}

void TuneSocket(int fd) {
  const int one = 1;
  // Single bytes of a terminal go out at once.
  (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  // A server that vanishes without closing (power, cable) is noticed as a
  // device gone within about half a minute instead of never. No
  // TCP_USER_TIMEOUT: it would also end a line that flow control holds
  // still for longer than that.
  (void)setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
  const int idle = 10, interval = 5, count = 3;
  (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

}  // namespace

std::unique_ptr<TSerDevice> OpenRfc2217Device(const std::string& name, int& error,
                                              const TRfc2217Timing& timing,
                                              std::string* explanation) {
  error = 0;
  std::string said;
  std::string* why = explanation ? explanation : &said;
  why->clear();
  std::string host, port;
  if (const std::string problem = RemotePortNameProblem(name, host, port); !problem.empty()) {
    *why = ShortDeviceName(name) + " is no remote port name: " + problem +
           ". A remote port is named " + kRemotePortNameForms + ", PORT from 1 to 65535.";
    error = EINVAL;
    return nullptr;
  }
  const std::string shown = ShortDeviceName(name);
  TALMO_TRACE(shown.c_str(), "connect to %s port %s", host.c_str(), port.c_str());
  const auto deadline = Clock::now() + milliseconds(timing.ConnectMs);
  std::vector<TAddress> addresses;
  if (int err = Resolve(host, port, deadline, addresses)) {
    TALMO_TRACE(shown.c_str(), "look-up failed: %s", CodeText(err).c_str());
    if (err == ETIMEDOUT)
      *why = "the look-up of the host of " + shown + " took longer than " +
             std::to_string(timing.ConnectMs) + " ms";
    error = err;
    return nullptr;
  }
  int fd = -1;
  if (int err = Connect(addresses, deadline, fd)) {
    TALMO_TRACE(shown.c_str(), "connect failed: %s", CodeText(err).c_str());
    if (err == ETIMEDOUT)
      *why = "no answer from " + shown + " to the connection within " +
             std::to_string(timing.ConnectMs) + " ms";
    error = err;
    return nullptr;
  }
  TuneSocket(fd);
  const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  const int kick = wake < 0 ? -1 : eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0 || kick < 0) {
    error = errno;
    if (wake >= 0) ::close(wake);
    ::close(fd);
    return nullptr;
  }
  TALMO_TRACE(shown.c_str(), "connected, fd %d", fd);
  auto device = std::make_unique<TRfc2217Device>(fd, wake, kick, timing, name);
  if (int err = device->Start()) {
    *why = device->Explain();
    error = err;
    TALMO_TRACE(shown.c_str(), "open failed: %s; %s", CodeText(err).c_str(), why->c_str());
    return nullptr;
  }
  TALMO_TRACE(shown.c_str(), "open: negotiation done, answers awaited up to %d ms",
              device->AnswerMs());
  return device;
}

std::uint64_t Rfc2217WaitCount() { return gWaits.load(); }

}  // namespace talmo
