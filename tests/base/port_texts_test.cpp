#include "base/port_texts.h"

#include <gtest/gtest.h>

namespace talmo {
namespace {

TEST(PortNumber, IsTheWholeNumberAfterCom) {
  const struct {
    const char* name;
    int num;
  } rows[] = {{"COM3", 3}, {"COM13", 13}, {"COM123", 123}, {"COM99", 99},  {"COM07", 7},
              {"COM1", 1}, {"COM33", 33}, {"COM100", 100}, {"COM102", 102}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(PortNumberFromName(r.name), r.num);
  }
}

// The pane names the port as "COM" + its number: the list's name again.
TEST(PortNumber, NamesTheListsPortAgain) {
  for (const char* name : {"COM1", "COM33", "COM99", "COM100", "COM102"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ("COM" + std::to_string(PortNumberFromName(name)), name);
  }
}

TEST(PortNumber, NonNumbersAreReported) {
  const struct {
    const char* name;
    const char* message;
  } rows[] = {{"LPT", "'' is not a valid integer value"},
              {"COMX1", "'X1' is not a valid integer value"},
              {"ttyUSB0", "'USB0' is not a valid integer value"},
              {"COM99999999999", "'99999999999' is not a valid integer value"},
              {"COM1a", "'1a' is not a valid integer value"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    try {
      PortNumberFromName(r.name);
      ADD_FAILURE() << "no error";
    } catch (const EConvertError& e) {
      EXPECT_STREQ(e.what(), r.message);
    }
  }
}

TEST(ErrorLines, OneLinePerKnownBitInOrder) {
  EXPECT_EQ(ErrorLines(3, 0x14),
            (std::vector<std::string>{"Error COM3 20", "The hardware detected a parity error.",
                                      "The hardware detected a break condition."}));
  EXPECT_EQ(ErrorLines(13, 0x20), (std::vector<std::string>{"Error COM13 32"}));
  const auto all = ErrorLines(1, 0x041F);
  ASSERT_EQ(all.size(), 7u);
  EXPECT_EQ(all[0], "Error COM1 1055");
  EXPECT_EQ(all[1], "An input buffer overflow has occurred.");
  EXPECT_EQ(all[2], "A character-buffer overrun has occurred. The next character is lost.");
  EXPECT_EQ(all[4], "The hardware detected a framing error.");
  EXPECT_EQ(all[6], "The device is no longer available.");
}

}  // namespace
}  // namespace talmo
