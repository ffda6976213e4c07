// The time an open of a remote port takes over links of growing delay:
// ser2net serving a pseudo-terminal, reached through a proxy of our own on
// 127.0.0.1 that holds each direction 0, 50 and 250 ms. Each open is the
// port component's whole Open at 9600 baud (connect, option negotiation,
// empty start, settings and their answers); the rate is read back on the
// served device, so a figure is only printed for an open that set it.
//
// Output, one line per delay:
//   open 50 ms each way: median 376 ms, max 380 ms, 5 opens, rate set
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/device_driver.h"
#include "device/termios2_rate.h"
#include "serial/ser_comm.h"
#include "support/delay_proxy.h"
#include "support/ser2net_kit.h"

using namespace talmo;
using Clock = std::chrono::steady_clock;

int main() {
  test::TSer2net server;
  std::string why;
  if (!server.Start(why)) {
    std::printf("remote open bench skipped: %s\n", why.c_str());
    return 0;
  }
  constexpr int kOpens = 5;
  for (const int delayMs : {0, 50, 250}) {
    test::TDelayProxy proxy(server.Port, std::chrono::milliseconds(delayMs));
    std::vector<double> ms;
    bool rateSet = true;
    for (int i = 0; i < kOpens; ++i) {
      TSerQueueSync sync;
      TSerComm comm(std::make_shared<TSerDeviceDriver>(), sync);
      comm.SetDeviceName(proxy.Url());
      comm.SetBaudrate(i % 2 ? br9600 : br19200);
      const auto start = Clock::now();
      try {
        comm.Open();
      } catch (const std::exception& e) {
        std::printf("open %d ms each way: failed: %s\n", delayMs, e.what());
        rateSet = false;
        break;
      }
      ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      std::uint32_t in = 0, out = 0;
      GetRates(server.Slave, in, out);
      rateSet = rateSet && out == (i % 2 ? 9600u : 19200u);
      comm.Close();
      // The server serves one client at a time: let it see this one go.
      std::this_thread::sleep_for(std::chrono::milliseconds(2 * delayMs + 100));
    }
    if (ms.empty()) continue;
    std::sort(ms.begin(), ms.end());
    std::printf("open %d ms each way: median %.0f ms, max %.0f ms, %zu opens, %s\n", delayMs,
                ms[ms.size() / 2], ms.back(), ms.size(), rateSet ? "rate set" : "RATE NOT SET");
    std::fflush(stdout);
  }
  return 0;
}
