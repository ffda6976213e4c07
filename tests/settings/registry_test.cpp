// The settings store: value round trips, the registry's error texts, what a
// rewrite keeps, unreadable files set aside, refused writes, atomic
// replacement, and key objects that share one file.

#include "settings/registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <filesystem>
#include <thread>

#include <sys/stat.h>

#include "support/settings_file.h"
#include "support/temp_dir.h"

namespace talmo {
namespace {

using test::ReadFile;
using test::TTempDir;
using test::WriteFile;

constexpr const char* kKey = "SOFTWARE\\Velkerstam\\TALMO";
const std::string kHeader = test::kSettingsHeader;

// 2026-12-07 20:30:00 UTC; the set-aside names use local time, so the tests
// run in UTC.
std::chrono::system_clock::time_point FixedTime() {
  return std::chrono::system_clock::from_time_t(1796675400);
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
  std::string File() const { return FDir / "TALMO.reg"; }
  std::shared_ptr<TRegistryStore> Store() const {
    return TRegistryStore::ForFile(File(), [] { return FixedTime(); });
  }
  // A key object on a store of its own, as the next start of the program
  // would see the file.
  TRegistry Fresh() const { return TRegistry(Store()); }

  TTempDir FDir;
};

std::string Message(const std::function<void()>& f) {
  try {
    f();
  } catch (const ERegistryError& e) {
    return e.what();
  }
  return "(no exception)";
}

// ---------------------------------------------------------------------------
// Round trips

TEST_F(RegistryTest, IntegersRoundTripThroughTheFile) {
  const std::int32_t values[] = {0, 1, -1, 6, 0x7fffffff, INT_MIN, 1000000};
  {
    TRegistry key(Store());
    ASSERT_TRUE(key.OpenKey(kKey, true));
    for (std::int32_t v : values) key.WriteInteger("V" + std::to_string(v), v);
  }
  TRegistry key = Fresh();
  ASSERT_TRUE(key.OpenKey(kKey, false));
  for (std::int32_t v : values) {
    SCOPED_TRACE(v);
    EXPECT_EQ(key.ReadInteger("V" + std::to_string(v)), v);
    EXPECT_EQ(key.GetDataType("V" + std::to_string(v)), rdInteger);
  }
}

TEST_F(RegistryTest, BoolsAreStoredAsZeroOrOneAndAnyNonZeroReadsTrue) {
  {
    TRegistry key(Store());
    ASSERT_TRUE(key.OpenKey(kKey, true));
    key.WriteBool("DIRECT", true);
    key.WriteBool("OFF", false);
    key.WriteInteger("SEVEN", 7);
  }
  EXPECT_NE(ReadFile(File()).find("\"DIRECT\"=dword:00000001\n"), std::string::npos);
  EXPECT_NE(ReadFile(File()).find("\"OFF\"=dword:00000000\n"), std::string::npos);
  TRegistry key = Fresh();
  ASSERT_TRUE(key.OpenKey(kKey, false));
  EXPECT_TRUE(key.ReadBool("DIRECT"));
  EXPECT_FALSE(key.ReadBool("OFF"));
  EXPECT_TRUE(key.ReadBool("SEVEN"));
}

TEST_F(RegistryTest, BinaryDataRoundTripsAtEverySize) {
  for (int size : {0, 1, 9, 16, 24, 25, 100, 1000}) {
    SCOPED_TRACE(size);
    std::string data;
    for (int i = 0; i < size; ++i) data += static_cast<char>((i * 37 + 11) & 0xff);
    {
      TRegistry key(Store());
      ASSERT_TRUE(key.OpenKey(kKey, true));
      key.WriteBinaryData("BIN", data.data(), size);
    }
    TRegistry key = Fresh();
    ASSERT_TRUE(key.OpenKey(kKey, false));
    std::string buffer(1000, '\x5a');
    EXPECT_EQ(key.ReadBinaryData("BIN", buffer.data(), 1000), size);
    EXPECT_EQ(buffer.substr(0, static_cast<std::size_t>(size)), data);
    // Long data wraps under 80 columns, as the registry editor writes it.
    for (std::size_t pos = 0, nl; (nl = ReadFile(File()).find('\n', pos)) != std::string::npos;
         pos = nl + 1)
      EXPECT_LT(nl - pos, 80u);
  }
}

TEST_F(RegistryTest, StringsRoundTripWithEscapesAnd8BitText) {
  const std::string values[] = {"",     "COM5",         "C:\\path\\",      "say \"hi\"",
                                "\\\"", "caf\xe9 \xff", "; not a comment", "[not a key]"};
  {
    TRegistry key(Store());
    ASSERT_TRUE(key.OpenKey(kKey, true));
    int i = 0;
    for (const auto& v : values) key.WriteString("S" + std::to_string(i++), v);
    key.WriteString("back\\slash \"name\"", "x");
  }
  EXPECT_NE(ReadFile(File()).find("\"S2\"=\"C:\\\\path\\\\\"\n"), std::string::npos);
  EXPECT_NE(ReadFile(File()).find("\"back\\\\slash \\\"name\\\"\"=\"x\"\n"), std::string::npos);
  TRegistry key = Fresh();
  ASSERT_TRUE(key.OpenKey(kKey, false));
  int i = 0;
  for (const auto& v : values) {
    SCOPED_TRACE(v);
    EXPECT_EQ(key.ReadString("S" + std::to_string(i++)), v);
  }
  EXPECT_EQ(key.ReadString("back\\slash \"name\""), "x");
}

TEST_F(RegistryTest, TheSettingsKeyIsWrittenInTheExportFormat) {
  {
    TRegistry key(Store());
    ASSERT_TRUE(key.OpenKey(kKey, true));
    const std::int32_t coords[4] = {100, 50, 700, 500};
    key.WriteBinaryData("COORDS", coords, 16);
    key.WriteInteger("REGBAUD", 6);
    const unsigned char protocol[9] = {2, 3, 1, 0, 1, 0, 1, 0, 0};
    key.WriteBinaryData("REGPROTOCOL", protocol, 9);
  }
  EXPECT_EQ(ReadFile(File()), std::string(kHeader) +
                                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkerstam\\TALMO]\n"
                                  "\"COORDS\"=hex:64,00,00,00,32,00,00,00,bc,02,00,00,f4,01,00,00\n"
                                  "\"REGBAUD\"=dword:00000006\n"
                                  "\"REGPROTOCOL\"=hex:02,03,01,00,01,00,01,00,00\n"
                                  "\n");
}

TEST_F(RegistryTest, RewritingAValueWithTheSameDataLeavesTheFileAlone) {
  TRegistry key(Store());
  ASSERT_TRUE(key.OpenKey(kKey, true));
  key.WriteInteger("REGBAUD", 3);
  const std::string before = ReadFile(File());
  struct stat st {};
  ASSERT_EQ(::stat(File().c_str(), &st), 0);
  const ino_t inode = st.st_ino;
  key.WriteInteger("REGBAUD", 3);
  ASSERT_EQ(::stat(File().c_str(), &st), 0);
  EXPECT_EQ(st.st_ino, inode);  // not replaced
  key.WriteInteger("REGBAUD", 4);
  ASSERT_EQ(::stat(File().c_str(), &st), 0);
  EXPECT_NE(st.st_ino, inode);
  EXPECT_EQ(ReadFile(File()), std::string(before).replace(before.find("00000003"), 8, "00000004"));
}

// A file whose last line ends in CR without LF (cut off, or saved so by an
// editor) is still readable at the next start after a write: nothing is
// set aside and every value is there.
TEST_F(RegistryTest, AFileEndingInACarriageReturnStaysReadableAfterAWrite) {
  WriteFile(File(),
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkerstam\\TALMO]\r\n"
            "\"REGBAUD\"=dword:00000006\r");
  {
    TRegistry key(Store());
    ASSERT_TRUE(key.OpenKey(kKey, false));
    key.WriteInteger("REGSTOP", 2);
  }
  TRegistry key = Fresh();
  EXPECT_FALSE(key.TakeStoreWarning().has_value());
  ASSERT_TRUE(key.OpenKey(kKey, false));
  EXPECT_EQ(key.ReadInteger("REGBAUD"), 6);
  EXPECT_EQ(key.ReadInteger("REGSTOP"), 2);
}

// ---------------------------------------------------------------------------
// Reading a value as the wrong type

TEST_F(RegistryTest, WrongTypesAndOversizedDataRaiseTheRegistryText) {
  WriteFile(File(), std::string(kHeader) +
                        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkerstam\\TALMO]\n"
                        "\"TEXT\"=\"COM3\"\n"
                        "\"NUMBER\"=dword:0000000f\n"
                        "\"BIN17\"=hex:01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11\n"
                        "\"BIN5\"=hex:01,02,03,04,05\n"
                        "\"BIN4\"=hex:01,00,00,00\n"
                        "\"QWORD\"=hex(b):01,00,00,00,00,00,00,00\n"
                        "\"EXPAND\"=hex(2):41,00,00,00\n"
                        "\"DWORD4\"=hex(4):05,00,00,00\n"
                        "\"NONE\"=hex(0):aa,bb\n");
  TRegistry key = Fresh();
  ASSERT_TRUE(key.OpenKey(kKey, false));
  char buffer[16];
  struct Case {
    const char* what;
    std::function<void()> read;
    const char* message;
  };
  const Case cases[] = {
      {"integer from text", [&] { key.ReadInteger("TEXT"); }, "Invalid data type for 'TEXT'"},
      {"integer from binary", [&] { key.ReadInteger("BIN4"); }, "Invalid data type for 'BIN4'"},
      {"integer from qword", [&] { key.ReadInteger("QWORD"); }, "Invalid data type for 'QWORD'"},
      {"bool from text", [&] { key.ReadBool("TEXT"); }, "Invalid data type for 'TEXT'"},
      {"missing integer", [&] { key.ReadInteger("NOPE"); }, "Failed to get data for 'NOPE'"},
      {"text from number", [&] { key.ReadString("NUMBER"); }, "Invalid data type for 'NUMBER'"},
      {"text from binary", [&] { key.ReadString("BIN5"); }, "Invalid data type for 'BIN5'"},
      {"binary from text", [&] { key.ReadBinaryData("TEXT", buffer, 16); },
       "Invalid data type for 'TEXT'"},
      {"binary from number", [&] { key.ReadBinaryData("NUMBER", buffer, 16); },
       "Invalid data type for 'NUMBER'"},
      {"binary from expandable text", [&] { key.ReadBinaryData("EXPAND", buffer, 16); },
       "Invalid data type for 'EXPAND'"},
      {"17 bytes into 16", [&] { key.ReadBinaryData("BIN17", buffer, 16); },
       "Invalid data type for 'BIN17'"},
      {"5 bytes into 4", [&] { key.ReadBinaryData("BIN5", buffer, 4); },
       "Invalid data type for 'BIN5'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Message(c.read), c.message);
  }
}

TEST_F(RegistryTest, ShortAndMissingBinaryReadAsFarAsTheyGo) {
  WriteFile(File(), std::string(kHeader) +
                        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkerstam\\TALMO]\n"
                        "\"BIN5\"=hex:01,02,03,04,05\n"
                        "\"EMPTY\"=hex:\n"
                        "\"NONE\"=hex(0):aa,bb\n"
                        "\"DWORD4\"=hex(4):05,00,00,00\n");
  TRegistry key = Fresh();
  ASSERT_TRUE(key.OpenKey(kKey, false));
  struct Case {
    const char* name;
    int size;
    int read;
    std::string content;  // the buffer afterwards; the rest stays 0xee
  };
  const Case cases[] = {
      {"BIN5", 9, 5, "\x01\x02\x03\x04\x05\xee\xee\xee\xee"},
      {"BIN5", 5, 5, "\x01\x02\x03\x04\x05\xee\xee\xee\xee"},
      {"EMPTY", 9, 0, std::string(9, '\xee')},
      {"MISSING", 9, 0, std::string(9, '\xee')},
      {"NONE", 9, 2, "\xaa\xbb\xee\xee\xee\xee\xee\xee\xee"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " into " + std::to_string(c.size));
    std::string buffer(9, '\xee');
    EXPECT_EQ(key.ReadBinaryData(c.name, buffer.data(), c.size), c.read);
    EXPECT_EQ(buffer, c.content);
  }
  EXPECT_EQ(key.ReadInteger("DWORD4"), 5);
  EXPECT_EQ(key.ReadString("MISSING"), "");
}

// ---------------------------------------------------------------------------
// What a rewrite keeps

TEST_F(RegistryTest, UnknownKeysValuesAndCommentsSurviveARewriteByteForByte) {
  const std::string head =
      "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; kept by hand\r\n"
      "[HKEY_CURRENT_USER\\Software\\Other]\r\n"
      "\"Mixed\"  =  hex:01,02,\\\r\n"
      "     03,04\r\n"
      "@=\"default \\\"text\\\"\"\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkerstam\\TALMO]\r\n"
      "\"Unknown\"=hex(7):41,00,00,00,00,00\r\n"
      "\"REGBAUD\"=DWORD:00000002\r\n";
  const std::string tail =
      "\"DELETED\"=-\r\n"
      "; trailing comment\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkerstam\\TALMO\\Sub]\r\n"
      "\"x\"=dword:00000001";  // no line end at the end of the file
  WriteFile(File(), head + tail);
  {
    TRegistry key(Store());
    ASSERT_TRUE(key.OpenKey(kKey, false));
    key.WriteInteger("REGBAUD", 9);
    key.WriteInteger("REGSTOP", 1);
    ASSERT_TRUE(key.OpenKey("SOFTWARE\\Velkerstam\\New", true));
    key.WriteString("k", "v");
  }
  std::string expectedHead = head;
  expectedHead.replace(expectedHead.find("\"REGBAUD\"=DWORD:00000002"),
                       std::strlen("\"REGBAUD\"=DWORD:00000002"), "\"REGBAUD\"=dword:00000009");
  EXPECT_EQ(ReadFile(File()),
            expectedHead + "\"DELETED\"=-\r\n; trailing comment\r\n\"REGSTOP\"=dword:00000001\r\n" +
                "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkerstam\\TALMO\\Sub]\r\n"
                "\"x\"=dword:00000001\r\n"
                "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkerstam\\New]\r\n"
                "\"k\"=\"v\"\r\n\r\n");
  // And what was kept still reads.
  auto store = Store();
  std::uint32_t type = 0;
  std::string data;
  EXPECT_TRUE(store->ValueExists(kKey, "unknown"));  // names ignore case
  ASSERT_TRUE(store->GetValue("SOFTWARE\\Velkerstam\\TALMO\\Sub", "x", type, data));
  EXPECT_EQ(type, rdInteger);
  TRegistry key(store);
  ASSERT_TRUE(key.OpenKey(kKey, false));
  EXPECT_EQ(key.GetDataType("Unknown"), rdMultiString);
}

TEST_F(RegistryTest, ValueNamesComeInFileOrderAndRepeatedDefinitionsMerge) {
  WriteFile(File(), std::string(kHeader) +
                        "[HKEY_LOCAL_MACHINE\\K]\n"
                        "\"b\"=dword:00000001\n"
                        "\"a\"=dword:00000002\n"
                        "@=\"def\"\n"
                        "\n"
                        "[HKEY_LOCAL_MACHINE\\Other]\n"
                        "\"z\"=dword:00000003\n"
                        "\n"
                        "[hkey_local_machine\\k]\n"
                        "\"c\"=dword:00000004\n"
                        "\"B\"=dword:00000005\n");
  TRegistry key = Fresh();
  ASSERT_TRUE(key.OpenKey("K", false));
  key.WriteInteger("d", 6);
  EXPECT_EQ(key.GetValueNames(), (std::vector<std::string>{"b", "a", "", "c", "d"}));
  // As on import, the later definition wins, and a write changes that one.
  EXPECT_EQ(key.ReadInteger("b"), 5);
  key.WriteInteger("b", 7);
  EXPECT_NE(ReadFile(File()).find("\"b\"=dword:00000001\n"), std::string::npos);
  EXPECT_NE(ReadFile(File()).find("\"B\"=dword:00000007\n"), std::string::npos);
  EXPECT_EQ(key.ReadString(""), "def");
}

// ---------------------------------------------------------------------------
// Files that cannot be parsed

struct BadFile {
  const char* what;
  std::string content;
  int line;
  const char* says;
};

class UnreadableFileTest : public RegistryTest, public ::testing::WithParamInterface<BadFile> {};

// What the parser refuses, case by case, is in reg_format_test.
TEST_P(UnreadableFileTest, IsSetAsideUnchangedReportedOnceAndTheStoreStartsEmpty) {
  const BadFile& bad = GetParam();
  WriteFile(File(), bad.content);
  const std::string aside = File() + ".unreadable-20261207-203000";
  {
    TRegistry key(Store());
    const auto warning = key.TakeStoreWarning();
    ASSERT_TRUE(warning.has_value());
    EXPECT_NE(warning->find(File() + ", line " + std::to_string(bad.line) + ": "),
              std::string::npos)
        << *warning;
    EXPECT_NE(warning->find(bad.says), std::string::npos) << *warning;
    EXPECT_NE(warning->find(aside), std::string::npos) << *warning;
    EXPECT_FALSE(key.TakeStoreWarning().has_value());
    EXPECT_FALSE(key.KeyExists(kKey));
    // The program starts with defaults and stores them anew.
    ASSERT_TRUE(key.OpenKey(kKey, true));
    EXPECT_FALSE(key.ValueExists("REGBAUD"));
    key.WriteInteger("REGBAUD", 0);
  }
  EXPECT_EQ(ReadFile(aside), bad.content);
  EXPECT_EQ(
      ReadFile(File()),
      std::string(kHeader) +
          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkerstam\\TALMO]\n\"REGBAUD\"=dword:00000000\n\n");
  EXPECT_FALSE(Store()->TakeWarning().has_value());
}

INSTANTIATE_TEST_SUITE_P(Files, UnreadableFileTest,
                         ::testing::Values(BadFile{"no header", "[HKEY_LOCAL_MACHINE\\X]\n", 1,
                                                   "expected the first line"},
                                           BadFile{"garbage line",
                                                   std::string(kHeader) +
                                                       "[HKEY_LOCAL_MACHINE\\X]\nREGBAUD=6\n",
                                                   4, "found 'REGBAUD=6'"}),
                         [](const ::testing::TestParamInfo<BadFile>& p) {
                           std::string n = p.param.what;
                           for (char& c : n)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return n;
                         });

TEST_F(RegistryTest, ASecondUnreadableFileInTheSameSecondDoesNotReplaceTheFirst) {
  WriteFile(File(), "first broken");
  Store()->TakeWarning();
  WriteFile(File(), "second broken");
  const auto warning = Store()->TakeWarning();
  ASSERT_TRUE(warning.has_value());
  EXPECT_EQ(ReadFile(File() + ".unreadable-20261207-203000"), "first broken");
  EXPECT_EQ(ReadFile(File() + ".unreadable-20261207-203000-2"), "second broken");
  EXPECT_NE(warning->find(".unreadable-20261207-203000-2"), std::string::npos);
}

TEST_F(RegistryTest, AFileEditedBrokenWhileRunningIsSetAsideNotOverwritten) {
  TRegistry key(Store());
  ASSERT_TRUE(key.OpenKey(kKey, true));
  key.WriteInteger("REGBAUD", 1);
  const std::string broken = std::string(kHeader) + "[K]\nbroken line\n";
  WriteFile(File(), broken);
  key.WriteInteger("REGBAUD", 2);
  EXPECT_EQ(ReadFile(File() + ".unreadable-20261207-203000"), broken);
  const auto warning = key.TakeStoreWarning();
  ASSERT_TRUE(warning.has_value());
  EXPECT_NE(warning->find("line 4"), std::string::npos);
  EXPECT_EQ(key.ReadInteger("REGBAUD"), 2);
}

TEST_F(RegistryTest, AFileThatIsNotRegularIsNeitherReplacedNorWrittenOver) {
  std::filesystem::create_directories(File());
  WriteFile(File() + "/inside", "keep");
  TRegistry key(Store());
  const auto warning = key.TakeStoreWarning();
  ASSERT_TRUE(warning.has_value());
  EXPECT_NE(warning->find("not a regular file"), std::string::npos);
  ASSERT_TRUE(key.OpenKey(kKey, true));
  EXPECT_EQ(Message([&] { key.WriteInteger("REGBAUD", 1); }), "Failed to set data for 'REGBAUD'");
  EXPECT_EQ(ReadFile(File() + "/inside"), "keep");
}

// ---------------------------------------------------------------------------
// Writes that cannot happen

TEST_F(RegistryTest, AWriteThatCannotReachTheFileRaisesAndChangesNothing) {
  // Tests run as root, which ignores permission bits: a regular file where
  // a folder should be stops the write instead.
  WriteFile(FDir / "config", "not a folder");
  const std::string file = FDir / "config/Velkerstam/TALMO.reg";
  TRegistry key(TRegistryStore::ForFile(file));
  EXPECT_FALSE(key.TakeStoreWarning().has_value());
  ASSERT_TRUE(key.OpenKey(kKey, true));
  try {
    key.WriteInteger("REGBAUD", 6);
    FAIL() << "no exception";
  } catch (const ERegistryError& e) {
    EXPECT_STREQ(e.what(), "Failed to set data for 'REGBAUD'");
    EXPECT_NE(e.Detail().find("Not a directory"), std::string::npos) << e.Detail();
  }
  EXPECT_EQ(Message([&] { key.WriteBinaryData("COORDS", "abcd", 4); }),
            "Failed to set data for 'COORDS'");
  EXPECT_FALSE(key.ValueExists("REGBAUD"));
  EXPECT_EQ(ReadFile(FDir / "config"), "not a folder");
}

TEST_F(RegistryTest, WritesThatCannotBeExpressedAreRefused) {
  TRegistry key(Store());
  EXPECT_EQ(Message([&] { key.WriteInteger("NOKEY", 1); }), "Failed to set data for 'NOKEY'");
  ASSERT_TRUE(key.OpenKey(kKey, true));
  EXPECT_EQ(Message([&] { key.WriteString("S", "two\nlines"); }), "Failed to set data for 'S'");
  EXPECT_EQ(Message([&] { key.WriteInteger("a\nb", 1); }), "Failed to set data for 'a\nb'");
  EXPECT_FALSE(key.ValueExists("S"));
  EXPECT_FALSE(std::filesystem::exists(File()));
}

// A key object that reports refused writes, as the window uses it: one
// report with the file and the system's reason, the values kept in memory,
// and a new report only after a write has reached the file again.
TEST_F(RegistryTest, RefusedWritesAreReportedOnceWithTheReasonAndKeptInMemory) {
  WriteFile(FDir / "config", "not a folder");
  const std::string file = FDir / "config/Velkerstam/TALMO.reg";
  TRegistry key(TRegistryStore::ForFile(file));
  std::vector<std::string> reports;
  key.OnWriteRefused([&](const std::string& r) { reports.push_back(r); });
  ASSERT_TRUE(key.OpenKey(kKey, true));
  key.WriteInteger("REGXCOM", 0);
  key.WriteInteger("REGBAUD", 6);
  key.WriteBinaryData("REGPROTOCOL", "abc", 3);
  key.WriteInteger("REGBAUD", 6);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], "Failed to set data for 'REGXCOM' in " + file + ": cannot use folder " +
                            FDir.Path() +
                            "/config: Not a directory. Changed settings are used "
                            "while TALMO runs but are not saved.");
  EXPECT_EQ(key.ReadInteger("REGBAUD"), 6);
  EXPECT_EQ(ReadFile(FDir / "config"), "not a folder");
  // Writes that cannot be expressed are still refused at once.
  EXPECT_EQ(Message([&] { key.WriteString("S", "two\nlines"); }), "Failed to set data for 'S'");

  // The folder can be written again: the next write stores what was kept.
  std::filesystem::remove(FDir / "config");
  key.WriteInteger("REGBAUD", 6);
  EXPECT_EQ(ReadFile(file), std::string(kHeader) +
                                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkerstam\\TALMO]\n"
                                "\"REGXCOM\"=dword:00000000\n\"REGBAUD\"=dword:00000006\n"
                                "\"REGPROTOCOL\"=hex:61,62,63\n\n");
  EXPECT_EQ(reports.size(), 1u);
  // Refused again after that success: told again, once.
  std::filesystem::remove_all(FDir / "config");
  WriteFile(FDir / "config", "not a folder");
  key.WriteInteger("REGSTOP", 1);
  key.WriteInteger("REGSTOP", 2);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[1].rfind("Failed to set data for 'REGSTOP' in " + file + ": ", 0), 0u)
      << reports[1];
}

TEST_F(RegistryTest, AnUnreadableFileKeptAsItIsMakesOneReport) {
  std::filesystem::create_directories(File());
  TRegistry key(Store());
  std::vector<std::string> reports;
  key.OnWriteRefused([&](const std::string& r) { reports.push_back(r); });
  ASSERT_TRUE(key.OpenKey(kKey, true));
  key.WriteInteger("REGBAUD", 1);
  key.WriteInteger("REGSTOP", 1);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], "Failed to set data for 'REGBAUD' in " + File() +
                            ": the file is unreadable and is kept as it is. Changed settings are "
                            "used while TALMO runs but are not saved.");
  EXPECT_TRUE(std::filesystem::is_directory(File()));
}

// ---------------------------------------------------------------------------
// A settings file that is a link

struct LinkCase {
  const char* what;
  bool targetExists;
  bool targetBroken;
  bool relative;
};

class LinkedFileTest : public RegistryTest, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(LinkedFileTest, IsWrittenAtItsTargetAndTheLinkStays) {
  const LinkCase& c = GetParam();
  const std::string target = FDir / "dotfiles/talmo/TALMO.reg";
  std::filesystem::create_directories(FDir / "dotfiles/talmo");
  const std::string broken = std::string(kHeader) + "[K]\nbroken line\n";
  if (c.targetExists)
    WriteFile(target, c.targetBroken ? broken
                                     : std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\" + kKey +
                                           "]\n\"REGBAUD\"=dword:00000001\n");
  std::filesystem::create_symlink(c.relative ? "dotfiles/talmo/TALMO.reg" : target, File());
  {
    TRegistry key(Store());
    const auto warning = key.TakeStoreWarning();
    EXPECT_EQ(warning.has_value(), c.targetBroken);
    if (c.targetBroken) {
      EXPECT_NE(warning->find("set aside as " + target + ".unreadable-20261207-203000"),
                std::string::npos)
          << *warning;
    }
    ASSERT_TRUE(key.OpenKey(kKey, true));
    EXPECT_EQ(key.ValueExists("REGBAUD"), c.targetExists && !c.targetBroken);
    key.WriteInteger("REGBAUD", 6);
  }
  EXPECT_TRUE(std::filesystem::is_symlink(File()));
  EXPECT_NE(ReadFile(target).find("\"REGBAUD\"=dword:00000006\n"), std::string::npos)
      << ReadFile(target);
  if (c.targetBroken) {
    EXPECT_EQ(ReadFile(target + ".unreadable-20261207-203000"), broken);
  }
  EXPECT_EQ(Fresh().Store()->Path(), File());
  TRegistry again = Fresh();
  ASSERT_TRUE(again.OpenKey(kKey, false));
  EXPECT_EQ(again.ReadInteger("REGBAUD"), 6);
}

TEST_F(RegistryTest, ALoopOfLinksIsNeitherReadNorReplaced) {
  {
    TRegistry early(Store());  // before the loop exists
    ASSERT_TRUE(early.OpenKey(kKey, true));
    std::filesystem::create_symlink(File() + ".b", File());
    std::filesystem::create_symlink(File(), File() + ".b");
    try {
      early.WriteInteger("REGBAUD", 1);
      FAIL() << "no exception";
    } catch (const ERegistryError& e) {
      EXPECT_NE(e.Detail().find("Too many levels of symbolic links"), std::string::npos)
          << e.Detail();
    }
  }
  TRegistry later(Store());
  const auto warning = later.TakeStoreWarning();
  ASSERT_TRUE(warning.has_value());
  EXPECT_NE(warning->find("Too many levels of symbolic links"), std::string::npos) << *warning;
  EXPECT_TRUE(std::filesystem::is_symlink(File()));
  EXPECT_TRUE(std::filesystem::is_symlink(File() + ".b"));
}

INSTANTIATE_TEST_SUITE_P(Links, LinkedFileTest,
                         ::testing::Values(LinkCase{"to_a_file", true, false, false},
                                           LinkCase{"relative_to_a_file", true, false, true},
                                           LinkCase{"to_a_file_not_there_yet", false, false, false},
                                           LinkCase{"relative_not_there_yet", false, false, true},
                                           LinkCase{"to_a_broken_file", true, true, false}),
                         [](const ::testing::TestParamInfo<LinkCase>& p) {
                           return std::string(p.param.what);
                         });

// ---------------------------------------------------------------------------
// Atomic replacement

TEST_F(RegistryTest, NoTemporaryFileRemainsAndTheModeIsKept) {
  TRegistry key(Store());
  ASSERT_TRUE(key.OpenKey(kKey, true));
  for (int i = 0; i < 50; ++i) key.WriteInteger("N", i);
  std::filesystem::permissions(File(), std::filesystem::perms(0640));
  key.WriteInteger("N", 1000);
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(FDir.Path()))
    names.push_back(e.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"TALMO.reg"});
  EXPECT_EQ(std::filesystem::status(File()).permissions(), std::filesystem::perms(0640));
}

TEST_F(RegistryTest, AReaderNeverSeesAPartialFile) {
  TRegistry key(Store());
  ASSERT_TRUE(key.OpenKey(kKey, true));
  key.WriteInteger("N", -1);
  std::atomic<bool> done{false};
  std::atomic<int> reads{0}, torn{0};
  std::thread reader([&] {
    while (!done) {
      const std::string text = ReadFile(File());
      ++reads;
      const bool whole = text.rfind(kHeader, 0) == 0 && text.ends_with("\n\n") &&
                         text.find("\"N\"=dword:") != std::string::npos &&
                         text.find("\"PAD\"") != std::string::npos;
      if (!whole && text.find("\"N\"=dword:ffffffff") == std::string::npos) ++torn;
    }
  });
  const std::string big(3000, 'x');
  for (int i = 0; i < 200; ++i) {
    key.WriteString("PAD", i % 2 ? big : "short");
    key.WriteInteger("N", i);
  }
  done = true;
  reader.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(torn.load(), 0);
}

// ---------------------------------------------------------------------------
// One file, several key objects

TEST_F(RegistryTest, KeyObjectsOfOneFileShareTheirWrites) {
  auto a = Store();
  auto b = TRegistryStore::ForFile(File());
  EXPECT_EQ(a.get(), b.get());
  TRegistry settings(a), ports(b);
  ASSERT_TRUE(settings.OpenKey(kKey, true));
  ASSERT_TRUE(ports.OpenKey("HARDWARE\\DEVICEMAP\\SERIALCOMM", true));
  settings.WriteInteger("REGBAUD", 4);
  ports.WriteString("/dev/ttyUSB0", "COM5");
  settings.WriteInteger("REGSTOP", 2);
  TRegistry again(b);
  ASSERT_TRUE(again.OpenKey(kKey, false));
  EXPECT_EQ(again.ReadInteger("REGBAUD"), 4);
  a.reset();
  b.reset();
  settings = TRegistry(Store());
  ports = TRegistry(Store());
  ASSERT_TRUE(settings.OpenKey(kKey, false));
  ASSERT_TRUE(ports.OpenKey("HARDWARE\\DEVICEMAP\\SERIALCOMM", false));
  EXPECT_EQ(settings.ReadInteger("REGSTOP"), 2);
  EXPECT_EQ(ports.ReadString("/dev/ttyUSB0"), "COM5");
}

TEST_F(RegistryTest, ChangesByAnotherProgramAreReadAndKept) {
  TRegistry key(Store());
  ASSERT_TRUE(key.OpenKey(kKey, true));
  key.WriteInteger("REGBAUD", 1);
  // Another program (or an editor) replaces the file.
  const std::string other = std::string(kHeader) +
                            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkerstam\\TALMO]\n"
                            "\"REGBAUD\"=dword:00000001\n"
                            "\"ADDED\"=dword:00000005\n\n";
  WriteFile(File() + ".new", other);
  std::filesystem::rename(File() + ".new", File());
  EXPECT_EQ(key.ReadInteger("ADDED"), 5);
  key.WriteInteger("REGSTOP", 2);
  EXPECT_NE(ReadFile(File()).find("\"ADDED\"=dword:00000005\n"), std::string::npos);
}

TEST_F(RegistryTest, TwoProgramsWritingAtOnceLoseNothingOfEachOther) {
  // A second program has a store of its own; a folder alias gives this
  // process a second store of the same file.
  std::filesystem::create_directory_symlink(FDir.Path(), FDir / "alias");
  TRegistry first(Store());
  TRegistry second(TRegistryStore::ForFile(FDir / "alias/TALMO.reg"));
  ASSERT_NE(first.Store().get(), second.Store().get());
  ASSERT_TRUE(first.OpenKey(kKey, true));
  first.WriteInteger("START", 0);
  ASSERT_TRUE(second.OpenKey(kKey, false));
  auto writer = [](TRegistry& key, const std::string& prefix) {
    for (int i = 0; i < 60; ++i) key.WriteInteger(prefix + std::to_string(i), i);
  };
  std::thread a(writer, std::ref(first), "A");
  std::thread b(writer, std::ref(second), "B");
  a.join();
  b.join();
  TRegistry check(TRegistryStore::ForFile(FDir / "alias/../TALMO.reg"));
  ASSERT_TRUE(check.OpenKey(kKey, false));
  EXPECT_EQ(check.GetValueNames().size(), 121u);
}

// ---------------------------------------------------------------------------
// Keys

TEST_F(RegistryTest, KeysOpenCreateAndClose) {
  TRegistry key(Store());
  EXPECT_FALSE(key.OpenKey(kKey, false));
  EXPECT_FALSE(key.HasCurrentKey());
  char buffer[4];
  EXPECT_EQ(key.ReadBinaryData("X", buffer, 4), 0);
  EXPECT_FALSE(key.ValueExists("X"));
  EXPECT_TRUE(key.GetValueNames().empty());
  EXPECT_TRUE(key.OpenKey("\\" + std::string(kKey) + "\\", true));
  EXPECT_EQ(key.CurrentPath(), kKey);
  key.WriteInteger("A", 1);
  EXPECT_TRUE(key.KeyExists("software\\velkerstam"));  // parents exist, any case
  EXPECT_TRUE(key.OpenKey("SOFTWARE", false));
  key.CloseKey();
  EXPECT_FALSE(key.ValueExists("A"));
  EXPECT_FALSE(key.OpenKey("bad]key", true));
}

TEST_F(RegistryTest, ThePolicyKeyNeverExistsAndIsNeverCreated) {
  const std::string policy = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
  {
    TRegistry key(Store());
    EXPECT_FALSE(key.OpenKey(policy, true));
    EXPECT_FALSE(
        key.OpenKey("SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\POLICIES\\SYSTEM", false));
  }
  EXPECT_FALSE(std::filesystem::exists(File()));
  // Not even when someone wrote it into the file.
  WriteFile(File(), std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\" + policy +
                        "]\n\"EnableLinkedConnections\"=dword:00000000\n");
  TRegistry key = Fresh();
  EXPECT_FALSE(key.OpenKey(policy, false));
  EXPECT_FALSE(key.KeyExists(policy));
}

}  // namespace
}  // namespace talmo
