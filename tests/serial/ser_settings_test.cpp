// Settings vocabulary, change notification and the DCB values built from
// them.

#include <gtest/gtest.h>

#include <memory>

#include "fake_device.h"
#include "serial/ser_comm.h"

namespace talmo {
namespace {

struct Port {
  TSerQueueSync Sync;
  TSerComm Comm{std::make_shared<test::FakeDriver>(), Sync};
};

TEST(SerSettings, BaudrateTableGivesDcbRate) {
  const struct {
    TSerBaudrate b;
    std::uint32_t rate;
  } table[] = {{br110, 110},       {br300, 300},       {br600, 1024},     {br1200, 1200},
               {br2400, 2400},     {br4800, 4800},     {br9600, 9600},    {br14400, 14400},
               {br19200, 19200},   {br38400, 38400},   {br56000, 56000},  {br57600, 57600},
               {br115200, 115200}, {br128000, 128000}, {br256000, 256000}};
  Port p;
  for (auto& row : table) {
    SCOPED_TRACE(row.rate);
    p.Comm.SetBaudrate(row.b);
    EXPECT_EQ(p.Comm.BuildDCB().BaudRate, row.rate);
  }
  p.Comm.SetUserBaudrate(1000);
  EXPECT_EQ(p.Comm.Baudrate(), brUser);
  EXPECT_EQ(p.Comm.BuildDCB().BaudRate, 1000u);
}

TEST(SerSettings, LineCodesInDcb) {
  Port p;
  const TSerParity parities[] = {paNone, paOdd, paEven, paMark, paSpace};
  for (int i = 0; i < 5; ++i) {
    p.Comm.SetParity(parities[i]);
    EXPECT_EQ(p.Comm.BuildDCB().Parity, i);
  }
  const TSerDatabits bits[] = {db4, db5, db6, db7, db8};
  for (int i = 0; i < 5; ++i) {
    p.Comm.SetDatabits(bits[i]);
    EXPECT_EQ(p.Comm.BuildDCB().ByteSize, 4 + i);
  }
  const TSerStopbits stops[] = {sb1, sb15, sb2};
  for (int i = 0; i < 3; ++i) {
    p.Comm.SetStopbits(stops[i]);
    EXPECT_EQ(p.Comm.BuildDCB().StopBits, i);
  }
  EXPECT_THROW(p.Comm.SetParity(static_cast<TSerParity>(9)), std::out_of_range);
}

TEST(SerSettings, DefaultsAndDesignValuesGiveTheirFlagWords) {
  Port p;
  TSerDCB dcb = p.Comm.BuildDCB();
  EXPECT_EQ(dcb.Flags, 0x0001u);
  EXPECT_EQ(dcb.BaudRate, 1200u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.XonChar, 17);
  EXPECT_EQ(dcb.XoffChar, 19);
  EXPECT_EQ(dcb.ErrorChar, 0);
  EXPECT_EQ(dcb.EofChar, 0);
  EXPECT_EQ(dcb.EvtChar, 0);
  EXPECT_EQ(dcb.XonLim, 1024);
  EXPECT_EQ(dcb.XoffLim, 1024);
  EXPECT_EQ(dcb.DCBlength, 0u);
  EXPECT_EQ(dcb.Flags & fAbortOnError, 0u);

  p.Comm.FlowControl().SetControlDtr(dtrEnabled);
  p.Comm.FlowControl().SetControlRts(rtsHandshake);
  EXPECT_EQ(p.Comm.BuildDCB().Flags, 0x2011u);
}

TEST(SerSettings, EachFlagLandsInItsBit) {
  const struct {
    const char* name;
    void (*set)(TSerComm&);
    std::uint32_t flags;
  } table[] = {
      {"OutCtsFlow", [](TSerComm& c) { c.FlowControl().SetOutCtsFlow(true); }, 0x0005},
      {"OutDsrFlow", [](TSerComm& c) { c.FlowControl().SetOutDsrFlow(true); }, 0x0009},
      {"DtrHandshake", [](TSerComm& c) { c.FlowControl().SetControlDtr(dtrHandshake); }, 0x0021},
      {"RtsEnabled", [](TSerComm& c) { c.FlowControl().SetControlRts(rtsEnabled); }, 0x1001},
      {"RtsToggle", [](TSerComm& c) { c.FlowControl().SetControlRts(rtsToggle); }, 0x3001},
      {"XonXoffOut", [](TSerComm& c) { c.FlowControl().SetXonXoffOut(true); }, 0x0101},
      {"XonXoffIn", [](TSerComm& c) { c.FlowControl().SetXonXoffIn(true); }, 0x0201},
      {"DsrSensitivity", [](TSerComm& c) { c.FlowControl().SetDsrSensitivity(true); }, 0x0041},
      {"TxContinueOnXoff", [](TSerComm& c) { c.FlowControl().SetTxContinueOnXoff(true); }, 0x0081},
      {"ErrorChar", [](TSerComm& c) { c.SetOptions({coErrorChar}); }, 0x0401},
      {"NullStrip", [](TSerComm& c) { c.SetOptions({coNullStrip}); }, 0x0801},
      {"ParityCheck", [](TSerComm& c) { c.SetOptions({coParityCheck}); }, 0x0003},
  };
  for (auto& row : table) {
    SCOPED_TRACE(row.name);
    Port p;
    row.set(p.Comm);
    EXPECT_EQ(p.Comm.BuildDCB().Flags, row.flags);
  }
}

TEST(SerSettings, EventCharsAreIndependentAndLimitsKeepLow16Bits) {
  Port p;
  p.Comm.EventChars().SetEofChar(26);
  TSerDCB dcb = p.Comm.BuildDCB();
  EXPECT_EQ(dcb.EofChar, 26);
  EXPECT_EQ(dcb.EvtChar, 0);
  EXPECT_EQ(p.Comm.EventChars().EventChar(), 0);
  p.Comm.EventChars().SetEventChar(13);
  p.Comm.EventChars().SetErrorChar(63);
  dcb = p.Comm.BuildDCB();
  EXPECT_EQ(dcb.EvtChar, 13);
  EXPECT_EQ(dcb.ErrorChar, 63);
  EXPECT_EQ(dcb.EofChar, 26);

  p.Comm.Buffers().SetXonLimit(70000);
  p.Comm.Buffers().SetXoffLimit(65536 + 7);
  dcb = p.Comm.BuildDCB();
  EXPECT_EQ(dcb.XonLim, 4464);
  EXPECT_EQ(dcb.XoffLim, 7);
}

TEST(SerSettings, NotifyRulesPerSettingsObject) {
  int n = 0;
  auto count = [&](TSerPersistent&) { ++n; };

  TSerEventChars chars;
  chars.OnChange = count;
  chars.SetXonChar(17);  // unchanged value still notifies
  EXPECT_EQ(n, 1);
  chars.SetEofChar(26);
  EXPECT_EQ(n, 2);
  EXPECT_THROW(chars.SetChar(6, 1), std::out_of_range);

  n = 0;
  TSerFlowControl flow;
  flow.OnChange = count;
  flow.SetOutCtsFlow(false);  // unchanged: silent
  flow.SetControlDtr(dtrDisabled);
  EXPECT_EQ(n, 0);
  flow.SetOutCtsFlow(true);
  flow.SetControlRts(rtsToggle);
  EXPECT_EQ(n, 2);

  n = 0;
  TSerBuffers buf;
  buf.OnChange = count;
  buf.SetReadSize(4096);  // unchanged
  buf.SetReadTimeout(5);  // time-outs never notify
  buf.SetWriteTimeout(6);
  EXPECT_EQ(n, 0);
  buf.SetReadSize(1024);
  buf.SetWriteSize(1024);
  buf.SetXonLimit(1);
  buf.SetXoffLimit(2);
  EXPECT_EQ(n, 4);
  EXPECT_EQ(buf.ReadTimeout(), 5);
  EXPECT_EQ(buf.WriteTimeout(), 6);
}

TEST(SerSettings, NestedUpdatesNotifyOnceAtTheOutermostEnd) {
  int n = 0;
  TSerFlowControl flow;
  flow.OnChange = [&](TSerPersistent&) { ++n; };
  flow.BeginUpdate();
  flow.BeginUpdate();
  flow.SetOutCtsFlow(true);
  flow.SetXonXoffIn(true);
  flow.EndUpdate();
  EXPECT_EQ(n, 0);
  flow.EndUpdate();
  EXPECT_EQ(n, 1);
  // Unmatched: stays at 0 and notifies.
  flow.EndUpdate();
  EXPECT_EQ(flow.UpdateCount(), 0);
  EXPECT_EQ(n, 2);
}

TEST(SerSettings, AssignCopiesAndNotifiesOnceEvenWithoutChange) {
  int n = 0;
  auto count = [&](TSerPersistent&) { ++n; };
  TSerFlowControl a, b;
  a.OnChange = count;
  a.Assign(b);
  EXPECT_EQ(n, 1);
  b.SetOutCtsFlow(true);
  b.SetControlRts(rtsHandshake);
  b.SetTxContinueOnXoff(true);
  a.Assign(b);
  EXPECT_EQ(n, 2);
  EXPECT_TRUE(a.OutCtsFlow());
  EXPECT_EQ(a.ControlRts(), rtsHandshake);
  EXPECT_TRUE(a.TxContinueOnXoff());

  n = 0;
  TSerEventChars c1, c2;
  c1.OnChange = count;
  c2.SetXoffChar(0x13 + 1);
  c2.SetEofChar(26);
  c1.Assign(c2);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(c1.XoffChar(), 20);
  EXPECT_EQ(c1.EofChar(), 26);

  n = 0;
  TSerBuffers b1, b2;
  b1.OnChange = count;
  b2.SetReadSize(1);
  b2.SetWriteSize(2);
  b2.SetReadTimeout(3);
  b2.SetWriteTimeout(4);
  b2.SetXonLimit(5);
  b2.SetXoffLimit(6);
  b1.Assign(b2);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(b1.ReadSize() + b1.WriteSize() + b1.ReadTimeout() + b1.WriteTimeout() + b1.XonLimit() +
                b1.XoffLimit(),
            21);
}

TEST(SerSettings, AssignFromAnotherClassIsRefusedByName) {
  TSerFlowControl flow;
  TSerBuffers buf;
  try {
    flow.Assign(buf);
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a TSerBuffers to a TSerFlowControl");
  }
  EXPECT_THROW(buf.Assign(flow), std::invalid_argument);
}

TEST(SerSettings, NegativeSizesAreRefusedAndNotStored) {
  TSerBuffers buf;
  try {
    buf.SetWriteSize(-1);
    FAIL();
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "Buffers.WriteSize: -1 is out of range 0..2147483647");
  }
  EXPECT_EQ(buf.WriteSize(), 2048);
  EXPECT_THROW(buf.SetReadTimeout(-5), std::out_of_range);
  EXPECT_EQ(buf.ReadTimeout(), 1000);
}

TEST(SerSettings, PortDefaultsAndBaudrateRules) {
  Port p;
  TSerComm& c = p.Comm;
  EXPECT_EQ(c.MonitorEvents().ToBits(), 200);
  EXPECT_EQ(c.Baudrate(), br1200);
  EXPECT_EQ(c.DeviceName(), "COM%d");
  EXPECT_EQ(c.PortNum(), 0);
  EXPECT_EQ(c.EventPriority(), tpNormal);
  EXPECT_EQ(c.WritePriority(), tpHighest);
  EXPECT_TRUE(c.UpdateDCB());
  EXPECT_FALSE(c.DirectWrite());
  EXPECT_FALSE(c.AutoOpen());
  EXPECT_TRUE(c.Options().Empty());
  EXPECT_EQ(c.Buffers().ReadSize(), 4096);
  EXPECT_EQ(c.Buffers().WriteSize(), 2048);

  c.SetUserBaudrate(4800);
  EXPECT_EQ(c.Baudrate(), brUser);
  c.SetBaudrate(br9600);
  EXPECT_EQ(c.UserBaudrate(), 0);
  c.SetUserBaudrate(1000);
  c.SetBaudrate(brUser);  // unchanged: UserBaudrate stays
  EXPECT_EQ(c.UserBaudrate(), 1000);
}

TEST(SerSettings, EventMaskBitsFollowTheTable) {
  EXPECT_EQ(EventMaskOf({ceError, ceRxChar, ceTxEmpty}), 0x85u);
  EXPECT_EQ(EventMaskOf({ceBreak, ceCts, ceDsr, ceError, ceRxChar, ceTxEmpty, ceRxFlag}), 0xDFu);
  EXPECT_EQ(EventMaskOf({ceRing, ceRlsd, cePErr, ceRx80Full, ceEvent1, ceEvent2}), 0x1F20u);
}

TEST(SerSettings, MessagesFillPlaceholdersOnce) {
  EXPECT_EQ(FormatSerMessage("Error writing dcb (%d), %s", {"22", "bad"}),
            "Error writing dcb (22), bad");
  // A name with '%' in it is not scanned again.
  EXPECT_EQ(FormatSerMessage("Specified device not found (%s).", {"/x%d%s"}),
            "Specified device not found (/x%d%s).");
  EXPECT_EQ(FormatSerMessage("Output buffer is full. Please check comm status.", {"5", "x"}),
            "Output buffer is full. Please check comm status.");
}

}  // namespace
}  // namespace talmo
