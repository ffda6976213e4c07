// Where the settings file lives: the per-user configuration folder, which
// XDG_CONFIG_HOME moves, and the default key object that writes there.

#include <gtest/gtest.h>

#include <cstdlib>

#include "settings/registry.h"
#include "support/settings_file.h"
#include "support/temp_dir.h"

namespace talmo {
namespace {

TEST(SettingsPath, FollowsXdgConfigHome) {
  test::TTempDir dir;
  ASSERT_EQ(::setenv("XDG_CONFIG_HOME", dir.Path().c_str(), 1), 0);
  EXPECT_EQ(SettingsFilePath(), dir.Path() + "/Velkerstam/TALMO.reg");
}

TEST(SettingsPath, WithoutXdgConfigHomeIsBelowHome) {
  test::TTempDir dir;
  ASSERT_EQ(::unsetenv("XDG_CONFIG_HOME"), 0);
  ASSERT_EQ(::setenv("HOME", dir.Path().c_str(), 1), 0);
  EXPECT_EQ(SettingsFilePath(), dir.Path() + "/.config/Velkerstam/TALMO.reg");
}

TEST(SettingsPath, TheDefaultKeyObjectCreatesTheFolderAndTheFile) {
  test::TTempDir dir;
  ASSERT_EQ(::setenv("XDG_CONFIG_HOME", (dir / "cfg").c_str(), 1), 0);
  {
    TRegistry key;
    ASSERT_TRUE(key.OpenKey("SOFTWARE\\Velkerstam\\TALMO", true));
    key.WriteInteger("REGBAUD", 6);
  }
  EXPECT_EQ(test::ReadFile(dir / "cfg/Velkerstam/TALMO.reg"),
            test::kSettingsHeader + test::kTalmoKey + "\"REGBAUD\"=dword:00000006\n\n");
}

}  // namespace
}  // namespace talmo
