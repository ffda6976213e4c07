// `talmocli respond --modbus rtu` as a real master meets it: Debian's
// mbpoll on one end of a null-modem cable of pseudo-terminals, and on the
// other end our slave, then a pymodbus slave with the same register map.
// Every case gives the same answers from both.

#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/cli_child.h"
#include "support/pty_pair.h"
#include "support/temp_dir.h"

namespace talmo {
namespace {

using namespace std::chrono_literals;
using test::TChild;
using test::TChildOutput;
using test::TPtyPair;
using test::TTempDir;

// Two pseudo-terminals whose far ends are joined: a null-modem cable.
class TNullModem {
 public:
  TNullModem() {
    EXPECT_TRUE(A.Open());
    EXPECT_TRUE(B.Open());
    FThread = std::thread([this] {
      while (!FStop) {
        pollfd p[2] = {{A.Master, POLLIN, 0}, {B.Master, POLLIN, 0}};
        if (::poll(p, 2, 20) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
          if (!(p[i].revents & POLLIN)) continue;
          char buf[4096];
          const ssize_t n = ::read(p[i].fd, buf, sizeof buf);
          if (n > 0) (void)!::write(i == 0 ? B.Master : A.Master, buf, static_cast<size_t>(n));
        }
      }
    });
  }
  ~TNullModem() {
    FStop = true;
    FThread.join();
  }
  TPtyPair A, B;

 private:
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

const char kMap[] =
    "unit 1\n"
    "coil 0-15 = 0\n"
    "coil 3 = 1\n"
    "discrete 0-7 = 1\n"
    "holding 0-9 = 0\n"
    "holding 0 = 42\n"
    "holding 1 = 0x1234\n"
    "input 0-3 = 7\n";

// The same map for pymodbus 3.0.
const char kPymodbusSlave[] =
    "import sys\n"
    "from pymodbus.server import StartSerialServer\n"
    "from pymodbus.transaction import ModbusRtuFramer\n"
    "from pymodbus.datastore import ModbusSlaveContext, ModbusServerContext, "
    "ModbusSequentialDataBlock as B\n"
    "coils = [0] * 16; coils[3] = 1\n"
    "store = ModbusSlaveContext(co=B(0, coils), di=B(0, [1] * 8), hr=B(0, [42, 0x1234] + [0] * "
    "8),\n"
    "                           ir=B(0, [7] * 4), zero_mode=True)\n"
    "StartSerialServer(context=ModbusServerContext(slaves={1: store}, single=False),\n"
    "                  framer=ModbusRtuFramer, port=sys.argv[1], baudrate=9600, timeout=0.005)\n";

// mbpoll's answer lines (the values or the error), without its banner.
std::string Poll(const std::string& device, const std::vector<std::string>& args,
                 const std::string& dir) {
  std::vector<std::string> all = {"-m", "rtu", "-b", "9600", "-P", "none", "-a", "1", "-1"};
  // A write ends with its value, which goes after the device.
  const bool write = args.size() % 2 == 1;
  all.insert(all.end(), args.begin(), args.end() - (write ? 1 : 0));
  all.push_back(device);
  if (write) all.push_back(args.back());
  TChildOutput o;
  o.MergeErr = true;
  o.SearchPath = true;
  TChild poll("mbpoll", all, dir, o);
  EXPECT_EQ(poll.Wait(10s) < 0, false);
  std::string lines;
  std::size_t from = 0;
  while (from < poll.OutText.size()) {
    std::size_t nl = poll.OutText.find('\n', from);
    if (nl == std::string::npos) nl = poll.OutText.size();
    const std::string line = poll.OutText.substr(from, nl - from);
    if (!line.empty() && (line[0] == '[' || line.find("failed") != std::string::npos ||
                          line.find("Written") != std::string::npos))
      lines += line + "\n";
    from = nl + 1;
  }
  return lines;
}

TEST(ModbusSlaveCli, AMasterGetsTheSameAnswersFromOurSlaveAndFromPymodbus) {
  if (::access("/usr/bin/mbpoll", X_OK) != 0) GTEST_SKIP() << "mbpoll is not installed";
  TTempDir dir("talmo-mbslave");
  test::WriteFile(dir / "map", kMap);
  test::WriteFile(dir / "slave.py", kPymodbusSlave);
  const struct {
    const char* Name;
    std::vector<std::string> Args;
    const char* Holds;  // in our slave's answer too
  } kCases[] = {
      {"read holding registers", {"-t", "4", "-r", "1", "-c", "4"}, "[2]: \t4660"},
      {"read coils", {"-t", "0", "-r", "1", "-c", "8"}, "[4]: \t1"},
      {"read discrete inputs", {"-t", "1", "-r", "1", "-c", "8"}, "[8]: \t1"},
      {"read input registers", {"-t", "3", "-r", "1", "-c", "2"}, "[2]: \t7"},
      {"write a register", {"-t", "4", "-r", "3", "777"}, "Written 1 references"},
      {"and read it back", {"-t", "4", "-r", "1", "-c", "4"}, "[3]: \t777"},
      {"write a coil", {"-t", "0", "-r", "5", "1"}, "Written 1 references"},
      {"and read it back", {"-t", "0", "-r", "1", "-c", "8"}, "[5]: \t1"},
      {"an illegal address", {"-t", "4", "-r", "100", "-c", "2"}, "Illegal data address"},
  };
  std::vector<std::string> ours, theirs;
  for (int slave = 0; slave < 2; ++slave) {
    TNullModem cable;
    std::unique_ptr<TChild> child;
    if (slave == 0) {
      child = std::make_unique<TChild>(
          TALMOCLI_PATH,
          std::vector<std::string>{"respond", "--device", cable.A.Path, "--baud", "9600",
                                   "--modbus", "rtu", "--map", dir / "map", "--hex"},
          dir.Path());
      ASSERT_TRUE(child->WaitErrLine("answering on")) << child->ErrText;
    } else {
      TChildOutput o;
      o.SearchPath = true;
      child = std::make_unique<TChild>("/usr/bin/python3",
                                       std::vector<std::string>{dir / "slave.py", cable.A.Path},
                                       dir.Path(), o);
      std::this_thread::sleep_for(1500ms);  // its start-up says nothing
    }
    for (const auto& c : kCases)
      (slave == 0 ? ours : theirs).push_back(Poll(cable.B.Path, c.Args, dir.Path()));
    ::kill(child->Pid, SIGTERM);
    child->Wait(5s);
    if (slave == 0) {
      EXPECT_NE(child->OutText.find("exception 2 (illegal data address)"), std::string::npos)
          << child->OutText;
    }
  }
  for (std::size_t i = 0; i < std::size(kCases); ++i) {
    EXPECT_NE(ours[i].find(kCases[i].Holds), std::string::npos)
        << kCases[i].Name << ": " << ours[i];
    EXPECT_EQ(ours[i], theirs[i]) << kCases[i].Name;
  }
}

}  // namespace
}  // namespace talmo
