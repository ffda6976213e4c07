// The device control block the component hands down, mapped onto termios.
// Pseudo-terminals do not keep data bits, parity or flow control, so the
// whole mapping is checked here, on the settings the test double received.

#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <functional>
#include <memory>

#include "device/termios_map.h"
#include "fake_device.h"
#include "serial/ser_comm.h"

namespace talmo {
namespace {

struct Mapped {
  tcflag_t csize, parity, cstopb, crtscts, iflags;
  int set, clear;
};

class TermiosMapTest : public ::testing::Test {
 protected:
  std::shared_ptr<test::FakeDriver> FDriver = std::make_shared<test::FakeDriver>();
  TSerQueueSync FSync;
  TSerComm FComm{FDriver, FSync};

  void SetUp() override {
    FComm.SetTiming(
        {[] { return std::chrono::steady_clock::now(); }, [](std::chrono::milliseconds) {}});
  }
  // Plans the last DCB the device received.
  TTermiosPlan Plan(int* err = nullptr) {
    termios base{};
    TTermiosPlan plan;
    const int e = PlanTermios(FDriver->Last->Dcbs.back(), base, plan);
    if (err)
      *err = e;
    else
      EXPECT_EQ(e, 0);
    return plan;
  }
};

Mapped Bits(const TTermiosPlan& p) {
  return {p.Tio.c_cflag & CSIZE,
          p.Tio.c_cflag & (PARENB | PARODD | CMSPAR),
          p.Tio.c_cflag & CSTOPB,
          p.Tio.c_cflag & CRTSCTS,
          p.Tio.c_iflag & (IXON | IXOFF | INPCK),
          p.ModemSet,
          p.ModemClear};
}

TEST_F(TermiosMapTest, LineSettingsAndFlowMapAfterOpen) {
  const struct {
    const char* name;
    std::function<void(TSerComm&)> set;
    Mapped want;
  } table[] = {
      {"defaults 8N1", [](TSerComm&) {}, {CS8, 0, 0, 0, 0, 0, TIOCM_DTR | TIOCM_RTS}},
      {"7E1",
       [](TSerComm& c) {
         c.SetDatabits(db7);
         c.SetParity(paEven);
       },
       {CS7, PARENB, 0, 0, 0, 0, TIOCM_DTR | TIOCM_RTS}},
      {"6O2",
       [](TSerComm& c) {
         c.SetDatabits(db6);
         c.SetParity(paOdd);
         c.SetStopbits(sb2);
       },
       {CS6, PARENB | PARODD, CSTOPB, 0, 0, 0, TIOCM_DTR | TIOCM_RTS}},
      {"5M1.5",
       [](TSerComm& c) {
         c.SetDatabits(db5);
         c.SetParity(paMark);
         c.SetStopbits(sb15);
       },
       {CS5, PARENB | PARODD | CMSPAR, CSTOPB, 0, 0, 0, TIOCM_DTR | TIOCM_RTS}},
      {"space",
       [](TSerComm& c) { c.SetParity(paSpace); },
       {CS8, PARENB | CMSPAR, 0, 0, 0, 0, TIOCM_DTR | TIOCM_RTS}},
      {"design: DTR on, RTS handshake",
       [](TSerComm& c) {
         c.FlowControl().SetControlDtr(dtrEnabled);
         c.FlowControl().SetControlRts(rtsHandshake);
       },
       {CS8, 0, 0, CRTSCTS, 0, TIOCM_DTR, 0}},
      {"CTS output flow",
       [](TSerComm& c) {
         c.FlowControl().SetOutCtsFlow(true);
         c.FlowControl().SetControlRts(rtsEnabled);
       },
       {CS8, 0, 0, CRTSCTS, 0, TIOCM_RTS, TIOCM_DTR}},
      {"xon/xoff both ways, parity check",
       [](TSerComm& c) {
         c.FlowControl().SetXonXoffOut(true);
         c.FlowControl().SetXonXoffIn(true);
         c.FlowControl().SetControlDtr(dtrHandshake);
         c.FlowControl().SetControlRts(rtsToggle);
         c.SetOptions({coParityCheck});
       },
       {CS8, 0, 0, 0, IXON | IXOFF | INPCK, TIOCM_DTR | TIOCM_RTS, 0}},
  };
  for (auto& row : table) {
    SCOPED_TRACE(row.name);
    TSerComm c(FDriver, FSync);
    c.SetTiming(
        {[] { return std::chrono::steady_clock::now(); }, [](std::chrono::milliseconds) {}});
    row.set(c);
    c.Open();
    const Mapped got = Bits(Plan());
    EXPECT_EQ(got.csize, row.want.csize);
    EXPECT_EQ(got.parity, row.want.parity);
    EXPECT_EQ(got.cstopb, row.want.cstopb);
    EXPECT_EQ(got.crtscts, row.want.crtscts);
    EXPECT_EQ(got.iflags, row.want.iflags);
    EXPECT_EQ(got.set, row.want.set);
    EXPECT_EQ(got.clear, row.want.clear);
    const TTermiosPlan p = Plan();
    EXPECT_TRUE(p.Tio.c_cflag & CLOCAL);
    EXPECT_TRUE(p.Tio.c_cflag & CREAD);
    EXPECT_FALSE(p.Tio.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_FALSE(p.Tio.c_oflag & OPOST);
  }
}

TEST_F(TermiosMapTest, RatesAndCharsMapAlsoOnAChangeWhileOpen) {
  FComm.Open();
  TTermiosPlan p = Plan();
  EXPECT_EQ(p.Rate, 1200u);
  EXPECT_FALSE(p.CustomRate);
  EXPECT_EQ(cfgetospeed(&p.Tio), B1200);
  EXPECT_EQ(p.Tio.c_cc[VSTART], 17);
  EXPECT_EQ(p.Tio.c_cc[VSTOP], 19);

  FComm.SetBaudrate(br600);  // the "1024" choice
  p = Plan();
  EXPECT_EQ(p.Rate, 1024u);
  EXPECT_TRUE(p.CustomRate);

  const std::pair<TSerBaudrate, bool> custom[] = {{br14400, true},   {br56000, true},
                                                  {br128000, true},  {br256000, true},
                                                  {br115200, false}, {br110, false}};
  for (auto [b, isCustom] : custom) {
    SCOPED_TRACE(BaudRateOf(b));
    FComm.SetBaudrate(b);
    EXPECT_EQ(Plan().CustomRate, isCustom);
    EXPECT_EQ(Plan().Rate, BaudRateOf(b));
  }
  FComm.EventChars().SetXonChar('Q');
  FComm.EventChars().SetXoffChar('S');
  p = Plan();
  EXPECT_EQ(p.Tio.c_cc[VSTART], 'Q');
  EXPECT_EQ(p.Tio.c_cc[VSTOP], 'S');
}

TEST_F(TermiosMapTest, WhatNoUartKeepsIsRefused) {
  const struct {
    const char* name;
    TSerDCB dcb;
  } table[] = {
      {"four data bits", {0, 9600, 1, 0, 0, 0, 4, 0, 0, 17, 19, 0, 0, 0, 0}},
      {"1.5 stop bits with 8 data bits", {0, 9600, 1, 0, 0, 0, 8, 0, 1, 17, 19, 0, 0, 0, 0}},
      {"rate 0", {0, 0, 1, 0, 0, 0, 8, 0, 0, 17, 19, 0, 0, 0, 0}},
      {"parity code 5", {0, 9600, 1, 0, 0, 0, 8, 5, 0, 17, 19, 0, 0, 0, 0}},
      {"stop code 3", {0, 9600, 1, 0, 0, 0, 8, 0, 3, 17, 19, 0, 0, 0, 0}},
  };
  for (auto& row : table) {
    SCOPED_TRACE(row.name);
    termios base{};
    TTermiosPlan plan;
    EXPECT_EQ(PlanTermios(row.dcb, base, plan), EINVAL);
  }
}

// The read-back after a set: pseudo-terminals keep every rate, so the rule
// is checked here on the figures a UART could report.
TEST(RateKept, NearIsKeptAndFarIsRefused) {
  const struct {
    const char* name;
    std::uint32_t rate, in, out;
    bool kept;
  } table[] = {
      {"exact, input follows output", 115200, 0, 115200, true},
      {"exact both", 115200, 115200, 115200, true},
      {"output 2 % above", 115200, 0, 117504, true},
      {"output just over 2 % above", 115200, 0, 117505, false},
      {"output 2 % below", 115200, 0, 112896, true},
      {"output just over 2 % below", 115200, 0, 112895, false},
      {"input 2 % above", 115200, 117504, 115200, true},
      {"input just over 2 % above", 115200, 117505, 115200, false},
      {"input at half the rate", 115200, 57600, 115200, false},
      {"output dropped to 0", 9600, 0, 0, false},
      {"slow line, near", 300, 0, 306, true},
      {"slow line, off", 300, 0, 307, false},
      {"fast line the UART cannot reach", 4000000, 0, 3000000, false},
      {"fast line kept", 4000000, 4000000, 4000000, true},
  };
  for (auto& row : table) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(RateKept(row.rate, row.in, row.out), row.kept);
  }
}

// What a device that keeps its own character format ignores, and the write
// that keeps the rest of the settings.
TEST(TermiosMap, IgnoredFormatNamesWhatTheDeviceDidNotKeep) {
  const struct {
    const char* name;
    tcflag_t asked, kept;
    const char* ignored;
  } rows[] = {
      {"all kept", CS8, CS8, ""},
      {"7 bits", CS7, CS8, "7 data bits"},
      {"odd parity", CS8 | PARENB | PARODD, CS8, "parity odd"},
      {"7 bits, even parity", CS7 | PARENB, CS8, "7 data bits, parity even"},
      {"mark parity", CS8 | PARENB | PARODD | CMSPAR, CS8, "parity mark"},
      {"kept 7E", CS7 | PARENB, CS7 | PARENB, ""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    termios asked{}, kept{};
    asked.c_cflag = r.asked | CRTSCTS | CSTOPB;
    kept.c_cflag = r.kept | CLOCAL;
    EXPECT_EQ(IgnoredFormat(asked, kept), r.ignored);
    const termios t = WithKeptFormat(asked, kept);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR), r.kept);
    EXPECT_EQ(t.c_cflag & (CRTSCTS | CSTOPB | CLOCAL), CRTSCTS | CSTOPB) << "the rest as asked";
  }
}

}  // namespace
}  // namespace talmo
