// Large settings files are read in linear work: a value continued over
// thousands of lines, and a port list of a hundred thousand entries.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>

#include "ports/port_list.h"
#include "settings/registry.h"
#include "support/settings_file.h"
#include "support/temp_dir.h"

// Every byte this program asks of operator new, so a test can count the
// copying a parse does.
namespace {
std::atomic<std::size_t> gAllocated{0};
}

void* operator new(std::size_t size) {
  gAllocated.fetch_add(size, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace talmo {
namespace {

using test::TTempDir;
using test::WriteFile;

const std::string kHeader = test::kSettingsHeader;

// "name"=hex:... with `lines` continuation lines of 25 bytes each.
std::string ContinuedValue(const std::string& name, int lines) {
  std::string text = "\"" + name + "\"=hex:01,\\\n";
  for (int i = 0; i < lines; ++i) {
    text += "  ";
    for (int b = 0; b < 25; ++b) text += "ab,";
    text += "\\\n";
  }
  return text + "  02\n";
}

TEST(SettingsScale, AValueContinuedOverManyLinesIsReadWithoutRecopyingIt) {
  TTempDir dir;
  const int lines = 8000;  // about 640 KB
  const std::string text = std::string(kHeader) +
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkerstam\\TALMO]\n" +
                           ContinuedValue("BIG", lines) + "\"AFTER\"=dword:00000007\n";
  WriteFile(dir / "TALMO.reg", text);

  const std::size_t before = gAllocated.load();
  TRegistry key(TRegistryStore::ForFile(dir / "TALMO.reg"));
  const std::size_t used = gAllocated.load() - before;
  // The file's text, its lines, the joined value and its bytes: a small
  // multiple of the file. Re-copying the joined text at each line costs
  // thousands of times the file.
  EXPECT_LT(used, 16 * text.size()) << used << " bytes allocated for a file of " << text.size();

  ASSERT_FALSE(key.TakeStoreWarning().has_value());
  ASSERT_TRUE(key.OpenKey("SOFTWARE\\Velkerstam\\TALMO", false));
  std::string data(2 + 25 * static_cast<std::size_t>(lines), '\0');
  ASSERT_EQ(key.ReadBinaryData("BIG", data.data(), static_cast<int>(data.size())),
            static_cast<int>(data.size()));
  EXPECT_EQ(data.front(), '\x01');
  EXPECT_EQ(data[1], '\xab');
  EXPECT_EQ(data.back(), '\x02');
  EXPECT_EQ(key.ReadInteger("AFTER"), 7);
}

// A hundred thousand user entries, one of them for a detected device and
// some naming a port twice. Quadratic work here takes many minutes (the
// test's time-out stops it); linear work takes well under a second.
TEST(SettingsScale, AHundredThousandPortEntriesAreListed) {
  TTempDir dir;
  const int count = 100000;
  std::string text =
      std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n";
  for (int i = 0; i < count; ++i)
    text += "\"/dev/ttyX" + std::to_string(i) + "\"=\"COM" + std::to_string(200 + i) + "\"\n";
  text += "\"" + (dir / "dev/ttyXR0") + "\"=\"COM5\"\n";  // the detected device below
  text += "\"/dev/twice\"=\"com200\"\n";                  // COM200 is /dev/ttyX0's
  WriteFile(dir / "TALMO.reg", text);
  // A fake sysfs with one device that has a driver.
  const std::string tty = dir / "sys/class/tty/ttyXR0";
  std::filesystem::create_directories(dir / "sys/devices/soc/ttyXR0/driver");
  std::filesystem::create_directories(tty);
  std::filesystem::create_directory_symlink(dir / "sys/devices/soc/ttyXR0", tty + "/device");
  std::filesystem::create_directories(dir / "dev");

  const TPortList list = TPortList::Build(TRegistryStore::ForFile(dir / "TALMO.reg"),
                                          {dir / "sys/class/tty", dir / "noconsole", dir / "dev"},
                                          LoopbackPortEntry("/run/talmo-loop"));
  ASSERT_EQ(list.Entries().size(), static_cast<std::size_t>(count) + 2);
  EXPECT_EQ(list.Entries().front().Name, "COM200");
  EXPECT_EQ(list.Entries()[count - 1].Name, "COM" + std::to_string(200 + count - 1));
  EXPECT_EQ(list.Entries()[count].Name, "COM5");
  EXPECT_EQ(list.Entries()[count].Description, "Serial device ttyXR0 (named in the settings file)");
  EXPECT_EQ(list.Entries().back().Name, "COM99");
  ASSERT_EQ(list.Problems().size(), 1u);
  EXPECT_NE(list.Problems()[0].find("names com200 again (/dev/ttyX0 has it)"), std::string::npos)
      << list.Problems()[0];
  EXPECT_EQ(*list.DevicePathFor("COM50000"), "/dev/ttyX49800");
}

}  // namespace
}  // namespace talmo
