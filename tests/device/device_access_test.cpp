// The hint for a device the user may not open: read from the device's
// group and permissions, and given by the POSIX driver only for a refusal.

#include "device/device_access.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <optional>

#include "device/device_driver.h"
#include "support/temp_dir.h"

namespace talmo {
namespace {

std::string Me() {
  const passwd* p = getpwuid(geteuid());
  return p ? p->pw_name : std::to_string(geteuid());
}

// A group that has a name and that this process is not in; nullopt where
// there is none to take (the test then skips).
std::optional<gid_t> ForeignNamedGroup() {
  const group* g = getgrnam("dialout");
  if (!g || g->gr_gid == getegid()) return std::nullopt;
  gid_t mine[256];
  const int n = getgroups(256, mine);
  for (int i = 0; i < n; ++i)
    if (mine[i] == g->gr_gid) return std::nullopt;
  return g->gr_gid;
}

TEST(DeviceAccess, HintFollowsTheDevicesGroupAndPermissions) {
  const auto dialout = ForeignNamedGroup();
  gid_t unnamed = 54321;
  while (getgrgid(unnamed)) ++unnamed;
  if (!dialout || geteuid() != 0)
    GTEST_SKIP() << "needs root and a group 'dialout' that the test is not in";
  test::TTempDir dir;
  const std::string dev = dir / "ttyUSB0";
  std::ofstream(dev) << "";
  const std::string join = "To open " + dev +
                           " you must be in its group 'dialout': add yourself "
                           "(sudo usermod -aG dialout $USER) and log in again.";
  struct Case {
    const char* name;
    mode_t mode;
    gid_t gid;
    std::string hint;
  } cases[] = {
      {"group may read and write: join it", 0660, *dialout, join},
      {"group with write and more", 0666 & ~0004, *dialout, join},
      {"a group without a name goes by its number", 0660, unnamed,
       "To open " + dev + " you must be in its group '" + std::to_string(unnamed) +
           "': add yourself (sudo usermod -aG " + std::to_string(unnamed) +
           " $USER) and log in again."},
      {"already in the group: the group is not the cause", 0660, getegid(), ""},
      {"only the owner may", 0600, *dialout,
       "Only its owner '" + Me() + "' may open " + dev + " (permissions 0600)."},
      {"the group may only read", 0640, *dialout,
       "Only its owner '" + Me() + "' may open " + dev + " (permissions 0640)."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(::chown(dev.c_str(), geteuid(), c.gid), 0);
    ASSERT_EQ(::chmod(dev.c_str(), c.mode), 0);
    EXPECT_EQ(DeviceAccessHint(dev), c.hint);
  }
  EXPECT_EQ(DeviceAccessHint(dir / "missing"), "");
}

TEST(DeviceAccess, DriverHintsOnlyAtARefusal) {
  const auto dialout = ForeignNamedGroup();
  if (!dialout || geteuid() != 0)
    GTEST_SKIP() << "needs root and a group 'dialout' that the test is not in";
  test::TTempDir dir;
  const std::string dev = dir / "ttyACM0";
  std::ofstream(dev) << "";
  ASSERT_EQ(::chown(dev.c_str(), geteuid(), *dialout), 0);
  ASSERT_EQ(::chmod(dev.c_str(), 0660), 0);
  TSerDeviceDriver driver(
      [dev](const std::string& name) { return name == "\\\\.\\COM66" ? dev : std::string(); });
  const struct {
    std::string name;
    int error;
    bool hint;
  } cases[] = {
      {"\\\\.\\COM66", EACCES, true},  {dev, EACCES, true},
      {"\\\\.\\COM66", EPERM, true},   {"\\\\.\\COM66", EBUSY, false},
      {"\\\\.\\COM66", ENOENT, false}, {"\\\\.\\COM7", EACCES, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + " " + std::to_string(c.error));
    const std::string hint = driver.OpenHint(c.name, c.error);
    EXPECT_EQ(hint.find("group 'dialout'") != std::string::npos, c.hint) << hint;
  }
}

}  // namespace
}  // namespace talmo
