// The port list over a fake sysfs tree: which devices are listed, their
// stable names, the console left out, user entries first and winning, the
// loopback port last, and the resolution of "\\.\COMn".

#include "ports/port_list.h"
#include "support/settings_file.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"

namespace talmo {
namespace {

namespace fs = std::filesystem;
using test::TTempDir;
using test::WriteFile;

constexpr const char* kLoopPath = "/run/talmo-loop";

// A /sys lookalike: class/tty/<name> entries, their device links and the
// USB devices above them.
class FakeSysfs {
 public:
  explicit FakeSysfs(const TTempDir& dir) : FRoot(dir / "sys") { fs::create_directories(Tty()); }
  std::string Tty() const { return FRoot + "/class/tty"; }
  std::string Console() const { return FRoot + "/class/tty/console/active"; }

  // A tty without a device (virtual terminal, pty master, console).
  void Virtual(const std::string& name) { fs::create_directories(Tty() + "/" + name); }

  // An on-board UART slot; type 0 is a slot where no chip answered.
  void Uart(const std::string& name, int type) {
    const std::string dev = FRoot + "/devices/platform/serial8250/" + name;
    fs::create_directories(dev + "/driver");
    Link(name, dev);
    WriteFile(Tty() + "/" + name + "/type", std::to_string(type) + "\n");
  }

  // A USB serial adapter; empty texts leave the attribute out.
  void Usb(const std::string& name, const std::string& maker, const std::string& product,
           const std::string& serial) {
    const std::string usb = FRoot + "/devices/pci0000:00/usb1/1-" + name;
    const std::string port = usb + "/1-1:1.0/" + name;
    fs::create_directories(port + "/driver");
    WriteFile(usb + "/idVendor", "0403\n");
    if (!maker.empty()) WriteFile(usb + "/manufacturer", maker + "\n");
    if (!product.empty()) WriteFile(usb + "/product", product + "\n");
    if (!serial.empty()) WriteFile(usb + "/serial", serial + "\n");
    Link(name, port);
  }

  // Any other device with a driver (e.g. a board's own UART).
  void Other(const std::string& name) {
    const std::string dev = FRoot + "/devices/platform/soc/" + name;
    fs::create_directories(dev + "/driver");
    Link(name, dev);
  }

  void SetConsole(const std::string& active) {
    fs::create_directories(Tty() + "/console");
    WriteFile(Console(), active + "\n");
  }

  TPortSources Sources() const { return {Tty(), Console(), "/dev"}; }

 private:
  void Link(const std::string& name, const std::string& target) {
    fs::create_directories(Tty() + "/" + name);
    fs::create_directory_symlink(target, Tty() + "/" + name + "/device");
  }
  std::string FRoot;
};

std::vector<std::string> Names(const TPortList& list) {
  std::vector<std::string> out;
  for (const auto& e : list.Entries()) out.push_back(e.Name + "=" + e.Path);
  return out;
}

std::shared_ptr<TRegistryStore> StoreWith(const TTempDir& dir, const std::string& entries) {
  WriteFile(dir / "TALMO.reg", test::kSettingsHeader + test::kPortListKey + entries + "\n");
  return TRegistryStore::ForFile(dir / "TALMO.reg");
}

class PortListTest : public ::testing::Test {
 protected:
  TTempDir FDir;
  FakeSysfs FSys{FDir};
};

TEST_F(PortListTest, DetectedDevicesGetStableNamesAndTheLoopbackComesLast) {
  FSys.SetConsole("tty0 ttyS0");
  for (auto v : {"console", "ptmx", "tty", "tty0", "tty1"}) FSys.Virtual(v);
  FSys.Uart("ttyS0", 4);  // the console
  FSys.Uart("ttyS1", 4);
  FSys.Uart("ttyS2", 0);  // nothing answers there
  FSys.Uart("ttyS31", 4);
  FSys.Usb("ttyUSB0", "FTDI", "FT232R USB UART", "A1B2C3");
  FSys.Usb("ttyUSB3", "", "", "");
  FSys.Usb("ttyACM0", "Arduino", "Uno", "");
  FSys.Other("ttyAMA10");
  FSys.Other("ttyAMA2");
  const TPortList list = TPortList::Build(nullptr, FSys.Sources(), LoopbackPortEntry(kLoopPath));
  EXPECT_EQ(Names(list), (std::vector<std::string>{
                             "COM2=/dev/ttyS1", "COM32=/dev/ttyS31", "COM33=/dev/ttyUSB0",
                             "COM36=/dev/ttyUSB3", "COM65=/dev/ttyACM0", "COM97=/dev/ttyAMA2",
                             "COM98=/dev/ttyAMA10", "COM99=/run/talmo-loop"}));
  struct Tip {
    const char* name;
    const char* description;
    const char* maker;
    const char* serial;
  };
  const Tip tips[] = {
      {"COM2", "Serial port ttyS1", "", ""},
      {"COM33", "FTDI FT232R USB UART, serial number A1B2C3", "FTDI", "A1B2C3"},
      {"COM36", "USB serial device ttyUSB3", "", ""},
      {"COM65", "Arduino Uno", "Arduino", ""},
      {"COM97", "Serial device ttyAMA2", "", ""},
      {"COM99", "Built-in loopback port (sends back every byte)", "", ""},
  };
  for (const Tip& t : tips) {
    SCOPED_TRACE(t.name);
    const TPortEntry* e = list.Find(t.name);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->Description, t.description);
    EXPECT_EQ(e->Manufacturer, t.maker);
    EXPECT_EQ(e->SerialNumber, t.serial);
  }
}

TEST_F(PortListTest, EveryConsoleTtyIsLeftOutWhateverItIs) {
  FSys.Uart("ttyS0", 4);
  FSys.Usb("ttyUSB0", "FTDI", "X", "1");
  FSys.SetConsole("ttyUSB0 ttyS0");
  EXPECT_TRUE(DetectSerialDevices(FSys.Sources()).empty());
  FSys.SetConsole("tty0");
  EXPECT_EQ(DetectSerialDevices(FSys.Sources()).size(), 2u);
}

TEST_F(PortListTest, UserEntriesComeFirstInFileOrderAndWinTheirNames) {
  FSys.Uart("ttyS4", 4);                        // COM5, taken by the user
  FSys.Usb("ttyUSB0", "FTDI", "FT232R", "S1");  // the user's COM10 below
  FSys.Uart("ttyS1", 4);                        // COM2, free
  FSys.Other("ttyXR0");                         // COM97
  auto store = StoreWith(FDir,
                         "\"/dev/serial/by-id/usb-FTDI-if00\"=\"COM5\"\n"
                         "\"/dev/ttyUSB0\"=\"COM10\"\n"
                         "\"ttyX\"=\"COM1\"\n"
                         "\"/dev/ttyZ\"=\"COM99\"\n");
  const TPortList list = TPortList::Build(store, FSys.Sources(), LoopbackPortEntry(kLoopPath));
  EXPECT_EQ(Names(list),
            (std::vector<std::string>{"COM5=/dev/serial/by-id/usb-FTDI-if00", "COM10=/dev/ttyUSB0",
                                      "COM1=/dev/ttyX", "COM99=/dev/ttyZ", "COM2=/dev/ttyS1",
                                      "COM97=/dev/ttyXR0",
                                      "COM98=/dev/ttyS4",  // displaced from COM5
                                      "COM100=/run/talmo-loop"}));
  // The user's name for a detected device carries what sysfs knows of it.
  EXPECT_EQ(list.Find("COM10")->SerialNumber, "S1");
  EXPECT_EQ(list.Find("COM10")->Description,
            "FTDI FT232R, serial number S1 (named in the settings file)");
  EXPECT_EQ(list.Find("COM5")->Description,
            "Named in the settings file: /dev/serial/by-id/usb-FTDI-if00");
  EXPECT_TRUE(list.Problems().empty());
}

TEST_F(PortListTest, UserEntriesThatCannotNameAPortAreLeftOutWithAReason) {
  auto store = StoreWith(FDir,
                         "\"/dev/a\"=\"COM5\"\n"
                         "\"/dev/b\"=dword:00000005\n"
                         "\"/dev/c\"=\"com5\"\n"
                         "\"/dev/d\"=\"\"\n"
                         "@=\"COM7\"\n"
                         "\"/dev/e\"=\"COM6\"\n");
  const TPortList list = TPortList::Build(store, {FDir / "nosys", FDir / "noconsole", "/dev"}, {});
  EXPECT_EQ(Names(list), (std::vector<std::string>{"COM5=/dev/a", "COM6=/dev/e"}));
  const std::string where =
      " in [HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM] of " + FDir.Path() + "/TALMO.reg";
  EXPECT_EQ(
      list.Problems(),
      (std::vector<std::string>{
          "The port entry \"/dev/b\"" + where + " is not a text such as \"COM5\"; it is left out.",
          "The port entry \"/dev/c\"" + where +
              " names com5 again (/dev/a has it); it is left out.",
          "The port entry \"/dev/d\"" + where + " gives no port name; it is left out.",
          "The port entry @" + where + " names no device path; it is left out."}));
}

TEST_F(PortListTest, WithoutSysfsOrSettingsOnlyTheLoopbackRemains) {
  const TPortList list =
      TPortList::Build(TRegistryStore::ForFile(FDir / "none.reg"),
                       {FDir / "nosys", FDir / "noconsole", "/dev"}, LoopbackPortEntry(kLoopPath));
  EXPECT_EQ(Names(list), std::vector<std::string>{"COM99=/run/talmo-loop"});
  EXPECT_TRUE(TPortList::Build(nullptr, {FDir / "nosys", "", "/dev"}, {}).Entries().empty());
  EXPECT_FALSE(fs::exists(FDir / "none.reg"));  // reading never creates the file
}

TEST_F(PortListTest, DevicePathsResolveThroughTheList) {
  FSys.Usb("ttyUSB1", "", "", "");
  auto store = StoreWith(FDir, "\"/dev/serial/by-id/x\"=\"COM5\"\n");
  const TPortList list = TPortList::Build(store, FSys.Sources(), LoopbackPortEntry(kLoopPath));
  struct Case {
    const char* name;
    std::optional<std::string> path;
  };
  const Case cases[] = {
      {"\\\\.\\COM5", "/dev/serial/by-id/x"},
      {"COM5", "/dev/serial/by-id/x"},
      {"\\\\.\\com5", "/dev/serial/by-id/x"},
      {"\\\\.\\COM34", "/dev/ttyUSB1"},
      {"\\\\.\\COM99", kLoopPath},
      {"/dev/ttyUSB7", "/dev/ttyUSB7"},
      {"\\\\.\\/dev/ttyUSB7", "/dev/ttyUSB7"},
      {"\\\\.\\COM77", std::nullopt},
      {"COM", std::nullopt},
      {"", std::nullopt},
      {"\\\\.\\", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(list.DevicePathFor(c.name), c.path);
  }
}

TEST_F(PortListTest, TheResolverSeesDevicesAndEntriesOfTheMomentOfTheOpen) {
  auto store = StoreWith(FDir, "");
  const auto resolve =
      TPortList::DeviceResolver(store, FSys.Sources(), LoopbackPortEntry(kLoopPath));
  EXPECT_EQ(resolve("\\\\.\\COM99"), kLoopPath);
  EXPECT_EQ(resolve("\\\\.\\COM34"), "");
  FSys.Usb("ttyUSB1", "", "", "");  // plugged in after the list was shown
  EXPECT_EQ(resolve("\\\\.\\COM34"), "/dev/ttyUSB1");
  TRegistry key(store);
  ASSERT_TRUE(key.OpenKey(TPortList::kKeyPath, false));
  key.WriteString("/dev/serial/by-id/y", "COM7");
  EXPECT_EQ(resolve("\\\\.\\COM7"), "/dev/serial/by-id/y");
}

TEST_F(PortListTest, OtherKindsTakeFreeNamesFromCom97InNameOrder) {
  for (auto n : {"ttyXR10", "ttyAMA1", "ttyXR9", "ttyAMA0"}) FSys.Other(n);
  const auto detected = DetectSerialDevices(FSys.Sources());
  ASSERT_EQ(detected.size(), 4u);
  // COM98 taken by the user; COM99 kept for the loopback.
  const TPortList list = TPortList::Merge({{"COM98", "/dev/u", "", "", "", ""}}, detected,
                                          LoopbackPortEntry(kLoopPath));
  EXPECT_EQ(Names(list),
            (std::vector<std::string>{"COM98=/dev/u", "COM97=/dev/ttyAMA0", "COM100=/dev/ttyAMA1",
                                      "COM101=/dev/ttyXR9", "COM102=/dev/ttyXR10",
                                      "COM99=/run/talmo-loop"}));
}

}  // namespace
}  // namespace talmo

namespace talmo {
namespace {

TEST_F(PortListTest, RemotePortEntriesKeepTheirAddressAndSayTheyAreRemote) {
  FSys.Uart("ttyS1", 4);
  auto store = StoreWith(FDir,
                         "\"rfc2217://lab-pi:7000\"=\"COM20\"\n"
                         "\"RFC2217://[::1]:2217\"=\"COM21\"\n"
                         "\"ttyX\"=\"COM1\"\n");
  const TPortList list = TPortList::Build(store, FSys.Sources(), LoopbackPortEntry(kLoopPath));
  EXPECT_EQ(Names(list), (std::vector<std::string>{"COM20=rfc2217://lab-pi:7000",
                                                   "COM21=RFC2217://[::1]:2217", "COM1=/dev/ttyX",
                                                   "COM2=/dev/ttyS1", "COM99=/run/talmo-loop"}));
  EXPECT_EQ(list.Find("COM20")->Description,
            "Remote port over the network (RFC 2217, lab-pi:7000), named in the settings file");
  EXPECT_EQ(list.Find("COM21")->Description,
            "Remote port over the network (RFC 2217, [::1]:2217), named in the settings file");
  struct Case {
    const char* name;
    std::optional<std::string> path;
  };
  const Case cases[] = {
      {"\\\\.\\COM20", "rfc2217://lab-pi:7000"},
      {"com21", "RFC2217://[::1]:2217"},
      {"rfc2217://127.0.0.1:7001", "rfc2217://127.0.0.1:7001"},
      {"\\\\.\\rfc2217://host:1", "rfc2217://host:1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(list.DevicePathFor(c.name), c.path);
  }
  EXPECT_TRUE(list.Problems().empty());
}

TEST_F(PortListTest, TheProgramsOwnLoopbackIsListedAsBuiltInAndStartedOnlyByResolvingIt) {
  const TPortList list = TPortList::Build(nullptr, FSys.Sources(), BuiltInLoopbackEntry());
  ASSERT_EQ(list.Entries().size(), 1u);
  const TPortEntry& e = list.Entries().back();
  EXPECT_EQ(e.Name, "COM99");
  EXPECT_TRUE(e.BuiltIn);
  EXPECT_EQ(e.Path, "");
  EXPECT_EQ(ShownPath(e), "built in");
  EXPECT_EQ(ShownPath(LoopbackPortEntry(kLoopPath)), kLoopPath);
  // Each name form reaches the one started port.
  std::string error;
  const std::optional<std::string> path = list.DevicePathFor("COM99", &error);
  ASSERT_TRUE(path);
  EXPECT_EQ(path->rfind("/dev/pts/", 0), 0u) << *path << " " << error;
  for (const char* name : {"\\\\.\\COM99", "com99"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(list.DevicePathFor(name), path);
  }
}

}  // namespace
}  // namespace talmo
