#include "session/receive_session.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device/device_driver.h"
#include "device/loopback_port.h"
#include "serial/ser_comm.h"
#include "serial/ser_sync.h"
#include "serial/ser_types.h"
#include "support/temp_dir.h"

namespace talmo {
namespace {

using namespace std::chrono_literals;
using Clock = TReceiveSession::Clock;

TEST(SessionDevice, NamesTheDeviceAsEachProgramNeeds) {
  const struct {
    const char* name;
    TSessionDevice device;
    std::string message, component, named;
  } rows[] = {
      {"window: the Windows name becomes port and file",
       {"COM5", "/dev/ttyUSB0"},
       "Error opening \\\\.\\COM5: busy",
       "\\\\.\\COM5",
       "Error opening COM5, /dev/ttyUSB0: busy"},
      {"window: a message without the name gains it at the end",
       {"COM5", "/dev/ttyUSB0"},
       "Error writing dcb (22), Invalid argument",
       "\\\\.\\COM5",
       "Error writing dcb (22), Invalid argument (COM5: /dev/ttyUSB0)"},
      {"window: a port without a file keeps the message",
       {"COM5", ""},
       "busy",
       "\\\\.\\COM5",
       "busy"},
      {"command: the port leads a message that names the path",
       {"COM99", "/dev/pts/4"},
       "Specified device not found (/dev/pts/4).",
       "/dev/pts/4",
       "COM99: Specified device not found (/dev/pts/4)."},
      {"command: a device given by its path", {"", "/dev/pts/4"}, "busy", "/dev/pts/4", "busy"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(r.device.Named(r.message, r.component), r.named);
  }
  EXPECT_EQ((TSessionDevice{"COM5", "/dev/ttyUSB0"}).Title(), "COM5 (/dev/ttyUSB0)");
  EXPECT_EQ((TSessionDevice{"", "rfc2217://h:1"}).Title(), "rfc2217://h:1");
  EXPECT_EQ((TSessionDevice{"COM5", "/dev/x"}).ErrorLines(5, 0x4).front(), "Error COM5 4");
  EXPECT_EQ((TSessionDevice{"", "/dev/x"}).ErrorLines(0, 0x4).front(), "Error /dev/x 4");
  EXPECT_EQ((TSessionDevice{}).ErrorLines(3, 0x4).front(), "Error COM3 4");
}

// A port that is never opened: the tests hand the session its blocks and
// events as the port's dispatch would.
struct TBench {
  TSerQueueSync Sync;
  TSerComm Port{std::make_shared<TSerDeviceDriver>(), Sync};
  TFormatOptions Options;
  Clock::time_point Now{};
  std::vector<std::string> Out;
  std::vector<std::string>* Log = &Out;  // where the lines go; shared by benches on one timeline
  int Lost = 0;
  std::unique_ptr<TReceiveSession> Session;

  explicit TBench(const std::string& name, TSessionOptions options = {}) {
    Port.SetPortNum(7);
    TSessionSink sink;
    sink.Line = [this, name](std::string_view l) { Log->push_back(name + ":" + std::string(l)); };
    sink.ErrorLine = [this, name](const std::string& l) { Log->push_back(name + "! " + l); };
    sink.Lost = [this] { ++Lost; };
    Session = std::make_unique<TReceiveSession>(
        Port, TSessionDevice{"", "/dev/" + name}, Options, std::move(sink), [this] { return Now; },
        options);
    Session->Formatter().SetSigns(0x02, 0x03);
  }
  void Feed(const std::string& bytes) {
    Session->Receive(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), Now);
  }
};

TEST(ReceiveSession, TwoSessionsKeepTheirOwnFramingAndTimeOuts) {
  TBench host("host"), dev("dev");
  host.Feed(
      "\x02"
      "AB");
  dev.Feed(
      "\x02"
      "xy\x03");
  host.Now += 1s;
  dev.Now += 1s;
  dev.Feed(
      "\x02"
      "z");
  host.Feed("C\x03");
  EXPECT_EQ(host.Out, (std::vector<std::string>{"host: STX A B C ETX"}));
  EXPECT_EQ(dev.Out, (std::vector<std::string>{"dev: STX x y ETX"}));
  EXPECT_FALSE(host.Session->TimeoutDue()) << "nothing collected: no time-out";
  ASSERT_TRUE(dev.Session->TimeoutDue());
  EXPECT_EQ(*dev.Session->TimeoutDue(), Clock::time_point{} + 1s + 1999ms);
  dev.Session->CheckTimeout(Clock::time_point{} + 1s + 1998ms);
  EXPECT_EQ(dev.Out.size(), 1u) << "not yet";
  dev.Session->CheckTimeout(Clock::time_point{} + 1s + 1999ms);
  EXPECT_EQ(dev.Out.back(), "dev: STX z");
  EXPECT_FALSE(dev.Session->TimeoutDue());
  EXPECT_EQ(host.Session->BytesReceived(), 5u);
  EXPECT_EQ(dev.Session->LastArrival(), Clock::time_point{} + 1s);
}

// A program may turn the Modbus view on and off as the session runs (the
// window's strip does): what arrived under one view is shown by it, never
// lost or shown by the next.
TEST(ReceiveSession, TheModbusViewChangesAsItRunsAndKeepsWhatArrived) {
  TBench b("s");
  const std::string request("\x01\x03\x00\x00\x00\x02\xC4\x0B", 8);
  const std::string requestLine =
      "s:unit 1 read holding registers (3) request address 0 count 2 | CRC ok | "
      "01 03 00 00 00 02 C4 0B";
  const auto view = [&](TModbusMode mode, std::int64_t answerNs = 1000000000) {
    b.Session->LineRules() = ModbusLines(mode, answerNs);
    b.Session->ApplyLineRules();
  };
  const struct {
    const char* name;
    std::function<void()> act;
    std::vector<std::string> out;  // the lines it adds
  } steps[] = {
      {"a frame under way ends as Modbus begins",
       [&] {
         b.Feed(
             "\x02"
             "A");
         view(TModbusMode::Rtu);
       },
       {"s: STX A"}},
      {"a request not yet ended by its silence is framed as Modbus ends",
       [&] {
         b.Feed(request);
         view(TModbusMode::None);
       },
       {requestLine}},
      {"the frames again",
       [&] {
         b.Feed(
             "\x02"
             "B\x03");
       },
       {"s: STX B ETX"}},
      {"a request waiting when the answer time changes is no longer awaited",
       [&] {
         view(TModbusMode::Rtu);
         b.Feed(request);
         b.Now += 10ms;
         b.Session->CheckTimeout(b.Now);
         view(TModbusMode::Rtu, 50000000);
         b.Now += 2s;
         b.Session->CheckTimeout(b.Now);
       },
       {requestLine}},
      {"the new time is kept",
       [&] {
         b.Feed(request);
         b.Now += 60ms;
         b.Session->CheckTimeout(b.Now);
       },
       {requestLine, "s:unit 1 read holding registers (3) request unanswered within 50.000 ms"}},
  };
  for (const auto& st : steps) {
    SCOPED_TRACE(st.name);
    b.Out.clear();
    st.act();
    EXPECT_EQ(b.Out, st.out);
  }
}

TEST(ReceiveSession, TheLossIsToldOnceAfterTheLineBeforeIt) {
  const struct {
    const char* name;
    bool lossAmongLines;
    std::vector<std::string> out;
  } rows[] = {
      {"command",
       false,
       {"s: STX A", "s! Error /dev/s 8", "s! The hardware detected a framing error."}},
      {"window",
       true,
       {"s: STX A", "s! Error /dev/s 1032", "s! The hardware detected a framing error.",
        "s! The device is no longer available."}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    TSessionOptions options;
    options.LossAmongErrorLines = r.lossAmongLines;
    TBench b("s", options);
    b.Feed(
        "\x02"
        "A");
    b.Session->Error(CE_IOE | 0x8);
    b.Session->Error(CE_IOE);  // the device is still gone: nothing more
    EXPECT_EQ(b.Out, r.out);
    EXPECT_EQ(b.Lost, 1);
    EXPECT_TRUE(b.Session->Lost());
    EXPECT_FALSE(b.Session->TimeoutDue());
  }
}

TEST(ReceiveSession, TheCaptureHoldsEveryBlockBeforeItIsFormatted) {
  test::TTempDir dir("talmo-session");
  TBench b("s");
  b.Session->StartCaptureExact(dir.Path() + "/raw.bin");
  std::string all;
  for (int v = 0; v < 256; v += 16) {
    std::string block;
    for (int i = v; i < v + 16; ++i) block += static_cast<char>(i);
    b.Feed(block);
    all += block;
  }
  b.Session->StopCapture();
  EXPECT_EQ(test::ReadFile(dir.Path() + "/raw.bin"), all);
}

// --lines: the state at the open, then each change as a line of its own, in
// order with the display lines, and each in a timed capture. Over the
// loopback port, whose wiring turns DTR into DSR and DCD, RTS into CTS.
TEST(ReceiveSession, ModemLineChangesComeInOrderWithTheLinesAndInTheCapture) {
  test::TTempDir dir("talmo-session");
  TLoopbackPort loop;
  ASSERT_TRUE(loop.Error().empty()) << loop.Error();
  TSerQueueSync sync;
  TSerComm port(
      std::make_shared<TSerDeviceDriver>([p = loop.Path()](const std::string&) { return p; }),
      sync);
  port.SetDeviceName(loop.Path());
  std::vector<std::string> out;
  TSessionSink sink;
  sink.Line = [&](std::string_view l) { out.emplace_back(l); };
  TFormatOptions options;
  TSessionOptions sessionOptions;
  sessionOptions.ModemLines = true;
  TReceiveSession session(port, TSessionDevice{"COM99", loop.Path()}, options, sink, Clock::now,
                          sessionOptions);
  session.Formatter().SetSigns(0x02, 0x03);
  session.Attach();
  ASSERT_FALSE(session.Open());
  session.StartCaptureExact(dir.Path() + "/lines.pcapng", true);
  const auto until = [&](std::size_t n) {
    const auto end = Clock::now() + 5s;
    while (out.size() < n && Clock::now() < end) sync.WaitAndProcess(5ms);
    return out.size() >= n;
  };
  port.WriteBuf("\x02one\x03", 5);
  ASSERT_TRUE(until(2));
  port.SetDTR(true);
  ASSERT_TRUE(until(4));
  port.SetRTS(true);
  ASSERT_TRUE(until(5));
  port.WriteBuf("\x02two\x03", 5);
  ASSERT_TRUE(until(6));
  port.SetDTR(false);
  ASSERT_TRUE(until(8));
  const std::vector<std::string> dashes = {"-- CTS off, DSR off, DCD off, RI off",
                                           "",
                                           "-- DSR on",
                                           "-- DCD on",
                                           "-- CTS on",
                                           "",
                                           "-- DSR off",
                                           "-- DCD off"};
  ASSERT_EQ(out.size(), dashes.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    SCOPED_TRACE(i);
    if (dashes[i].empty())
      EXPECT_EQ(out[i].rfind("--", 0), std::string::npos) << out[i];
    else
      EXPECT_EQ(out[i], dashes[i]);
  }
  EXPECT_NE(out[1].find("o n e"), std::string::npos) << out[1];
  port.Close();
  session.StopCapture();
  const std::string capture = test::ReadFile(dir.Path() + "/lines.pcapng");
  for (const char* status : {"modem lines: CTS off, DSR off, DCD off, RI off", "DSR on", "DCD on",
                             "CTS on", "DSR off", "DCD off"})
    EXPECT_NE(capture.find(status), std::string::npos) << status;
}

// The session's rules as data: which failed opens only say the device is
// not there (yet), the short form of the line settings, and the order in
// which lines that fell due end on a timeline of several sessions.
TEST(SessionRules, AbsenceShortLineSettingsAndTheOrderOfDueLines) {
  const auto absence = [](int code) {
    return std::string(IsAbsence({"message", "", code}) ? "absence" : "failure");
  };
  const auto settings = [](TSerBaudrate rate, std::int32_t userRate, TSerDatabits bits,
                           TSerParity parity, TSerStopbits stop) {
    TSerQueueSync sync;
    TSerComm port(std::make_shared<TSerDeviceDriver>(), sync);
    port.SetBaudrate(rate);
    port.SetUserBaudrate(userRate);
    port.SetDatabits(bits);
    port.SetParity(parity);
    port.SetStopbits(stop);
    return ShortLineSettings(port);
  };
  // Sessions a, b and c each collect a line at the given millisecond (-1:
  // none); the names of the lines that end by `byMs`, in the order they end.
  const auto dueOrder = [](std::array<int, 3> atMs, int byMs) {
    std::vector<std::string> log;
    std::vector<std::unique_ptr<TBench>> benches;
    std::vector<TReceiveSession*> sessions;
    for (std::size_t i = 0; i < atMs.size(); ++i) {
      const std::string name(1, static_cast<char>('a' + i));
      benches.push_back(std::make_unique<TBench>(name));
      benches.back()->Log = &log;
      benches.back()->Now = Clock::time_point{} + std::chrono::milliseconds(atMs[i]);
      if (atMs[i] >= 0) benches.back()->Feed("\x02" + name);
      sessions.push_back(benches.back()->Session.get());
    }
    EndLinesDueBy(sessions, Clock::time_point{} + std::chrono::milliseconds(byMs));
    std::string order;
    for (const std::string& line : log) order += line.substr(0, 1);
    return order;
  };
  // Sessions a, b and c each begin a line at `beganMs` and add to it at
  // `moreMs` (-1: no line, or nothing added); the run then ends: the names
  // of the lines in the order they come out.
  const auto endOrder = [](std::array<int, 3> beganMs, std::array<int, 3> moreMs) {
    std::vector<std::string> log;
    std::vector<std::unique_ptr<TBench>> benches;
    std::vector<TReceiveSession*> sessions;
    for (std::size_t i = 0; i < beganMs.size(); ++i) {
      const std::string name(1, static_cast<char>('a' + i));
      benches.push_back(std::make_unique<TBench>(name));
      TBench& b = *benches.back();
      b.Log = &log;
      b.Now = Clock::time_point{} + std::chrono::milliseconds(beganMs[i]);
      if (beganMs[i] >= 0) b.Feed("\x02" + name);
      b.Now = Clock::time_point{} + std::chrono::milliseconds(moreMs[i]);
      if (beganMs[i] >= 0 && moreMs[i] >= 0) b.Feed("+");
      sessions.push_back(b.Session.get());
    }
    EndOpenLines(sessions);
    std::string order;
    for (const std::string& line : log) order += line.substr(0, 1);
    return order;
  };
  const struct {
    const char* rule;
    std::function<std::string()> got;
    std::string want;
  } rows[] = {
      {"no such device", [&] { return absence(ENOENT); }, "absence"},
      {"no such device (a driver gone)", [&] { return absence(ENODEV); }, "absence"},
      {"no such device or address", [&] { return absence(ENXIO); }, "absence"},
      {"the server refuses", [&] { return absence(ECONNREFUSED); }, "absence"},
      {"no way to the host", [&] { return absence(EHOSTUNREACH); }, "absence"},
      {"no way to the network", [&] { return absence(ENETUNREACH); }, "absence"},
      {"the server does not answer", [&] { return absence(ETIMEDOUT); }, "absence"},
      {"no permission is a failure", [&] { return absence(EACCES); }, "failure"},
      {"a busy device is a failure", [&] { return absence(EBUSY); }, "failure"},
      {"opened, then failed", [&] { return absence(0); }, "failure"},
      {"the designed rate", [&] { return settings(br9600, 0, db8, paNone, sb1); }, "9600 8N1"},
      {"seven bits, even, two stops", [&] { return settings(br115200, 0, db7, paEven, sb2); },
       "115200 7E2"},
      {"the 600 entry is 1024 baud; one and a half stops",
       [&] { return settings(br600, 0, db5, paOdd, sb15); }, "1024 5O1.5"},
      {"a user rate", [&] { return settings(brUser, 250000, db8, paMark, sb1); }, "250000 8M1"},
      {"space parity", [&] { return settings(br19200, 0, db6, paSpace, sb1); }, "19200 6S1"},
      {"the earliest due ends first, whatever the sessions' order",
       [&] {
         return dueOrder({300, 100, 200}, 5000);
       },
       "bca"},
      {"only lines due by the moment end",
       [&] {
         return dueOrder({0, 3000, -1}, 2500);
       },
       "a"},
      {"a line due at the moment itself ends",
       [&] {
         return dueOrder({1, -1, -1}, 2000);
       },
       "a"},
      {"nothing due yet: nothing ends",
       [&] {
         return dueOrder({0, 0, 0}, 1998);
       },
       ""},
      {"at the end, open lines come out in the order they began, not as they fall due",
       [&] {
         return endOrder({0, 1000, 500}, {1800, -1, 1900});
       },
       "acb"},
      {"at the end, lines that began at once come out in the sessions' order",
       [&] {
         return endOrder({700, -1, 700}, {-1, -1, 100});
       },
       "ac"},
      {"equal due times end in the sessions' order",
       [&] {
         return dueOrder({500, 500, 500}, 2499);
       },
       "abc"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.rule);
    EXPECT_EQ(r.got(), r.want);
  }
}

}  // namespace
}  // namespace talmo
