// The port object over the scripted device: open and close rules, every
// message, what reaches the device, the event dispatch and the write queue.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/control_lines.h"
#include "fake_device.h"
#include "serial/ser_comm.h"

namespace talmo {
namespace {

using namespace std::chrono_literals;
using test::FakeState;
using test::PumpFor;
using test::PumpUntil;

std::string Msg(const char* tmpl, int code) {
  return FormatSerMessage(tmpl, {std::to_string(code), SysErrorText(code)});
}

class CommTest : public ::testing::Test {
 protected:
  std::shared_ptr<test::FakeDriver> FDriver = std::make_shared<test::FakeDriver>();
  std::vector<std::string> FShown;  // what the exception handler showed
  TSerQueueSync FSync{[this](std::exception_ptr e) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& x) {
      FShown.push_back(x.what());
    }
  }};
  std::atomic<std::int64_t> FFakeMs{0};
  std::vector<std::chrono::milliseconds> FSleeps;
  std::unique_ptr<TSerComm> FComm;
  std::vector<std::string> FLog;
  std::thread::id FGui = std::this_thread::get_id();
  bool FOffThread = false;

  void SetUp() override {
    FComm = std::make_unique<TSerComm>(FDriver, FSync);
    FComm->SetPortNum(3);
    FComm->SetTiming({[this] {
                        return std::chrono::steady_clock::time_point(
                            std::chrono::milliseconds(FFakeMs.load()));
                      },
                      [this](std::chrono::milliseconds ms) {
                        FSleeps.push_back(ms);
                        FFakeMs += ms.count();
                        // Give the write thread a real moment in the room wait.
                        if (ms.count() <= 1) std::this_thread::sleep_for(ms);
                      }});
  }
  void TearDown() override { FComm.reset(); }

  FakeState& Dev() { return *FDriver->Last; }

  void Note(const std::string& what) {
    if (std::this_thread::get_id() != FGui) FOffThread = true;
    FLog.push_back(what);
  }
  void HookAll() {
    TSerComm& c = *FComm;
    c.OnOpen = [this](TSerCustomComm*) { Note("Open"); };
    c.OnClose = [this](TSerCustomComm*) { Note("Close"); };
    c.OnRxChar = [this](TSerCustomComm*, int n) { Note("RxChar " + std::to_string(n)); };
    c.OnError = [this](TSerCustomComm*, int e) { Note("Error " + std::to_string(e)); };
    const std::pair<TSerCustomComm::TNotifyEvent*, const char*> plain[] = {
        {&c.OnRxFlag, "RxFlag"}, {&c.OnCts, "Cts"},      {&c.OnDsr, "Dsr"},
        {&c.OnRing, "Ring"},     {&c.OnRlsd, "Rlsd"},    {&c.OnTxEmpty, "TxEmpty"},
        {&c.OnBreak, "Break"},   {&c.OnPErr, "PErr"},    {&c.OnRx80Full, "Rx80Full"},
        {&c.OnEvent1, "Event1"}, {&c.OnEvent2, "Event2"}};
    for (auto& [h, name] : plain) {
      std::string n = name;
      *h = [this, n](TSerCustomComm*) { Note(n); };
    }
  }
  // Feeds one event and serves the hand-off until the thread waits again.
  // Hands one event to the event thread and pumps until its dispatch has
  // run: the event is taken and the thread waits again after taking it
  // (the thread may not have reached its first wait when this is called).
  void Feed(std::uint32_t ev) {
    FakeState& d = Dev();
    d.PushEvent(ev);
    ASSERT_TRUE(PumpUntil(FSync, [&] {
      std::lock_guard l(d.Lock);
      return d.Events.empty() && d.WaitCalls > d.LastPopCall;
    }));
  }
  std::string ExpectOpenFails() {
    try {
      FComm->Open();
    } catch (const ESerCommError& e) {
      EXPECT_FALSE(FComm->Active());
      return e.what();
    }
    ADD_FAILURE() << "Open did not raise";
    return {};
  }
};

// --- open and close --------------------------------------------------------

TEST_F(CommTest, DeviceNameFormatsPortNumberOrIsTakenAsItIs) {
  const struct {
    const char* name;
    int num;
    const char* opened;
  } table[] = {
      {"COM%d", 3, "COM3"}, {"\\\\.\\COM13", 99, "\\\\.\\COM13"}, {"/dev/x%s%d", 7, "/dev/x%s7"}};
  for (auto& row : table) {
    SCOPED_TRACE(row.name);
    FComm->SetDeviceName(row.name);
    FComm->SetPortNum(row.num);
    EXPECT_EQ(FComm->DeviceFileName(), row.opened);
    FComm->Open();
    EXPECT_EQ(FDriver->Names.back(), row.opened);
    FComm->Close();
  }
}

TEST_F(CommTest, OpenFailuresLeaveThePortClosedWithTheirMessage) {
  FDriver->OpenErrors["COM3"] = ENOENT;
  EXPECT_EQ(ExpectOpenFails(), "Specified device not found (COM3).");
  FDriver->OpenErrors["COM3"] = EBUSY;
  EXPECT_EQ(ExpectOpenFails(),
            "Can't open specified device COM3 (Error 16, " + SysErrorText(EBUSY) + ")");

  FDriver->OpenErrors.clear();
  const struct {
    const char* what;
    void (*arm)(FakeState&);
    std::string msg;
  } steps[] = {
      {"dcb", [](FakeState& s) { s.SetStateError = EINVAL; },
       Msg("Error writing dcb (%d), %s", EINVAL)},
      {"buffers", [](FakeState& s) { s.SetupError = ENOMEM; },
       Msg("Error initializing buffers (%d), %s", ENOMEM)},
      {"timeouts", [](FakeState& s) { s.TimeoutsError = EIO; },
       Msg("Error setting timeouts (%d), %s", EIO)},
      {"mask", [](FakeState& s) { s.MaskError = EPERM; },
       Msg(" Error setting EventMask (%d), %s", EPERM)},
  };
  HookAll();
  for (auto& step : steps) {
    SCOPED_TRACE(step.what);
    FDriver->Prepare = step.arm;
    EXPECT_EQ(ExpectOpenFails(), step.msg);
    EXPECT_TRUE(Dev().Closed);
    EXPECT_EQ(Dev().WaitCalls, 0);  // no thread was started
  }
  EXPECT_TRUE(FLog.empty());  // neither OnOpen nor OnClose
}

TEST_F(CommTest, UserRateZeroIsRefusedAtOpen) {
  FComm->SetUserBaudrate(1);
  FComm->SetUserBaudrate(0);
  EXPECT_EQ(FComm->Baudrate(), brUser);
  EXPECT_EQ(ExpectOpenFails(), Msg("Error writing dcb (%d), %s", EINVAL));
}

TEST_F(CommTest, OpenWhileOpenRaisesAndKeepsThePort) {
  HookAll();
  FComm->Open();
  auto first = FDriver->Last;
  EXPECT_EQ(FLog, std::vector<std::string>{"Open"});
  try {
    FComm->Open();
    FAIL();
  } catch (const ESerCommError& e) {
    EXPECT_STREQ(e.what(), "Can't perform this operation while port is open");
  }
  EXPECT_TRUE(FComm->Active());
  EXPECT_EQ(FDriver->Last, first);
  EXPECT_FALSE(first->Closed);
}

TEST_F(CommTest, CloseRulesAndPause) {
  HookAll();
  FComm->Close();  // closed: nothing at all
  EXPECT_TRUE(FLog.empty());
  EXPECT_TRUE(FSleeps.empty());
  FComm->Open();
  FComm->Close();
  EXPECT_FALSE(FComm->Active());
  EXPECT_TRUE(Dev().Closed);
  EXPECT_EQ(FLog, (std::vector<std::string>{"Open", "Close"}));
  EXPECT_EQ(FSleeps, std::vector<std::chrono::milliseconds>{300ms});
  EXPECT_EQ(FComm->WriteBuf("x", 1), 0);
  char b[4];
  EXPECT_EQ(FComm->ReadBuf(b, 4), 0);
  EXPECT_EQ(FComm->InQueCount(), 0);
}

TEST_F(CommTest, RefusedSettersWhileOpenKeepOrStoreAsTheyShould) {
  FComm->Open();
  const std::string busy = "Can't perform this operation while port is open";
  const struct {
    const char* what;
    void (*change)(TSerComm&);
  } refused[] = {{"PortNum", [](TSerComm& c) { c.SetPortNum(4); }},
                 {"DeviceName", [](TSerComm& c) { c.SetDeviceName("X"); }},
                 {"MonitorEvents", [](TSerComm& c) { c.SetMonitorEvents({ceCts}); }},
                 {"DirectWrite", [](TSerComm& c) { c.SetDirectWrite(true); }},
                 {"UpdateDCB", [](TSerComm& c) { c.SetUpdateDCB(false); }},
                 {"Buffers", [](TSerComm& c) {
                    TSerBuffers b;
                    b.SetReadSize(1);
                    c.SetBuffers(b);
                  }}};
  for (auto& row : refused) {
    SCOPED_TRACE(row.what);
    try {
      row.change(*FComm);
      ADD_FAILURE();
    } catch (const ESerCommError& e) {
      EXPECT_EQ(e.what(), busy);
    }
  }
  EXPECT_EQ(FComm->PortNum(), 3);
  EXPECT_EQ(FComm->DeviceName(), "COM%d");
  EXPECT_EQ(FComm->MonitorEvents().ToBits(), 200);
  EXPECT_FALSE(FComm->DirectWrite());
  EXPECT_TRUE(FComm->UpdateDCB());
  EXPECT_EQ(FComm->Buffers().ReadSize(), 4096);

  // A single size: stored first, then refused.
  try {
    FComm->Buffers().SetReadSize(512);
    ADD_FAILURE();
  } catch (const ESerCommError& e) {
    EXPECT_EQ(e.what(), busy);
  }
  EXPECT_EQ(FComm->Buffers().ReadSize(), 512);
  // Time-outs may change at any time.
  FComm->Buffers().SetReadTimeout(607);
  EXPECT_EQ(FComm->Buffers().ReadTimeout(), 607);
  FComm->Close();
  FComm->Open();
  EXPECT_EQ(Dev().SetupIn, 512u);
  EXPECT_EQ(Dev().SetupOut, 2048u);
}

TEST_F(CommTest, LineSettingsReachTheOpenDeviceAtOnce) {
  FComm->SetBaudrate(br19200);
  FComm->Open();
  FakeState& d = Dev();
  ASSERT_EQ(d.Dcbs.size(), 1u);
  EXPECT_EQ(d.Dcbs[0].BaudRate, 19200u);

  FComm->SetBaudrate(br19200);  // unchanged: nothing written
  EXPECT_EQ(d.Dcbs.size(), 1u);
  const struct {
    const char* what;
    void (*change)(TSerComm&);
    bool writes;
  } table[] = {
      {"Baudrate", [](TSerComm& c) { c.SetBaudrate(br600); }, true},
      {"Parity", [](TSerComm& c) { c.SetParity(paEven); }, true},
      {"Databits", [](TSerComm& c) { c.SetDatabits(db7); }, true},
      {"Stopbits", [](TSerComm& c) { c.SetStopbits(sb2); }, true},
      {"Options", [](TSerComm& c) { c.SetOptions({coParityCheck}); }, true},
      {"UserBaudrate", [](TSerComm& c) { c.SetUserBaudrate(1000); }, true},
      {"same EventChar", [](TSerComm& c) { c.EventChars().SetXonChar(17); }, true},
      {"same FlowControl", [](TSerComm& c) { c.FlowControl().SetOutCtsFlow(false); }, false},
      {"FlowControl", [](TSerComm& c) { c.FlowControl().SetControlRts(rtsHandshake); }, true},
      {"assign FlowControl",
       [](TSerComm& c) {
         TSerFlowControl f;
         f.SetControlDtr(dtrEnabled);
         c.SetFlowControl(f);
       },
       true},
      {"XonLimit is refused",
       [](TSerComm& c) {
         try {
           c.Buffers().SetXonLimit(5);
         } catch (const ESerCommError&) {
         }
       },
       false},
  };
  for (auto& row : table) {
    SCOPED_TRACE(row.what);
    const std::size_t before = d.Dcbs.size();
    row.change(*FComm);
    EXPECT_EQ(d.Dcbs.size(), before + (row.writes ? 1 : 0));
  }
  const TSerDCB& last = d.Dcbs.back();
  EXPECT_EQ(last.BaudRate, 1000u);
  EXPECT_EQ(last.Parity, 2);
  EXPECT_EQ(last.ByteSize, 7);
  EXPECT_EQ(last.StopBits, 2);
  EXPECT_EQ(last.Flags, 0x0013u);  // binary, parity check, DTR enabled
}

TEST_F(CommTest, FailedDcbOnChangeKeepsTheNewValue) {
  FComm->Open();
  Dev().SetStateError = EINVAL;
  try {
    FComm->SetBaudrate(br9600);
    FAIL();
  } catch (const ESerCommError& e) {
    EXPECT_EQ(e.what(), Msg("Error writing dcb (%d), %s", EINVAL));
  }
  EXPECT_EQ(FComm->Baudrate(), br9600);
  EXPECT_TRUE(FComm->Active());
}

TEST_F(CommTest, WithoutUpdateDcbNothingIsWritten) {
  FComm->SetUpdateDCB(false);
  FComm->Open();
  FComm->SetBaudrate(br9600);
  FComm->EventChars().SetEofChar(4);
  EXPECT_TRUE(Dev().Dcbs.empty());
}

TEST_F(CommTest, EventMaskAndThreadsFollowMonitorEventsAndDirectWrite) {
  FComm->Open();
  EXPECT_EQ(FComm->EventMask(), 0x81u);  // TxEmpty left to the write thread
  FComm->Close();
  FComm->SetDirectWrite(true);
  FComm->Open();
  EXPECT_EQ(FComm->EventMask(), 0x85u);
  FComm->Close();
  FComm->SetDirectWrite(false);
  FComm->SetMonitorEvents({ceTxEmpty});
  HookAll();
  FComm->Open();
  EXPECT_EQ(FComm->EventMask(), 0u);
  // No event thread, yet the write thread still reports an emptied queue.
  ASSERT_EQ(FComm->WriteBuf("ab", 2), 2);
  ASSERT_TRUE(PumpUntil(FSync, [&] { return FLog.size() == 2; }));
  EXPECT_EQ(FLog.back(), "TxEmpty");
  EXPECT_EQ(Dev().WaitCalls, 0);
}

TEST_F(CommTest, APolledPortWhoseDeviceHasNoDescriptorKeepsItsThreads) {
  FComm->SetPolled(true);
  HookAll();
  FComm->Open();
  EXPECT_EQ(FComm->PollFd(), -1);
  EXPECT_EQ(FComm->PollEvents(), 0);
  Feed(EV_RXCHAR | EV_CTS);
  ASSERT_EQ(FComm->WriteBuf("ab", 2), 2);
  ASSERT_TRUE(PumpUntil(FSync, [&] { return !FLog.empty() && FLog.back() == "TxEmpty"; }));
  EXPECT_FALSE(FOffThread);
  // Polled or not is a choice made while closed.
  EXPECT_THROW(FComm->SetPolled(false), ESerCommError);
  EXPECT_TRUE(FComm->Polled());
}

TEST_F(CommTest, ModemLineCallsReachTheOpenDeviceAndAreKeptForTheNextOpen) {
  struct Row {
    const char* what;
    TSerControlRts rtsAtOpen;
    std::uint8_t reported;  // what the device reports
    int error;              // what its modem-line calls answer
    std::function<void(TSerComm&)> act;
    std::vector<std::string> calls;
    std::size_t dcbWrites;  // device control blocks written after the open's
    std::uint8_t lines;     // ModemLines afterwards
    std::string message;    // raised
  };
  const Row rows[] = {
      {"DTR on",
       rtsDisabled,
       0,
       0,
       [](TSerComm& c) { c.SetDTR(true); },
       {"DTR on"},
       0,
       kLineDtr,
       ""},
      {"RTS on, then off",
       rtsDisabled,
       0,
       0,
       [](TSerComm& c) {
         c.SetRTS(true);
         c.SetRTS(false);
       },
       {"RTS on", "RTS off"},
       0,
       0,
       ""},
      {"a break pulse",
       rtsDisabled,
       0,
       0,
       [](TSerComm& c) {
         c.SetBreak(true);
         c.SetBreak(false);
       },
       {"break on", "break off"},
       0,
       0,
       ""},
      // The inputs are the device's, the outputs as set; under a handshake
      // RTS is the device's too.
      {"the lines the device reports",
       rtsHandshake,
       kLineCts | kLineRing | kLineRts | kLineDtr,
       0,
       nullptr,
       {},
       0,
       kLineCts | kLineRing | kLineRts,
       ""},
      {"RTS set under a handshake ends it first",
       rtsHandshake,
       kLineRts,
       0,
       [](TSerComm& c) { c.SetRTS(false); },
       {"RTS off"},
       1,
       0,
       ""},
      // A refused level is not kept: the port says what the line has.
      {"a device that refuses",
       rtsDisabled,
       0,
       EIO,
       [](TSerComm& c) { c.SetDTR(true); },
       {},
       0,
       0,
       "Error setting DTR (5), Input/output error"},
      {"a break the device refuses",
       rtsDisabled,
       0,
       EIO,
       [](TSerComm& c) { c.SetBreak(true); },
       {},
       0,
       0,
       "Error setting break (5), Input/output error"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    TSerComm comm(FDriver, FSync);
    comm.SetTiming(TSerTiming{[] { return std::chrono::steady_clock::time_point{}; },
                              [](std::chrono::milliseconds) {}});
    comm.FlowControl().SetControlRts(r.rtsAtOpen);
    FDriver->Prepare = [&r](FakeState& s) {
      s.Lines = r.reported;
      s.LineError = r.error;
    };
    comm.Open();
    const std::size_t dcbs = Dev().Dcbs.size();
    std::string message;
    try {
      if (r.act) r.act(comm);
    } catch (const ESerCommError& e) {
      message = e.what();
    }
    EXPECT_EQ(message, r.message);
    EXPECT_EQ(Dev().LineCalls, r.calls);
    EXPECT_EQ(Dev().Dcbs.size() - dcbs, r.dcbWrites);
    EXPECT_EQ(comm.ModemLines(), r.lines);
    // What was set is the flow control's now, so the next open sets it.
    const TSerFlowControl& flow = comm.FlowControl();
    comm.Close();
    comm.Open();
    EXPECT_EQ(Dev().Dcbs.front().DtrControl(), static_cast<std::uint32_t>(flow.ControlDtr()));
    EXPECT_EQ(Dev().Dcbs.front().RtsControl(), static_cast<std::uint32_t>(flow.ControlRts()));
    comm.Close();
  }
  FDriver->Prepare = nullptr;
  // A closed port only keeps the levels; a break needs an open port.
  FComm->SetDTR(true);
  FComm->SetRTS(true);
  FComm->SetBreak(true);
  EXPECT_EQ(FComm->FlowControl().ControlDtr(), dtrEnabled);
  EXPECT_EQ(FComm->FlowControl().ControlRts(), rtsEnabled);
  EXPECT_EQ(FComm->ModemLines(), 0);
  EXPECT_FALSE(FComm->HasModemLines());
}

TEST_F(CommTest, OnOpenExceptionIsShownAndTheOpenStands) {
  FComm->OnOpen = [](TSerCustomComm*) { throw ESerCommError("boom"); };
  FComm->Open();
  EXPECT_TRUE(FComm->Active());
  EXPECT_EQ(FShown, std::vector<std::string>{"boom"});
}

TEST_F(CommTest, LoadedOpensOnlyWithAutoOpen) {
  FComm->Loaded();
  EXPECT_FALSE(FComm->Active());
  FComm->SetAutoOpen(true);
  FComm->Loaded();
  EXPECT_TRUE(FComm->Active());
}

// A read that finds the device gone is no read error: it reads nothing, and
// the loss is reported once through OnError.
TEST_F(CommTest, ReadingAGoneDeviceReportsTheLossOnce) {
  std::vector<int> errors;
  FComm->OnError = [&](TSerCustomComm*, int e) { errors.push_back(e); };
  FComm->Open();
  Dev().ReadError = ENXIO;
  std::uint8_t b[4];
  EXPECT_EQ(FComm->ReadBuf(b, 4), 0);
  EXPECT_EQ(FComm->ReadBuf(b, 4), 0);
  EXPECT_EQ(errors, std::vector<int>{0x0400});
}

TEST_F(CommTest, ReadWriteAndStatusFailuresRaiseTheirMessages) {
  FComm->SetDirectWrite(true);
  FComm->Open();
  FakeState& d = Dev();
  d.Input = {1, 2, 3};
  std::uint8_t b[8] = {};
  EXPECT_EQ(FComm->ReadBuf(b, 2), 2);
  EXPECT_EQ(b[1], 2);
  EXPECT_EQ(FComm->InQueCount(), 1);
  EXPECT_EQ(FComm->WriteBuf("hey", 3), 3);
  EXPECT_EQ(std::string(d.Sent.begin(), d.Sent.end()), "hey");

  const struct {
    const char* what;
    void (*arm)(FakeState&);
    std::function<void()> call;
    std::string msg;
  } table[] = {
      {"read", [](FakeState& s) { s.ReadError = EOVERFLOW; }, [&] { FComm->ReadBuf(b, 1); },
       Msg("Read error (%d), %s", EOVERFLOW)},
      {"direct write", [](FakeState& s) { s.WriteErrors = {EIO}; },
       [&] { FComm->WriteBuf("x", 1); }, Msg("Write error (%d), %s", EIO)},
      {"status", [](FakeState& s) { s.ClearErrorError = EIO; }, [&] { FComm->InQueCount(); },
       Msg("Error retrieving statistics (%d), %s", EIO)},
      {"negative read", [](FakeState&) {}, [&] { FComm->ReadBuf(b, -1); },
       Msg("Read error (%d), %s", EINVAL)},
      {"null write", [](FakeState&) {}, [&] { FComm->WriteBuf(nullptr, 4); },
       Msg("Write error (%d), %s", EINVAL)},
  };
  for (auto& row : table) {
    SCOPED_TRACE(row.what);
    row.arm(d);
    try {
      row.call();
      ADD_FAILURE();
    } catch (const ESerCommError& e) {
      EXPECT_EQ(e.what(), row.msg);
    }
    d.ReadError = d.ClearErrorError = 0;
  }
}

// --- event dispatch --------------------------------------------------------

TEST_F(CommTest, AllBitsDispatchInOrderOnTheGuiThread) {
  FComm->SetMonitorEvents(TSerCommEvents::FromBits(0x1FFF));
  HookAll();
  FComm->Open();
  FLog.clear();
  Dev().Input = {7, 7, 7};
  Dev().PendingErrors = CE_FRAME;
  Feed(0x1FFF);
  EXPECT_EQ(FLog,
            (std::vector<std::string>{"RxChar 3", "Error 8", "RxFlag", "Cts", "Dsr", "Ring", "Rlsd",
                                      "TxEmpty", "Break", "PErr", "Rx80Full", "Event1", "Event2"}));
  EXPECT_FALSE(FOffThread);
}

TEST_F(CommTest, LinkedDisplayRefreshesFirstUntilItGoesAway) {
  struct Display : TSerDisplayLink {
    std::vector<std::string>* log;
    void RefreshFromPort(TSerCustomComm&) override { log->push_back("Display"); }
  } display;
  display.log = &FLog;
  HookAll();
  FComm->SetMonitorEvents({ceCts});
  FComm->SetDisplay(&display);
  FComm->Open();
  FLog.clear();
  Feed(EV_CTS);
  EXPECT_EQ(FLog, (std::vector<std::string>{"Display", "Cts"}));
  FComm->Notification(&display);
  EXPECT_EQ(FComm->Display(), nullptr);
  Feed(EV_CTS);
  EXPECT_EQ(FLog.back(), "Cts");
  EXPECT_EQ(FLog.size(), 3u);
}

TEST_F(CommTest, DispatchSkipsWhatIsNotThere) {
  HookAll();
  FComm->Open();
  FLog.clear();
  Feed(EV_RXCHAR);  // queue already empty
  Feed(EV_ERR);     // no error bits
  EXPECT_TRUE(FLog.empty());
  Dev().Input = {1};
  Feed(EV_CTS | EV_RXCHAR);
  EXPECT_EQ(FLog, (std::vector<std::string>{"RxChar 1", "Cts"}));
}

TEST_F(CommTest, BytesStillWaitingAreOfferedAgainWhileTheHandlerReads) {
  FComm->Open();
  std::vector<int> counts;
  int reads = 2;
  FComm->OnRxChar = [&](TSerCustomComm* c, int n) {
    counts.push_back(n);
    std::uint8_t b[2];
    if (reads) c->ReadBuf(b, 2);
  };
  Dev().Input = {1, 2, 3, 4, 5};
  Feed(EV_RXCHAR);
  EXPECT_EQ(counts, (std::vector<int>{5, 3, 1}));
  // A handler that reads nothing is not asked again in the same dispatch.
  counts.clear();
  reads = 0;
  Dev().Input = {1, 2};
  Feed(EV_RXCHAR);
  EXPECT_EQ(counts, std::vector<int>{2});
}

// Under a steady stream the same dispatch offers again what keeps arriving,
// but only so often: then the GUI thread gets back to its other work.
TEST_F(CommTest, RepeatedOffersInOneDispatchAreCapped) {
  FComm->Open();
  std::vector<int> counts;
  FComm->OnRxChar = [&](TSerCustomComm* c, int n) {
    counts.push_back(n);
    std::uint8_t b;
    c->ReadBuf(&b, 1);
  };
  Dev().Input.assign(100, 0x55);
  Feed(EV_RXCHAR);
  std::vector<int> expected;
  for (int n = 100; n > 84; --n) expected.push_back(n);  // 1 + 15 repeats
  EXPECT_EQ(counts, expected);
  // The rest waits for the next event.
  counts.clear();
  Feed(EV_RXCHAR);
  ASSERT_EQ(counts.size(), 16u);
  EXPECT_EQ(counts.front(), 84);
}

// Reading the queue count clears the device's error state: the bits it
// cleared must still reach OnError with the next EV_ERR, once, and not
// survive into the next open.
TEST_F(CommTest, ErrorBitsClearedByTheQueueCountReachOnErrorOnce) {
  HookAll();
  FComm->Open();
  FLog.clear();
  Dev().PendingErrors = CE_BREAK;
  EXPECT_EQ(FComm->InQueCount(), 0);
  EXPECT_EQ(Dev().PendingErrors, 0u);  // the device has forgotten them
  Feed(EV_ERR);
  EXPECT_EQ(FLog, std::vector<std::string>{"Error 16"});
  Feed(EV_ERR);
  EXPECT_EQ(FLog.size(), 1u);

  // Counted by the receive handler inside a dispatch.
  FComm->OnRxChar = [this](TSerCustomComm* c, int) {
    Note("RxChar");
    std::uint8_t b[4];
    c->ReadBuf(b, 4);
    {
      std::lock_guard l(Dev().Lock);
      Dev().PendingErrors = CE_FRAME;  // arrives while the handler runs
    }
    c->InQueCount();
  };
  FLog.clear();
  Dev().Input = {1};
  Feed(EV_RXCHAR | EV_ERR);
  EXPECT_EQ(FLog, (std::vector<std::string>{"RxChar", "Error 8"}));

  // Held bits of the last open belong to it alone.
  FLog.clear();
  Dev().PendingErrors = CE_OVERRUN;
  FComm->InQueCount();
  FComm->Close();
  FComm->Open();
  FLog.clear();
  Feed(EV_ERR);
  EXPECT_TRUE(FLog.empty());
}

// A wait that fails without the device being gone is tried again after the
// pause; it is no loss and events after it still come.
TEST_F(CommTest, PassingWaitFailureIsNoLoss) {
  HookAll();
  FComm->SetMonitorEvents({ceCts});
  FDriver->Prepare = [](FakeState& s) { s.WaitErrors = {EOVERFLOW}; };
  FComm->Open();
  FLog.clear();
  Feed(EV_CTS);
  EXPECT_EQ(FLog, std::vector<std::string>{"Cts"});
  std::lock_guard l(Dev().Lock);
  EXPECT_GE(Dev().WaitCalls, 2);
}

TEST_F(CommTest, HandlerExceptionsAreShownAndTheThreadGoesOn) {
  FComm->SetMonitorEvents({ceRxChar, ceError, ceCts, ceDsr});
  HookAll();
  FComm->OnRxChar = [this](TSerCustomComm*, int) {
    Note("RxChar");
    throw ESerCommError("rx failed");
  };
  FComm->Open();
  FLog.clear();
  Dev().Input = {1};
  Feed(EV_RXCHAR | EV_CTS);  // Cts is not dispatched after the exception
  EXPECT_EQ(FLog, std::vector<std::string>{"RxChar"});
  EXPECT_EQ(FShown, std::vector<std::string>{"rx failed"});

  // OnError's exception does not stop the dispatch; OnCts's ends it.
  FComm->OnError = [this](TSerCustomComm*, int) {
    Note("Error");
    throw ESerCommError("err failed");
  };
  FComm->OnCts = [this](TSerCustomComm*) {
    Note("Cts");
    throw ESerCommError("cts failed");
  };
  FLog.clear();
  Dev().PendingErrors = CE_OVERRUN;
  Feed(EV_ERR | EV_CTS | EV_DSR);
  EXPECT_EQ(FLog, (std::vector<std::string>{"Error", "Cts"}));
  EXPECT_EQ(FShown.size(), 3u);
  EXPECT_EQ(FShown[2], "cts failed");
}

TEST_F(CommTest, CloseFromInsideAHandlerNeitherDeadlocksNorLeaks) {
  HookAll();
  FComm->OnRxChar = [this](TSerCustomComm* c, int) {
    Note("RxChar");
    c->Close();
  };
  FComm->Open();
  Dev().Input = {1};
  Dev().PushEvent(EV_RXCHAR);
  ASSERT_TRUE(PumpUntil(FSync, [&] { return !FComm->Active(); }));
  EXPECT_EQ(FLog, (std::vector<std::string>{"Open", "RxChar", "Close"}));
  // Reopen joins the thread that waited for that dispatch.
  FComm->Open();
  EXPECT_TRUE(FComm->Active());
}

TEST_F(CommTest, DispatchQueuedForAClosedOrDestroyedPortIsDropped) {
  HookAll();
  FComm->Open();
  FLog.clear();
  Dev().Input = {1};
  Dev().PushEvent(EV_RXCHAR);
  // Wait until the thread has posted, without serving the queue.
  const auto end = std::chrono::steady_clock::now() + 3s;
  while (FSync.QueuedCount() == 0 && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(1ms);
  ASSERT_EQ(FSync.QueuedCount(), 1u);
  FComm->Close();
  EXPECT_EQ(FSync.ProcessPending(), 0u);
  EXPECT_EQ(FLog, std::vector<std::string>{"Close"});

  FComm->Open();
  Dev().Input = {1};
  Dev().PushEvent(EV_RXCHAR);
  const auto end2 = std::chrono::steady_clock::now() + 3s;
  while (FSync.QueuedCount() == 0 && std::chrono::steady_clock::now() < end2)
    std::this_thread::sleep_for(1ms);
  FComm.reset();  // joins; the queued call must not reach the freed port
  EXPECT_EQ(FSync.ProcessPending(), 0u);
}

TEST_F(CommTest, ThreadPrioritiesAreAppliedBestEffort) {
  FComm->Open();
  ASSERT_TRUE(Dev().WaitFor([](FakeState& s) { return s.Priorities.size() >= 2; }));
  {
    std::lock_guard l(Dev().Lock);
    std::vector<TThreadPriority> p = Dev().Priorities;
    std::sort(p.begin(), p.end());
    EXPECT_EQ(p, (std::vector<TThreadPriority>{tpNormal, tpHighest}));
  }
  FComm->SetEventPriority(tpLowest);
  Dev().PushEvent(EV_ERR);  // applied at the next pass
  ASSERT_TRUE(PumpUntil(FSync, [&] {
    std::lock_guard l(Dev().Lock);
    return Dev().Priorities.size() >= 3;
  }));
  EXPECT_EQ(Dev().Priorities.back(), tpLowest);
}

// --- write queue -----------------------------------------------------------

TEST_F(CommTest, QueueRoomRuleJoinsWritesAndReportsEmptyOnce) {
  FComm->Buffers().SetWriteSize(8);
  FComm->Buffers().SetWriteTimeout(20);
  HookAll();
  FComm->Open();
  FLog.clear();
  FakeState& d = Dev();
  d.SetHold(true);
  ASSERT_EQ(FComm->WriteBuf("abc", 3), 3);
  ASSERT_TRUE(d.WaitFor([](FakeState& s) { return s.InWrite; }));
  EXPECT_EQ(FComm->WriteBuf("defg", 4), 4);  // 7 of 8
  EXPECT_EQ(FComm->WriteBuf("h", 1), 1);     // exactly full, queued at once
  EXPECT_TRUE(FSleeps.empty());
  try {
    FComm->WriteBuf("i", 1);
    FAIL();
  } catch (const ESerCommError& e) {
    EXPECT_STREQ(e.what(), "Output buffer is full. Please check comm status.");
  }
  // It slept a millisecond between looks rather than spinning.
  EXPECT_GE(FSleeps.size(), 20u);
  for (auto s : FSleeps) EXPECT_EQ(s, 1ms);
  d.SetHold(false);
  ASSERT_TRUE(PumpUntil(FSync, [&] { return !FLog.empty(); }));
  PumpFor(FSync, 20ms);
  std::lock_guard l(d.Lock);
  EXPECT_EQ(std::string(d.Sent.begin(), d.Sent.end()), "abcdefgh");
  EXPECT_EQ(d.WriteCalls, (std::vector<std::size_t>{3, 5}));
  EXPECT_EQ(FLog, std::vector<std::string>{"TxEmpty"});
}

TEST_F(CommTest, WritesKeepFlowingWhileTheGuiThreadServesNothing) {
  // A GUI thread busy in WriteBuf does not serve the hand-off. The writer
  // must not park there with bytes queued behind it.
  FComm->Buffers().SetWriteSize(2);
  FComm->Buffers().SetWriteTimeout(3000);
  HookAll();
  FComm->Open();
  FLog.clear();
  FakeState& d = Dev();
  for (int i = 0; i < 5; ++i) {
    const char two[2] = {static_cast<char>('a' + i), static_cast<char>('A' + i)};
    ASSERT_EQ(FComm->WriteBuf(two, 2), 2);
    ASSERT_TRUE(
        d.WaitFor([&](FakeState& s) { return s.Sent.size() == 2u * (i + 1) && !s.InWrite; }));
  }
  EXPECT_EQ(std::string(d.Sent.begin(), d.Sent.end()), "aAbBcCdDeE");
  FSync.ProcessPending();
  // Once per emptied queue; a write may land before the queue ran empty.
  ASSERT_FALSE(FLog.empty());
  EXPECT_LE(FLog.size(), 5u);
  for (auto& l : FLog) EXPECT_EQ(l, "TxEmpty");
}

TEST_F(CommTest, FullSizeWriteWaitsForTheQueueToDrain) {
  FComm->Buffers().SetWriteSize(4);
  // The held write is let go during the room wait.
  FComm->SetTiming({[this] {
                      return std::chrono::steady_clock::time_point(
                          std::chrono::milliseconds(FFakeMs.load()));
                    },
                    [this](std::chrono::milliseconds ms) {
                      FFakeMs += ms.count();
                      Dev().SetHold(false);
                      std::this_thread::sleep_for(1ms);
                    }});
  FComm->Open();
  FakeState& d = Dev();
  d.SetHold(true);
  ASSERT_EQ(FComm->WriteBuf("ab", 2), 2);
  ASSERT_TRUE(d.WaitFor([](FakeState& s) { return s.InWrite; }));
  EXPECT_EQ(FComm->WriteBuf("wxyz", 4), 4);
  ASSERT_TRUE(PumpUntil(FSync, [&] {
    std::lock_guard l(d.Lock);
    return d.Sent.size() == 6;
  }));
  std::lock_guard l(d.Lock);
  EXPECT_EQ(std::string(d.Sent.begin(), d.Sent.end()), "abwxyz");
}

TEST_F(CommTest, OversizedWriteNeverFits) {
  FComm->Buffers().SetWriteSize(4);
  FComm->Buffers().SetWriteTimeout(1000);
  FComm->Open();
  const auto start = FFakeMs.load();
  EXPECT_THROW(FComm->WriteBuf("12345", 5), ESerCommError);
  EXPECT_GT(FFakeMs.load() - start, 1000);
  EXPECT_TRUE(Dev().Sent.empty());
}

TEST_F(CommTest, NothingIsSentOrReportedAfterClose) {
  FComm->Buffers().SetWriteSize(64);
  HookAll();
  FComm->Open();
  FLog.clear();
  auto d = FDriver->Last;
  d->SetHold(true);
  ASSERT_EQ(FComm->WriteBuf("first", 5), 5);
  ASSERT_TRUE(d->WaitFor([](FakeState& s) { return s.InWrite; }));
  ASSERT_EQ(FComm->WriteBuf("second", 6), 6);
  FComm->Close();
  PumpFor(FSync, 30ms);
  std::lock_guard l(d->Lock);
  EXPECT_TRUE(d->Sent.empty());
  EXPECT_EQ(d->WriteCalls.size(), 1u);
  EXPECT_EQ(FLog, std::vector<std::string>{"Close"});
}

TEST_F(CommTest, FailedWriteIsReportedAndRetriedAfterAPause) {
  HookAll();
  FComm->Open();
  FLog.clear();
  FakeState& d = Dev();
  {
    std::lock_guard l(d.Lock);
    d.WriteErrors = {EAGAIN};
    d.PendingErrors = CE_OVERRUN;
  }
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(FComm->WriteBuf("zz", 2), 2);
  ASSERT_TRUE(PumpUntil(FSync, [&] { return FLog.size() == 2; }));
  const auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(FLog, (std::vector<std::string>{"Error 2", "TxEmpty"}));
  EXPECT_GE(took, 100ms);
  std::lock_guard l(d.Lock);
  EXPECT_EQ(d.WriteCalls.size(), 2u);
  EXPECT_EQ(std::string(d.Sent.begin(), d.Sent.end()), "zz");
}

// A write the line ends part way: what went out is gone from the queue, so
// the retry after the pause sends only the rest.
TEST_F(CommTest, PartOfAFailedWriteIsNotSentAgain) {
  HookAll();
  FComm->Open();
  FLog.clear();
  FakeState& d = Dev();
  {
    std::lock_guard l(d.Lock);
    d.WriteAnswers = {{2, EAGAIN}};
  }
  ASSERT_EQ(FComm->WriteBuf("abcdef", 6), 6);
  ASSERT_TRUE(PumpUntil(FSync, [&] { return !FLog.empty(); }));
  EXPECT_EQ(FLog, std::vector<std::string>{"TxEmpty"});
  std::lock_guard l(d.Lock);
  EXPECT_EQ(std::string(d.Sent.begin(), d.Sent.end()), "abcdef");
  EXPECT_EQ(d.WriteCalls, (std::vector<std::size_t>{6, 4}));
}

// A direct write answers what the device took before its time-out ran out.
TEST_F(CommTest, DirectWriteReturnsWhatTheDeviceTook) {
  FComm->SetDirectWrite(true);
  FComm->Open();
  Dev().WriteAnswers = {{3, 0}};
  EXPECT_EQ(FComm->WriteBuf("abcdef", 6), 3);
  EXPECT_EQ(std::string(Dev().Sent.begin(), Dev().Sent.end()), "abc");
}

// --- a device that goes away -----------------------------------------------

TEST_F(CommTest, VanishedDeviceIsReportedOnceWithoutSpinning) {
  HookAll();
  FComm->Open();
  FLog.clear();
  FakeState& d = Dev();
  {
    std::lock_guard l(d.Lock);
    d.GoneError = EIO;
  }
  d.Cv.notify_all();
  ASSERT_EQ(FComm->WriteBuf("lost", 4), 4);  // the write thread fails too
  PumpFor(FSync, 1000ms);
  EXPECT_EQ(FLog, std::vector<std::string>{"Error 1024"});
  {
    std::lock_guard l(d.Lock);
    // One try per pause: about 10 in a second, nowhere near a spin.
    EXPECT_LE(d.WaitCalls, 15);
    EXPECT_LE(d.WriteCalls.size(), 15u);
    EXPECT_GE(d.WaitCalls, 3);
  }
  FComm->Close();
  EXPECT_FALSE(FComm->Active());
  EXPECT_EQ(FLog.back(), "Close");
}

// The retry pause is the timing's: each failed try on the gone device is
// followed by one pause of 100 ms and nothing is tried while it lasts; Close
// ends a pause that would otherwise never end.
TEST_F(CommTest, RetryPauseIsInjectedAndCloseEndsIt) {
  std::mutex lock;
  std::vector<std::chrono::milliseconds> pauses;
  TSerTiming timing = TSerTiming::System();
  timing.Sleep = [](std::chrono::milliseconds) {};
  timing.RetryPause = [&](TSerWaitEvent& wake, std::chrono::milliseconds ms) {
    {
      std::lock_guard l(lock);
      pauses.push_back(ms);
    }
    wake.WaitFor(-1);  // parked until Shutdown wakes it
  };
  FComm->SetTiming(timing);
  HookAll();
  FComm->Open();
  FLog.clear();
  FakeState& d = Dev();
  {
    std::lock_guard l(d.Lock);
    d.GoneError = EIO;
  }
  d.Cv.notify_all();
  ASSERT_EQ(FComm->WriteBuf("lost", 4), 4);
  ASSERT_TRUE(PumpUntil(FSync, [&] {
    std::lock_guard l(lock);
    return pauses.size() == 2;  // the event thread and the write thread
  }));
  PumpFor(FSync, 50ms);
  {
    std::lock_guard l(lock);
    EXPECT_EQ(pauses, (std::vector<std::chrono::milliseconds>{100ms, 100ms}));
  }
  {
    std::lock_guard l(d.Lock);
    EXPECT_EQ(d.WaitCalls, 1);
    EXPECT_EQ(d.WriteCalls.size(), 1u);
  }
  EXPECT_EQ(FLog, std::vector<std::string>{"Error 1024"});
  FComm->Close();
  EXPECT_FALSE(FComm->Active());
}

}  // namespace
}  // namespace talmo

namespace talmo {
namespace {

// The receive hold: after a small receive dispatch the event thread waits
// as long as the rule says before it looks again; a large one, a dispatch
// that read nothing and a port without a rule are never held.
TEST_F(CommTest, ReceiveHoldFollowsTheRuleOnlyAfterSmallReads) {
  std::mutex lock;
  std::vector<std::chrono::milliseconds> pauses;
  TSerTiming timing = TSerTiming::System();
  timing.Sleep = [](std::chrono::milliseconds) {};
  timing.RetryPause = [&](TSerWaitEvent&, std::chrono::milliseconds ms) {
    std::lock_guard l(lock);
    pauses.push_back(ms);
  };
  FComm->SetTiming(timing);
  const std::size_t big = TSerCustomComm::kRxHoldBytes;
  const struct {
    const char* name;
    bool rule;
    std::chrono::milliseconds says;
    std::size_t bytes;
    bool read;
    std::vector<std::chrono::milliseconds> held;
  } cases[] = {
      {"a small block is held as the rule says", true, 7ms, 5, true, {7ms}},
      {"one byte short of the bound is still small", true, 7ms, big - 1, true, {7ms}},
      {"a block of the bound is not held", true, 7ms, big, true, {}},
      {"nothing read: nothing held", true, 7ms, 5, false, {}},
      {"a rule that answers 0 holds nothing", true, 0ms, 5, true, {}},
      {"the hold is bounded", true, 5000ms, 5, true, {TSerCustomComm::kRxHoldMost}},
      {"no rule: nothing held", false, 0ms, 5, true, {}},
  };
  std::vector<std::uint8_t> got;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.rule)
      FComm->SetRxHoldRule([&c] { return c.says; });
    else
      FComm->SetRxHoldRule({});
    FComm->OnRxChar = [&](TSerCustomComm* port, int n) {
      if (!c.read) return;
      std::vector<std::uint8_t> b(static_cast<std::size_t>(n));
      got.insert(got.end(), b.begin(), b.begin() + port->ReadBuf(b.data(), n));
    };
    FComm->Open();
    got.clear();
    {
      std::lock_guard l(lock);
      pauses.clear();
    }
    std::vector<std::uint8_t> sent(c.bytes);
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<std::uint8_t>(i * 7);
    Dev().Input.assign(sent.begin(), sent.end());
    Feed(EV_RXCHAR);
    {
      std::lock_guard l(lock);
      EXPECT_EQ(pauses, c.held);
    }
    if (c.read) {
      EXPECT_EQ(got, sent);
    }
    FComm->Close();
  }
}

// Close ends a hold at once: the held event thread is woken and joined.
TEST_F(CommTest, CloseEndsAReceiveHold) {
  std::atomic<int> parked{0};
  TSerTiming timing = TSerTiming::System();
  timing.Sleep = [](std::chrono::milliseconds) {};
  timing.RetryPause = [&](TSerWaitEvent& wake, std::chrono::milliseconds) {
    ++parked;
    wake.WaitFor(-1);  // parked until Shutdown wakes it
  };
  FComm->SetTiming(timing);
  FComm->SetRxHoldRule([] { return 20ms; });
  FComm->OnRxChar = [](TSerCustomComm* port, int n) {
    std::vector<std::uint8_t> b(static_cast<std::size_t>(n));
    port->ReadBuf(b.data(), n);
  };
  FComm->Open();
  Dev().Input = {1, 2, 3};
  Dev().PushEvent(EV_RXCHAR);
  ASSERT_TRUE(PumpUntil(FSync, [&] { return parked.load() == 1; }));
  FComm->Close();
  EXPECT_FALSE(FComm->Active());
}

}  // namespace
}  // namespace talmo
