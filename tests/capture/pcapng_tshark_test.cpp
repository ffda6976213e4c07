// Wireshark reads our timed captures: tshark (Debian package `tshark`, which
// tools/setup.sh installs; never skipped) reads a capture that TCaptureFile
// wrote and shows every packet's time, event, control lines and bytes, and
// Modbus RTU frames in it decode as Modbus.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "base/control_lines.h"
#include "capture/capture_file.h"
#include "support/cli_child.h"
#include "support/temp_dir.h"

namespace talmo {
namespace {

using pcapng::TDirection;
using pcapng::TEvent;

struct TRunResult {
  int Status = -1;  // exit status; 127: the program is not there
  std::string Out, Err;
};

// Runs tshark with `args`, its personal configuration in `home` (never the
// user's), and collects what it writes.
TRunResult RunTshark(const std::string& home, const std::vector<std::string>& args) {
  test::TChildOutput o;
  o.File = home + "/tshark.out";
  o.ErrFile = home + "/tshark.err";
  o.Env = {{"HOME", home}, {"LC_ALL", "C"}};
  o.SearchPath = true;
  test::TChild tshark("tshark", args, home + "/.config", o);
  TRunResult r;
  r.Status = tshark.Wait(std::chrono::seconds(60));
  r.Out = test::ReadFile(o.File);
  r.Err = test::ReadFile(o.ErrFile);
  return r;
}

std::vector<std::vector<std::string>> Rows(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::size_t at = 0;
    for (;;) {
      const std::size_t tab = line.find('\t', at);
      fields.push_back(line.substr(at, tab == std::string::npos ? std::string::npos : tab - at));
      if (tab == std::string::npos) break;
      at = tab + 1;
    }
    rows.push_back(fields);
  }
  return rows;
}

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (unsigned char c : bytes) {
    s += kDigits[c >> 4];
    s += kDigits[c & 15];
  }
  return s;
}

// frame.time_epoch ("1700000000.123456789") in nanoseconds.
std::int64_t EpochNs(const std::string& text) {
  const std::size_t dot = text.find('.');
  std::string fraction = dot == std::string::npos ? "" : text.substr(dot + 1);
  fraction.resize(9, '0');
  return std::stoll(text.substr(0, dot)) * 1000000000 + std::stoll(fraction);
}

struct TSent {
  std::int64_t TimeNs;
  TEvent Event;
  std::uint8_t Lines;
  TDirection Direction;
  std::string Bytes;
  std::string Comment;
};

class TsharkTest : public ::testing::Test {
 protected:
  test::TTempDir FTemp{"talmo-tshark"};

  // A timed capture of `packets`, written as the session writes one.
  std::string Capture(const std::vector<TSent>& packets) {
    const std::string path = FTemp / "capture.pcapng";
    TCaptureFile c;
    c.StartExact(path, {"COM5", "/dev/ttyUSB0 19200 8N1"});
    for (const TSent& s : packets) {
      pcapng::TPacket p;
      p.TimeNs = s.TimeNs;
      p.Event = s.Event;
      p.Lines = s.Lines;
      p.Direction = s.Direction;
      p.Data = reinterpret_cast<const std::uint8_t*>(s.Bytes.data());
      p.Size = s.Bytes.size();
      p.Comment = s.Comment;
      EXPECT_TRUE(c.Record(p)) << c.WriteError();
    }
    c.Stop();
    return path;
  }

  TRunResult Tshark(const std::vector<std::string>& args) {
    TRunResult r = RunTshark(FTemp.Path(), args);
    EXPECT_NE(r.Status, 127) << "tshark is not installed (tools/setup.sh installs the Debian "
                                "package tshark)";
    EXPECT_EQ(r.Status, 0) << r.Err;
    return r;
  }
};

TEST_F(TsharkTest, ReadsEveryPacketsTimeEventLinesAndBytes) {
  std::string every(256, '\0');
  for (int i = 0; i < 256; ++i) every[i] = static_cast<char>(i);
  const std::vector<TSent> sent = {
      {1700000000123456789, TEvent::RxData, 0, TDirection::In, "hello", ""},
      {1700000000123457000, TEvent::TxData, kLineRts | kLineDtr, TDirection::Out,
       std::string("\x00\xFF\x01", 3), "sent"},
      {1700000001000000999, TEvent::Status, kLineCts | kLineDcd | kLineDsr | kLineRing,
       TDirection::Unknown, "", std::string(pcapng::kFrameClockComment)},
      {1700000002000001000, TEvent::Framing, 0, TDirection::In, "\x7F", ""},
      {1700000002500000000, TEvent::Break, 0, TDirection::In, "", ""},
      {1700000003000000000, TEvent::Overrun, 0, TDirection::In, "", ""},
      {1700000004999999999, TEvent::RxData, 0, TDirection::In, every, ""},
      // Over Wireshark's 262144 bytes a packet: written as two.
      {1700000005000000000, TEvent::RxData, 0, TDirection::In, std::string(300000, 'Z'), ""},
  };
  const std::string path = Capture(sent);
  const TRunResult r = Tshark({"-r", path,
                               "-T", "fields",
                               "-E", "occurrence=f",
                               "-e", "frame.time_epoch",
                               "-e", "rtacser.eventtype",
                               "-e", "data.data",
                               "-e", "rtacser.cts",
                               "-e", "rtacser.dcd",
                               "-e", "rtacser.dsr",
                               "-e", "rtacser.rts",
                               "-e", "rtacser.dtr",
                               "-e", "rtacser.ring",
                               "-e", "frame.comment",
                               "-e", "frame.interface_name"});
  const auto rows = Rows(r.Out);
  ASSERT_EQ(rows.size(), sent.size() + 1) << r.Out << r.Err;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE("packet " + std::to_string(i));
    const TSent& s = sent[std::min(i, sent.size() - 1)];
    const auto& f = rows[i];
    ASSERT_EQ(f.size(), 11u);
    EXPECT_EQ(EpochNs(f[0]) / 1000, s.TimeNs / 1000) << f[0];
    char event[8];
    std::snprintf(event, sizeof event, "0x%02x", static_cast<unsigned>(s.Event));
    EXPECT_EQ(f[1], event);
    if (i + 2 < rows.size())
      EXPECT_EQ(f[2], Hex(s.Bytes));
    else
      EXPECT_EQ(f[2], Hex(std::string(i + 2 == rows.size() ? pcapng::kMaxPacketData
                                                           : 300000 - pcapng::kMaxPacketData,
                                      'Z')));
    const std::uint8_t bits[] = {kLineCts, kLineDcd, kLineDsr, kLineRts, kLineDtr, kLineRing};
    for (int b = 0; b < 6; ++b)
      EXPECT_EQ(f[3 + b], (s.Lines & bits[b]) ? "1" : "0") << "line " << b;
    EXPECT_EQ(f[9], i < sent.size() ? s.Comment : "");
    EXPECT_EQ(f[10], "COM5");
  }
}

// Modbus CRC-16 (polynomial 0xA001, low byte first).
std::string WithCrc(std::string frame) {
  std::uint16_t crc = 0xFFFF;
  for (unsigned char c : frame) {
    crc ^= c;
    for (int i = 0; i < 8; ++i) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  frame += static_cast<char>(crc & 0xFF);
  frame += static_cast<char>(crc >> 8);
  return frame;
}

TEST_F(TsharkTest, ModbusRtuFramesDecodeAsModbus) {
  const std::string request("\x01\x03\x00\x00\x00\x0A\xC5\xCD", 8);
  ASSERT_EQ(WithCrc(request.substr(0, 6)), request) << "the CRC of the request as known";
  std::string registers = "\x01\x03\x14";
  for (int i = 1; i <= 20; ++i) registers += static_cast<char>(i);
  const std::string response = WithCrc(registers);
  const std::string path =
      Capture({{1700000000000000000, TEvent::TxData, 0, TDirection::Out, request, ""},
               {1700000000020000000, TEvent::RxData, 0, TDirection::In, response, ""}});

  const TRunResult fields =
      Tshark({"-r", path, "-d", "rtacser.data,mbrtu", "-T", "fields", "-e", "mbrtu.unit_id", "-e",
              "modbus.func_code", "-e", "modbus.reference_num", "-e", "modbus.word_cnt"});
  const auto rows = Rows(fields.Out);
  ASSERT_EQ(rows.size(), 2u) << fields.Out << fields.Err;
  EXPECT_EQ(rows[0], (std::vector<std::string>{"1", "3", "0", "10"}));
  ASSERT_GE(rows[1].size(), 2u);
  EXPECT_EQ(rows[1][0], "1");
  EXPECT_EQ(rows[1][1], "3");

  const TRunResult summary = Tshark({"-r", path, "-d", "rtacser.data,mbrtu"});
  const auto lines = Rows(summary.Out);
  ASSERT_EQ(lines.size(), 2u) << summary.Out;
  for (const auto& line : lines) {
    EXPECT_NE(line[0].find("Modbus RTU"), std::string::npos) << line[0];
    EXPECT_NE(line[0].find("Read Holding Registers"), std::string::npos) << line[0];
  }
  EXPECT_NE(lines[0][0].find("Query"), std::string::npos) << lines[0][0];
  EXPECT_NE(lines[1][0].find("Response"), std::string::npos) << lines[1][0];
}

}  // namespace
}  // namespace talmo
