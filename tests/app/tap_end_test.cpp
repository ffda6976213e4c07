// How a tap's run ends, on a clock the test moves: what the tap has read
// from either side reaches the other while that side takes it, and what
// it could not deliver is said, exit 1.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "app/cli_args.h"
#include "app/tap_command.h"
#include "support/manual_clock.h"
#include "support/pty_pair.h"
#include "support/read_until.h"
#include "support/temp_dir.h"

namespace talmo {
namespace {

using namespace std::chrono_literals;
using test::TManualClock;

std::string Pattern(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + seed) & 0xFF);
  return s;
}

// Writes all of `data` to a non-blocking descriptor within 5 s; how much went.
std::size_t WriteAll(int fd, const std::string& data) {
  std::size_t done = 0;
  for (int i = 0; i < 5000 && done < data.size(); ++i) {
    const ssize_t w = ::write(fd, data.data() + done, data.size() - done);
    if (w > 0)
      done += static_cast<std::size_t>(w);
    else
      std::this_thread::sleep_for(1ms);
  }
  return done;
}

void ReadSome(int fd, std::string& into, std::size_t most) {
  char buf[4096];
  const ssize_t n = ::read(fd, buf, std::min(most, sizeof buf));
  if (n > 0) into.append(buf, static_cast<std::size_t>(n));
}

enum class TEnd { Stop, DeviceLost };

struct TEndRow {
  const char* Name;
  TEnd End;
  std::size_t FromDevice, FromProgram;
  bool ProgramReads, DeviceReads;
  int Exit;
  const char* Said;  // a part of standard error; "" for nothing said
};

TEST(TapEnd, WhatTheTapHoldsIsDeliveredOrTold) {
  const TEndRow rows[] = {
      // The program reads slowly: it gets every byte the tap took, after the end.
      {"stop, the program reads slowly", TEnd::Stop, 40000, 0, true, true, kExitOk, ""},
      {"device lost, the program reads slowly", TEnd::DeviceLost, 40000, 0, true, false,
       kExitFailure, "no longer available"},
      // Nobody takes them: waited for only while something moves.
      {"stop, the program does not read", TEnd::Stop, 40000, 0, false, true, kExitFailure,
       "bytes from the device did not reach the program: it did not read them"},
      {"stop, the device does not read", TEnd::Stop, 0, 60000, true, false, kExitFailure,
       "bytes from the program did not go out to"},
      {"stop, both ways, both read", TEnd::Stop, 30000, 30000, true, true, kExitOk, ""},
  };
  for (const TEndRow& row : rows) {
    SCOPED_TRACE(row.Name);
    test::TTempDir dir("talmo-tap-end");
    test::TPtyPair device;
    ASSERT_TRUE(device.Open());
    const std::string link = dir / "link", capture = dir / "cap.log";
    int outPipe[2], errPipe[2];
    ASSERT_EQ(::pipe(outPipe), 0);
    ASSERT_EQ(::pipe2(errPipe, O_NONBLOCK), 0);
    TManualClock clock;
    const TMonitorClock tapClock = clock.Clock();
    TMonitorStop stop;
    std::atomic<int> code{-1};
    std::thread run([&] {
      std::FILE* out = ::fdopen(outPipe[1], "w");
      std::FILE* err = ::fdopen(errPipe[1], "w");
      std::setvbuf(err, nullptr, _IONBF, 0);
      code = RunTap({"--device", device.Path, "--baud", "115200", "--link", link, "--quiet",
                     "--capture", capture},
                    out, err, &stop, tapClock);
      std::fclose(out);
      std::fclose(err);
    });
    std::string err;
    ASSERT_TRUE(test::ReadUntil(
        errPipe[0], err, [](const std::string& s) { return s.find("Ctrl+C") != s.npos; }, 5s))
        << err;
    const int program = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(program, 0);

    const std::string fromDevice = Pattern(row.FromDevice, 1);
    const std::string fromProgram = Pattern(row.FromProgram, 2);
    ASSERT_EQ(WriteAll(device.Master, fromDevice), fromDevice.size());
    // As much as the tap and the pty take while the device reads nothing.
    const std::size_t programSent = WriteAll(program, fromProgram);
    // Every byte from the device read (and captured) by the tap before the end.
    struct stat st {};
    for (int i = 0; i < 5000; ++i) {
      if (::stat(capture.c_str(), &st) == 0 &&
          static_cast<std::size_t>(st.st_size) == row.FromDevice)
        break;
      std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(static_cast<std::size_t>(st.st_size), row.FromDevice);

    if (row.End == TEnd::Stop)
      stop.Request();
    else
      device.Close();
    std::string atProgram, atDevice;
    for (int i = 0; i < 20000 && code == -1; ++i) {
      if (row.ProgramReads) ReadSome(program, atProgram, 700);
      if (row.DeviceReads && device.Master >= 0) ReadSome(device.Master, atDevice, 700);
      clock.Advance(20ms);
      std::this_thread::sleep_for(200us);
    }
    run.join();
    test::ReadUntil(
        errPipe[0], err, [](const std::string&) { return false; }, 50ms);
    if (row.ProgramReads) ReadSome(program, atProgram, 4096);
    ::close(program);
    ::close(outPipe[0]);
    ::close(errPipe[0]);

    EXPECT_EQ(code, row.Exit) << err;
    if (row.ProgramReads) {
      EXPECT_TRUE(atProgram == fromDevice) << atProgram.size();
    }
    if (row.DeviceReads) {
      if (device.Master >= 0) ReadSome(device.Master, atDevice, 4096);
      // What the program wrote and the tap never took stays in the pty; all
      // the tap took (at least its port's queue) goes out, in order.
      EXPECT_TRUE(atDevice == fromProgram.substr(0, atDevice.size())) << atDevice.size();
      EXPECT_GE(atDevice.size(), std::min<std::size_t>(programSent, 16 * 1024));
    }
    if (*row.Said) {
      EXPECT_NE(err.find(row.Said), std::string::npos) << err;
    }
    if (row.Exit == kExitOk) {
      EXPECT_EQ(err.find("did not"), std::string::npos) << err;
    }
  }
}

}  // namespace
}  // namespace talmo
