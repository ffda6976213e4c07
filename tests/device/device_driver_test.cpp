// The driver picks the backend by the device name: a remote name goes to the
// RFC 2217 backend, a path to termios, anything else through the resolver
// first. Which backend answered shows in the code it gives back for a name
// it cannot open (a malformed remote name: EINVAL; a missing path: ENOENT;
// a closed TCP port: ECONNREFUSED).

#include "device/device_driver.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "support/pty_pair.h"

namespace talmo {
namespace {

TEST(DeviceDriver, PicksTheBackendByTheName) {
  std::vector<std::string> asked;
  TSerDeviceDriver driver([&asked](const std::string& name) {
    asked.push_back(name);
    if (name == "COM20") return std::string("rfc2217://127.0.0.1:1");
    if (name == "COM21") return std::string("RFC2217://no-port");
    if (name == "COM5") return std::string("/nonexistent/ttyUSB0");
    return std::string();
  });
  const struct {
    const char* name;
    int error;
    bool resolved;  // the resolver was asked
  } cases[] = {
      {"rfc2217://", EINVAL, false},
      {"RFC2217://lab-pi", EINVAL, false},
      {"rfc2217://127.0.0.1:1", ECONNREFUSED, false},
      {"/nonexistent/ttyUSB0", ENOENT, false},
      {"COM20", ECONNREFUSED, true},
      {"COM21", EINVAL, true},
      {"COM5", ENOENT, true},
      {"\\\\.\\COM9", ENOENT, true},
      {"", ENOENT, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    asked.clear();
    int error = -1;
    EXPECT_EQ(driver.Open(c.name, error), nullptr);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(asked.size(), c.resolved ? 1u : 0u);
  }
}

TEST(DeviceDriver, WithoutAResolverOnlyDeviceNamesOpen) {
  test::TPtyPair pty;
  ASSERT_TRUE(pty.Open());
  TSerDeviceDriver driver;
  int error = -1;
  auto device = driver.Open(pty.Path, error);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(error, 0);
  device->Close();
  EXPECT_EQ(driver.Open("COM1", error), nullptr);
  EXPECT_EQ(error, ENOENT);
}

TEST(DeviceDriver, ThroughTheResolverALocalPathOpensWithTermios) {
  test::TPtyPair pty;
  ASSERT_TRUE(pty.Open());
  TSerDeviceDriver driver([&pty](const std::string&) { return pty.Path; });
  int error = -1;
  auto device = driver.Open("\\\\.\\COM3", error);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(error, 0);
  TSerDCB dcb;
  dcb.BaudRate = 9600;
  dcb.ByteSize = 8;
  EXPECT_EQ(device->SetState(dcb), 0);
}

// A remote port's refusal is the server's: no group to join is offered, and
// no hint for codes other than a refusal.
TEST(DeviceDriver, NoAccessHintForRemotePortsOrOtherCodes) {
  TSerDeviceDriver driver(
      [](const std::string& name) { return name == "COM20" ? "rfc2217://lab-pi:7000" : ""; });
  const struct {
    const char* name;
    int error;
  } cases[] = {
      {"rfc2217://lab-pi:7000", EACCES},
      {"COM20", EACCES},
      {"COM20", EPERM},
      {"COM7", EACCES},
      {"/dev/ttyUSB0", EBUSY},
      {"/dev/ttyUSB0", ENOENT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.error));
    EXPECT_EQ(driver.OpenHint(c.name, c.error), "");
  }
}

}  // namespace
}  // namespace talmo
