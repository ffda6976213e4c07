// A device the user may not open: the window's pane says why, and after the
// "Open fail" box which group to join.

#include "mainwindow/main_window.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "device/device_driver.h"
#include "mainwindow/radio_group.h"

#include "support/quiet_dialogs.h"
#include "support/temp_dir.h"

namespace talmo {
namespace {

// The quiet boxes, but the message box runs `onMessage` while it is up.
struct RecordingDialogs : test::TQuietDialogs {
  std::function<void(const std::string&)> onMessage;
  void Message(const std::string& t) override { onMessage(t); }
};

// The system's driver, but every open is refused as it is for a user outside
// the device's group (root, who runs the tests, is never refused).
struct RefusingDriver : TSerDeviceDriver {
  using TSerDeviceDriver::TSerDeviceDriver;
  std::unique_ptr<TSerDevice> Open(const std::string&, int& error) override {
    error = EACCES;
    return nullptr;
  }
};

TEST(AccessHint, PaneNamesTheGroupAfterTheBox) {
  const group* dialout = getgrnam("dialout");
  if (!dialout || geteuid() != 0 || getegid() == dialout->gr_gid)
    GTEST_SKIP() << "needs root and a group 'dialout'";
  const test::TTempDir folder("talmo-access");
  const std::string dir = folder.Path(), dev = dir + "/ttyUSB4";
  std::ofstream(dev) << "";
  ASSERT_EQ(::chown(dev.c_str(), 0, dialout->gr_gid), 0);
  ASSERT_EQ(::chmod(dev.c_str(), 0660), 0);

  auto dialogs = std::make_shared<RecordingDialogs>();
  std::unique_ptr<TfoMain> w;
  std::vector<std::string> atTheBox;
  dialogs->onMessage = [&](const std::string& t) {
    EXPECT_EQ(t, "Open fail");
    atTheBox = w->PaneLines();
  };
  TMainEnvironment env;
  env.SettingsPath = dir + "/TALMO.reg";
  env.Dialogs = dialogs;
  env.Delay = [](int) {};
  env.Driver = std::make_shared<RefusingDriver>([dev](const std::string&) { return dev; });
  env.PortList = [dev] { return std::vector<TPortEntry>{{"COM37", dev, ""}}; };
  w = std::make_unique<TfoMain>(env);
  w->FormActivate();
  w->raPort->SetItemIndex(0);
  const std::size_t before = w->PaneLines().size();
  w->buOpenClick();

  const auto pane = w->PaneLines();
  ASSERT_EQ(pane.size(), before + 3);
  EXPECT_EQ(pane[before], "// Try to open COM37");
  EXPECT_EQ(pane[before + 1],
            "// Can't open specified device COM37, " + dev + " (Error 13, Permission denied)");
  EXPECT_EQ(pane[before + 2], "// To open " + dev +
                                  " you must be in its group 'dialout': add yourself "
                                  "(sudo usermod -aG dialout $USER) and log in again.");
  // The box came between the component's message and the hint.
  EXPECT_EQ(atTheBox.size(), before + 2);
  EXPECT_FALSE(w->Comm1().Active());
  EXPECT_TRUE(dialogs->errors.empty());
  w.reset();
}

}  // namespace
}  // namespace talmo
